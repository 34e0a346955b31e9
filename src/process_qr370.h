// Request handlers of the device API, the WebSocket session protocol, and
// the file helpers they share.
#ifndef KT_PROCESS_QR370_H
#define KT_PROCESS_QR370_H

#include <string>

// ---- file helpers -----------------------------------------------------------

// 0 when the directory exists; otherwise creates it (one level) and returns
// the status of mkdir.
int ACCESS_PATH_EXIST(const char* path);
// 0 readable, -1 missing, -2 present but not readable.
int ACCESS_FILE_EXIT_R_OK(const char* path);
// Trims a final "\n" (and "\r" before it) in place; the length before.
int delete_terminate_char(char* text);
// Removes the line end of the file's last line, using tmp as scratch file.
int delete_file_terminate(const char* file, const char* tmp);
// The text after the last "/" (or all of it): a pointer into path.
const char* GET_NAME_FROM_PATH(const char* path);
// Replaces every line beginning with key by "key=value"; the wait status.
// A value with a line break is refused (-1): it would split the entry.
int Set_File_Key_Value(const char* file, const char* key, const char* value);
// Appends the second "="-field of every line beginning with key to buf.
int Get_File_Key_Value(const char* file, const char* key, char* buf, int size);
// Appends the output of "script argument" to buf.
int Get_ServiceFile_Key_Value(const char* script, const char* argument, char* buf, int size);

// ---- WebSocket session ------------------------------------------------------

struct mg_connection;

// Handles one text frame of a WebSocket client: login, command, private query.
void websocket_handler(mg_connection* conn, char* data, int len);
// 1 when "name password" matches one of the credential slots of file.
int AUTH_USERNAME_PWD(const char* file, const char* credential);
// 0 when credential matches the slot of the two keys, -1 otherwise.
int Verify_Pwd(const char* file, const char* credential, const char* name_key,
               const char* pwd_key);
// Wraps text into the JSON envelope and sends it to every logged-in client.
void Send_370_Websocket_Json_Data(const char* type, int result, const std::string& text);

#endif
