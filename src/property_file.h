// Property files ("key=value" lines) as the device's own tools and the
// front-end's pages read and write them, and the service parameters its
// script answers.
#ifndef KT_PROPERTY_FILE_H
#define KT_PROPERTY_FILE_H

#include <string>

// Replaces every line beginning with match by "key=value": 0, or -1. With
// final_line_end false the file's last line then loses its line end. A value
// with a line break is refused (-1): it would split the entry. A missing file
// is started from seed, if given.
int Set_Property(const char* file, const char* match, const char* key, const char* value,
                 bool final_line_end = true, const char* seed = nullptr);
// Set_Property with the key as its own match.
int Set_File_Key_Value(const char* file, const char* key, const char* value);
// Appends the second "="-field of every line beginning with key to buf.
int Get_File_Key_Value(const char* file, const char* key, char* buf, int size);
// The same over a property text already read.
int Get_Text_Key_Value(const std::string& text, const char* key, char* buf, int size);
// Appends the output of the script run with the one argument to buf; -1 for
// an argument too long for the device's command line.
int Get_ServiceFile_Key_Value(const char* script, const char* argument, char* buf, int size);

#endif
