// Request data as log lines show it.
#ifndef KT_LOG_TEXT_H
#define KT_LOG_TEXT_H

#include <string>

// Text a client sent for the log, made one line: control characters and the
// backslash written as escapes.
std::string Log_Line_Text(const char* text);
// What the log shows in place of a password.
extern const char kLogMask[];
// A credential "name<sep>password" as the log shows it: the name, the
// separator and the mask; text without the separator is all password.
std::string Masked_Credential(const std::string& credential, char sep);

#endif
