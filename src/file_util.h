// File helpers the handlers share: checks, directories, names, removal.
#ifndef KT_FILE_UTIL_H
#define KT_FILE_UTIL_H

#include <string>

// 0 when the directory exists or was created now (one level, like mkdir);
// -1 when it cannot be created.
int Ensure_Dir(const char* path);
// 0 readable, -1 missing, -2 present but not readable.
int ACCESS_FILE_EXIT_R_OK(const char* path);
// Trims a final "\n" (and "\r" before it) in place; the length before.
int delete_terminate_char(char* text);
// The text after the last "/" (or all of it): a pointer into path.
const char* GET_NAME_FROM_PATH(const char* path);
// Removes a file or a whole tree; a path that is not there is no error.
void Remove_Path(const std::string& path);
// Removes every entry of the directory, hidden ones too.
void Empty_Directory(const char* dir);

#endif
