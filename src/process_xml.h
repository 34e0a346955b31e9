// Reading the web configuration file at start-up, and the store interface it
// uses. Runs before logging is configured, so read errors go to stdout.
#ifndef KT_PROCESS_XML_H
#define KT_PROCESS_XML_H

#include <string>

#include "xml.h"

enum WEB_START_MODE { WEB_MODE_HTTP = 0, WEB_MODE_HTTPS = 1, WEB_MODE_BOTH = 2 };

struct ConfInfoParam {
    std::string auth_mode;     // not in the file
    std::string web_rootpath;  // "webroot"
    std::string web_port;      // listening-ports text, from both ports and the mode
    std::string web_cermpath;  // "webcert"
    std::string log_confpath;  // "weblog"
    std::string ldap_URI;      // not in the file
    std::string ldap_BaseDN;   // not in the file
    std::string ldap_BindDN;   // not in the file
    std::string ldap_Attr;     // not in the file
    std::string ldap_CaPem;    // not in the file
};

// Result of the last OpenXMLFile.
extern int Err;

class MyXMLProcess : public KT_EXXMLParser {
public:
    explicit MyXMLProcess(const char* path) : KT_EXXMLParser(path) {}

    // 1 when the store is open (possibly empty), 0 otherwise.
    int OpenXMLFile();
    // 1 and value set when found; 0 and value untouched otherwise.
    int ReadXmlFile(const char* section, const char* name, std::string& value);
};

// 1 when every key was read into *param; 0 after a "read Error" line on stdout.
int GetConfParamfromxml(const char* path, ConfInfoParam* param, WEB_START_MODE mode);

// 0 readable, -1 missing, -2 present but not readable (each failure logs WARN).
int ACCESS_CERM_FILE_EXIT_R_OK(const char* path);

#endif
