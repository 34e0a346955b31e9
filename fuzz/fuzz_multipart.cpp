// Form reception as the upload routes drive it: an in-process CivetWeb server on
// 127.0.0.1 with the zone, customization and device update routes in a sandbox
// device tree. Each input is the body of one POST: its first byte picks the route,
// and its top bit sends the body URL-encoded instead of as multipart. After each
// request no file may exist outside the folders the routes store into.
#include <arpa/inet.h>
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "devpath.h"
#include "fuzz_common.h"
#include "process_qr370.h"
#include "webserver.h"

namespace {

const char* const kRoutes[] = {"/api/v1/zones/passwd", "/custom_upload", "/update_device"};
const char* const kTypes[] = {"multipart/form-data; boundary=KtFuzzBoundary",
                              "application/x-www-form-urlencoded"};

mg_context* g_ctx = nullptr;
sockaddr_in g_addr;
// Where a file may be: directly in one of these folders (a file name never makes
// a folder), or one of these files.
std::set<std::string> g_allowed;

void Check_Tree() {
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(Fuzz_Sandbox(), ec), end;
         !ec && it != end; it.increment(ec)) {
        const std::string path = it->path(), dir = it->path().parent_path();
        if (it->is_directory() || g_allowed.count(path) || g_allowed.count(dir)) continue;
        Fuzz_Fail(("a form field stored a file outside the route's folder: " + path).c_str());
    }
}

// Loopback can run short of a free port or a queue slot for a moment when other
// runs share the machine: only no connection for five seconds is a finding.
int Connect_To_Server() {
    const timeval tv = {20, 0};  // the receive timeout: twice the server's for a silent client
    for (int tries = 0; tries < 50; tries++, usleep(100 * 1000)) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) Fuzz_Fail("socket");
        if (connect(fd, reinterpret_cast<sockaddr*>(&g_addr), sizeof g_addr) == 0) return fd;
        close(fd);
    }
    Fuzz_Fail((std::string("connect: ") + strerror(errno)).c_str());
}

void Post(const char* route, bool urlencoded, const uint8_t* body, size_t size) {
    const std::string request = std::string("POST ") + route + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Connection: close\r\nContent-Type: " + kTypes[urlencoded] + "\r\nContent-Length: " +
        std::to_string(size) + "\r\n\r\n" + std::string(reinterpret_cast<const char*>(body), size);
    const int fd = Connect_To_Server();
    // The server may answer before reading all. libFuzzer's alarm interrupts these calls
    // (not restarted): given up, the tree would be checked while the handler still runs.
    for (size_t sent = 0; sent < request.size();) {
        const ssize_t w = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (w > 0) sent += static_cast<size_t>(w);
        else if (errno != EINTR) break;
    }
    // The answer ends when the handler has returned and the server closes. A silent
    // client is given up after 10 s: silence beyond 20 s is a handler that never returns.
    ssize_t r;
    char buf[4096];
    while ((r = recv(fd, buf, sizeof(buf), 0)) > 0 || (r < 0 && errno == EINTR)) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) Fuzz_Fail("no answer: a worker hangs");
    close(fd);
}

}  // namespace

void Fuzz_Setup() {
    const char* web = (Fuzz_Sandbox(), dev_path(PATH_WEB_ROOT));  // the sandbox first
    const char* options[] = {"document_root", web, "listening_ports", "127.0.0.1:0",
                             "num_threads", "2", "request_timeout_ms", "10000", nullptr};
    const mg_callbacks callbacks{};
    g_ctx = mg_start(&callbacks, nullptr, options);
    if (g_ctx == nullptr) Fuzz_Fail("mg_start");
    atexit([] { mg_stop(g_ctx); });
    mg_set_request_handler(g_ctx, "/api/v1/zones/passwd", Upload_Zone_File_Handler, nullptr);
    mg_set_request_handler(g_ctx, "/custom_upload$", Custom_Upload_Handler, nullptr);
    mg_set_request_handler(g_ctx, "/update_device", Update_Device_Handler, nullptr);
    mg_server_port port;
    if (mg_get_server_ports(g_ctx, 1, &port) != 1) Fuzz_Fail("no port");
    g_addr = {AF_INET, htons(static_cast<uint16_t>(port.port)), {htonl(INADDR_LOOPBACK)}, {}};
    for (DevPathId id : {PATH_ZONE_DIR, PATH_UPDATE_DIR, PATH_CUSTOMIZATION_DIR, PATH_WEB_CLASSES,
                         PATH_CIVETWEB_DIR, PATH_FAVICON, PATH_PUBLIC_TX_PREVIEW, PATH_REBOOT,
                         PATH_CHANGEPASSWD_SH})
        g_allowed.insert(dev_path(id));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Post(kRoutes[(data[0] & 0x7f) % 3], (data[0] & 0x80) != 0, data + 1, size - 1);
    Check_Tree();
    return 0;
}
