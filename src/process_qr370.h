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
// Removes the line end of the file's last line: 0, or -1.
int delete_file_terminate(const char* file);
// The text after the last "/" (or all of it): a pointer into path.
const char* GET_NAME_FROM_PATH(const char* path);
// Replaces every line beginning with key by "key=value": 0, or -1. A value
// with a line break is refused (-1): it would split the entry.
int Set_File_Key_Value(const char* file, const char* key, const char* value);
// Appends the second "="-field of every line beginning with key to buf.
int Get_File_Key_Value(const char* file, const char* key, char* buf, int size);
// Appends the output of the script run with the one argument to buf; -1 for
// an argument too long for the device's command line.
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

// ---- scene, stream, device update and companion-application API ------------

namespace Json {
class Value;
}

int Stream_Handler(mg_connection* conn, void* cbdata);
int Scene_Handler(mg_connection* conn, void* cbdata);

int Scene_Upload_Handler(mg_connection* conn, void* cbdata);
int Scene_Upload_found(const char* key, const char* filename, char* path, size_t pathlen,
                       void* user_data);
int Scene_Upload_get(const char* key, const char* value, size_t valuelen, void* user_data);
int Scene_Upload_store(const char* path, long long file_size, void* user_data);

int Update_Device_Handler(mg_connection* conn, void* cbdata);
int Update_Device_found(const char* key, const char* filename, char* path, size_t pathlen,
                        void* user_data);
int Update_Device_get(const char* key, const char* value, size_t valuelen, void* user_data);
int Update_Device_store(const char* path, long long file_size, void* user_data);
int Get_TXRX_List_Handler(mg_connection* conn, void* cbdata);
// Body of the TX/RX list: {"list":"<blank><value>..."} over the values of
// the key/value file, escaped as JSON strings require.
std::string TXRX_List_Body(const char* path);

int Marlo_Info_Handler(mg_connection* conn, void* cbdata);
// Sets the members "admininfo" and "deviceinfo" of root.
void Get_AdminLoginInfoForMarlo(Json::Value& root);
// A copy of text without any occurrence of c.
std::string DeleteChar(const std::string& text, char c);
int Log_Handler(mg_connection* conn, void* cbdata);
// Text a client sent for the log, made one line: control characters and the
// backslash written as escapes.
std::string Log_Line_Text(const char* text);
// What the log shows in place of a password.
extern const char kLogMask[];
// A credential "name<sep>password" as the log shows it: the name, the
// separator and the mask; text without the separator is all password.
std::string Masked_Credential(const std::string& credential, char sep);

// ---- maintenance: firmware upgrade, customization, system password ------------

int Upload_File_Handler(mg_connection* conn, void* cbdata);
int GET_Upgrade_Handler(mg_connection* conn, void* cbdata);
int upload_file_found(const char* key, const char* filename, char* path, size_t pathlen,
                      void* user_data);
int upload_file_get(const char* key, const char* value, size_t valuelen, void* user_data);
int upload_file_store(const char* path, long long file_size, void* user_data);

int Get_Custom_Info_Handler(mg_connection* conn, void* cbdata);
int Custom_Upload_Handler(mg_connection* conn, void* cbdata);
int Download_Custom_Handler(mg_connection* conn, void* cbdata);
int Custom_Restore_Handler(mg_connection* conn, void* cbdata);
int custom_upload_found(const char* key, const char* filename, char* path, size_t pathlen,
                        void* user_data);
int custom_upload_get(const char* key, const char* value, size_t valuelen, void* user_data);
int custom_upload_store(const char* path, long long file_size, void* user_data);

// Property setters and getters of the customization files: 0, or -1 for a
// value that cannot be stored intact (a line break) or a file that cannot be
// changed.
int Store_Web_Tile(const char* value);
int Store_Language(const char* value);
int Store_Login_Tile(const char* value);
int Get_Web_Tile(char* buf, int size);
int Get_Language(char* buf, int size);
int Get_Login_Tile(char* buf, int size);

// Logs the meaning of the password script's answer letter.
void VerifyPWDStatus(char letter);

// ---- WebSocket session ------------------------------------------------------

// Handles one text frame of a WebSocket client: login, command, private query.
void websocket_handler(mg_connection* conn, char* data, int len);
// 1 when "name password" matches one of the credential slots of file.
int AUTH_USERNAME_PWD(const char* file, const char* credential);
// 0 when credential matches the slot of the two keys in the text of the
// credential file, -1 otherwise (also for a slot without name or password).
int Verify_Pwd(const std::string& props, const char* credential, const char* name_key,
               const char* pwd_key);
// Wraps text into the JSON envelope and sends it to every logged-in client.
void Send_370_Websocket_Json_Data(const char* type, int result, const std::string& text);

#endif
