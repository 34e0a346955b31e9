/* The smallest CivetWeb program that answers like ktwebserver: the same
 * library build and server options, each fixed route answered from a
 * handler with bytes captured from ktwebserver beforehand, every other path
 * served from the document root by the library. The yardstick of the
 * fixed-route benchmark.
 *   cw-minimal ROOT PORT [URI=FILE ...]
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "civetweb.h"

struct fixed_answer {
    char* bytes;
    size_t len;
};

static volatile sig_atomic_t stop_now = 0;

static void on_signal(int sig) {
    (void)sig;
    stop_now = 1;
}

static int answer(struct mg_connection* conn, void* cbdata) {
    const struct fixed_answer* a = (const struct fixed_answer*)cbdata;
    mg_write(conn, a->bytes, a->len);
    return 1;
}

static int quiet(const struct mg_connection* conn, const char* message) {
    (void)conn;
    (void)message;
    return 1;
}

static int load(const char* path, struct fixed_answer* a) {
    FILE* f = fopen(path, "rb");
    if (f == NULL) return -1;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fseek(f, 0, SEEK_SET);
    a->bytes = malloc(n > 0 ? (size_t)n : 1);
    a->len = fread(a->bytes, 1, (size_t)n, f);
    fclose(f);
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s ROOT PORT [URI=FILE ...]\n", argv[0]);
        return 2;
    }
    const char* options[] = {"document_root", argv[1],
                             "listening_ports", argv[2],
                             "request_timeout_ms", "10000",
                             "error_log_file", "error.log",
                             "websocket_timeout_ms", "3600000",
                             "enable_auth_domain_check", "no",
                             NULL};
    struct mg_callbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.log_message = quiet;
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    struct mg_context* ctx = mg_start(&callbacks, NULL, options);
    if (ctx == NULL) return 1;
    for (int i = 3; i < argc; i++) {
        char* eq = strchr(argv[i], '=');
        struct fixed_answer* a = calloc(1, sizeof(*a));
        if (eq == NULL || a == NULL) return 2;
        *eq = '\0';
        if (load(eq + 1, a) != 0) {
            fprintf(stderr, "cannot read %s\n", eq + 1);
            return 2;
        }
        mg_set_request_handler(ctx, argv[i], answer, a);
    }
    printf("ready\n");
    fflush(stdout);
    while (!stop_now) pause();
    mg_stop(ctx);
    return 0;
}
