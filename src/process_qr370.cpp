#include "process_qr370.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "IPtask.h"
#include "devpath.h"
#include "log.h"
#include "process_json.h"
#include "webserver.h"

namespace {

// The service script's command line as the device's tools knew it: a
// parameter that would make it longer is refused, not cut into another one.
const size_t kServiceCmdSize = 300;

// Replaces every line beginning with match by "key=value" in file; with
// final_line_end false the file's last line then loses its line end. The
// value reaches the file byte for byte; one with a line break would split
// the entry and is refused. A missing file is started from seed, if given.
int Replace_Property(const char* file, const char* match, const char* key, const char* value,
                     bool final_line_end = true, const char* seed = nullptr) {
    if (strpbrk(key, "\r\n") != nullptr || strpbrk(value, "\r\n") != nullptr) {
        LOG_ERROR("property value refused: it holds a line break");
        return -1;
    }
    const std::string line = std::string(key) + "=" + value;
    return Edit_Property_File(
        file,
        [&](std::string& text) {
            Replace_Property_Lines(text, match, line);
            if (!final_line_end) Strip_Final_Line_End(text);
        },
        seed);
}

// Appends the values of key in an already read property text to buf.
int Key_Value_From_Text(const std::string& text, const char* key, char* buf, int size) {
    if (buf == nullptr || size <= 0) return -1;
    OutputBuffer(buf, size).Add_Text(Property_Values(text, key));
    return 0;
}

// Removes a file or a whole tree; a path that is not there is no error.
void Remove_Path(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (ec) {
        LOG_WARN("cannot remove %s: %s", Log_Line_Text(path.c_str()).c_str(),
                 ec.message().c_str());
    }
}

void Empty_Directory(const char* dir);

}  // namespace

int ACCESS_PATH_EXIST(const char* path) {
    if (access(path, F_OK) == 0) return 0;
    LOG_WARN("WARING path [%s]! not exist", path);
    if (mkdir(path, 0777) == 0) return 0;
    LOG_ERROR("cannot create %s: %s", path, strerror(errno));
    return -1;
}

int ACCESS_FILE_EXIT_R_OK(const char* path) {
    if (access(path, F_OK) != 0) {
        LOG_WARN("WARING file [%s]! not exist", path);
        return -1;
    }
    if (access(path, R_OK) != 0) {
        LOG_WARN("WARING file [%s]! without read permission", path);
        return -2;
    }
    return 0;
}

int delete_terminate_char(char* text) {
    int len = static_cast<int>(strlen(text));
    if (len >= 2 && text[len - 2] == '\r') text[len - 2] = '\0';
    if (len >= 1 && text[len - 1] == '\n') text[len - 1] = '\0';
    return len;
}

int delete_file_terminate(const char* file) {
    return Edit_Property_File(file, Strip_Final_Line_End);
}

