// HTTP server frame (start, TLS, routes) and the shell, text and file
// utilities that every handler shares.
#ifndef KT_WEBSERVER_H
#define KT_WEBSERVER_H

#include <stdint.h>
#include <stdio.h>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "civetweb.h"

// The process's stop flag, defined by the process entry: non-zero ends the
// wait loop, and open image streams end with it.
extern std::atomic<int> exitNow;

// ---- server start ---------------------------------------------------------

struct web_options {
    std::string document_root;
    std::string listening_ports;
    std::string ssl_certificate;
};

struct uri_list {
    const char* uri;
    mg_request_handler handler;
    void* cbdata;
};

typedef void (*websocket_msg_handler)(mg_connection* conn, char* data, int len);
// Receives every text frame of "/websocket"; set once before clients arrive.
extern websocket_msg_handler my_websocket_handler;

mg_context* ServerStart(const web_options* options, void* user_data);
void List_All_ServerPort(mg_context* ctx);
void SetWebsocketHandler(mg_context* ctx, websocket_msg_handler handler, void* cbdata);
void AddURIProcessHandler(mg_context* ctx, const uri_list* list, int count);
void ServerStop(mg_context* ctx);
int Civetweb_check_WEBSOCKET_feature();
int Civetweb_check_SSL_feature();
int init_ssl(void* ssl_ctx, void* user_data);
int log_message(const mg_connection* conn, const char* message);

// ---- response writers ------------------------------------------------------

// Body of a chunked download (2000-byte chunks and the last chunk); the
// caller has written the head. 1 sent or file not opened, 0 a chunk failed.
int send_chunk_file(mg_connection* conn, const char* path);
// JSON head, then text unchanged; the body ends when the connection closes.
int send_json_data(mg_connection* conn, const char* text);
// HTML head with the file's size, the file and "\r\n"; -1 on failure.
int send_html_file(mg_connection* conn, const char* path);
int Sendhtml(mg_connection* conn, const char* path);
// Multipart JPEG stream of the file, a frame a second, until the client goes
// away, the file is missing, or the server stops. Always 1.
int send_jpg_stream_file(mg_connection* conn, const char* path);
int sendjpgstream(mg_connection* conn, const char* path);

// ---- multipart forms ---------------------------------------------------------

// Field codes a field callback answers the form parser with.
enum {
    FORM_FIELD_SKIP = 0,   // go on with the next field
    FORM_FIELD_GET = 1,    // hand the value to the value callback
    FORM_FIELD_STORE = 2,  // store the contents at the path written
    FORM_FIELD_ABORT = 16  // read no further fields
};

// Runs the library's form parser: the number of fields, negative when the
// request cannot be read as a form.
int Set_Formdata_Handler(mg_connection* conn, mg_form_data_handler* handler);

// ---- request guards ------------------------------------------------------

// Server callback before every request: anything under the web root's
// WEB-INF (the credential store) and the TLS certificate with its private
// key are answered 404 whatever the URI's spelling or the links on the way.
int Refuse_Secret_File(mg_connection* conn);
// Takes every URI no route matches: GET and HEAD go on to the library's file
// serving, any other method (WebDAV among them) gets 405.
int Static_File_Handler(mg_connection* conn, void* cbdata);
// Registers Static_File_Handler; called after the routes.
void Guard_Static_Files(mg_context* ctx);
// Answers 403 (true) to a WebSocket handshake whose Origin names another
// host than the request's Host; no Origin is accepted.
bool Refuse_Cross_Site(const mg_connection* conn);

// ---- WebSocket client registry -------------------------------------------

// Where a connection stands in its session.
enum ws_conn_state : int32_t {
    WS_JOINED = 1,  // asked for the upgrade
    WS_READY = 2    // handshake done
};
enum ws_auth_flag : int32_t { WS_NOT_LOGGED_IN = 0, WS_LOGGED_IN = 1 };
// CheckIfAuth's answer.
enum ws_auth_check { WS_AUTH_NO_ENTRY = 0, WS_AUTH_LOGGED_IN = 1, WS_AUTH_NOT_LOGGED_IN = 2 };

// One WebSocket client; its record is the connection's user data from the
// connect handler to the close handler.
struct t_ws_client;

// First serial number handed to a WebSocket connection.
const int32_t WS_FIRST_SN = 30001;

int WebSocketConnectHandler(const mg_connection* conn, void* cbdata);
void WebSocketReadyHandler(mg_connection* conn, void* cbdata);
int WebsocketDataHandler(mg_connection* conn, int flags, char* data, size_t len, void* cbdata);
void WebSocketCloseHandler(const mg_connection* conn, void* cbdata);
// The server's connection_close callback: the registry entry of a WebSocket
// whose handshake the library refused after the connect handler ran leaves
// with its connection.
void Connection_Close_Handler(const mg_connection* conn);
int SetWebsocketConnVal(const mg_connection* conn, ws_conn_state state, ws_auth_flag auth);
int SetWebsocketConnSuccess(const mg_connection* conn);
int GetWSSNnum(const mg_connection* conn, int32_t* sn, int64_t* conn_time);
ws_auth_check CheckIfAuth(const mg_connection* conn);
void Send_Data_To_CurWebsocket(mg_connection* conn, const char* data, size_t len);
void Send_Data_To_ALLWebsocket(const char* data, size_t len);
int GetAppOnlineNum();
void AddAppOnlineNum();
void DeleteAppOnlineNum();
void mg_close_cur_connection(mg_connection* conn);

// ---- programs ---------------------------------------------------------------

