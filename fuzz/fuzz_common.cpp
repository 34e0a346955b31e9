#include "fuzz_common.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include <log4cpp/Category.hh>
#include <log4cpp/OstreamAppender.hh>

// The process's stop flag, which the process entry defines in the server.
std::atomic<int> exitNow{0};

namespace {

// A stream without a buffer drops what it is given: log lines go nowhere, but
// only after formatting, so a bad argument of a log line (an unterminated
// text) is caught like any other read.
std::ostream g_nowhere(nullptr);

std::string g_root;

// Stored uploads are followed by a sync of every file system, and the
// customization route reboots: here both only answer. The password script
// answers "original password wrong".
const char kAnswer[] = "#!/bin/sh\nexit 0\n";

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
    if (mkdtemp(tmpl) == nullptr) Fuzz_Fail("mkdtemp");
    g_root = tmpl;
    atexit([] { std::filesystem::remove_all(g_root); });
    const std::string web = g_root + "/home/ubuntu/apache-tomcat-7.0.42/webapps/ROOT";
    for (const char* dir : {"/WEB-INF/classes", "/civetweb", "/customization"})
        std::filesystem::create_directories(web + dir);
    for (const char* dir : {"/home/ubuntu/zone", "/home/ubuntu/update", "/bin", "/run", "/sbin", "/usr/local/bin"})
        std::filesystem::create_directories(g_root + dir);
    Fuzz_Write_File(web + "/WEB-INF/classes/server.properties",
                    "adminName=admin\nadminPassWord=admin123\nuserName1=operator\nuserPassWord1=operator123\n");
    Fuzz_Write_File(web + "/civetweb/getServiceParam.sh", "#!/bin/sh\necho \"$1\"\n", 0755);
    Fuzz_Write_File(web + "/customization/custom.properties", "webTitle=Title\nlanguage=en\n");
    Fuzz_Write_File(g_root + "/bin/sync", kAnswer, 0755);
    Fuzz_Write_File(g_root + "/sbin/reboot", kAnswer, 0755);
    Fuzz_Write_File(g_root + "/usr/local/bin/changepasswd.sh", "#!/bin/sh\necho 2\n", 0755);
    setenv("DEVICE_ROOT", g_root.c_str(), 1);
    // No control service listens here: a send fails at once.
    setenv("DEVLINK_SOCKET", (g_root + "/run/none.sock").c_str(), 1);
    const char* path = getenv("PATH");
    setenv("PATH", (g_root + "/bin:" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    return g_root;
}

void Fuzz_Write_File(const std::string& path, const std::string& bytes, int mode) {
    if (!(std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes)) Fuzz_Fail("cannot write a fuzz file");
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

void Fuzz_Fail(const char* why) {
    fprintf(stderr, "fuzz check failed: %s\n", why);
    abort();
}
