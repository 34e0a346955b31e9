// Process entry: command line, configuration, logging, device link, server
// start, routes, and the wait loop that ends on SIGTERM or SIGINT.
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>

#include <log4cpp/Category.hh>
#include <log4cpp/OstreamAppender.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/PropertyConfigurator.hh>

#include <iostream>

#include "IPtask.h"
#include "devpath.h"
#include "log.h"
#include "process_qr370.h"
#include "process_xml.h"
#include "user_case.h"
#include "webserver.h"

struct ConfInfoFile {
    std::string xml_path;
    std::string json_path;
    std::string mode;
};

void CIVET_HELP(const char* program);
void IpReadCallBack(const T_RspMsg* rsp);

std::atomic<int> exitNow{0};

namespace {

const int kWaitSeconds = 5;

struct ModeName {
    const char* text;
    WEB_START_MODE mode;
};
const ModeName kModes[] = {{"http", WEB_MODE_HTTP}, {"https", WEB_MODE_HTTPS}};

// Library features the server cannot run without; each missing one is
// named in its own line before the start is given up.
struct LibraryFeature {
    int (*check)();
    const char* name;
};
const LibraryFeature kFeatures[] = {
    {Civetweb_check_WEBSOCKET_feature, "websocket"},
    {Civetweb_check_SSL_feature, "SSL"},
};

ConfInfoFile webconfig;

WEB_START_MODE Start_Mode(const std::string& text) {
    for (const ModeName& m : kModes) {
        if (text == m.text) return m.mode;
    }
    return WEB_MODE_BOTH;
}

// Options append to what their field holds: a repeated option concatenates.
int Read_Command_Line(int argc, char** argv, ConfInfoFile& config) {
    static const struct option kOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {"xml", required_argument, nullptr, 'x'},
        {"json", required_argument, nullptr, 'j'},
        {"mode", required_argument, nullptr, 'm'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "hx:j:m:", kOptions, nullptr)) != -1) {
        switch (c) {
        case 'x': config.xml_path += optarg; break;
        case 'j': config.json_path += optarg; break;
        case 'm': config.mode += optarg; break;
        default:  // 'h', unknown options and missing arguments
            CIVET_HELP(argv[0]);
            return -1;
        }
    }
    if (config.xml_path.empty()) config.xml_path = "./ktwebserver.xml";
    if (config.json_path.empty()) config.json_path = "./ktwebserver.json";
    if (config.mode.empty()) config.mode = "http";
    printf("webserver : ready to start with %s\n", config.mode.c_str());
    fflush(stdout);
    return 0;
}

// Until the logging configuration is read, log lines (such as the warning
// for a missing certificate) go to standard output, like the other messages
// of the start; the configuration then replaces this appender.
void Log_To_Stdout_Until_Configured() {
    auto* appender = new log4cpp::OstreamAppender("startup", &std::cout);
    auto* layout = new log4cpp::PatternLayout();
    layout->setConversionPattern("[%p] %m%n");
    appender->setLayout(layout);
    log4cpp::Category::getRoot().addAppender(appender);
}

// The configuration always comes from the device's fixed file, whatever
// option x names.
bool Read_Configuration(ConfInfoParam* conf) {
    const char* conf_path = dev_path(PATH_WEBCONF_XML);
    if (GetConfParamfromxml(conf_path, conf, Start_Mode(webconfig.mode)) == 1) return true;
    printf("error! : web can't get config from %s", conf_path);
    fflush(stdout);
    return false;
}

// log4cpp opens its log files without close-on-exec; every device command
// would inherit them (and could write into the served log). Marked once
// logging is configured, while the process has no other thread yet: what
// is open then beyond the standard streams is the log's or inherited.
void Close_On_Exec_Beyond_Stdio() {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc/self/fd"), closedir);
    if (!dir) return;
    while (const dirent* entry = readdir(dir.get())) {
        char* end = nullptr;
        const long fd = strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd <= STDERR_FILENO) continue;
        const int flags = fcntl(static_cast<int>(fd), F_GETFD);
        if (flags >= 0) fcntl(static_cast<int>(fd), F_SETFD, flags | FD_CLOEXEC);
    }
}

