#include "http_response.h"

#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "civetweb.h"
#include "log.h"
#include "webserver.h"

namespace {

#define KT_200 "HTTP/1.1 200 OK\r\n"
#define KT_500 "HTTP/1.1 500 Internal Server Error\r\n"
#define KT_TOMCAT "Server: Apache-Coyote/1.1\r\n"
#define KT_ANY_ORIGIN "access-control-allow-origin: *\r\n"
#define KT_ATTACHMENT                                      \
    "Content-Disposition: attachment;filename=\"%s\"\r\n" \
    "Content-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n\r\n"

struct head_row {
    http_head id;
    const char* format;
};

// Order follows http_head.
const head_row kHeads[] = {
    {HEAD_OK, KT_200 KT_TOMCAT KT_ANY_ORIGIN "Content-Length: 0\r\n\r\n"},
    {HEAD_OK_BARE, KT_200 KT_TOMCAT "Content-Length: 0\r\n\r\n"},
    {HEAD_ERROR, KT_500 KT_TOMCAT KT_ANY_ORIGIN
                 "Content-Length: 0\r\nConnection: close\r\n\r\n"},
    {HEAD_FILE_NOT_FOUND, KT_500 KT_TOMCAT
                          "Content-Length: 0\r\nConnection: close\r\n\r\n"},
    {HEAD_UNAUTHORIZED, "HTTP/1.1 401 Unauthorized\r\n" KT_TOMCAT "Content-Length: 0\r\n\r\n"},
    {HEAD_DOWNLOAD, KT_200 KT_TOMCAT KT_ANY_ORIGIN KT_ATTACHMENT},
    {HEAD_EXPORT, KT_200 KT_TOMCAT KT_ATTACHMENT},
    {HEAD_LENGTH, KT_200 KT_TOMCAT "Content-Length: %d\r\n\r\n"},
    {HEAD_JSON, KT_200 "Cache-Control: no-cache\r\n" KT_ANY_ORIGIN
                "Connection: close\r\nContent-Type: application/json;charset=utf-8\r\n\r\n"},
    {HEAD_HTML, KT_200 "Content-Type: text/html\r\nConnection: close\r\n"
                "Content-Length: %d\r\nAccept-Ranges: bytes\r\n\r\n"},
    {HEAD_STREAM, KT_200 KT_TOMCAT "connection: close\r\n"
                  "Content-Type: multipart/x-mixed-replace; boundary=--w00t\r\n\r\n"},
};
static_assert(sizeof(kHeads) / sizeof(kHeads[0]) == HEAD_COUNT, "every head needs a row");

}  // namespace

int Send_Head(http_head head, mg_connection* conn, ...) {
    const char* format = kHeads[head].format;
    va_list args;
    va_start(args, conn);
    va_list again;
    va_copy(again, args);
    const int len = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(len > 0 ? static_cast<size_t>(len) + 1 : 1, '\0');
    vsnprintf(&text[0], text.size(), format, again);
    va_end(again);
    return mg_write(conn, text.data(), text.size() - 1);
}

int send_http_ok_rsp(mg_connection* conn) { return Send_Head(HEAD_OK, conn); }
int send_http_error_rsp(mg_connection* conn) { return Send_Head(HEAD_ERROR, conn); }
int send_http_pwd_success_rsp(mg_connection* conn) { return Send_Head(HEAD_OK_BARE, conn); }
int send_http_pwd_fail_rsp(mg_connection* conn) { return Send_Head(HEAD_UNAUTHORIZED, conn); }
int send_http_file_notfound_rsp(mg_connection* conn) {
    return Send_Head(HEAD_FILE_NOT_FOUND, conn);
}

int send_http_file_found_rsp(mg_connection* conn, const char* path, const char* name) {
    // The 200 head promises the file; once sent, a file that cannot be read
    // could only end in a chunked body that never finishes, which a browser
    // shows as a broken download. Such a file gets the not-found answer.
    if (access(path, R_OK) != 0) {
        LOG_ERROR("open file error");
        send_http_file_notfound_rsp(conn);
        return 1;
    }
    Send_Head(HEAD_DOWNLOAD, conn, name);
    return send_chunk_file(conn, path);
}
