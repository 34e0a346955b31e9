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
#include <iterator>
#include <memory>
#include <mutex>

#include "IPtask.h"
#include "devpath.h"
#include "form_reception.h"
#include "http_response.h"
#include "log.h"
#include "login_throttle.h"
#include "process_json.h"
#include "user_case.h"
#include "webserver.h"

// ===========================================================================
// Tables
// ===========================================================================

namespace {

// ---- routes ----

// Methods as a route row names them; every other method is "other".
enum http_method : unsigned {
    METHOD_GET = 1,
    METHOD_POST = 2,
    METHOD_OTHER = 4,
    METHOD_ANY = METHOD_GET | METHOD_POST | METHOD_OTHER,
};

const struct {
    const char* name;
    http_method bit;
} kMethodNames[] = {{"GET", METHOD_GET}, {"POST", METHOD_POST}};

// One way a route answers: the rows of one URI are tried in order, and the
// last of them takes every method (METHOD_ANY).
struct route {
    const char* uri;
    unsigned methods;
    mg_request_handler handler;
    const void* cbdata;
};

// What a route logs for a method it does not take.
struct refusal {
    log4cpp::Priority::Value priority;
    const char* line;
};

int Refuse_Method(mg_connection* conn, void* cbdata);
int Refuse_Method_500(mg_connection* conn, void* cbdata);

const refusal kZoneJsonRefusal = {log4cpp::Priority::ERROR, "zone json error"};
const refusal kZonePageRefusal = {log4cpp::Priority::ERROR, "zone page error"};
const refusal kZoneCheckRefusal = {log4cpp::Priority::ERROR, "check zone pwd is not GET"};
const refusal kSceneRefusal = {log4cpp::Priority::INFO, "Rezudezi : /scene is not GET"};
const refusal kMethodError = {log4cpp::Priority::ERROR, "Http Method Error"};

// A zone document as one route serves it.
struct zone_document {
    DevPathId path;
    const char* name;       // the download's file name
    const char* get_line;   // logged before a download, if any
    const char* post_line;  // logged before an upload, if any
};

const zone_document kZoneJson = {PATH_ZONE_JSON, "zone.json", "Rezudezi : zone json is get",
                                 "Rezudezi : zone json is post"};
const zone_document kZonePage = {PATH_ZONE_PAGE, "zone.page", "Rezudezi : zone page is get",
                                 "Rezudezi : zone page is post"};
const zone_document kZonePw = {PATH_ZONE_PW, "zone.pw", nullptr, nullptr};

// The routes in the order the server matches them: an exact match first,
// then the first pattern the URI extends ("/sceneX" reaches "/scene").
constexpr route kRoutes[] = {
    {"/custom$", METHOD_ANY, CustomHandler, nullptr},
    {"/login", METHOD_ANY, LoginHandler, nullptr},
    {"/upgrade", METHOD_ANY, Upload_File_Handler, nullptr},
    {"/get_custom_info", METHOD_ANY, Get_Custom_Info_Handler, nullptr},
    {"/custom_upload$", METHOD_ANY, Custom_Upload_Handler, nullptr},
    {"/downloadCustom", METHOD_ANY, Download_Custom_Handler, nullptr},
    {"/custom_restore", METHOD_ANY, Custom_Restore_Handler, nullptr},
    {"/api/v1/zones/info", METHOD_GET, Download_Zone_File_Handler, &kZoneJson},
    {"/api/v1/zones/info", METHOD_POST, Upload_Zone_File_Handler, &kZoneJson},
    {"/api/v1/zones/info", METHOD_ANY, Refuse_Method, &kZoneJsonRefusal},
    // The password list is read back with GET; any other method uploads.
    {"/api/v1/zones/passwd", METHOD_GET, Download_Zone_File_Handler, &kZonePw},
    {"/api/v1/zones/passwd", METHOD_ANY, Upload_Zone_File_Handler, nullptr},
    {"/api/v1/action", METHOD_GET, Check_Zone_Pw_Handler, nullptr},
    {"/api/v1/action", METHOD_ANY, Refuse_Method, &kZoneCheckRefusal},
    {"/api/v1/zones/page", METHOD_GET, Download_Zone_File_Handler, &kZonePage},
    {"/api/v1/zones/page", METHOD_POST, Upload_Zone_File_Handler, &kZonePage},
    {"/api/v1/zones/page", METHOD_ANY, Refuse_Method, &kZonePageRefusal},
    // The front-end's preview upload shares the zone form, and its GET too.
    {"/api/v1/upload/public_tx_preview", METHOD_GET, Download_Zone_File_Handler, &kZonePw},
    {"/api/v1/upload/public_tx_preview", METHOD_ANY, Upload_Zone_File_Handler, nullptr},
    {"/stream", METHOD_ANY, Stream_Handler, nullptr},
    {"/scene", METHOD_GET, Scene_Handler, nullptr},
    {"/scene", METHOD_ANY, Refuse_Method, &kSceneRefusal},
    {"/update_device", METHOD_ANY, Update_Device_Handler, nullptr},
    {"/getTxRxList", METHOD_ANY, Get_TXRX_List_Handler, nullptr},
    {"/scene_upload", METHOD_ANY, Scene_Upload_Handler, nullptr},
    {"/getUpgrade", METHOD_ANY, GET_Upgrade_Handler, nullptr},
    {"/marlo$", METHOD_GET, Marlo_Info_Handler, nullptr},
    {"/marlo$", METHOD_POST, Marlo_Store_Handler, nullptr},
    {"/marlo$", METHOD_ANY, Refuse_Method_500, &kMethodError},
    {"/log$", METHOD_GET, Log_Download_Handler, nullptr},
    {"/log$", METHOD_POST, Log_Line_Handler, nullptr},
    {"/log$", METHOD_ANY, Refuse_Method_500, &kMethodError},
};

constexpr bool Same_Text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

// Each URI's rows stand together and end with a row for every method.
constexpr bool Routes_Well_Formed() {
    for (size_t i = 0; i < std::size(kRoutes); i++) {
        const bool last =
            i + 1 == std::size(kRoutes) || !Same_Text(kRoutes[i].uri, kRoutes[i + 1].uri);
        if (last != (kRoutes[i].methods == METHOD_ANY)) return false;
    }
    return true;
}

constexpr size_t Route_Count() {
    size_t n = 0;
    for (const route& r : kRoutes) n += r.methods == METHOD_ANY ? 1 : 0;
    return n;
}

static_assert(Routes_Well_Formed(), "each URI's rows end with one METHOD_ANY row");
static_assert(Route_Count() == 20, "the device front-end relies on twenty routes");

// ---- forms ----

const int ZONE_INFO_STORED = 1;  // tag: the control service is told of a new zone.json

const form_field kZoneFields[] = {
    {"zoneinfo", FORM_FIELD_STORE, PATH_ZONE_JSON, FIELD_NEEDS_FILE_NAME, ZONE_INFO_STORED},
    {"zonepw", FORM_FIELD_STORE, PATH_ZONE_PW, FIELD_NEEDS_FILE_NAME, 0},
    {"pagecustom", FORM_FIELD_STORE, PATH_ZONE_PAGE, FIELD_NEEDS_FILE_NAME, 0},
    {"public_tx_preview", FORM_FIELD_STORE, PATH_PUBLIC_TX_PREVIEW, FIELD_NEEDS_FILE_NAME, 0},
};

const upload_form kZoneForm = {kZoneFields, std::size(kZoneFields), FORM_LOG_FIELDS, nullptr,
                               PATH_COUNT};

const form_field kUpgradeFields[] = {
    {"web", FORM_FIELD_STORE, PATH_UPGRADE_WEB, FIELD_NEEDS_FILE_NAME, 0},
    {"ktcmd", FORM_FIELD_STORE, PATH_UPGRADE_KTCMD, FIELD_NEEDS_FILE_NAME, 0},
};

const upload_form kUpgradeForm = {kUpgradeFields, std::size(kUpgradeFields),
                                  FORM_LOG_FIELDS | FORM_TIMED_STORE, nullptr, PATH_COUNT};

// The command package runs first: the web package may rely on what it set up.
const DevPathId kUpgradePackages[] = {PATH_UPGRADE_KTCMD, PATH_UPGRADE_WEB};

// Properties the customization sets and reads back. The front-end's reader
// takes the last line of custom.properties and of userdevice.properties as
// it stands, so those keep their last line without a line end.
enum custom_property { PROP_WEB_TITLE, PROP_LANGUAGE, PROP_LOGIN_TITLE, PROP_TRUENAME, PROP_COUNT };

const struct {
    custom_property id;
    DevPathId file;
    const char* match;  // the lines that hold it begin with this
    const char* key;
    bool final_line_end;
    DevPathId seed;  // a missing file starts from this one (PATH_COUNT: none)
} kCustomProperties[] = {
    {PROP_WEB_TITLE, PATH_CUSTOM_PROPERTIES, "webTitle", "webTitle", false, PATH_COUNT},
    {PROP_LANGUAGE, PATH_CUSTOM_PROPERTIES, "language=", "language", true, PATH_COUNT},
    {PROP_LOGIN_TITLE, PATH_CUSTOM_EN_PROPERTIES, "login_title=", "login_title", true, PATH_COUNT},
    // A restore deletes the file; the first setting after it starts from
    // the factory copy.
    {PROP_TRUENAME, PATH_USERDEVICE_PROPERTIES, "TRUENAME_REPLACEMENT=", "TRUENAME_REPLACEMENT",
     false, PATH_USERDEVICE_PROPERTIES_BAK},
};
static_assert(std::size(kCustomProperties) == PROP_COUNT, "every property needs a row");

enum { PWD_OLD, PWD_NEW, PWD_REPEAT, PWD_SLOTS };

void Take_Custom_Value(form_reception& rx, const form_field& field);

const form_field kCustomFields[] = {
    {"banner", FORM_FIELD_STORE, PATH_CUSTOM_BANNER, FIELD_NEEDS_FILE_NAME, 0},
    {"loginUp", FORM_FIELD_STORE, PATH_CUSTOM_LOGIN_UP, FIELD_NEEDS_FILE_NAME, 0},
    {"loginDown", FORM_FIELD_STORE, PATH_CUSTOM_LOGIN_DOWN, FIELD_NEEDS_FILE_NAME, 0},
    {"ipadlogo", FORM_FIELD_STORE, PATH_CUSTOM_IPAD_LOGO, FIELD_NEEDS_FILE_NAME, 0},
    {"windowslogo", FORM_FIELD_STORE, PATH_CUSTOM_WINDOWS_LOGO, FIELD_NEEDS_FILE_NAME, 0},
    {"previewImage", FORM_FIELD_STORE, PATH_PREVIEW_IMAGE, FIELD_NEEDS_FILE_NAME, 0},
    {"icon", FORM_FIELD_STORE, PATH_FAVICON, FIELD_NEEDS_FILE_NAME, 0},
    // A text value the front-end reads back as a file, with or without a name.
    {"version", FORM_FIELD_STORE, PATH_CUSTOM_VERSION, 0, 0},
    {"title", FORM_FIELD_GET, PATH_COUNT, 0, PROP_WEB_TITLE},
    {"login_title", FORM_FIELD_GET, PATH_COUNT, 0, PROP_LOGIN_TITLE},
    {"truename_replacement", FORM_FIELD_GET, PATH_COUNT, 0, PROP_TRUENAME},
    {"language", FORM_FIELD_GET, PATH_COUNT, 0, PROP_LANGUAGE},
    {"sys_oldPwd", FORM_FIELD_GET, PATH_COUNT, FIELD_SECRET, PWD_OLD},
    {"sys_newPwd", FORM_FIELD_GET, PATH_COUNT, FIELD_SECRET, PWD_NEW},
    {"sys_repeatPwd", FORM_FIELD_GET, PATH_COUNT, FIELD_SECRET, PWD_REPEAT},
};

const upload_form kCustomForm = {kCustomFields, std::size(kCustomFields), FORM_LOG_FIELDS,
                                 Take_Custom_Value, PATH_COUNT};

// Result letters of the password script, as the front-end knows them.
enum pwd_result : char {
    PWD_CHANGED = '0',
    PWD_INVALID_NEW = '3',
    PWD_UNKNOWN_MISTAKE = '4',
};

const struct {
    char letter;
    const char* meaning;
} kPwdLetters[] = {
    {PWD_CHANGED, "Successfully modified"}, {'1', "Not an admin user"},
    {'2', "The original password is wrong"}, {PWD_INVALID_NEW, "Invalid new password"},
    {PWD_UNKNOWN_MISTAKE, "unknown mistake"}, {'5', "Invalid usage"},
};

// Factory copies a restore puts back, in this order; the system password
// goes back to the device's own backup of it.
const struct {
    DevPathId from;
    DevPathId to;
} kFactoryCopies[] = {
    {PATH_FAVICON_BAK, PATH_FAVICON},
    {PATH_CUSTOM_BANNER_BAK, PATH_CUSTOM_BANNER},
    {PATH_CUSTOM_LOGIN_DOWN_BAK, PATH_CUSTOM_LOGIN_DOWN},
    {PATH_CUSTOM_LOGIN_UP_BAK, PATH_CUSTOM_LOGIN_UP},
    {PATH_PREVIEW_IMAGE_BAK, PATH_PREVIEW_IMAGE},
    {PATH_CUSTOM_PROPERTIES_BAK, PATH_CUSTOM_PROPERTIES},
    {PATH_CUSTOM_EN_PROPERTIES_BAK, PATH_CUSTOM_EN_PROPERTIES},
    {PATH_SHADOW_BAK, PATH_SHADOW},
};

// Files of the customization without a factory copy: a restore removes them.
const DevPathId kCustomExtras[] = {PATH_CUSTOM_IPAD_LOGO, PATH_CUSTOM_WINDOWS_LOGO};

// Every file field lands on the one temporary document; the last one stays.
const form_field kSceneFields[] = {
    {nullptr, FORM_FIELD_STORE, PATH_SCENE_TEMP_DOC, FIELD_NEEDS_FILE_NAME, 0},
};

// Any file field, stored under the last component of the client's name.
const form_field kUpdateFields[] = {
    {nullptr, FORM_FIELD_STORE, PATH_UPDATE_DIR, FIELD_NEEDS_FILE_NAME | FIELD_CLIENT_NAME, 0},
};

}  // namespace

