#include "process_qr370.h"

#include <string.h>
#include <unistd.h>

#include "log.h"
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

void Send_370_Websocket_Json_Data(const char* /*type*/, int /*result*/,
                                  const std::string& /*text*/) {
    // The WebSocket registry is not served yet: there is no logged-in client
    // to hand a device text to.
}