const char* GET_NAME_FROM_PATH(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

int Set_File_Key_Value(const char* file, const char* key, const char* value) {
    return Replace_Property(file, key, key, value);
}

int Get_File_Key_Value(const char* file, const char* key, char* buf, int size) {
    std::string text;
    FileToString(file, text);  // a missing file has no values
    return Key_Value_From_Text(text, key, buf, size);
}

int Get_ServiceFile_Key_Value(const char* script, const char* argument, char* buf, int size) {
    const Argv argv = {script, argument};
    const size_t length = strlen(script) + 1 + strlen(argument);
    if (length >= kServiceCmdSize) {
        LOG_ERROR("command refused: %zu bytes do not fit in %zu", length, kServiceCmdSize);
        return -1;
    }
    return Run_Program_Output(argv, buf, size);
}

// ===========================================================================
// Fixed responses
// ===========================================================================

namespace {

const char kOkRsp[] =
    "HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\naccess-control-allow-origin: *\r\n"
    "Content-Length: 0\r\n\r\n";
const char kErrorRsp[] =
    "HTTP/1.1 500 Internal Server Error\r\nServer: Apache-Coyote/1.1\r\n"
    "access-control-allow-origin: *\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const char kPwdSuccessRsp[] = "HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\nContent-Length: 0\r\n\r\n";
const char kPwdFailRsp[] =
    "HTTP/1.1 401 Unauthorized\r\nServer: Apache-Coyote/1.1\r\nContent-Length: 0\r\n\r\n";
const char kFileNotFoundRsp[] =
    "HTTP/1.1 500 Internal Server Error\r\nServer: Apache-Coyote/1.1\r\nContent-Length: 0\r\n"
    "Connection: close\r\n\r\n";
const char kDownloadHeadFormat[] =
    "HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\naccess-control-allow-origin: *\r\n"
    "Content-Disposition: attachment;filename=\"%s\"\r\nContent-Type: application/octet-stream\r\n"
    "Transfer-Encoding: chunked\r\n\r\n";
// The zone upload's own 200: no access-control header, unlike kOkRsp.
const char* const kZoneUploadRsp = kPwdSuccessRsp;

}  // namespace

int send_http_ok_rsp(mg_connection* conn) { return mg_printf(conn, "%s", kOkRsp); }
int send_http_error_rsp(mg_connection* conn) { return mg_printf(conn, "%s", kErrorRsp); }
int send_http_pwd_success_rsp(mg_connection* conn) { return mg_printf(conn, "%s", kPwdSuccessRsp); }
int send_http_pwd_fail_rsp(mg_connection* conn) { return mg_printf(conn, "%s", kPwdFailRsp); }
int send_http_file_notfound_rsp(mg_connection* conn) {
    return mg_printf(conn, "%s", kFileNotFoundRsp);
}

int send_http_file_found_rsp(mg_connection* conn, const char* path, const char* name) {
    mg_printf(conn, kDownloadHeadFormat, name);
    return send_chunk_file(conn, path);
}

// ===========================================================================
// Forms: one table of accepted fields per upload route
// ===========================================================================

namespace {

// One accepted form field. A null name accepts any field. A row whose
// file_format is null is a plain value (code 1); others store a file at
// file_format filled with the directory (and, with use_file_name, the last
// component of the client's file name).
struct form_field {
    const char* name;
    DevPathId dir;
    const char* file_format;
    bool needs_file_name;
    bool use_file_name;
    int flag;  // bit set in the request's state when the field is accepted
};

const size_t kNoField = static_cast<size_t>(-1);

size_t Find_Form_Field(const form_field* table, size_t rows, const char* key) {
    for (size_t i = 0; i < rows; i++) {
        if (table[i].name == nullptr || strcasecmp(table[i].name, key) == 0) return i;
    }
    return kNoField;
}

// Per-request state of every upload: the connection's user data while its
// form is read. The routes' callbacks decide the fields as the parser would
// ask them; a file they accept is not left to the parser's own store, which
// truncates the target first and deletes it when the body breaks off. Its
// contents come through the value callback into a temporary (AtomicFile)
// that is put in place once the field is complete: the parser asks about
// the next field only after the boundary that ends this one, and fails the
// whole form when the body breaks off mid-field, so a cut-off upload never
// replaces a stored file and leaves no temporary behind.
struct form_reception {
    mg_form_data_handler route;  // the route's callbacks; user_data is the connection
    // Routes that serialise their folder work keep complete files aside for
    // Commit_Received; the others put each in place at once.
    bool defer = false;
    const char* temp_dir = nullptr;  // null: each temporary beside its target
    int flags = 0;                   // flags of the accepted rows
    int accepted = 0;                // file fields accepted
    int stored = 0;                  // files put in place
    std::unique_ptr<AtomicFile> file;                   // the file field being received
    std::vector<std::unique_ptr<AtomicFile>> received;  // complete, not yet in place
};

form_reception* Reception(void* user_data) {
    return static_cast<form_reception*>(
        mg_get_user_connection_data(static_cast<mg_connection*>(user_data)));
}

// Puts a complete file in place and reports it to the route's store callback.
void Put_In_Place(form_reception& rx, AtomicFile& file) {
    if (!file.Commit()) return;
    rx.stored++;
    rx.route.field_store(file.target().c_str(), file.size(), rx.route.user_data);
}

// The file field being received is complete.
void Finish_File(form_reception& rx) {
    if (!rx.file) return;
    std::unique_ptr<AtomicFile> file = std::move(rx.file);
    if (!rx.defer) {
        Put_In_Place(rx, *file);
        return;
    }
    // A later file for the same target replaces the earlier one.
    for (std::unique_ptr<AtomicFile>& kept : rx.received) {
        if (kept->target() == file->target()) {
            kept = std::move(file);
            return;
        }
    }
    rx.received.push_back(std::move(file));
}

void Commit_Received(form_reception& rx) {
    for (std::unique_ptr<AtomicFile>& file : rx.received) Put_In_Place(rx, *file);
    rx.received.clear();
}

int Reception_Field_Found(const char* key, const char* filename, char* path, size_t pathlen,
                          void* user_data) {
    form_reception& rx = *Reception(user_data);
    Finish_File(rx);  // asked about this field, the parser has ended the one before
    const int code = rx.route.field_found(key, filename, path, pathlen, user_data);
    if (code != FORM_FIELD_STORE) return code;
    rx.accepted++;
    rx.file.reset(new AtomicFile(path, rx.temp_dir ? rx.temp_dir : ""));
    if (!rx.file->is_open()) {
        LOG_ERROR("cannot store %s: %s", path, strerror(errno));
        rx.file.reset();
        return FORM_FIELD_SKIP;
    }
    return FORM_FIELD_GET;  // the contents come to Reception_Field_Get
}

int Reception_Field_Get(const char* key, const char* value, size_t valuelen, void* user_data) {
    form_reception& rx = *Reception(user_data);
    if (!rx.file) return rx.route.field_get(key, value, valuelen, user_data);
    rx.file->Write(value, valuelen);  // a failed write keeps the old file at the commit
    return 0;
}

// Reads the request's form with the route's callbacks and rx as its state:
// the result of Set_Formdata_Handler. Only a form read to its end (or to a
// refused field) completes the file received last.
int Receive_Form(mg_connection* conn, const mg_form_data_handler& route, form_reception& rx) {
    rx.route = route;
    rx.route.user_data = conn;
    mg_form_data_handler parser = {Reception_Field_Found, Reception_Field_Get, nullptr, conn};
    Set_Request_State(conn, &rx);
    const int ret = Set_Formdata_Handler(conn, &parser);
    Set_Request_State(conn, nullptr);  // the block ends with the handler
    if (ret >= 0) {
        Finish_File(rx);
    } else {
        // Gone now: a route may reboot the device before rx ends.
        rx.file.reset();
        rx.received.clear();
    }
    return ret;
}

// Decides one field by the route's table: the field code, the target path
// written into path, and the row's flag in *flags.
int Decide_Form_Field(const form_field* table, size_t rows, const char* key, const char* filename,
                      char* path, size_t pathlen, int* flags) {
    const size_t i = Find_Form_Field(table, rows, key);
    if (i == kNoField) return FORM_FIELD_ABORT;
    const form_field& row = table[i];
    if (row.file_format == nullptr) return FORM_FIELD_GET;
    const bool has_name = filename != nullptr && filename[0] != '\0';
    if (row.needs_file_name && !has_name) return FORM_FIELD_SKIP;
    const char* name = has_name ? GET_NAME_FROM_PATH(filename) : "";
    // A file stored under the client's name must stay inside its directory.
    if (row.use_file_name &&
        (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)) {
        return FORM_FIELD_SKIP;
    }
    const int len = snprintf(path, pathlen, row.file_format, dev_path(row.dir), name);
    // A cut path would name another file (or the directory itself).
    if (len < 0 || static_cast<size_t>(len) >= pathlen) return FORM_FIELD_SKIP;
    if (flags) *flags |= row.flag;
    return FORM_FIELD_STORE;
}

// Field names, values and file names come from the client: logged escaped,
// so a line break in them cannot start a forged log entry.
void Log_Field(const char* key, const char* filename) {
    LOG_INFO("Rezudezi : the key is [%s]  the filename is [%s]\n", Log_Line_Text(key).c_str(),
             Log_Line_Text(filename ? filename : "").c_str());
}

void Log_Stored(const char* path, long long file_size) {
    sync();
    LOG_INFO("Rezudezi : field_stored path %s  file_size  %lld", Log_Line_Text(path).c_str(),
             file_size);
}

void Log_Value(const char* key, const char* value, size_t valuelen) {
    LOG_INFO("Rezudezi : the key is %s\tlen is %d\tthe value is %s", Log_Line_Text(key).c_str(),
             static_cast<int>(valuelen), Log_Line_Text(std::string(value, valuelen).c_str()).c_str());
}

}  // namespace

// ===========================================================================
// Zone documents
// ===========================================================================

namespace {

const int ZONE_INFO_STORED = 1;

const form_field kZoneFields[] = {
    {"zoneinfo", PATH_ZONE_DIR, "%s/zone.json", true, false, ZONE_INFO_STORED},
    {"zonepw", PATH_ZONE_DIR, "%s/zone.pw", true, false, 0},
    {"pagecustom", PATH_ZONE_DIR, "%s/zone.page", true, false, 0},
    {"public_tx_preview", PATH_WEB_ROOT, "%s/publictx.jpg", true, false, 0},
};

const mg_form_data_handler kZoneForm = {zone_file_found, zone_file_get, zone_file_store, nullptr};

const size_t kZonePathSize = 100;
const size_t kZoneLongPathSize = 1024;

struct zone_route {
    const char* post_line;
    const char* get_line;
    const char* error_line;
    int (*download)(mg_connection*, void*);
};

const zone_route kZoneJsonRoute = {"Rezudezi : zone json is post", "Rezudezi : zone json is get",
                                   "zone json error", Download_Zone_Json_Handler};
const zone_route kZonePageRoute = {"Rezudezi : zone page is post", "Rezudezi : zone page is get",
                                   "zone page error", Download_Zone_Page_Handler};

int Dispatch_Zone_Route(const zone_route& route, mg_connection* conn, void* cbdata) {
    const char* method = mg_get_request_info(conn)->request_method;
    if (strcmp(method, "POST") == 0) {
        LOG_INFO("%s", route.post_line);
        Upload_Zone_File_Handler(conn, cbdata);
    } else if (strcmp(method, "GET") == 0) {
        LOG_INFO("%s", route.get_line);
        route.download(conn, cbdata);
    } else {
        LOG_ERROR("%s", route.error_line);
    }
    return 1;
}

void Send_Zone_File(mg_connection* conn, size_t bound, const char* file_format, const char* name) {
    std::string path(bound, '\0');
    snprintf(&path[0], bound, file_format, dev_path(PATH_ZONE_DIR));
    if (ACCESS_FILE_EXIT_R_OK(path.c_str()) == 0) {
        send_http_file_found_rsp(conn, path.c_str(), name);
    } else {
        send_http_file_notfound_rsp(conn);
    }
}

void Notify_Zone_Json() {
    char text[kZoneLongPathSize] = {0};
    snprintf(text, sizeof(text), "private updatezonejson %s/zone.json", dev_path(PATH_ZONE_DIR));
    Send_To_Device(text);
}

}  // namespace

int Zone_Json_Handler(mg_connection* conn, void* cbdata) {
    return Dispatch_Zone_Route(kZoneJsonRoute, conn, cbdata);
}

int Zone_Page_Handler(mg_connection* conn, void* cbdata) {
    return Dispatch_Zone_Route(kZonePageRoute, conn, cbdata);
}

int Download_Zone_Json_Handler(mg_connection* conn, void* /*cbdata*/) {
    Send_Zone_File(conn, kZonePathSize, "%s/zone.json", "zone.json");
    return 1;
}

int Download_Zone_Page_Handler(mg_connection* conn, void* /*cbdata*/) {
    Send_Zone_File(conn, kZonePathSize, "%s/zone.page", "zone.page");
    return 1;
}

int Upload_Zone_File_Handler(mg_connection* conn, void* /*cbdata*/) {
    if (strcmp(mg_get_request_info(conn)->request_method, "GET") == 0) {
        Send_Zone_File(conn, kZoneLongPathSize, "%s/zone.pw", "zone.pw");
        return 1;
    }
    ACCESS_PATH_EXIST(dev_path(PATH_ZONE_DIR));
    ACCESS_PATH_EXIST(dev_path(PATH_WEB_ROOT));
    form_reception rx;
    const int ret = Receive_Form(conn, kZoneForm, rx);
    if (ret < 0) {
        LOG_ERROR("ret : %d", ret);
        return 1;
    }
    if (rx.flags & ZONE_INFO_STORED) Notify_Zone_Json();
    mg_printf(conn, "%s", kZoneUploadRsp);
    return 1;
}

int zone_file_found(const char* key, const char* filename, char* path, size_t pathlen,
                    void* user_data) {
    Log_Field(key, filename);
    form_reception* rx = Reception(user_data);
    return Decide_Form_Field(kZoneFields, sizeof(kZoneFields) / sizeof(kZoneFields[0]), key,
                             filename, path, pathlen, rx ? &rx->flags : nullptr);
}

int zone_file_get(const char* key, const char* value, size_t valuelen, void* /*user_data*/) {
    Log_Value(key, value, valuelen);
    return 0;
}

int zone_file_store(const char* path, long long file_size, void* /*user_data*/) {
    Log_Stored(path, file_size);
    return 0;
}

// ===========================================================================
// Zone action: password check
// ===========================================================================

namespace {

const int kZoneFieldSize = 2048;  // one query field, terminator included
const int kZoneQueryFields = 4;
const size_t kDecodeSlack = 200;

struct zone_query_key {
    const char* key;
    std::string* out;
};

// The query as the log shows it: the value of every "passwd" field masked.
std::string Masked_Zone_Query(const std::string& query) {
    static const char kPasswdField[] = "passwd=";
    std::string out;
    for (size_t start = 0;;) {
        const size_t end = std::min(query.find('&', start), query.size());
        std::string field = query.substr(start, end - start);
        if (field.compare(0, sizeof(kPasswdField) - 1, kPasswdField) == 0) {
            field = Masked_Credential(field, '=');
        }
        out += field;
        if (end == query.size()) return out;
        out += '&';
        start = end + 1;
    }
}

}  // namespace

int Parse_Zone_PW(char* query, std::string& cmdtype, std::string& cmdstr, std::string& username,
                  std::string& passwd) {
    const zone_query_key keys[] = {
        {"cmdtype", &cmdtype}, {"cmdstr", &cmdstr}, {"username", &username}, {"passwd", &passwd}};
    int count = 0;
    std::unique_ptr<char[]> field(new char[kZoneFieldSize]());
    for (int k = 1; k <= kZoneQueryFields; k++) {
        // A field too long for the buffer makes the request malformed.
        if (Split_Multi_Str(query, k, field.get(), kZoneFieldSize, '&') == -2) return -1;
        std::string key, value;
        Split_Str(field.get(), "=", key, value);
        bool known = false;
        for (const zone_query_key& entry : keys) {
            if (key == entry.key) {
                *entry.out = value;
                known = true;
                break;
            }
        }
        if (known) {
            count++;
        } else {
            count = 0;
            LOG_ERROR("unknow type : [%s]", Log_Line_Text(key.c_str()).c_str());
        }
        memset(field.get(), 0, kZoneFieldSize);
    }
    return count == kZoneQueryFields ? 0 : -1;
}

int Zone_Verify_Password(std::string& username, std::string& passwd) {
    const std::string sought = username + ":" + passwd;
    char path[kZoneLongPathSize] = {0};
    snprintf(path, sizeof(path), "%s/zone.pw", dev_path(PATH_ZONE_DIR));
    // One pass over the list, with the answers and log lines of reading line
    // 1, 2, 3 ... each from the start: a long list stays linear.
    LineFile file(path);
    if (!file.is_open()) {
        perror("fopen :");
        return -1;
    }
    std::string line;
    for (int k = 1;; k++) {
        if (!file.Next(line)) {
            LOG_WARN("file not exist %d line", k);
            return -3;
        }
        Delete_String_Terminate_Char(line);
        // The list's passwords, and the one sought, never reach the log.
        LOG_INFO("Rezudezi : [%s] ; read zone.pw [%d] line : [%s]",
                 Log_Line_Text(Masked_Credential(sought, ':').c_str()).c_str(), k,
                 Log_Line_Text(line.empty() ? "" : Masked_Credential(line, ':').c_str()).c_str());
        if (line.empty()) return -5;
        if (line == sought) return 0;
    }
}

int Check_Zone_Pw_Handler(mg_connection* conn, void* /*cbdata*/) {
    const mg_request_info* info = mg_get_request_info(conn);
    if (strcmp(info->request_method, "GET") != 0) {
        LOG_ERROR("check zone pwd is not GET");
        return 1;
    }
    char path[kZonePathSize] = {0};
    snprintf(path, sizeof(path), "%s/zone.pw", dev_path(PATH_ZONE_DIR));
    if (ACCESS_FILE_EXIT_R_OK(path) != 0) {
        send_http_file_notfound_rsp(conn);
        return 1;
    }
    // A request without a query string is answered like an empty one.
    const char* query = info->query_string ? info->query_string : "";
    const size_t query_len = strlen(query);
    std::unique_ptr<char[]> copy(new char[query_len + 10]());
    memcpy(copy.get(), query, query_len);
    LOG_INFO("Rezudezi : readbuf : [%s]", Log_Line_Text(Masked_Zone_Query(copy.get()).c_str()).c_str());

    std::string cmdtype, cmdstr, username, passwd;
    if (Parse_Zone_PW(copy.get(), cmdtype, cmdstr, username, passwd) != 0) {
        send_http_error_rsp(conn);
        return 1;
    }
    const size_t decoded_size = username.size() + kDecodeSlack;
    std::unique_ptr<char[]> decoded(new char[decoded_size]());
    Process_Web_CH_Character(username.c_str(), decoded.get(), static_cast<int>(decoded_size));
    std::string name = decoded.get();
    LOG_INFO("Rezudezi : [%s] [%s] [%s] [%s]", Log_Line_Text(cmdtype.c_str()).c_str(),
             Log_Line_Text(cmdstr.c_str()).c_str(), Log_Line_Text(name.c_str()).c_str(), kLogMask);
    if (cmdtype == "control" && cmdstr == "verifypasswd" && !username.empty() && !passwd.empty()) {
        if (Zone_Verify_Password(name, passwd) == 0) {
            LOG_INFO("Rezudezi : password verify success");
            send_http_pwd_success_rsp(conn);
        } else {
            LOG_INFO("Rezudezi : password verify fail");
            send_http_pwd_fail_rsp(conn);
        }
    }
    return 1;
}

// ===========================================================================
// Maintenance: firmware upgrade, web customization, system password
// ===========================================================================

namespace {

const size_t kUpgradeBufSize = 1024;  // a package path
const size_t kCustomReplySize = 1024;
const size_t kCustomValueSize = 1024; // one property read back
const size_t kPwdSlotSize = 100;      // 99 characters and the terminator
const size_t kPwdOutputSize = 1024;
// The form parser hands a long value over in pieces; a value is acted on
// once complete, and one beyond this size is refused whole rather than
// stored cut. No title or password comes near it.
const size_t kMaxValueSize = 16 * 1024;

// Monotonic times of the last accepted and the last stored upgrade file,
// only for the store's log line.
std::atomic<int64_t> findtime{0};
std::atomic<int64_t> storetime{0};

const form_field kUpgradeFields[] = {
    {"web", PATH_UPGRADE_DIR, "%s/web.bin", true, false, 0},
    {"ktcmd", PATH_UPGRADE_DIR, "%s/ktcmd.bin", true, false, 0},
};

const mg_form_data_handler kUpgradeForm = {upload_file_found, upload_file_get, upload_file_store,
                                           nullptr};

// The command package runs first: the web package may rely on what it set up.
const char* const kUpgradePackages[] = {"%s/ktcmd.bin", "%s/web.bin"};

void Run_Package(const char* format) {
    char path[kUpgradeBufSize] = {0};
    snprintf(path, sizeof(path), format, dev_path(PATH_UPGRADE_DIR));
    if (ACCESS_FILE_EXIT_R_OK(path) == -1) return;
    // A package's own result is not looked at: the reboot follows anyway.
    struct stat st;
    if (stat(path, &st) != 0 || chmod(path, (st.st_mode & 07777) | 0111) != 0) {
        LOG_WARN("cannot make %s executable: %s", path, strerror(errno));
    }
    Run_Program({path});
    LOG_INFO("Rezudezi : upgrade %s finish", path);
}

void Reboot_Device() { Run_Program({dev_path(PATH_REBOOT)}); }

// ---- customization form ----

const form_field kCustomFields[] = {
    {"banner", PATH_CUSTOMIZATION_DIR, "%s/banner.jpg", true, false, 0},
    {"loginUp", PATH_CUSTOMIZATION_DIR, "%s/loginUp.jpg", true, false, 0},
    {"loginDown", PATH_CUSTOMIZATION_DIR, "%s/loginDown.jpg", true, false, 0},
    {"ipadlogo", PATH_CUSTOMIZATION_DIR, "%s/logoforipad.png", true, false, 0},
    {"windowslogo", PATH_CUSTOMIZATION_DIR, "%s/logoforwindows.png", true, false, 0},
    {"previewImage", PATH_CUSTOMIZATION_DIR, "%s/previewImage.jpg", true, false, 0},
    {"icon", PATH_WEB_ROOT, "%s/favicon.ico", true, false, 0},
    // A text value the front-end reads back as a file, with or without a name.
    {"version", PATH_CUSTOMIZATION_DIR, "%s/customversion", false, false, 0},
    {"title", PATH_CUSTOMIZATION_DIR, nullptr, false, false, 0},
    {"login_title", PATH_CUSTOMIZATION_DIR, nullptr, false, false, 0},
    {"truename_replacement", PATH_CUSTOMIZATION_DIR, nullptr, false, false, 0},
    {"language", PATH_CUSTOMIZATION_DIR, nullptr, false, false, 0},
    {"sys_oldPwd", PATH_CUSTOMIZATION_DIR, nullptr, false, false, 0},
    {"sys_newPwd", PATH_CUSTOMIZATION_DIR, nullptr, false, false, 0},
    {"sys_repeatPwd", PATH_CUSTOMIZATION_DIR, nullptr, false, false, 0},
};

const mg_form_data_handler kCustomForm = {custom_upload_found, custom_upload_get,
                                          custom_upload_store, nullptr};

enum { PWD_OLD, PWD_NEW, PWD_REPEAT, PWD_SLOTS };

int Store_Truename_Replacement(const char* value);

// What a plain value of the form does: a property setter or a password slot.
struct custom_value {
    const char* name;
    int (*store)(const char* value);
    int slot;
};

const custom_value kCustomValues[] = {
    {"title", Store_Web_Tile, -1},
    {"login_title", Store_Login_Tile, -1},
    {"language", Store_Language, -1},
    {"truename_replacement", Store_Truename_Replacement, -1},
    {"sys_oldPwd", nullptr, PWD_OLD},
    {"sys_newPwd", nullptr, PWD_NEW},
    {"sys_repeatPwd", nullptr, PWD_REPEAT},
};

// Per-request state of a customization upload, reached by the callbacks
// through the connection.
struct custom_upload_state : form_reception {
    char pwd[PWD_SLOTS][kPwdSlotSize];  // each NUL-terminated
    bool pwd_refused;  // a password did not fit its slot: never run with a cut one
    const custom_value* pending;  // the value being received
    std::string key;
    std::string value;
    bool value_refused;
};

custom_upload_state* Custom_State(void* user_data) {
    return static_cast<custom_upload_state*>(Reception(user_data));
}

void Append_Value(custom_upload_state& state, const char* value, size_t len) {
    if (state.value.size() + len > kMaxValueSize) {
        state.value_refused = true;
        return;
    }
    state.value.append(value, len);
}

void Store_Password(custom_upload_state& state, int slot) {
    char* text = state.pwd[slot];
    memset(text, 0, kPwdSlotSize);
    if (state.value_refused || state.value.size() >= kPwdSlotSize ||
        state.value.find('\0') != std::string::npos) {
        LOG_ERROR("%s refused: a password holds at most %zu bytes and no NUL", state.key.c_str(),
                  kPwdSlotSize - 1);
        state.pwd_refused = true;
        return;
    }
    memcpy(text, state.value.data(), state.value.size());
}

// Acts on the value received last, now that it is complete.
void Finish_Value(custom_upload_state& state) {
    if (state.pending == nullptr) return;
    const custom_value& row = *state.pending;
    state.pending = nullptr;
    const int len = static_cast<int>(state.value.size());
    const std::string shown = row.slot >= 0 ? kLogMask : Log_Line_Text(state.value.c_str());
    LOG_INFO("Rezudezi : the key is %s\tcopy %d bytes\tlen is %d\tthe value is %s",
             Log_Line_Text(state.key.c_str()).c_str(), len, len, shown.c_str());
    if (row.slot >= 0) {
        Store_Password(state, row.slot);
    } else if (state.value_refused || state.value.find('\0') != std::string::npos) {
        LOG_ERROR("value of %s refused: longer than %zu bytes or holding a NUL",
                  state.key.c_str(), kMaxValueSize);
    } else {
        row.store(state.value.c_str());
    }
}

int Store_Truename_Replacement(const char* value) {
    // A restore deletes the file; the first setting after it starts from the
    // factory copy. The front-end's reader takes the last line as it stands.
    return Replace_Property(dev_path(PATH_USERDEVICE_PROPERTIES), "TRUENAME_REPLACEMENT=",
                            "TRUENAME_REPLACEMENT", value, false,
                            dev_path(PATH_USERDEVICE_PROPERTIES_BAK));
}

// Result letters of the password script, as the front-end knows them.
const struct {
    char letter;
    const char* meaning;
} kPwdLetters[] = {
    {'0', "Successfully modified"}, {'1', "Not an admin user"},
    {'2', "The original password is wrong"}, {'3', "Invalid new password"},
    {'4', "unknown mistake"}, {'5', "Invalid usage"},
};

const char kPwdInvalidNew = '3';
const char kPwdUnknownMistake = '4';

// The password change the form carries, if any: the result letter.
char Password_Step(const custom_upload_state& state) {
    if (state.pwd_refused) {
        VerifyPWDStatus(kPwdInvalidNew);
        return kPwdInvalidNew;
    }
    const char* old_pwd = state.pwd[PWD_OLD];
    const char* new_pwd = state.pwd[PWD_NEW];
    const char* repeat_pwd = state.pwd[PWD_REPEAT];
    if (new_pwd[0] == '\0' || old_pwd[0] == '\0' || repeat_pwd[0] == '\0' ||
        strcmp(new_pwd, repeat_pwd) != 0) {
        LOG_INFO("Rezudezi : One member is empty,or The two passwords are inconsistent");
        return '0';
    }
    LOG_INFO("Rezudezi : oldpwd : [%s]  newpwd : [%s]  repeatPwd : [%s]", kLogMask, kLogMask,
             kLogMask);
    char output[kPwdOutputSize] = {0};
    Run_Program_Output({dev_path(PATH_CHANGEPASSWD_SH), "ubuntu", old_pwd, new_pwd}, output,
                       sizeof(output));
    // No letter (nothing printed, or only blanks and control bytes) says
    // nothing about the change: an unknown mistake, and no reboot.
    char letter = output[0];
    if (letter <= ' ' || letter >= 0x7f) {
        LOG_ERROR("password script gave no result letter");
        letter = kPwdUnknownMistake;
    }
    VerifyPWDStatus(letter);
    return letter;
}

// ---- export and restore ----

// The head of the exported package: unlike the other downloads, no
// access-control header.
const char kCustomDownloadHead[] =
    "HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\nContent-Disposition: "
    "attachment;filename=\"%s\"\r\nContent-Type: application/octet-stream\r\n"
    "Transfer-Encoding: chunked\r\n\r\n";

// A factory copy put back by the restore; a null name means the id is the
// file itself, otherwise the name is in the id's directory.
struct factory_copy {
    DevPathId from;
    const char* from_name;
    DevPathId to;
    const char* to_name;
};

const factory_copy kFactoryCopies[] = {
    {PATH_WEB_ROOT, "favicon.ico.bak", PATH_WEB_ROOT, "favicon.ico"},
    {PATH_CUSTOMIZATION_DIR, "bannerBackup.jpg", PATH_CUSTOMIZATION_DIR, "banner.jpg"},
    {PATH_CUSTOMIZATION_DIR, "loginDownBackup.jpg", PATH_CUSTOMIZATION_DIR, "loginDown.jpg"},
    {PATH_CUSTOMIZATION_DIR, "loginUpBackup.jpg", PATH_CUSTOMIZATION_DIR, "loginUp.jpg"},
    {PATH_CUSTOMIZATION_DIR, "previewImageBackup.jpg", PATH_CUSTOMIZATION_DIR,
     "previewImage.jpg"},
    {PATH_CUSTOMIZATION_DIR, "custom.properties.bak", PATH_CUSTOMIZATION_DIR,
     "custom.properties"},
    {PATH_CUSTOM_EN_PROPERTIES_BAK, nullptr, PATH_CUSTOM_EN_PROPERTIES, nullptr},
    // The system password goes back to the device's own backup of it.
    {PATH_SHADOW_BAK, nullptr, PATH_SHADOW, nullptr},
};

std::string Dev_File(DevPathId id, const char* name) {
    std::string path = dev_path(id);
    if (name != nullptr) path += std::string("/") + name;
    return path;
}

// Files of the customization that have no factory copy: a restore removes them.
const char* const kCustomExtras[] = {"customversion", "logoforipad.png", "logoforwindows.png"};

}  // namespace

// ---- firmware upgrade ----

int Upload_File_Handler(mg_connection* conn, void* /*cbdata*/) {
    const char* dir = dev_path(PATH_UPGRADE_DIR);
    ACCESS_PATH_EXIST(dir);
    // Packages of an earlier upgrade must never run again.
    Empty_Directory(dir);
    form_reception rx;
    const int ret = Receive_Form(conn, kUpgradeForm, rx);
    // A package that could not be stored whole (a full disk) is not stored,
    // while the form as such still counts as read.
    if (ret < 0 || rx.stored != rx.accepted) {
        // Half an upgrade must never run: what did arrive goes too.
        Empty_Directory(dir);
        send_http_error_rsp(conn);
        LOG_ERROR("ret : %d (packages stored %d of %d)", ret, rx.stored, rx.accepted);
        return 1;
    }
    // The client has its answer before the device goes down.
    LOG_INFO("Rezudezi : send ok rsp");
    send_http_ok_rsp(conn);
    for (const char* package : kUpgradePackages) Run_Package(package);
    sleep(1);
    LOG_INFO("Rezudezi : REBOOT");
    Reboot_Device();
    return 1;
}

int GET_Upgrade_Handler(mg_connection* conn, void* /*cbdata*/) {
    send_http_ok_rsp(conn);
    return 1;
}

int upload_file_found(const char* key, const char* filename, char* path, size_t pathlen,
                      void* /*user_data*/) {
    Log_Field(key, filename);
    const int code = Decide_Form_Field(kUpgradeFields, sizeof(kUpgradeFields) / sizeof(kUpgradeFields[0]),
                                       key, filename, path, pathlen, nullptr);
    if (code == FORM_FIELD_STORE) findtime = get_time_ms();
    return code;
}

int upload_file_get(const char* key, const char* value, size_t valuelen, void* /*user_data*/) {
    printf("enter function %s\n", __func__);
    printf("the key is %s\tthe value is %.*s\n", key ? key : "", static_cast<int>(valuelen),
           value);
    printf("left function %s\n", __func__);
    return 0;
}

int upload_file_store(const char* path, long long file_size, void* /*user_data*/) {
    storetime = get_time_ms();
    sync();
    LOG_INFO("Rezudezi : field_stored path %s  file_size  %lld  time [%lld]ms\n", path, file_size,
             static_cast<long long>(storetime - findtime));
    return 0;
}

// ---- customization ----

int Store_Web_Tile(const char* value) {
    // The front-end's reader takes the last line as it stands, line end included.
    return Replace_Property(dev_path(PATH_CUSTOM_PROPERTIES), "webTitle", "webTitle", value, false);
}

int Store_Language(const char* value) {
    return Replace_Property(dev_path(PATH_CUSTOM_PROPERTIES), "language=", "language", value);
}

int Store_Login_Tile(const char* value) {
    return Replace_Property(dev_path(PATH_CUSTOM_EN_PROPERTIES), "login_title=", "login_title",
                            value);
}

int Get_Web_Tile(char* buf, int size) {
    return Get_File_Key_Value(dev_path(PATH_CUSTOM_PROPERTIES), "webTitle", buf, size);
}

int Get_Language(char* buf, int size) {
    return Get_File_Key_Value(dev_path(PATH_CUSTOM_PROPERTIES), "language=", buf, size);
}

int Get_Login_Tile(char* buf, int size) {
    return Get_File_Key_Value(dev_path(PATH_CUSTOM_EN_PROPERTIES), "login_title=", buf, size);
}

int Get_Custom_Info_Handler(mg_connection* conn, void* /*cbdata*/) {
    char title[kCustomValueSize] = {0};
    char language[kCustomValueSize] = {0};
    char login_title[kCustomValueSize] = {0};
    Get_Web_Tile(title, sizeof(title));
    Get_Language(language, sizeof(language));
    Get_Login_Tile(login_title, sizeof(login_title));
    delete_terminate_char(title);
    delete_terminate_char(language);
    delete_terminate_char(login_title);
    Json::Value doc;
    doc["language"] = language;
    doc["web_title"] = title;
    doc["login_title"] = login_title;
    // Sent whole: a document cut at a fixed size would not parse.
    const std::string text = Json_Write(doc);
    LOG_INFO("Rezudezi : %s", text.c_str());
    send_json_data(conn, text.c_str());
    return 1;
}

int Custom_Upload_Handler(mg_connection* conn, void* /*cbdata*/) {
    custom_upload_state state{};
    ACCESS_PATH_EXIST(dev_path(PATH_CUSTOMIZATION_DIR));
    const int ret = Receive_Form(conn, kCustomForm, state);
    if (ret < 0) {
        // The value in progress may be cut off: it is dropped, the earlier
        // ones are in effect.
        LOG_ERROR("ret : %d", ret);
    } else {
        Finish_Value(state);
    }
    const char letter = Password_Step(state);
    char reply[kCustomReplySize] = {0};
    // The reply stays JSON whatever letter the script printed.
    const char* escape = (letter == '"' || letter == '\\') ? "\\" : "";
    snprintf(reply, sizeof(reply), "{\"result\":\"%s%c\"}", escape, letter);
    send_json_data(conn, reply);
    if (letter == '0') Reboot_Device();
    return 1;
}

int custom_upload_found(const char* key, const char* filename, char* path, size_t pathlen,
                        void* user_data) {
    Log_Field(key, filename);
    custom_upload_state* state = Custom_State(user_data);
    if (state != nullptr) Finish_Value(*state);
    return Decide_Form_Field(kCustomFields, sizeof(kCustomFields) / sizeof(kCustomFields[0]), key,
                             filename, path, pathlen, nullptr);
}

int custom_upload_get(const char* key, const char* value, size_t valuelen, void* user_data) {
    custom_upload_state* state = Custom_State(user_data);
    if (state == nullptr) return FORM_FIELD_ABORT;
    // The parser hands a long value over in pieces; the further ones come
    // with an empty name (a field of that name is refused before this).
    if (key == nullptr || key[0] == '\0') {
        if (state->pending != nullptr) Append_Value(*state, value, valuelen);
        return 0;
    }
    Finish_Value(*state);
    for (const custom_value& row : kCustomValues) {
        if (strcasecmp(row.name, key) == 0) {
            state->pending = &row;
            state->key = key;
            state->value.clear();
            state->value_refused = false;
            Append_Value(*state, value, valuelen);
            return 0;
        }
    }
    return FORM_FIELD_ABORT;
}

int custom_upload_store(const char* path, long long file_size, void* /*user_data*/) {
    Log_Stored(path, file_size);
    return 0;
}

int Download_Custom_Handler(mg_connection* conn, void* /*cbdata*/) {
    const char* list = dev_path(PATH_CUSTOM_TXT);
    // A list left by an earlier export must not pass for this one's.
    unlink(list);
    Run_Program({dev_path(PATH_EXPORT_CUSTOM_SH)});
    std::string line;
    if (ACCESS_FILE_EXIT_R_OK(list) == -1 || Get_Line_From_File(list, line, 1) != 0) {
        send_http_error_rsp(conn);
        return 1;
    }
    Delete_String_Terminate_Char(line);
    LOG_INFO("Rezudezi : Get filename is %s", line.c_str());
    std::string head, path;
    Split_Str(line, "=", head, path);
    const char* name = GET_NAME_FROM_PATH(path.c_str());
    LOG_INFO("Rezudezi : task path is %s;file is %s", path.c_str(), name);
    // A 200 head promises the package: without one the export failed.
    if (path.empty() || ACCESS_FILE_EXIT_R_OK(path.c_str()) != 0) {
        send_http_error_rsp(conn);
        return 1;
    }
    mg_printf(conn, kCustomDownloadHead, name);
    send_chunk_file(conn, path.c_str());
    return 1;
}

int Custom_Restore_Handler(mg_connection* /*conn*/, void* /*cbdata*/) {
    // Nothing is answered: the device goes down at the end.
    Remove_Path(dev_path(PATH_USERDEVICE_PROPERTIES));
    Remove_Path(Dev_File(PATH_CUSTOMIZATION_DIR, kCustomExtras[0]));
    for (const factory_copy& copy : kFactoryCopies) {
        const std::string from = Dev_File(copy.from, copy.from_name);
        const std::string to = Dev_File(copy.to, copy.to_name);
        if (!Copy_File(from.c_str(), to.c_str())) {
            LOG_WARN("cannot copy %s to %s: %s", from.c_str(), to.c_str(), strerror(errno));
        }
        sync();
    }
    Remove_Path(Dev_File(PATH_CUSTOMIZATION_DIR, kCustomExtras[1]));
    Remove_Path(Dev_File(PATH_CUSTOMIZATION_DIR, kCustomExtras[2]));
    Run_Program({dev_path(PATH_CLEARCUSTOM_SH)});
    sync();
    Reboot_Device();
    return 1;
}

void VerifyPWDStatus(char letter) {
    const char* meaning = "Unknown parameter";
    for (const auto& row : kPwdLetters) {
        if (row.letter == letter) meaning = row.meaning;
    }
    LOG_INFO("Rezudezi : %s", meaning);
}

// ===========================================================================
// WebSocket session protocol
// ===========================================================================

namespace {

// The one answer to a successful login; the front-end compares these bytes.
const char kLoginReply[] = "{\"type\":\"result\",\"comName\":\"\",\"command\":\"\",\"result\":1}";
static_assert(sizeof(kLoginReply) - 1 == 54, "login reply is 54 bytes");

const char kServiceQuery[] = "config get service capability";
const size_t kServiceQueryLen = sizeof(kServiceQuery) - 1;
const int kQuerySize = 300;       // query copy, parameter, script output
const int kAnswerSize = 500;      // private answer
const int kCredentialSize = 200;  // one name or password
const int kExpectedSize = 400;    // "name password"
const int kUserSlots = 5;

// Once a login from an address has failed, its later attempts are checked
// one per kLoginSpacingMs: a password guesser gets 5 tries a second, while
// an operator who mistyped only waits a moment, and is never refused. The
// episode ends kLoginEpisodeMs after the address's last failure.
const int64_t kLoginSpacingMs = 200;
const int64_t kLoginEpisodeMs = 10000;
// Addresses remembered at once; beyond this the oldest episode is forgotten.
const size_t kLoginThrottleEntries = 1024;

struct login_episode {
    int64_t last_failure;
    int64_t next_slot;  // when the next attempt may be checked
    bool warned;
};

std::mutex g_login_throttle_mutex;
std::map<std::string, login_episode> g_login_episodes;

// Caller holds g_login_throttle_mutex.
void Forget_Ended_Episodes(int64_t now) {
    for (auto it = g_login_episodes.begin(); it != g_login_episodes.end();) {
        if (now - it->second.last_failure >= kLoginEpisodeMs) {
            it = g_login_episodes.erase(it);
        } else {
            ++it;
        }
    }
}

// Waits for this attempt's turn. The wait holds no lock: other addresses,
// and the registry, go on meanwhile.
void Wait_Login_Turn(const std::string& address) {
    int64_t wait_ms = 0;
    bool warn = false;
    {
        std::lock_guard<std::mutex> lock(g_login_throttle_mutex);
        const int64_t now = get_time_ms();
        Forget_Ended_Episodes(now);
        auto it = g_login_episodes.find(address);
        if (it == g_login_episodes.end()) return;
        login_episode& episode = it->second;
        const int64_t slot = episode.next_slot > now ? episode.next_slot : now;
        episode.next_slot = slot + kLoginSpacingMs;
        wait_ms = slot - now;
        warn = wait_ms > 0 && !episode.warned;
        if (warn) episode.warned = true;
    }
    if (warn) {
        LOG_WARN("login attempts from %s slowed to one per %lld ms after a failed login",
                 address.c_str(), static_cast<long long>(kLoginSpacingMs));
    }
    if (wait_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
}

void Note_Login_Failure(const std::string& address) {
    std::lock_guard<std::mutex> lock(g_login_throttle_mutex);
    const int64_t now = get_time_ms();
    auto it = g_login_episodes.find(address);
    if (it == g_login_episodes.end()) {
        if (g_login_episodes.size() >= kLoginThrottleEntries) Forget_Ended_Episodes(now);
        if (g_login_episodes.size() >= kLoginThrottleEntries) {
            auto oldest = g_login_episodes.begin();
            for (auto e = g_login_episodes.begin(); e != g_login_episodes.end(); ++e) {
                if (e->second.last_failure < oldest->second.last_failure) oldest = e;
            }
            g_login_episodes.erase(oldest);
        }
        it = g_login_episodes.emplace(address, login_episode{now, now, false}).first;
    }
    it->second.last_failure = now;
}

void Handle_Login(mg_connection* conn, const std::string& command) {
    const mg_request_info* info = mg_get_request_info(conn);
    const std::string address = info != nullptr ? info->remote_addr : "";
    Wait_Login_Turn(address);
    // A NUL inside the credential would end the comparison early.
    const bool clean = command.find('\0') == std::string::npos;
    if (!clean || !AUTH_USERNAME_PWD(dev_path(PATH_SERVER_PROPERTIES), command.c_str())) {
        Note_Login_Failure(address);
        LOG_INFO("Rezudezi : auth failed");
        return;
    }
    LOG_INFO("Rezudezi : auth sucess");
    SetWebsocketConnSuccess(conn);
    LOG_INFO("Rezudezi : set sucess");
    Send_Data_To_CurWebsocket(conn, kLoginReply, sizeof(kLoginReply) - 1);
    LOG_INFO("Rezudezi : send sucess");
}

void Handle_Private(const std::string& command) {
    if (strncasecmp(command.c_str(), kServiceQuery, kServiceQueryLen) != 0) return;
    char query[kQuerySize] = {0};
    snprintf(query, sizeof(query), "%s", command.c_str());
    char param[kQuerySize] = {0};
    Split_Multi_Str(query, 5, param, sizeof(param), ' ');
    // The parameter reaches the script as one quoted word; one that does not
    // fit the command is refused and gives an empty output.
    char output[kQuerySize] = {0};
    Get_ServiceFile_Key_Value(dev_path(PATH_SERVICE_PARAM_SH), param, output, sizeof(output));
    char answer[kAnswerSize] = {0};
    snprintf(answer, sizeof(answer), "%s %s", query, output);
    LOG_INFO("Rezudezi : ready_sendbuf : [%s]", Log_Line_Text(answer).c_str());
    Send_370_Websocket_Json_Data("private", 0, answer);
}

void Handle_Command(mg_connection* conn, const std::string& command, int32_t sn,
                    int64_t conn_time) {
    if (CheckIfAuth(conn) != 1) {
        LOG_INFO("Rezudezi : This websocket without verify,so closeed");
        mg_close_cur_connection(conn);
        return;
    }
    Send_To_Device(command, sn, conn_time);
}

}  // namespace

void websocket_handler(mg_connection* conn, char* data, int len) {
    int32_t sn = 0;
    int64_t conn_time = 0;
    if (!GetWSSNnum(conn, &sn, &conn_time)) LOG_WARN("waring!,can not find this conn from list");

    const std::string frame(data, static_cast<size_t>(len < 0 ? 0 : len));
    std::string type, command, result, com_name;
    ParseJsonStream(frame, "type", type);
    ParseJsonStream(frame, "command", command);
    ParseJsonStream(frame, "result", result);
    ParseJsonStream(frame, "comName", com_name);
    // A login's command is "name password": the password is masked.
    const std::string shown = type == "login" ? Masked_Credential(command, ' ') : command;
    LOG_INFO("Rezudezi : parse websocket data,get : [%s] [%s] [%s] [%s]",
             Log_Line_Text(type.c_str()).c_str(), Log_Line_Text(shown.c_str()).c_str(),
             Log_Line_Text(result.c_str()).c_str(), Log_Line_Text(com_name.c_str()).c_str());

    if (type == "login") {
        Handle_Login(conn, command);
    } else if (type == "private") {
        Handle_Private(command);
    } else if (type == "command") {
        Handle_Command(conn, command, sn, conn_time);
    } else {
        LOG_WARN("waring !,i get no-define API tyep[%s]", Log_Line_Text(type.c_str()).c_str());
    }
}

int Verify_Pwd(const std::string& props, const char* credential, const char* name_key,
               const char* pwd_key) {
    char name[kCredentialSize] = {0};
    char pwd[kCredentialSize] = {0};
    Key_Value_From_Text(props, name_key, name, sizeof(name));
    Key_Value_From_Text(props, pwd_key, pwd, sizeof(pwd));
    delete_terminate_char(name);
    delete_terminate_char(pwd);
    // A slot with an empty name or password is no account, whether its keys
    // are absent or present: its expected text would let a login with no
    // name or no password in.
    if (name[0] == '\0' || pwd[0] == '\0') return -1;
    char expected[kExpectedSize] = {0};
    snprintf(expected, sizeof(expected), "%s %s", name, pwd);
    LOG_INFO("Rezudezi : verify login pwd : [%s]", Masked_Credential(expected, ' ').c_str());
    return strcmp(expected, credential) == 0 ? 0 : -1;
}

int AUTH_USERNAME_PWD(const char* file, const char* credential) {
    // One read per login: the slots are edited while the server runs, and
    // all six are checked against the same text.
    std::string props;
    FileToString(file, props);
    if (Verify_Pwd(props, credential, "adminName", "adminPassWord") == 0) return 1;
    for (int slot = 1; slot <= kUserSlots; slot++) {
        char name_key[32], pwd_key[32];
        snprintf(name_key, sizeof(name_key), "userName%d", slot);
        snprintf(pwd_key, sizeof(pwd_key), "userPassWord%d", slot);
        if (Verify_Pwd(props, credential, name_key, pwd_key) == 0) return 1;
    }
    return 0;
}

void Send_370_Websocket_Json_Data(const char* type, int result, const std::string& text) {
    Json::Value root;
    root["type"] = type;
    root["comName"] = "ALL";
    root["command"] = text;
    root["result"] = result;
    const std::string doc = Json_Write(root);
    Send_Data_To_ALLWebsocket(doc.c_str(), doc.size());
}

// ===========================================================================
// Preview stream and scene document
// ===========================================================================

namespace {

// Streams being served right now; raised and lowered by several workers at
// once, read only for the log line.
std::atomic<int> stream_count{0};

}  // namespace

int Stream_Handler(mg_connection* conn, void* /*cbdata*/) {
    stream_count++;
    send_jpg_stream_file(conn, dev_path(PATH_PREVIEW_IMAGE));
    const int still_running = --stream_count;
    LOG_INFO("Rezudezi : The number of connections currently requesting stream : [%d]",
             still_running);
    return 1;
}

int Scene_Handler(mg_connection* conn, void* /*cbdata*/) {
    if (strcmp(mg_get_request_info(conn)->request_method, "GET") == 0) {
        send_http_file_found_rsp(conn, dev_path(PATH_SCENE_DOC), "SystemConfig.hoi");
    } else {
        LOG_INFO("Rezudezi : /scene is not GET");
    }
    return 1;
}

// ===========================================================================
// Scene upload and conversion
// ===========================================================================

namespace {

// Every file field lands on the one temporary document; the last one stays.
const form_field kSceneFields[] = {
    {nullptr, PATH_WEB_CLASSES, "%s/SystemConfigtemp.hoi", true, false, 0},
};

const mg_form_data_handler kSceneForm = {Scene_Upload_found, Scene_Upload_get,
                                         Scene_Upload_store, nullptr};

const size_t kSceneTextSize = 1024;  // the note to the control service
// Only the first character decides, but the script may explain a failure.
const int kSceneResultSize = 200;

// The temporary document has one fixed name, so one upload at a time owns
// it from putting it in place to removal: otherwise a conversion could read
// another request's document, or a clean-up delete it before its conversion.
// Each request receives its body before, into a temporary of its own, so a
// slow sender holds up nobody.
std::mutex g_scene_upload_mutex;

// The script's verdict: output beginning with "1" is success.
bool Convert_Scene(const std::string& temp, const std::string& project) {
    const Argv argv = {std::string(dev_path(PATH_XML2JSON_DIR)) + "/xml2JSON.sh", temp, project};
    char result[kSceneResultSize] = {0};
    LOG_INFO("Rezudezi : xml to json path******** : [%s]", Command_Text(argv).c_str());
    Run_Program_Output(argv, result, sizeof(result));
    LOG_INFO("Rezudezi : xml to json tool result : [%s]", result);
    return result[0] == '1';
}

}  // namespace

int Scene_Upload_Handler(mg_connection* conn, void* /*cbdata*/) {
    const std::string classes = dev_path(PATH_WEB_CLASSES);
    ACCESS_PATH_EXIST(classes.c_str());
    form_reception rx;
    rx.defer = true;
    const int ret = Receive_Form(conn, kSceneForm, rx);
    if (ret < 0) {
        LOG_ERROR("ret : %d", ret);
        return 1;
    }
    const std::string temp = classes + "/SystemConfigtemp.hoi";
    const std::string project = classes + "/project.json";
    bool converted;
    {
        std::lock_guard<std::mutex> owner(g_scene_upload_mutex);
        Commit_Received(rx);
        converted = Convert_Scene(temp, project);
        if (converted) Set_File_Key_Value(dev_path(PATH_SERVER_PROPERTIES), "userSceneNote", "null");
        Remove_Path(temp);
    }
    if (converted) {
        char text[kSceneTextSize] = {0};
        snprintf(text, sizeof(text), "private updateprojectjson %s", project.c_str());
        send2ip_buf(text);
        send_http_ok_rsp(conn);
    } else {
        send_http_error_rsp(conn);
    }
    return 1;
}

int Scene_Upload_found(const char* key, const char* filename, char* path, size_t pathlen,
                       void* /*user_data*/) {
    return Decide_Form_Field(kSceneFields, sizeof(kSceneFields) / sizeof(kSceneFields[0]), key,
                             filename, path, pathlen, nullptr);
}

int Scene_Upload_get(const char* key, const char* value, size_t valuelen, void* /*user_data*/) {
    Log_Value(key, value, valuelen);
    return 0;
}

int Scene_Upload_store(const char* path, long long file_size, void* /*user_data*/) {
    Log_Stored(path, file_size);
    return 0;
}

// ===========================================================================
// Device update and TX/RX list
// ===========================================================================

namespace {

// Any file field, stored under the last component of the client's name.
const form_field kUpdateFields[] = {
    {nullptr, PATH_UPDATE_DIR, "%s/%s", true, true, 0},
};

const mg_form_data_handler kUpdateForm = {Update_Device_found, Update_Device_get,
                                          Update_Device_store, nullptr};

// The update's own 200: no access-control header.
const char* const kUpdateDeviceRsp = kPwdSuccessRsp;

const char kTxRxListHeadFormat[] =
    "HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\nContent-Length: %d\r\n\r\n%s\r\n";

// The directory holds what the latest complete request stored: one request
// empties and fills it at a time, once its body has arrived. Until then its
// files wait in a folder of their own, which no emptying touches.
std::mutex g_update_mutex;

// Removes every entry, hidden ones too (a shell's "*" would leave those
// behind for the next upload to find).
void Empty_Directory(const char* dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        entries.push_back(it->path());
    }
    for (const fs::path& entry : entries) Remove_Path(entry);
}

}  // namespace

int Update_Device_Handler(mg_connection* conn, void* /*cbdata*/) {
    const char* dir = dev_path(PATH_UPDATE_DIR);
    ACCESS_PATH_EXIST(dir);
    ACCESS_PATH_EXIST(dev_path(PATH_UPDATE_INCOMING));
    form_reception rx;
    rx.defer = true;
    rx.temp_dir = dev_path(PATH_UPDATE_INCOMING);
    const int ret = Receive_Form(conn, kUpdateForm, rx);
    if (ret < 0) {
        LOG_ERROR("ret : %d", ret);
        return 1;
    }
    {
        std::lock_guard<std::mutex> owner(g_update_mutex);
        Empty_Directory(dir);
        Commit_Received(rx);
    }
    mg_printf(conn, "%s", kUpdateDeviceRsp);
    return 1;
}

int Update_Device_found(const char* key, const char* filename, char* path, size_t pathlen,
                        void* /*user_data*/) {
    return Decide_Form_Field(kUpdateFields, sizeof(kUpdateFields) / sizeof(kUpdateFields[0]), key,
                             filename, path, pathlen, nullptr);
}

int Update_Device_get(const char* key, const char* value, size_t valuelen, void* /*user_data*/) {
    Log_Value(key, value, valuelen);
    return 0;
}

int Update_Device_store(const char* path, long long file_size, void* /*user_data*/) {
    Log_Stored(path, file_size);
    return 0;
}

std::string TXRX_List_Body(const char* path) {
    // Every value, the first one too, follows one blank: the joiner goes in
    // front of each value because the text is never empty.
    static const char kOpening[] = "{\"list\":\"";
    std::string text = kOpening;
    Analyze_Key_Value_File(path, text, " ");
    // The writer escapes only what JSON requires, so ordinary values keep
    // their bytes and a quote or backslash in a value cannot break the list.
    Json::Value root(Json::objectValue);
    root["list"] = Json::Value(text.substr(sizeof(kOpening) - 1));
    std::string body = Json_Write(root);
    body.pop_back();  // the answer carries its own line end after the body
    return body;
}

int Get_TXRX_List_Handler(mg_connection* conn, void* /*cbdata*/) {
    const std::string body = TXRX_List_Body(dev_path(PATH_DEVICE_PROPERTIES));
    LOG_ERROR("get device list : [%s]", body.c_str());
    mg_printf(conn, kTxRxListHeadFormat, static_cast<int>(body.size()), body.c_str());
    return 1;
}

// ===========================================================================
// Companion application (Marlo): status document and log
// ===========================================================================

namespace {

const int kAdminFieldSize = 512;
const int kServiceFieldSize = 24;
const size_t kMarloBodySize = 3072;  // the stored document stays below this
const size_t kLogBodySize = 1024;    // one log line from the client

const char* Method(mg_connection* conn) { return mg_get_request_info(conn)->request_method; }

// Reads the whole body, keeping its first size - 1 bytes NUL-terminated in
// buf: false when it broke off before its end.
bool Read_Whole_Body(mg_connection* conn, char* buf, size_t size) {
    size_t kept = 0;
    char rest[1024];
    for (;;) {
        const bool keep = kept < size - 1;
        const int n = BC_GET_Request_Body(conn, keep ? buf + kept : rest,
                                          keep ? size - 1 - kept : sizeof(rest));
        if (n == 0) return true;
        if (n < 0) return false;
        if (keep) kept += static_cast<size_t>(n);
    }
}

}  // namespace

std::string DeleteChar(const std::string& text, char c) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        if (ch != c) out += ch;
    }
    return out;
}