const upload_form kSceneUploadForm = {kSceneFields, std::size(kSceneFields), FORM_DEFER, nullptr,
                                      PATH_COUNT};
const upload_form kUpdateDeviceForm = {kUpdateFields, std::size(kUpdateFields), FORM_DEFER,
                                       nullptr, PATH_UPDATE_INCOMING};

namespace {

// ---- WebSocket messages ----

// The one answer to a successful login; the front-end compares these bytes.
const char kLoginReply[] = "{\"type\":\"result\",\"comName\":\"\",\"command\":\"\",\"result\":1}";
static_assert(sizeof(kLoginReply) - 1 == 54, "login reply is 54 bytes");

// The members of a client's frame, read by one parse.
struct ws_frame {
    std::string type;
    std::string command;
    std::string result;
    std::string com_name;
};

// The client a frame came from.
struct ws_sender {
    mg_connection* conn;
    int32_t sn;
    int64_t conn_time;
};

void Handle_Login(const ws_sender& from, const std::string& command);
void Handle_Private(const ws_sender& from, const std::string& command);
void Handle_Command(const ws_sender& from, const std::string& command);

// Types are compared exactly: "LOGIN" is no login.
const struct {
    const char* type;
    void (*handle)(const ws_sender& from, const std::string& command);
    char credential_sep;  // a login's command is "name password": the password is masked
} kWsMessages[] = {
    {"login", Handle_Login, ' '},
    {"private", Handle_Private, '\0'},
    {"command", Handle_Command, '\0'},
};

const char kServiceQuery[] = "config get service capability";
const size_t kServiceQueryLen = sizeof(kServiceQuery) - 1;

// Credential slots of server.properties: the administrator, then the users.
const int kUserSlots = 5;

// ===========================================================================
// State
// ===========================================================================

const size_t kPwdSlotSize = 100;  // 99 characters and the terminator

// A customization's password change, filled while its form is read.
struct password_change {
    char pwd[PWD_SLOTS][kPwdSlotSize];  // each NUL-terminated
    bool refused;  // a password did not fit its slot: never run with a cut one
};

// Streams being served right now; raised and lowered by several workers at
// once, read only for the log line.
std::atomic<int> g_stream_count{0};

// The temporary document has one fixed name, so one upload at a time owns
// it from putting it in place to removal: otherwise a conversion could read
// another request's document, or a clean-up delete it before its conversion.
// Each request receives its body before, into a temporary of its own, so a
// slow sender holds up nobody.
std::mutex g_scene_upload_mutex;

// The update folder holds what the latest complete request stored: one
// request empties and fills it at a time, once its body has arrived. Until
// then its files wait in a folder of their own, which no emptying touches.
std::mutex g_update_mutex;

// ===========================================================================
// Helpers
// ===========================================================================

int Refuse_Method(mg_connection* /*conn*/, void* cbdata) {
    const refusal& r = *static_cast<const refusal*>(cbdata);
    KT_LOG_AT(r.priority, "%s", r.line);
    return 1;
}

int Refuse_Method_500(mg_connection* conn, void* cbdata) {
    Refuse_Method(conn, cbdata);
    send_http_error_rsp(conn);
    return 1;
}

unsigned Method_Of(mg_connection* conn) {
    const char* method = mg_get_request_info(conn)->request_method;
    for (const auto& row : kMethodNames) {
        if (strcmp(method, row.name) == 0) return row.bit;
    }
    return METHOD_OTHER;
}

// The server's handler of every route: the first row of the URI that takes
// the request's method answers it.
int Serve_Route(mg_connection* conn, void* cbdata) {
    const unsigned method = Method_Of(conn);
    const route* row = static_cast<const route*>(cbdata);
    while ((row->methods & method) == 0) row++;
    return row->handler(conn, const_cast<void*>(row->cbdata));
}

void Send_File_Or_Not_Found(mg_connection* conn, const char* path, const char* name) {
    if (ACCESS_FILE_EXIT_R_OK(path) == 0) {
        send_http_file_found_rsp(conn, path, name);
    } else {
        send_http_file_notfound_rsp(conn);
    }
}

void Log_Line_If(const char* line) {
    if (line != nullptr) LOG_INFO("%s", line);
}

const size_t kZoneLongPathSize = 1024;  // the note to the control service

void Notify_Zone_Json() {
    char text[kZoneLongPathSize] = {0};
    snprintf(text, sizeof(text), "private updatezonejson %s/zone.json", dev_path(PATH_ZONE_DIR));
    Send_To_Device(text);
}

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

const size_t kDecodeSlack = 200;

std::string Percent_Decode(const std::string& text) {
    const size_t size = text.size() + kDecodeSlack;
    std::unique_ptr<char[]> decoded(new char[size]());
    Process_Web_CH_Character(text.c_str(), decoded.get(), static_cast<int>(size));
    return decoded.get();
}

void Run_Package(DevPathId package) {
    const char* path = dev_path(package);
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

int Set_Custom_Property(custom_property id, const char* value) {
    const auto& p = kCustomProperties[id];
    return Set_Property(dev_path(p.file), p.match, p.key, value, p.final_line_end,
                        p.seed == PATH_COUNT ? nullptr : dev_path(p.seed));
}

// The property's value as the front-end shows it: its last line end trimmed.
void Get_Custom_Property(custom_property id, char* buf, int size) {
    const auto& p = kCustomProperties[id];
    Get_File_Key_Value(dev_path(p.file), p.match, buf, size);
    delete_terminate_char(buf);
}

void Store_Password(password_change& change, int slot, const form_reception& rx) {
    char* text = change.pwd[slot];
    memset(text, 0, kPwdSlotSize);
    if (rx.value_refused || rx.value.size() >= kPwdSlotSize ||
        rx.value.find('\0') != std::string::npos) {
        LOG_ERROR("%s refused: a password holds at most %zu bytes and no NUL", rx.key.c_str(),
                  kPwdSlotSize - 1);
        change.refused = true;
        return;
    }
    memcpy(text, rx.value.data(), rx.value.size());
}

// A complete value of the customization form.
void Take_Custom_Value(form_reception& rx, const form_field& field) {
    if (field.flags & FIELD_SECRET) {
        Store_Password(*static_cast<password_change*>(rx.route_state), field.tag, rx);
    } else if (rx.value_refused || rx.value.find('\0') != std::string::npos) {
        LOG_ERROR("value of %s refused: longer than %zu bytes or holding a NUL", rx.key.c_str(),
                  kMaxFormValue);
    } else {
        Set_Custom_Property(static_cast<custom_property>(field.tag), rx.value.c_str());
    }
}

// Logs the meaning of the password script's answer letter.
void Log_Password_Result(char letter) {
    const char* meaning = "Unknown parameter";
    for (const auto& row : kPwdLetters) {
        if (row.letter == letter) meaning = row.meaning;
    }
    LOG_INFO("Rezudezi : %s", meaning);
}

const size_t kPwdOutputSize = 1024;

// The password change the form carries, if any: the result letter.
char Password_Step(const password_change& change) {
    if (change.refused) {
        Log_Password_Result(PWD_INVALID_NEW);
        return PWD_INVALID_NEW;
    }
    const char* old_pwd = change.pwd[PWD_OLD];
    const char* new_pwd = change.pwd[PWD_NEW];
    const char* repeat_pwd = change.pwd[PWD_REPEAT];
    if (new_pwd[0] == '\0' || old_pwd[0] == '\0' || repeat_pwd[0] == '\0' ||
        strcmp(new_pwd, repeat_pwd) != 0) {
        LOG_INFO("Rezudezi : One member is empty,or The two passwords are inconsistent");
        return PWD_CHANGED;
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
        letter = PWD_UNKNOWN_MISTAKE;
    }
    Log_Password_Result(letter);
    return letter;
}

// The package export_custom.sh made, as its list names it; empty when the
// export failed.
std::string Exported_Package() {
    const char* list = dev_path(PATH_CUSTOM_TXT);
    // A list left by an earlier export must not pass for this one's.
    unlink(list);
    Run_Program({dev_path(PATH_EXPORT_CUSTOM_SH)});
    std::string line;
    if (ACCESS_FILE_EXIT_R_OK(list) == -1 || Get_Line_From_File(list, line, 1) != 0) return "";
    Delete_String_Terminate_Char(line);
    LOG_INFO("Rezudezi : Get filename is %s", line.c_str());
    std::string head, path;
    Split_Str(line, "=", head, path);
    LOG_INFO("Rezudezi : task path is %s;file is %s", path.c_str(),
             GET_NAME_FROM_PATH(path.c_str()));
    if (path.empty() || ACCESS_FILE_EXIT_R_OK(path.c_str()) != 0) return "";
    return path;
}

// Only the first character decides, but the script may explain a failure.
const int kSceneResultSize = 200;

// The script's verdict: output beginning with "1" is success.
bool Convert_Scene(const char* temp, const char* project) {
    const Argv argv = {dev_path(PATH_XML2JSON_SH), temp, project};
    char result[kSceneResultSize] = {0};
    LOG_INFO("Rezudezi : xml to json path******** : [%s]", Command_Text(argv).c_str());
    Run_Program_Output(argv, result, sizeof(result));
    LOG_INFO("Rezudezi : xml to json tool result : [%s]", result);
    return result[0] == '1';
}

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

const int kAdminFieldSize = 512;
const int kServiceFieldSize = 24;

// Sets the members "admininfo" and "deviceinfo" of root.
void Add_Admin_And_Device_Info(Json::Value& root) {
    char name[kAdminFieldSize] = {0};
    char pwd[kAdminFieldSize] = {0};
    char http[kServiceFieldSize] = {0};
    char https[kServiceFieldSize] = {0};
    std::string props;
    FileToString(dev_path(PATH_SERVER_PROPERTIES), props);
    Get_Text_Key_Value(props, "adminName", name, sizeof(name));
    Get_Text_Key_Value(props, "adminPassWord", pwd, sizeof(pwd));
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

// ---- WebSocket session ----

const int kCredentialSize = 200;  // one name or password
const int kExpectedSize = 400;    // "name password"

// Whether credential matches the slot of the two keys in the text of the
// credential file (never for a slot without name or password).
bool Matches_Slot(const std::string& props, const char* credential, const char* name_key,
                  const char* pwd_key) {
    char name[kCredentialSize] = {0};
    char pwd[kCredentialSize] = {0};
    Get_Text_Key_Value(props, name_key, name, sizeof(name));
    Get_Text_Key_Value(props, pwd_key, pwd, sizeof(pwd));
    delete_terminate_char(name);
    delete_terminate_char(pwd);
    // A slot with an empty name or password is no account, whether its keys
    // are absent or present: its expected text would let a login with no
    // name or no password in.
    if (name[0] == '\0' || pwd[0] == '\0') return false;
    char expected[kExpectedSize] = {0};
    snprintf(expected, sizeof(expected), "%s %s", name, pwd);
    LOG_INFO("Rezudezi : verify login pwd : [%s]", Masked_Credential(expected, ' ').c_str());
    return strcmp(expected, credential) == 0;
}

// Whether "name password" matches one of the credential slots of file.
bool Is_Known_Credential(const char* file, const char* credential) {
    // One read per login: the slots are edited while the server runs, and
    // all six are checked against the same text.
    std::string props;
    FileToString(file, props);
    if (Matches_Slot(props, credential, "adminName", "adminPassWord")) return true;
    for (int slot = 1; slot <= kUserSlots; slot++) {
        char name_key[32], pwd_key[32];
        snprintf(name_key, sizeof(name_key), "userName%d", slot);
        snprintf(pwd_key, sizeof(pwd_key), "userPassWord%d", slot);
        if (Matches_Slot(props, credential, name_key, pwd_key)) return true;
    }
    return false;
}

void Handle_Login(const ws_sender& from, const std::string& command) {
    const mg_request_info* info = mg_get_request_info(from.conn);
    const std::string address = info != nullptr ? info->remote_addr : "";
    Wait_Login_Turn(address);
    // A NUL inside the credential would end the comparison early.
    const bool clean = command.find('\0') == std::string::npos;
    if (!clean || !Is_Known_Credential(dev_path(PATH_SERVER_PROPERTIES), command.c_str())) {
        Note_Login_Failure(address);
        LOG_INFO("Rezudezi : auth failed");
        return;
    }
    LOG_INFO("Rezudezi : auth sucess");
    SetWebsocketConnSuccess(from.conn);
    LOG_INFO("Rezudezi : set sucess");
    Send_Data_To_CurWebsocket(from.conn, kLoginReply, sizeof(kLoginReply) - 1);
    LOG_INFO("Rezudezi : send sucess");
}

const int kQuerySize = 300;   // query copy, parameter, script output
const int kAnswerSize = 500;  // private answer

void Handle_Private(const ws_sender& /*from*/, const std::string& command) {
    if (strncasecmp(command.c_str(), kServiceQuery, kServiceQueryLen) != 0) return;
    char query[kQuerySize] = {0};
    snprintf(query, sizeof(query), "%s", command.c_str());
    char param[kQuerySize] = {0};
    Split_Multi_Str(query, 5, param, sizeof(param), ' ');
    // The parameter reaches the script as one word; one that does not fit
    // the command is refused and gives an empty output.
    char output[kQuerySize] = {0};
    Get_ServiceFile_Key_Value(dev_path(PATH_SERVICE_PARAM_SH), param, output, sizeof(output));
    char answer[kAnswerSize] = {0};
    snprintf(answer, sizeof(answer), "%s %s", query, output);
    LOG_INFO("Rezudezi : ready_sendbuf : [%s]", Log_Line_Text(answer).c_str());
    Send_370_Websocket_Json_Data("private", 0, answer);
}

void Handle_Command(const ws_sender& from, const std::string& command) {
    mg_connection* conn = from.conn;
    if (CheckIfAuth(conn) != WS_AUTH_LOGGED_IN) {
        LOG_INFO("Rezudezi : This websocket without verify,so closeed");
        mg_close_cur_connection(conn);
        return;
    }
    Send_To_Device(command, from.sn, from.conn_time);
}

void Log_Frame(const ws_frame& frame, char credential_sep) {
    const std::string shown = credential_sep != '\0'
                                  ? Masked_Credential(frame.command, credential_sep)
                                  : frame.command;
    LOG_INFO("Rezudezi : parse websocket data,get : [%s] [%s] [%s] [%s]",
             Log_Line_Text(frame.type.c_str()).c_str(), Log_Line_Text(shown.c_str()).c_str(),
             Log_Line_Text(frame.result.c_str()).c_str(),
             Log_Line_Text(frame.com_name.c_str()).c_str());
}

}  // namespace

// ===========================================================================
// Handlers: routes
// ===========================================================================

void Register_Routes(mg_context* ctx) {
    uri_list rows[Route_Count()];
    size_t n = 0;
    for (size_t i = 0; i < std::size(kRoutes); i++) {
        // A URI's first row leads to all of its rows.
        if (i > 0 && Same_Text(kRoutes[i - 1].uri, kRoutes[i].uri)) continue;
        rows[n++] = {kRoutes[i].uri, Serve_Route, const_cast<route*>(&kRoutes[i])};
    }
    AddURIProcessHandler(ctx, rows, static_cast<int>(n));
}

// ===========================================================================
// Handlers: zone documents and the zone password check
// ===========================================================================

int Download_Zone_File_Handler(mg_connection* conn, void* cbdata) {
    const zone_document& doc = *static_cast<const zone_document*>(cbdata);
    Log_Line_If(doc.get_line);
    Send_File_Or_Not_Found(conn, dev_path(doc.path), doc.name);
    return 1;
}

int Upload_Zone_File_Handler(mg_connection* conn, void* cbdata) {
    if (cbdata != nullptr) Log_Line_If(static_cast<const zone_document*>(cbdata)->post_line);
    Ensure_Dir(dev_path(PATH_ZONE_DIR));
    Ensure_Dir(dev_path(PATH_WEB_ROOT));
    form_reception rx(kZoneForm, nullptr);
    const int ret = Receive_Form(conn, rx);
    if (ret < 0) {
        LOG_ERROR("ret : %d", ret);
        return 1;
    }
    if (rx.marks & ZONE_INFO_STORED) Notify_Zone_Json();
    Send_Head(HEAD_OK_BARE, conn);
    return 1;
}

const int kZoneFieldSize = 2048;  // one query field, terminator included
const int kZoneQueryFields = 4;

int Parse_Zone_PW(char* query, std::string& cmdtype, std::string& cmdstr, std::string& username,
                  std::string& passwd) {
    const struct {
        const char* key;
        std::string* out;
    } keys[] = {
        {"cmdtype", &cmdtype}, {"cmdstr", &cmdstr}, {"username", &username}, {"passwd", &passwd}};
    int count = 0;
    std::unique_ptr<char[]> field(new char[kZoneFieldSize]());
    for (int k = 1; k <= kZoneQueryFields; k++) {
        // A field too long for the buffer makes the request malformed.
        if (Split_Multi_Str(query, k, field.get(), kZoneFieldSize, '&') == -2) return -1;
        std::string key, value;
        Split_Str(field.get(), "=", key, value);
        bool known = false;
        for (const auto& entry : keys) {
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
    // One pass over the list, with the answers and log lines of reading line
    // 1, 2, 3 ... each from the start: a long list stays linear.
    LineFile file(dev_path(PATH_ZONE_PW));
    if (!file.is_open()) {
        LOG_ERROR("cannot open %s: %s", dev_path(PATH_ZONE_PW), strerror(errno));
        return ZONE_PW_NO_FILE;
    }
    std::string line;
    for (int k = 1;; k++) {
        if (!file.Next(line)) {
            LOG_WARN("file not exist %d line", k);
            return ZONE_PW_END_OF_FILE;
        }
        Delete_String_Terminate_Char(line);
        // The list's passwords, and the one sought, never reach the log.
        LOG_INFO("Rezudezi : [%s] ; read zone.pw [%d] line : [%s]",
                 Log_Line_Text(Masked_Credential(sought, ':').c_str()).c_str(), k,
                 Log_Line_Text(line.empty() ? "" : Masked_Credential(line, ':').c_str()).c_str());
        if (line.empty()) return ZONE_PW_EMPTY_LINE;
        if (line == sought) return ZONE_PW_LISTED;
    }
}

int Check_Zone_Pw_Handler(mg_connection* conn, void* /*cbdata*/) {
    if (ACCESS_FILE_EXIT_R_OK(dev_path(PATH_ZONE_PW)) != 0) {
        send_http_file_notfound_rsp(conn);
        return 1;
    }
    // A request without a query string is answered like an empty one.
    const char* query = mg_get_request_info(conn)->query_string;
    std::string fields = query ? query : "";
    LOG_INFO("Rezudezi : readbuf : [%s]", Log_Line_Text(Masked_Zone_Query(fields).c_str()).c_str());
    std::string cmdtype, cmdstr, username, passwd;
    if (Parse_Zone_PW(&fields[0], cmdtype, cmdstr, username, passwd) != 0) {
        send_http_error_rsp(conn);
        return 1;
    }
    std::string name = Percent_Decode(username);
    LOG_INFO("Rezudezi : [%s] [%s] [%s] [%s]", Log_Line_Text(cmdtype.c_str()).c_str(),
             Log_Line_Text(cmdstr.c_str()).c_str(), Log_Line_Text(name.c_str()).c_str(), kLogMask);
    if (cmdtype != "control" || cmdstr != "verifypasswd" || username.empty() || passwd.empty()) {
        return 1;
    }
    if (Zone_Verify_Password(name, passwd) == ZONE_PW_LISTED) {
        LOG_INFO("Rezudezi : password verify success");
        send_http_pwd_success_rsp(conn);
    } else {
        LOG_INFO("Rezudezi : password verify fail");
        send_http_pwd_fail_rsp(conn);
    }
    return 1;
}

// ===========================================================================
// Handlers: firmware upgrade, web customization, system password
// ===========================================================================

int Upload_File_Handler(mg_connection* conn, void* /*cbdata*/) {
    const char* dir = dev_path(PATH_UPGRADE_DIR);
    Ensure_Dir(dir);
    // Packages of an earlier upgrade must never run again.
    Empty_Directory(dir);
    form_reception rx(kUpgradeForm, nullptr);
    const int ret = Receive_Form(conn, rx);
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
    for (DevPathId package : kUpgradePackages) Run_Package(package);
    sleep(1);
    LOG_INFO("Rezudezi : REBOOT");
    Reboot_Device();
    return 1;
}

int GET_Upgrade_Handler(mg_connection* conn, void* /*cbdata*/) {
    send_http_ok_rsp(conn);
    return 1;
}

const size_t kCustomValueSize = 1024;  // one property read back

int Get_Custom_Info_Handler(mg_connection* conn, void* /*cbdata*/) {
    char title[kCustomValueSize] = {0};
    char language[kCustomValueSize] = {0};
    char login_title[kCustomValueSize] = {0};
    Get_Custom_Property(PROP_WEB_TITLE, title, sizeof(title));
    Get_Custom_Property(PROP_LANGUAGE, language, sizeof(language));
    Get_Custom_Property(PROP_LOGIN_TITLE, login_title, sizeof(login_title));
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

const size_t kCustomReplySize = 1024;

int Custom_Upload_Handler(mg_connection* conn, void* /*cbdata*/) {
    password_change change{};
    form_reception rx(kCustomForm, &change);
    Ensure_Dir(dev_path(PATH_CUSTOMIZATION_DIR));
    const int ret = Receive_Form(conn, rx);
    if (ret < 0) LOG_ERROR("ret : %d", ret);
    const char letter = Password_Step(change);
    char reply[kCustomReplySize] = {0};
    // The reply stays JSON whatever letter the script printed.
    const char* escape = (letter == '"' || letter == '\\') ? "\\" : "";
    snprintf(reply, sizeof(reply), "{\"result\":\"%s%c\"}", escape, letter);
    send_json_data(conn, reply);
    if (letter == PWD_CHANGED) Reboot_Device();
    return 1;
}

int Download_Custom_Handler(mg_connection* conn, void* /*cbdata*/) {
    // A 200 head promises the package: without one the export failed.
    const std::string path = Exported_Package();
    if (path.empty()) {
        send_http_error_rsp(conn);
        return 1;
    }
    Send_Head(HEAD_EXPORT, conn, GET_NAME_FROM_PATH(path.c_str()));
    send_chunk_file(conn, path.c_str());
    return 1;
}

int Custom_Restore_Handler(mg_connection* /*conn*/, void* /*cbdata*/) {
    // Nothing is answered: the device goes down at the end.
    Remove_Path(dev_path(PATH_USERDEVICE_PROPERTIES));
    Remove_Path(dev_path(PATH_CUSTOM_VERSION));
    for (const auto& copy : kFactoryCopies) {
        const char* from = dev_path(copy.from);
        const char* to = dev_path(copy.to);
        if (!Copy_File(from, to)) LOG_WARN("cannot copy %s to %s: %s", from, to, strerror(errno));
        sync();
    }
    for (DevPathId extra : kCustomExtras) Remove_Path(dev_path(extra));
    Run_Program({dev_path(PATH_CLEARCUSTOM_SH)});
    sync();
    Reboot_Device();
    return 1;
}

// ===========================================================================
// Handlers: WebSocket session protocol
// ===========================================================================

void websocket_handler(mg_connection* conn, char* data, int len) {
    ws_sender from = {conn, 0, 0};
    if (!GetWSSNnum(conn, &from.sn, &from.conn_time)) {
        LOG_WARN("waring!,can not find this conn from list");
    }
    const std::string text(data, static_cast<size_t>(len < 0 ? 0 : len));
    ws_frame frame;
    const json_member members[] = {{"type", &frame.type},
                                   {"command", &frame.command},
                                   {"result", &frame.result},
                                   {"comName", &frame.com_name}};
    ParseJsonMembers(text, members, std::size(members));
    for (const auto& message : kWsMessages) {
        if (frame.type == message.type) {
            Log_Frame(frame, message.credential_sep);
            message.handle(from, frame.command);
            return;
        }
    }
    Log_Frame(frame, '\0');
    LOG_WARN("waring !,i get no-define API tyep[%s]", Log_Line_Text(frame.type.c_str()).c_str());
}

// Every text of the control service goes out in this envelope, at up to the
// device's full rate: written straight, without a document tree, in the
// form Json_Write gives (members in name order).
void Send_370_Websocket_Json_Data(const char* type, int result, const std::string& text) {
    std::string doc = "{\"comName\":\"ALL\",\"command\":";
    Json_Append_String(text.data(), text.data() + text.size(), doc);
    doc += ",\"result\":" + std::to_string(result) + ",\"type\":";
    Json_Append_String(type, type + strlen(type), doc);
    doc += "}\n";
    Send_Data_To_ALLWebsocket(doc.c_str(), doc.size());
}

// ===========================================================================
// Handlers: preview stream, scene document, scene upload
// ===========================================================================

int Stream_Handler(mg_connection* conn, void* /*cbdata*/) {
    g_stream_count++;
    send_jpg_stream_file(conn, dev_path(PATH_PREVIEW_IMAGE));
    const int still_running = --g_stream_count;
    LOG_INFO("Rezudezi : The number of connections currently requesting stream : [%d]",
             still_running);
    return 1;
}

int Scene_Handler(mg_connection* conn, void* /*cbdata*/) {
    send_http_file_found_rsp(conn, dev_path(PATH_SCENE_DOC), "SystemConfig.hoi");
    return 1;
}

const size_t kSceneTextSize = 1024;  // the note to the control service

int Scene_Upload_Handler(mg_connection* conn, void* /*cbdata*/) {
    Ensure_Dir(dev_path(PATH_WEB_CLASSES));
    form_reception rx(kSceneUploadForm, nullptr);
    const int ret = Receive_Form(conn, rx);
    if (ret < 0) {
        LOG_ERROR("ret : %d", ret);
        return 1;
    }
    const char* project = dev_path(PATH_PROJECT_JSON);
    bool converted;
    {
        std::lock_guard<std::mutex> owner(g_scene_upload_mutex);
        Commit_Received(rx);
        converted = Convert_Scene(dev_path(PATH_SCENE_TEMP_DOC), project);
        if (converted) {
            Set_File_Key_Value(dev_path(PATH_SERVER_PROPERTIES), "userSceneNote", "null");
        }
        Remove_Path(dev_path(PATH_SCENE_TEMP_DOC));
    }
    if (!converted) {
        send_http_error_rsp(conn);
        return 1;
    }
    char text[kSceneTextSize] = {0};
    snprintf(text, sizeof(text), "private updateprojectjson %s", project);
    send2ip_buf(text);
    send_http_ok_rsp(conn);
    return 1;
}

// ===========================================================================
// Handlers: device update and TX/RX list
// ===========================================================================

int Update_Device_Handler(mg_connection* conn, void* /*cbdata*/) {
    const char* dir = dev_path(PATH_UPDATE_DIR);
    Ensure_Dir(dir);
    Ensure_Dir(dev_path(PATH_UPDATE_INCOMING));
    form_reception rx(kUpdateDeviceForm, nullptr);
    const int ret = Receive_Form(conn, rx);
    if (ret < 0) {
        LOG_ERROR("ret : %d", ret);
        return 1;
    }
    {
        std::lock_guard<std::mutex> owner(g_update_mutex);
        Empty_Directory(dir);
        Commit_Received(rx);
    }
    Send_Head(HEAD_OK_BARE, conn);
    return 1;
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
    // The line end after the body is not counted: the companion reads it.
    Send_Head(HEAD_LENGTH, conn, static_cast<int>(body.size()));
    mg_printf(conn, "%s\r\n", body.c_str());
    return 1;
}

// ===========================================================================
// Handlers: companion application (Marlo) status document and log
// ===========================================================================

std::string DeleteChar(const std::string& text, char c) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        if (ch != c) out += ch;
    }
    return out;
}

int Marlo_Info_Handler(mg_connection* conn, void* /*cbdata*/) {
    const char* marlo = dev_path(PATH_MARLO_INFO);
    Json::Value root(Json::objectValue);
    Add_Admin_And_Device_Info(root);
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
    return 1;
}

const size_t kMarloBodySize = 3072;  // the stored document stays below this

int Marlo_Store_Handler(mg_connection* conn, void* /*cbdata*/) {
    std::unique_ptr<char[]> body(new char[kMarloBodySize]());
    // A document cut short, or one the disk cannot take, leaves the stored
    // one as it was.
    if (Read_Whole_Body(conn, body.get(), kMarloBodySize) &&
        StringToFile(dev_path(PATH_MARLO_INFO), body.get(), strlen(body.get())) == 0) {
        send_http_ok_rsp(conn);
    } else {
        LOG_ERROR("marlo document not stored");
        send_http_error_rsp(conn);
    }
    return 1;
}

int Log_Download_Handler(mg_connection* conn, void* /*cbdata*/) {
    send_http_file_found_rsp(conn, dev_path(PATH_LOG_BAK_APP_LOG), "app.log");
    return 1;
}

const size_t kLogBodySize = 1024;  // one log line from the client

int Log_Line_Handler(mg_connection* conn, void* /*cbdata*/) {
    char body[kLogBodySize] = {0};
    BC_GET_Request_Body(conn, body, sizeof(body) - 1);
    // A client's line break must not forge further log entries.
    LOG_INFO("Marlo : %s", Log_Line_Text(body).c_str());
    send_http_ok_rsp(conn);
    return 1;
}
