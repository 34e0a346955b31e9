// Every fixed response head the server writes, and the one writer of them.
// Handlers answer with raw bytes: the device's front-end and the companion
// application compare status lines and headers as they stand.
#ifndef KT_HTTP_RESPONSE_H
#define KT_HTTP_RESPONSE_H

struct mg_connection;

enum http_head {
    HEAD_OK,              // 200, empty body, readable by the front-end's scripts
    HEAD_OK_BARE,         // 200, empty body, no access-control header
    HEAD_ERROR,           // 500, empty body, connection closed
    HEAD_FILE_NOT_FOUND,  // 500 without access-control header
    HEAD_UNAUTHORIZED,    // 401, empty body
    HEAD_DOWNLOAD,        // chunked attachment; argument: the file name
    HEAD_EXPORT,          // the same without access-control header
    HEAD_LENGTH,          // 200 with a Content-Length; argument: the length
    HEAD_JSON,            // JSON whose end is the connection's close
    HEAD_HTML,            // HTML page; argument: its length
    HEAD_STREAM,          // multipart JPEG stream
    HEAD_COUNT
};

// Writes the head, filled with the arguments its row names after the
// connection (the last named parameter: an enum there would be promoted,
// which va_start does not allow): the result of mg_write.
int Send_Head(http_head head, mg_connection* conn, ...);

int send_http_ok_rsp(mg_connection* conn);
int send_http_error_rsp(mg_connection* conn);
int send_http_pwd_success_rsp(mg_connection* conn);
int send_http_pwd_fail_rsp(mg_connection* conn);
int send_http_file_notfound_rsp(mg_connection* conn);
// Chunked attachment download of path under name; the head goes out before
// the file is opened.
int send_http_file_found_rsp(mg_connection* conn, const char* path, const char* name);

#endif
