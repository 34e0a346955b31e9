#include "process_qr370.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "IPtask.h"
#include "devpath.h"
#include "log.h"
#include "process_json.h"
#include "webserver.h"

namespace {

// Command sizes of the device's shell helpers.
const size_t kMkdirCmdSize = 100;
const size_t kTrimCmdSize = 250;
const size_t kSetPropertyCmdSize = 2048;
const size_t kGetPropertyCmdSize = 1024;
const size_t kServiceCmdSize = 300;

// A key is the start of a regular expression (a key also selects the lines
// of longer keys beginning with it); its own characters match literally.
std::string Regex_Literal(const char* key) {
    std::string out;
    for (const char* p = key; *p != '\0'; p++) {
        if (strchr("\\/.*[]^$+?(){}|", *p) != nullptr) out += '\\';
        out += *p;
    }
    return out;
}

// Text of sed's "c" command: a backslash would escape the next character.
std::string Sed_Text(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += '\\';
        out += c;
    }
    return out;
}

int Run_Formatted(size_t limit, const char* format, const std::string& a,
                  const std::string& b = std::string()) {
    std::string cmd;
    if (!Format_Command(cmd, limit, format, a.c_str(), b.c_str())) return -1;
    return My_System(cmd.c_str());
}

}  // namespace

