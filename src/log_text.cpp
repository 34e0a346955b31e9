#include "log_text.h"

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
