#include "process_qr370.h"

#include <stdio.h>
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
