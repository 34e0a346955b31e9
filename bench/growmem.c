/* Benchmark-only preload: grows the process by KT_BENCH_GROW_MB megabytes of
 * touched heap before main runs, so spawn costs are measured on a server as
 * large as a long-running one on the device. Never linked into ktwebserver;
 * scripts/bench.sh loads it with LD_PRELOAD. */
#include <stdlib.h>
#include <string.h>

// Visible, so the compiler cannot drop the never-read allocation.
char* kt_bench_ballast;

__attribute__((constructor)) static void grow(void) {
    const char* mb = getenv("KT_BENCH_GROW_MB");
    if (mb == NULL) return;
    size_t bytes = (size_t)strtoul(mb, NULL, 10) << 20;
    /* Only the server grows: the commands it spawns inherit its environment
     * and must start as small as they would on the device. */
    unsetenv("LD_PRELOAD");
    unsetenv("KT_BENCH_GROW_MB");
    if (bytes == 0) return;
    kt_bench_ballast = malloc(bytes);
    if (kt_bench_ballast != NULL) memset(kt_bench_ballast, 0x5a, bytes);
}
