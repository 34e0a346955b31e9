#include "fuzz_common.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>

// The process's stop flag, which the process entry defines in the server.
std::atomic<int> exitNow{0};

namespace {

class NullAppender : public log4cpp::AppenderSkeleton {
public:
    NullAppender() : AppenderSkeleton("null") {}
    void close() override {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout*) override {}

protected:
    void _append(const log4cpp::LoggingEvent&) override {}
};

std::string g_root;

void Remove_Sandbox() {
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
}

const char kServerProperties[] =
    "adminName=admin\nadminPassWord=admin123\nuserName1=operator\nuserPassWord1=operator123\n";
const char kServiceScript[] = "#!/bin/sh\necho \"$1\"\n";
// Stored uploads are followed by a sync of every file system: the tree is
// thrown away, so that costs only time here.
const char kNoSync[] = "#!/bin/sh\nexit 0\n";
// The customization route reboots after its changes and may run the password
// script: here both only answer (the script: "original password wrong").
const char kNoReboot[] = "#!/bin/sh\nexit 0\n";
const char kPasswordScript[] = "#!/bin/sh\necho 2\n";

}  // namespace

const std::string& Fuzz_Sandbox() {
    if (!g_root.empty()) return g_root;
    char tmpl[] = "/tmp/kt-fuzz-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) Fuzz_Fail("mkdtemp");
    g_root = tmpl;
    atexit(Remove_Sandbox);
    const std::string web = g_root + "/home/ubuntu/apache-tomcat-7.0.42/webapps/ROOT";
    for (const std::string& dir :
         {web + "/WEB-INF/classes", web + "/civetweb", web + "/customization",
          g_root + "/home/ubuntu/zone", g_root + "/home/ubuntu/update", g_root + "/bin",
          g_root + "/run", g_root + "/sbin", g_root + "/usr/local/bin"}) {
        std::filesystem::create_directories(dir);
    }
    Fuzz_Write_File(web + "/WEB-INF/classes/server.properties", kServerProperties);
    Fuzz_Write_File(web + "/civetweb/getServiceParam.sh", kServiceScript, 0755);
    Fuzz_Write_File(web + "/customization/custom.properties", "webTitle=Title\nlanguage=en\n");
    Fuzz_Write_File(g_root + "/bin/sync", kNoSync, 0755);
    Fuzz_Write_File(g_root + "/sbin/reboot", kNoReboot, 0755);
    Fuzz_Write_File(g_root + "/usr/local/bin/changepasswd.sh", kPasswordScript, 0755);
    setenv("DEVICE_ROOT", g_root.c_str(), 1);
    // No control service listens here: a send fails at once.
    setenv("DEVLINK_SOCKET", (g_root + "/run/none.sock").c_str(), 1);
    const char* path = getenv("PATH");
    setenv("PATH", (g_root + "/bin:" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    return g_root;
}

void Fuzz_Quiet_Log() {
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.removeAllAppenders();
    root.addAppender(new NullAppender());
    root.setPriority(log4cpp::Priority::DEBUG);
}

void Fuzz_Write_File(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) Fuzz_Fail("cannot write a fuzz file");
    if (size > 0) fwrite(data, 1, size, f);
    fclose(f);
}

void Fuzz_Write_File(const std::string& path, const std::string& text, int mode) {
    Fuzz_Write_File(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

void Fuzz_Fail(const char* why) {
    fprintf(stderr, "fuzz check failed: %s\n", why);
    abort();
}