bool Configure_Logging(const ConfInfoParam& conf) {
    try {
        log4cpp::PropertyConfigurator::configure(conf.log_confpath);
    } catch (const std::exception& e) {
        fprintf(stderr, "error! : can't configure logging from %s: %s\n",
                conf.log_confpath.c_str(), e.what());
        return false;
    }
    Close_On_Exec_Beyond_Stdio();
    return true;
}

// From configured logging to the end of main, lines go through the log's
// writer thread; leaving main by any path writes what is still queued.
class LogWriterRun {
public:
    LogWriterRun() { Start_Log_Writer(); }
    ~LogWriterRun() { Stop_Log_Writer(); }
    LogWriterRun(const LogWriterRun&) = delete;
    LogWriterRun& operator=(const LogWriterRun&) = delete;
};

bool Open_Device_Link() {
    g_IP_task = new IPTask();
    if (g_IP_task->IP_INIT(IpReadCallBack) == 0) return true;
    delete g_IP_task;
    g_IP_task = nullptr;
    LOG_ERROR("IP task init failed!!!");
    return false;
}

// Every feature is checked, so the log names all that are missing.
bool Library_Is_Complete() {
    bool complete = true;
    for (const LibraryFeature& feature : kFeatures) {
        if (feature.check()) continue;
        LOG_ERROR("error: Embedded example built with %s support, but civetweb library build "
                  "without.",
                  feature.name);
        complete = false;
    }
    if (!complete) LOG_ERROR("Cannot start CivetWeb - inconsistent build.");
    return complete;
}

mg_context* Start_Server(const ConfInfoParam& conf) {
    web_options options;
    options.document_root = conf.web_rootpath;
    options.listening_ports = conf.web_port;
    options.ssl_certificate = conf.web_cermpath;
    mg_context* ctx = ServerStart(&options, nullptr);
    if (ctx == nullptr) {
        LOG_ERROR("error: Cannot start CivetWeb - mg_start failed.");
        return nullptr;
    }
    List_All_ServerPort(ctx);
    SetWebsocketHandler(ctx, websocket_handler, nullptr);
    Register_Routes(ctx);
    Guard_Static_Files(ctx);
    return ctx;
}

void Stop_Signals(sigset_t* set) {
    sigemptyset(set);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGINT);
}

// The process runs until SIGTERM or SIGINT (or a set exitNow).
void Wait_For_Stop(const sigset_t& stop_signals) {
    while (exitNow == 0) {
        const struct timespec wait = {kWaitSeconds, 0};
        int sig = sigtimedwait(&stop_signals, nullptr, &wait);
        if (sig == SIGTERM || sig == SIGINT) exitNow = 1;
    }
}

}  // namespace

void CIVET_HELP(const char* program) {
    printf("%s [options]\n", program);
    printf("default: [%s -x ./ktwebserver.xml -m http]\n", program);
    printf("\t-h --help\t\tshow this help\n");
    printf("\t-x --xml\t\tset xml file path\n");
    printf("\t-m --mode\t\tstart with http or https\n");
    fflush(stdout);
}

int GetConfFile(int argc, char** argv) { return Read_Command_Line(argc, argv, webconfig); }

// Called by the device library once per text of the control service, from
// the moment the link is open: every logged-in client receives it.
void IpReadCallBack(const T_RspMsg* rsp) {
    if (rsp == nullptr) return;
    Send_370_Websocket_Json_Data("command", 0, rsp->data);
}

int main(int argc, char** argv) {
    // SIGTERM and SIGINT are taken by the wait loop only: blocked before any
    // thread starts, so every thread inherits the mask.
    sigset_t stop_signals;
    Stop_Signals(&stop_signals);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    if (GetConfFile(argc, argv) == -1) return -1;
    Log_To_Stdout_Until_Configured();
    ConfInfoParam conf;
    if (!Read_Configuration(&conf) || !Configure_Logging(conf)) return -1;
    LogWriterRun log_writer;
    PrintConfInfoParam(&conf);
    if (!Open_Device_Link()) return -1;
    if (!Library_Is_Complete()) return 1;
    mg_context* ctx = Start_Server(conf);
    if (ctx == nullptr) return 1;

    Wait_For_Stop(stop_signals);

    Stop_Log_Writer();
    log4cpp::Category::shutdown();
    ServerStop(ctx);
    delete g_IP_task;
    g_IP_task = nullptr;
    return 0;
}
