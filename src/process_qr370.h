// Request handlers of the device API, the WebSocket session protocol, and
// the file helpers they share.
#ifndef KT_PROCESS_QR370_H
#define KT_PROCESS_QR370_H

#include <stddef.h>

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

// ---- fixed responses ----------------------------------------------------------

struct mg_connection;

int send_http_ok_rsp(mg_connection* conn);
int send_http_error_rsp(mg_connection* conn);
int send_http_pwd_success_rsp(mg_connection* conn);
int send_http_pwd_fail_rsp(mg_connection* conn);
int send_http_file_notfound_rsp(mg_connection* conn);
// Chunked attachment download of path under name; the head goes out before
// the file is opened.
int send_http_file_found_rsp(mg_connection* conn, const char* path, const char* name);

// ---- zone API -----------------------------------------------------------------

int Zone_Json_Handler(mg_connection* conn, void* cbdata);
int Zone_Page_Handler(mg_connection* conn, void* cbdata);
int Upload_Zone_File_Handler(mg_connection* conn, void* cbdata);
int Download_Zone_Json_Handler(mg_connection* conn, void* cbdata);
int Download_Zone_Page_Handler(mg_connection* conn, void* cbdata);
int zone_file_found(const char* key, const char* filename, char* path, size_t pathlen,
                    void* user_data);
int zone_file_get(const char* key, const char* value, size_t valuelen, void* user_data);
int zone_file_store(const char* path, long long file_size, void* user_data);

int Check_Zone_Pw_Handler(mg_connection* conn, void* cbdata);
// 0 when the query's first four fields all carry known keys, -1 otherwise.
int Parse_Zone_PW(char* query, std::string& cmdtype, std::string& cmdstr, std::string& username,
                  std::string& passwd);
// 0 listed; -5 an empty line ended the list; -3 end of file; -1 no file.
int Zone_Verify_Password(std::string& username, std::string& passwd);

// ---- WebSocket session ------------------------------------------------------

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