int ACCESS_PATH_EXIST(const char* path) {
    if (access(path, F_OK) == 0) return 0;
    LOG_WARN("WARING path [%s]! not exist", path);
    return Run_Formatted(kMkdirCmdSize, "mkdir %s", Shell_Quote(path));
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

int delete_file_terminate(const char* file, const char* tmp) {
    const std::string f = Shell_Quote(file);
    const std::string t = Shell_Quote(tmp);
    Run_Formatted(kTrimCmdSize, "tail -n1 %s | tr -d '\n' > %s", f, t);
    Run_Formatted(kTrimCmdSize, "sed -i '$d' %s", f);
    Run_Formatted(kTrimCmdSize, "cat %s >> %s", t, f);
    return Run_Formatted(kTrimCmdSize, "rm %s", t);
}

const char* GET_NAME_FROM_PATH(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

int Set_File_Key_Value(const char* file, const char* key, const char* value) {
    if (strpbrk(key, "\r\n") != nullptr || strpbrk(value, "\r\n") != nullptr) {
        LOG_ERROR("property value refused: it holds a line break");
        return -1;
    }
    const std::string script = "/^" + Regex_Literal(key) + "/c " + Sed_Text(key) + "=" +
                               Sed_Text(value);
    return Run_Formatted(kSetPropertyCmdSize, "sed -i %s %s", Shell_Quote(script),
                         Shell_Quote(file));
}

int Get_File_Key_Value(const char* file, const char* key, char* buf, int size) {
    const std::string program = "/^" + Regex_Literal(key) + "/ {print $2}";
    std::string cmd;
    if (!Format_Command(cmd, kGetPropertyCmdSize, "awk -F= %s %s", Shell_Quote(program).c_str(),
                        Shell_Quote(file).c_str())) {
        return -1;
    }
    return Get_Excute_Shell_Cmd_Output_Result(cmd.c_str(), buf, size);
}

int Get_ServiceFile_Key_Value(const char* script, const char* argument, char* buf, int size) {
    std::string cmd;
    if (!Format_Command(cmd, kServiceCmdSize, "%s %s", Shell_Quote(script).c_str(),
                        Shell_Quote(argument).c_str())) {
        return -1;
    }
    return Get_Excute_Shell_Cmd_Output_Result(cmd.c_str(), buf, size);
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
    snprintf(path, pathlen, row.file_format, dev_path(row.dir), name);
    if (flags) *flags |= row.flag;
    return FORM_FIELD_STORE;
}

void Log_Stored(const char* path, long long file_size) {
    My_System("sync");
    LOG_INFO("Rezudezi : field_stored path %s  file_size  %lld", path, file_size);
}

void Log_Value(const char* key, const char* value, size_t valuelen) {
    LOG_INFO("Rezudezi : the key is %s\tlen is %d\tthe value is %.*s", key,
             static_cast<int>(valuelen), static_cast<int>(valuelen), value);
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

struct zone_upload_state {
    int flags;
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
    const int64_t now = get_time_ms();
    T_ReqMsg req;
    req.data = text;
    req.sn = SERVER_OWN_SN;
    req.conn_time = now;
    req.send_time = now;
    if (g_IP_task) g_IP_task->Send2IP(&req);
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
    zone_upload_state state = {0};
    Set_Request_State(conn, &state);
    ACCESS_PATH_EXIST(dev_path(PATH_ZONE_DIR));
    ACCESS_PATH_EXIST(dev_path(PATH_WEB_ROOT));
    mg_form_data_handler form = kZoneForm;
    form.user_data = conn;
    const int ret = Set_Formdata_Handler(conn, &form);
    Set_Request_State(conn, nullptr);  // the block ends with this call
    if (ret < 0) {
        LOG_ERROR("ret : %d", ret);
        return 1;
    }
    if (state.flags & ZONE_INFO_STORED) Notify_Zone_Json();
    mg_printf(conn, "%s", kZoneUploadRsp);
    return 1;
}

int zone_file_found(const char* key, const char* filename, char* path, size_t pathlen,
                    void* user_data) {
    LOG_INFO("Rezudezi : the key is [%s]  the filename is [%s]\n", key, filename ? filename : "");
    mg_connection* conn = static_cast<mg_connection*>(user_data);
    auto* state = static_cast<zone_upload_state*>(mg_get_user_connection_data(conn));
    return Decide_Form_Field(kZoneFields, sizeof(kZoneFields) / sizeof(kZoneFields[0]), key,
                             filename, path, pathlen, state ? &state->flags : nullptr);
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
            LOG_ERROR("unknow type : [%s]", key.c_str());
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
    FILE* f = fopen(path, "r");
    if (f == nullptr) {
        perror("fopen :");
        return -1;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(f, fclose);
    std::string line;
    for (int k = 1;; k++) {
        if (!Read_File_Line(f, line)) {
            LOG_WARN("file not exist %d line", k);
            return -3;
        }
        Delete_String_Terminate_Char(line);
        LOG_INFO("Rezudezi : [%s] ; read zone.pw [%d] line : [%s]", sought.c_str(), k, line.c_str());
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
    LOG_INFO("Rezudezi : readbuf : [%s]", copy.get());

    std::string cmdtype, cmdstr, username, passwd;
    if (Parse_Zone_PW(copy.get(), cmdtype, cmdstr, username, passwd) != 0) {
        send_http_error_rsp(conn);
        return 1;
    }
    const size_t decoded_size = username.size() + kDecodeSlack;
    std::unique_ptr<char[]> decoded(new char[decoded_size]());
    Process_Web_CH_Character(username.c_str(), decoded.get(), static_cast<int>(decoded_size));
    std::string name = decoded.get();
    LOG_INFO("Rezudezi : [%s] [%s] [%s] [%s]", cmdtype.c_str(), cmdstr.c_str(), name.c_str(),
             passwd.c_str());
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

void Handle_Login(mg_connection* conn, const std::string& command) {
    // A NUL inside the credential would end the comparison early.
    const bool clean = command.find('\0') == std::string::npos;
    if (!clean || !AUTH_USERNAME_PWD(dev_path(PATH_SERVER_PROPERTIES), command.c_str())) {
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
    LOG_INFO("Rezudezi : ready_sendbuf : [%s]", answer);
    Send_370_Websocket_Json_Data("private", 0, answer);
}

void Handle_Command(mg_connection* conn, const std::string& command, int32_t sn,
                    int64_t conn_time) {
    if (CheckIfAuth(conn) != 1) {
        LOG_INFO("Rezudezi : This websocket without verify,so closeed");
        mg_close_cur_connection(conn);
        return;
    }
    T_ReqMsg req;
    req.data = command;
    req.sn = sn;
    req.conn_time = conn_time;
    req.send_time = get_time_ms();
    if (g_IP_task) g_IP_task->Send2IP(&req);
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
    LOG_INFO("Rezudezi : parse websocket data,get : [%s] [%s] [%s] [%s]", type.c_str(),
             command.c_str(), result.c_str(), com_name.c_str());

    if (type == "login") {
        Handle_Login(conn, command);
    } else if (type == "private") {
        Handle_Private(command);
    } else if (type == "command") {
        Handle_Command(conn, command, sn, conn_time);
    } else {
        LOG_WARN("waring !,i get no-define API tyep[%s]", type.c_str());
    }
}

int Verify_Pwd(const char* file, const char* credential, const char* name_key,
               const char* pwd_key) {
    char name[kCredentialSize] = {0};
    char pwd[kCredentialSize] = {0};
    Get_File_Key_Value(file, name_key, name, sizeof(name));
    // A slot without a name line is no account: its expected text would be a
    // single blank, a login with no password at all.
    if (name[0] == '\0') return -1;
    Get_File_Key_Value(file, pwd_key, pwd, sizeof(pwd));
    delete_terminate_char(name);
    delete_terminate_char(pwd);
    char expected[kExpectedSize] = {0};
    snprintf(expected, sizeof(expected), "%s %s", name, pwd);
    LOG_INFO("Rezudezi : verify login pwd : [%s]", expected);
    return strcmp(expected, credential) == 0 ? 0 : -1;
}

int AUTH_USERNAME_PWD(const char* file, const char* credential) {
    if (Verify_Pwd(file, credential, "adminName", "adminPassWord") == 0) return 1;
    for (int slot = 1; slot <= kUserSlots; slot++) {
        char name_key[32], pwd_key[32];
        snprintf(name_key, sizeof(name_key), "userName%d", slot);
        snprintf(pwd_key, sizeof(pwd_key), "userPassWord%d", slot);
        if (Verify_Pwd(file, credential, name_key, pwd_key) == 0) return 1;
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
