#include "process_xml.h"

#include <cstdio>

#include "file_util.h"
#include "log.h"

int Err = 0;

namespace {

const char kWebConfigSection[] = "webconfig";
// Values of this length or more are refused rather than cut short.
const unsigned int kXmlValueBufSize = 200;

}  // namespace

int MyXMLProcess::OpenXMLFile() {
    Err = Parse();
    if (Err == tinyxml2::XML_SUCCESS) return 1;
    LOG_ERROR("Parse the xml failed: %s", XML_StrError(static_cast<tinyxml2::XMLError>(Err)));
    return 0;
}

int MyXMLProcess::ReadXmlFile(const char* section, const char* name, std::string& value) {
    char buf[kXmlValueBufSize] = {0};
    if (!GetXMLParamVal(section, name, buf, sizeof(buf))) return 0;
    value = buf;
    return 1;
}

// The certificate is checked like any file the server reads; the
// configuration may leave its path out.
int ACCESS_CERM_FILE_EXIT_R_OK(const char* path) {
    return ACCESS_FILE_EXIT_R_OK(path ? path : "");
}

int GetConfParamfromxml(const char* path, ConfInfoParam* param, WEB_START_MODE mode) {
    if (!param) return 0;
    // Holds the file's lock until we return, whichever way.
    MyXMLProcess xml(path);
    if (xml.OpenXMLFile() != 1) return 0;

    std::string http_port, https_port;
    // All keys are required, in every start mode; the first missing one is
    // the one reported.
    const struct {
        const char* key;
        std::string* out;
    } keys[] = {
        {"webroot", &param->web_rootpath},
        {"weblog", &param->log_confpath},
        {"webcert", &param->web_cermpath},
        {"webhttpport", &http_port},
        {"webhttpsport", &https_port},
    };
    for (const auto& k : keys) {
        if (!xml.ReadXmlFile(kWebConfigSection, k.key, *k.out)) {
            printf("read Error : %s!!!\n", k.key);
            // The caller exits soon after; the line must not stay buffered.
            fflush(stdout);
            return 0;
        }
    }

    // CivetWeb "listening_ports" syntax: "s" marks a TLS port, "r" makes a
    // plain port redirect to the TLS one.
    switch (mode) {
    case WEB_MODE_HTTPS:
        // An unusable certificate makes the server start fail, which is
        // reported there.
        param->web_port = http_port + "r," + https_port + "s";
        break;
    case WEB_MODE_BOTH:
        // Without a usable certificate, serve plain HTTP rather than not at all.
        if (ACCESS_CERM_FILE_EXIT_R_OK(param->web_cermpath.c_str()) == 0)
            param->web_port = http_port + "," + https_port + "s";
        else
            param->web_port = http_port;
        break;
    case WEB_MODE_HTTP:
    default:
        param->web_port = http_port;
        break;
    }
    return 1;
}
