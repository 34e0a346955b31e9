#include "fuzz_common.h"

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include <log4cpp/Category.hh>
#include <log4cpp/OstreamAppender.hh>

#include "devpath.h"

// The process's stop flag, which the process entry defines in the server.
std::atomic<int> exitNow{0};

namespace {

// A stream without a buffer drops what it is given, after formatting: a bad
// argument of a log line (an unterminated text) is caught like any other read.
std::ostream g_nowhere(nullptr);

std::string g_root;

// The customization route reboots the device: here that only answers.
const char kReboot[] = "#!/bin/sh\nexit 0\n";

}  // namespace

__attribute__((weak)) void Fuzz_Setup() {}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.removeAllAppenders();
    root.addAppender(new log4cpp::OstreamAppender("null", &g_nowhere));
    root.setPriority(log4cpp::Priority::DEBUG);
    Fuzz_Setup();
    return 0;
}

const std::string& Fuzz_Sandbox() {
    if (!g_root.empty()) return g_root;
    char tmpl[] = "/tmp/kt-fuzz-XXXXXX";
    g_root = mkdtemp(tmpl) ? tmpl : (Fuzz_Fail("mkdtemp"), "");
    atexit([] { std::filesystem::remove_all(g_root); });
    setenv("DEVICE_ROOT", g_root.c_str(), 1);
    Fuzz_Write_File(dev_path(PATH_SERVER_PROPERTIES), "adminName=admin\nadminPassWord=admin123\n"
                    "userName1=operator\nuserPassWord1=operator123\n");
    Fuzz_Write_File(dev_path(PATH_SERVICE_PARAM_SH), "#!/bin/sh\necho \"$1\"\n", 0755);
    Fuzz_Write_File(dev_path(PATH_CUSTOM_PROPERTIES), "webTitle=Title\nlanguage=en\n");
    Fuzz_Write_File(dev_path(PATH_REBOOT), kReboot, 0755);
    Fuzz_Write_File(dev_path(PATH_CHANGEPASSWD_SH), "#!/bin/sh\necho 2  # wrong password\n", 0755);
    // No control service listens here: a send fails at once.
    setenv("DEVLINK_SOCKET", (g_root + "/run/none.sock").c_str(), 1);
    return g_root;
}

void Fuzz_Write_File(const std::string& path, const std::string& bytes, int mode) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    if (!(std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes))
        Fuzz_Fail("cannot write a fuzz file");
    std::filesystem::permissions(path, static_cast<std::filesystem::perms>(mode));
}

void Fuzz_Fail(const char* why) {
    fprintf(stderr, "fuzz check failed: %s\n", why);
    abort();
}