void Get_AdminLoginInfoForMarlo(Json::Value& root) {
    char name[kAdminFieldSize] = {0};
    char pwd[kAdminFieldSize] = {0};
    char http[kServiceFieldSize] = {0};
    char https[kServiceFieldSize] = {0};
    std::string props;
    FileToString(dev_path(PATH_SERVER_PROPERTIES), props);
    Key_Value_From_Text(props, "adminName", name, sizeof(name));
    Key_Value_From_Text(props, "adminPassWord", pwd, sizeof(pwd));
    Get_ServiceFile_Key_Value(dev_path(PATH_SERVICE_PARAM_SH), "service_http", http, sizeof(http));
    Get_ServiceFile_Key_Value(dev_path(PATH_SERVICE_PARAM_SH), "service_https", https,
                              sizeof(https));
    delete_terminate_char(name);
    delete_terminate_char(pwd);

    Json::Value admin(Json::objectValue);
    admin["adminname"] = name;
    admin["adminpwd"] = pwd;
    root["admininfo"] = admin;

    Json::Value device(Json::objectValue);
    device["onlinenum"] = GetAppOnlineNum();
    device["http"] = DeleteChar(http, '\n');
    device["https"] = DeleteChar(https, '\n');
    root["deviceinfo"] = device;
}

