#include "user_case.h"

#include "devpath.h"
#include "log.h"
#include "webserver.h"

namespace {

// Field order of the record; the log shows the configuration in this order.
const struct {
    const char* label;
    std::string ConfInfoParam::*field;
} kConfFields[] = {
    {"auth_mode", &ConfInfoParam::auth_mode},
    {"web_rootpath", &ConfInfoParam::web_rootpath},
    {"web_port", &ConfInfoParam::web_port},
    {"web_cermpath", &ConfInfoParam::web_cermpath},
    {"log_confpath", &ConfInfoParam::log_confpath},
    {"ldap_URI", &ConfInfoParam::ldap_URI},
    {"ldap_BaseDN", &ConfInfoParam::ldap_BaseDN},
    {"ldap_BindDN", &ConfInfoParam::ldap_BindDN},
    {"ldap_Attr", &ConfInfoParam::ldap_Attr},
    {"ldap_CaPem", &ConfInfoParam::ldap_CaPem},
};

}  // namespace

void PrintConfInfoParam(const ConfInfoParam* param) {
    if (!param) return;
    for (const auto& f : kConfFields)
        LOG_INFO("Rezudezi : %s : %s", f.label, (param->*f.field).c_str());
}

int CustomHandler(mg_connection* conn, void* /*cbdata*/) {
    send_html_file(conn, dev_path(PATH_CUSTOM_HTML));
    return 1;
}

int LoginHandler(mg_connection* conn, void* /*cbdata*/) {
    send_html_file(conn, dev_path(PATH_INDEX_HTML));
    return 1;
}
