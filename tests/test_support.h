// What the unit test programs share.
#ifndef KT_TEST_SUPPORT_H
#define KT_TEST_SUPPORT_H

#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <string>

// The server code's stop flag, which the process entry defines.
std::atomic<int> exitNow{0};

// A fresh folder under /tmp, removed with everything in it.
struct TempDir {
    const std::string path = mkdtemp(&std::string("/tmp/kt-unit-XXXXXX")[0]);
    ~TempDir() { std::filesystem::remove_all(path); }
};

#endif