int Marlo_Info_Handler(mg_connection* conn, void* /*cbdata*/) {
    const char* method = Method(conn);
    const char* marlo = dev_path(PATH_MARLO_INFO);
    if (strcmp(method, "GET") == 0) {
        Json::Value root(Json::objectValue);
        Get_AdminLoginInfoForMarlo(root);
        if (ACCESS_FILE_EXIT_R_OK(marlo) == 0) {
            std::string doc;
            FileToString(marlo, doc);
            root["marloinfo"] = Json::Value(doc);
        }
        const std::string text = Json_Write(root);
        Json::Value logged = root;
        logged["admininfo"]["adminpwd"] = kLogMask;
        LOG_INFO("Rezudezi : Marlo Get Info : [%s]", Json_Write(logged).c_str());
        send_json_data(conn, text.c_str());
    } else if (strcmp(method, "POST") == 0) {
        std::unique_ptr<char[]> body(new char[kMarloBodySize]());
        // A document cut short, or one the disk cannot take, leaves the
        // stored one as it was.
        if (Read_Whole_Body(conn, body.get(), kMarloBodySize) &&
            StringToFile(marlo, body.get(), strlen(body.get())) == 0) {
            send_http_ok_rsp(conn);
        } else {
            LOG_ERROR("marlo document not stored");
            send_http_error_rsp(conn);
        }
    } else {
        LOG_ERROR("Http Method Error");
        send_http_error_rsp(conn);
    }
    return 1;
}

std::string Log_Line_Text(const char* text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char* p = text; *p != '\0'; p++) {
        const unsigned char c = static_cast<unsigned char>(*p);
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                out += "\\x";
                out += kHex[c >> 4];
                out += kHex[c & 0xF];
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

const char kLogMask[] = "******";

std::string Masked_Credential(const std::string& credential, char sep) {
    const size_t pos = credential.find(sep);
    if (pos == std::string::npos) return kLogMask;
    return credential.substr(0, pos + 1) + kLogMask;
}

int Log_Handler(mg_connection* conn, void* /*cbdata*/) {
    const char* method = Method(conn);
    if (strcmp(method, "GET") == 0) {
        send_http_file_found_rsp(conn, dev_path(PATH_LOG_BAK_APP_LOG), "app.log");
    } else if (strcmp(method, "POST") == 0) {
        char body[kLogBodySize] = {0};
        BC_GET_Request_Body(conn, body, sizeof(body) - 1);
        // A client's line break must not forge further log entries.
        LOG_INFO("Marlo : %s", Log_Line_Text(body).c_str());
        send_http_ok_rsp(conn);
    } else {
        LOG_ERROR("Http Method Error");
        send_http_error_rsp(conn);
    }
    return 1;
}