// A program's words: argv[0] is the program (looked up in PATH when it holds
// no "/"), the rest its arguments. Request data travels only as whole words
// and never through a shell line.
typedef std::vector<std::string> Argv;

// Runs the program and waits: the raw wait status, 127 << 8 when the program
// cannot be run, -1 when no process could be started.
int Run_Program(const Argv& argv);
// Runs the program and appends its output to buf (zero-filled by the caller),
// never past size - 1 characters. 0, or -1 when it cannot start.
int Run_Program_Output(const Argv& argv, char* buf, int size);
// The command as the log shows it: the words joined by blanks.
std::string Command_Text(const Argv& argv);

// Appends output to a caller's zero-filled buffer as a line reader sees it:
// pieces of at most one line (or 2017 bytes of a longer one). Once the
// pieces exceed the buffer, it keeps size - 1 characters, logs the overflow
// and takes nothing more.
class OutputBuffer {
public:
    OutputBuffer(char* buf, int size);
    // False once the buffer has overflowed.
    bool Add(const char* piece, size_t len);
    // Adds text in the pieces a line reader would hand over.
    bool Add_Text(const std::string& text);

private:
    char* buf_;
    int size_;
    long remaining_;
};

// ---- text -----------------------------------------------------------------

// The text as valid UTF-8: every ill-formed sequence (each maximal part of
// one) becomes U+FFFD, valid UTF-8 passes byte for byte. A browser fails a
// WebSocket that receives invalid UTF-8 in a text frame.
std::string Valid_Utf8(const char* text, size_t len);
int Split_Str(std::string text, const char* sep, std::string& head, std::string& tail);
int Split_Multi_Str(const char* text, int index, char* out, int out_size, char sep);
int Process_Web_CH_Character(const char* src, char* out, int out_size);
void Delete_String_Terminate_Char(std::string& text);
int Analyze_Comment_Char(std::string& line, const char* marker);

// ---- files ----------------------------------------------------------------

int32_t get_file_size(const char* path);
int64_t get_time_ms();
// A file read line by line through a 64 KiB buffer of its own: a long list
// takes a few read() calls instead of one per 4 KiB, and no fstat() is spent
// on sizing the stream's default buffer, on every request that reads it.
class LineFile {
public:
    explicit LineFile(const char* path);
    ~LineFile();
    LineFile(const LineFile&) = delete;
    LineFile& operator=(const LineFile&) = delete;
    // False when the file could not be opened (errno tells why).
    bool is_open() const { return file_ != nullptr; }
    // The next line, line end included; false at the end of the file.
    bool Next(std::string& line);

private:
    FILE* file_;
    std::unique_ptr<char[]> buffer_;
};
int Get_Line_From_File(const char* path, std::string& line, int number);
int Analyze_Key_Value_File(const char* path, std::string& out, const char* joiner);
void FileToString(const char* path, std::string& text);

// New contents for a stored file, written beside it and put in place whole.
// The temporary file lives in the target's folder (so the rename never
// crosses a file system) under a hidden name; until Commit() the old file is
// untouched, and a destructor without Commit() removes the temporary: an
// interrupted store leaves the old bytes and nothing else behind. The new
// file keeps the old one's permissions (0644 for a new file): the web root's
// files are served and read by the device's scripts. A folder that others
// empty while the contents arrive takes its temporary from temp_dir instead,
// which must be on the same file system.
class AtomicFile {
public:
    explicit AtomicFile(const std::string& target, const std::string& temp_dir = std::string());
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    // False when the temporary could not be created (errno tells why).
    bool is_open() const { return fd_ >= 0; }
    const std::string& target() const { return target_; }
    // Bytes written so far.
    long long size() const { return size_; }
    // Appends; false once any write has failed (a full disk).
    bool Write(const void* data, size_t length);
    // Syncs the contents and renames them over the target; false (and the
    // temporary removed) when any step failed.
    bool Commit();

private:
    std::string target_;
    std::string temp_;
    int fd_;
    bool failed_;
    long long size_;
};
int StringToFile(const char* path, const char* data, size_t length);
// Copies a file through an AtomicFile: the target is replaced whole, or not at
// all when the source cannot be read.
bool Copy_File(const char* from, const char* to);

// ---- property files ------------------------------------------------------------

// Property files are "key=value" lines, as the device's own tools and the
// front-end's Java pages read and write them: a line belongs to a key when it
// begins with the key's text (so a key also selects the lines of every longer
// key that begins with it); its value is the text between the line's first
// and second "=".

// Every value of key in text, each followed by "\n", in file order: the
// output of awk -F= '/^key/ {print $2}'. A line end "\r" stays in the value.
std::string Property_Values(const std::string& text, const std::string& key);
// Replaces every line beginning with match by line and "\n", as sed's "c"
// command does (a last line without line end gains one); other lines keep
// their bytes. True when a line was replaced.
bool Replace_Property_Lines(std::string& text, const std::string& match, const std::string& line);
// Removes the line end of the last line (one final "\n").
void Strip_Final_Line_End(std::string& text);
// Changes a property file: its text (or, when it is missing and seed is
// given, the seed file's text) is edited and written beside it, then renamed
// over it. Changes of all property files are serialised, so two requests
// never lose each other's lines. 0, or -1 when the file (and seed) cannot be
// read or the new text cannot be stored.
int Edit_Property_File(const char* path, const std::function<void(std::string&)>& edit,
                       const char* seed = nullptr);
int BC_GET_Request_Body(mg_connection* conn, char* buf, size_t length);

#endif
