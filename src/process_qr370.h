// Request handlers of the device API and the WebSocket session protocol.
#ifndef KT_PROCESS_QR370_H
#define KT_PROCESS_QR370_H

#include <string>

#include "file_util.h"
#include "log_text.h"
#include "property_file.h"

struct mg_connection;
struct mg_context;
struct upload_form;

// Registers the twenty routes of the device API, in the order the server
// matches them.
void Register_Routes(mg_context* ctx);

// ---- zone API -----------------------------------------------------------------

// GET of a zone document; cbdata names it (and the route's log line).
int Download_Zone_File_Handler(mg_connection* conn, void* cbdata);
// Upload of the zone documents; cbdata, if given, holds the route's log line.
int Upload_Zone_File_Handler(mg_connection* conn, void* cbdata);
int Check_Zone_Pw_Handler(mg_connection* conn, void* cbdata);
// 0 when the query's first four fields all carry known keys, -1 otherwise.
int Parse_Zone_PW(char* query, std::string& cmdtype, std::string& cmdstr, std::string& username,
                  std::string& passwd);
// Results of Zone_Verify_Password.
enum zone_pw_result {
    ZONE_PW_LISTED = 0,
    ZONE_PW_NO_FILE = -1,
    ZONE_PW_END_OF_FILE = -3,
    ZONE_PW_EMPTY_LINE = -5,  // an empty line ends the list
};
int Zone_Verify_Password(std::string& username, std::string& passwd);

// ---- scene, stream, device update and companion-application API ------------

int Stream_Handler(mg_connection* conn, void* cbdata);
int Scene_Handler(mg_connection* conn, void* cbdata);
int Scene_Upload_Handler(mg_connection* conn, void* cbdata);
int Update_Device_Handler(mg_connection* conn, void* cbdata);
int Get_TXRX_List_Handler(mg_connection* conn, void* cbdata);
// The forms of the two routes above.
extern const upload_form kSceneUploadForm;
extern const upload_form kUpdateDeviceForm;
// Body of the TX/RX list: {"list":"<blank><value>..."} over the values of
// the key/value file, escaped as JSON strings require.
std::string TXRX_List_Body(const char* path);

int Marlo_Info_Handler(mg_connection* conn, void* cbdata);
int Marlo_Store_Handler(mg_connection* conn, void* cbdata);
int Log_Download_Handler(mg_connection* conn, void* cbdata);
int Log_Line_Handler(mg_connection* conn, void* cbdata);
// A copy of text without any occurrence of c.
std::string DeleteChar(const std::string& text, char c);

// ---- maintenance: firmware upgrade, customization, system password ------------

int Upload_File_Handler(mg_connection* conn, void* cbdata);
int GET_Upgrade_Handler(mg_connection* conn, void* cbdata);
int Get_Custom_Info_Handler(mg_connection* conn, void* cbdata);
int Custom_Upload_Handler(mg_connection* conn, void* cbdata);
int Download_Custom_Handler(mg_connection* conn, void* cbdata);
int Custom_Restore_Handler(mg_connection* conn, void* cbdata);

// ---- WebSocket session ------------------------------------------------------

// Handles one text frame of a WebSocket client: login, command, private query.
void websocket_handler(mg_connection* conn, char* data, int len);
// Wraps text into the JSON envelope and sends it to every logged-in client.
void Send_370_Websocket_Json_Data(const char* type, int result, const std::string& text);

#endif
