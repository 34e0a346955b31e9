// Form reception as the upload routes drive it: an in-process CivetWeb server
// on 127.0.0.1 with the zone, customization and device update routes in a
// sandbox device tree; each input is the body of one POST (its first byte
// picks the route, and with its top bit set sends the body URL-encoded
// instead of as multipart). After each request no file may exist outside the
// folders the routes store into.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "fuzz_common.h"
#include "process_qr370.h"
#include "webserver.h"

namespace {

const char kBoundary[] = "KtFuzzBoundary";
const char* const kRoutes[] = {"/api/v1/zones/passwd", "/custom_upload", "/update_device"};
const int kIoTimeoutSeconds = 20;

mg_context* g_ctx = nullptr;
int g_port = 0;
std::string g_root;
std::string g_allowed[5];

void Start_Server() {
    const std::string& root = Fuzz_Sandbox();
    const std::string web = root + "/home/ubuntu/apache-tomcat-7.0.42/webapps/ROOT";
    const char* options[] = {"document_root", web.c_str(), "listening_ports", "127.0.0.1:0",
                             "num_threads", "2", "request_timeout_ms", "10000", nullptr};
    mg_callbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    g_ctx = mg_start(&callbacks, nullptr, options);
    if (g_ctx == nullptr) Fuzz_Fail("mg_start");
    mg_set_request_handler(g_ctx, "/api/v1/zones/passwd", Upload_Zone_File_Handler, nullptr);
    mg_set_request_handler(g_ctx, "/custom_upload$", Custom_Upload_Handler, nullptr);
    mg_set_request_handler(g_ctx, "/update_device", Update_Device_Handler, nullptr);
    mg_server_port ports[1];
    if (mg_get_server_ports(g_ctx, 1, ports) != 1) Fuzz_Fail("no port");
    g_port = ports[0].port;
    g_root = root;
    // Where the three routes may store; the sandbox's own files are there
    // from the start.
    g_allowed[0] = root + "/home/ubuntu/zone/";
    g_allowed[1] = root + "/home/ubuntu/update/";
    g_allowed[2] = web + "/customization/";
    g_allowed[3] = web + "/";  // favicon.ico, publictx.jpg; checked by name below
    g_allowed[4] = root + "/bin/";
}

void Stop_Server() { mg_stop(g_ctx); }

bool Allowed(const std::string& path) {
    for (int i = 0; i < 3; i++) {
        if (path.compare(0, g_allowed[i].size(), g_allowed[i]) == 0) {
            // Only files directly in the folder; a file name never makes one.
            return path.find('/', g_allowed[i].size()) == std::string::npos;
        }
    }
    // tempweb.txt: the title's scratch copy, kept when it cannot go back.
    for (const char* name : {"favicon.ico", "publictx.jpg", "tempweb.txt"}) {
        if (path == g_allowed[3] + name) return true;
    }
    return path.compare(0, g_allowed[4].size(), g_allowed[4]) == 0 ||
           path.compare(0, g_root.size() + 6, g_root + "/sbin/") == 0 ||
           path.compare(0, g_root.size() + 15, g_root + "/usr/local/bin/") == 0 ||
           path.find("/WEB-INF/classes/") != std::string::npos ||
           path.find("/civetweb/") != std::string::npos;
}

void Check_Tree() {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(g_root, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->is_directory()) continue;
        if (!Allowed(it->path().string())) {
            fprintf(stderr, "stored outside its folder: %s\n", it->path().c_str());
            Fuzz_Fail("a form field stored a file outside the route's folder");
        }
    }
}

// Loopback can run short of a free port or a queue slot for a moment when
// other test runs share the machine; a server that takes no connection for
// five seconds is a finding.
const int kConnectTries = 50;
const useconds_t kConnectPauseUs = 100 * 1000;

int Connect_To_Server() {
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(g_port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int tries = 1;; tries++) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) Fuzz_Fail("socket");
        timeval tv = {kIoTimeoutSeconds, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return fd;
        const int error = errno;
        close(fd);
        if (tries >= kConnectTries) {
            fprintf(stderr, "connect: %s\n", strerror(error));
            Fuzz_Fail("connect");
        }
        usleep(kConnectPauseUs);
    }
}

void Post(const char* route, bool urlencoded, const uint8_t* body, size_t size) {
    const int fd = Connect_To_Server();
    const std::string type = urlencoded ? std::string("application/x-www-form-urlencoded")
                                        : std::string("multipart/form-data; boundary=") + kBoundary;
    char head[512];
    const int n = snprintf(head, sizeof(head),
                           "POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                           "Content-Type: %s\r\nContent-Length: %zu\r\n\r\n",
                           route, type.c_str(), size);
    std::string request(head, static_cast<size_t>(n));
    request.append(reinterpret_cast<const char*>(body), size);
    for (size_t sent = 0; sent < request.size();) {
        const ssize_t w = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (w <= 0) break;  // the server may answer and close before reading all
        sent += static_cast<size_t>(w);
    }
    // The answer ends when the server closes: the handler has returned. The
    // server gives up on a silent client after 10 s, so silence beyond the
    // receive timeout is a handler that never returns.
    char buf[4096];
    ssize_t r;
    while ((r = recv(fd, buf, sizeof(buf), 0)) > 0) {
    }
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) Fuzz_Fail("no answer: a worker hangs");
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Fuzz_Quiet_Log();
    Start_Server();
    atexit(Stop_Server);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Post(kRoutes[(data[0] & 0x7f) % 3], (data[0] & 0x80) != 0, data + 1, size - 1);
    Check_Tree();
    return 0;
}
