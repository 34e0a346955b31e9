#include "property_file.h"

#include <string.h>

#include "log.h"
#include "webserver.h"

namespace {

// The service script's command line as the device's tools knew it: a
// parameter that would make it longer is refused, not cut into another one.
const size_t kServiceCmdSize = 300;

}  // namespace

int Set_Property(const char* file, const char* match, const char* key, const char* value,
                 bool final_line_end, const char* seed) {
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

int Set_File_Key_Value(const char* file, const char* key, const char* value) {
    return Set_Property(file, key, key, value);
}

int Get_Text_Key_Value(const std::string& text, const char* key, char* buf, int size) {
    if (buf == nullptr || size <= 0) return -1;
    OutputBuffer(buf, size).Add_Text(Property_Values(text, key));
    return 0;
}

int Get_File_Key_Value(const char* file, const char* key, char* buf, int size) {
    std::string text;
    FileToString(file, text);  // a missing file has no values
    return Get_Text_Key_Value(text, key, buf, size);
}

int Get_ServiceFile_Key_Value(const char* script, const char* argument, char* buf, int size) {
    const size_t length = strlen(script) + 1 + strlen(argument);
    if (length >= kServiceCmdSize) {
        LOG_ERROR("command refused: %zu bytes do not fit in %zu", length, kServiceCmdSize);
        return -1;
    }
    return Run_Program_Output({script, argument}, buf, size);
}
