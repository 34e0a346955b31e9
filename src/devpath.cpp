#include "devpath.h"

#include <cstdlib>
#include <string>

namespace {

#define KT_WEBROOT "/home/ubuntu/apache-tomcat-7.0.42/webapps/ROOT"
#define KT_CLASSES KT_WEBROOT "/WEB-INF/classes"

struct DevPathRow {
    DevPathId id;
    const char* device_path;
};

// Order follows DevPathId; checked at start-up of the table.
const DevPathRow kDevPaths[] = {
    {PATH_WEBCONF_XML, KT_WEBROOT "/webrun/webconf.xml"},
    {PATH_WEB_ROOT, KT_WEBROOT},
    {PATH_WEB_CLASSES, KT_CLASSES},
    {PATH_SERVER_PROPERTIES, KT_CLASSES "/server.properties"},
    {PATH_CUSTOM_EN_PROPERTIES, KT_CLASSES "/custom_en_US.properties"},
    {PATH_CUSTOM_EN_PROPERTIES_BAK, KT_CLASSES "/custom_en_US.properties.bak"},
    {PATH_USERDEVICE_PROPERTIES, KT_CLASSES "/userdevice.properties"},
    {PATH_USERDEVICE_PROPERTIES_BAK, KT_CLASSES "/userdevice.properties.bak"},
    {PATH_DEVICE_PROPERTIES, KT_CLASSES "/device.properties"},
    {PATH_MARLO_INFO, KT_CLASSES "/marloinfo.json"},
    {PATH_SCENE_DOC, KT_CLASSES "/SystemConfig.hoi"},
    {PATH_CIVETWEB_DIR, KT_WEBROOT "/civetweb"},
    {PATH_SERVICE_PARAM_SH, KT_WEBROOT "/civetweb/getServiceParam.sh"},
    {PATH_XML2JSON_DIR, KT_WEBROOT "/civetweb/xml2json/Demo"},
    {PATH_CUSTOM_HTML, KT_WEBROOT "/custom.html"},
    {PATH_INDEX_HTML, KT_WEBROOT "/index.html"},
    {PATH_CUSTOMIZATION_DIR, KT_WEBROOT "/customization"},
    {PATH_CUSTOM_PROPERTIES, KT_WEBROOT "/customization/custom.properties"},
    {PATH_PREVIEW_IMAGE, KT_WEBROOT "/customization/previewImage.jpg"},
    {PATH_LOG_BAK_APP_LOG, "/home/ubuntu/apache-tomcat-7.0.42/log_bak/webserverapp.log"},
    {PATH_UPDATE_DIR, "/home/ubuntu/update"},
    {PATH_UPDATE_INCOMING, "/home/ubuntu/.update-incoming"},
    {PATH_UPGRADE_DIR, "/home/ubuntu/upgradepkg"},
    {PATH_ZONE_DIR, "/home/ubuntu/zone"},
    {PATH_CUSTOM_TXT, "/tmp/custompath/custom.txt"},
    {PATH_CHANGEPASSWD_SH, "/usr/local/bin/changepasswd.sh"},
    {PATH_EXPORT_CUSTOM_SH, "/usr/local/bin/export_custom.sh"},
    {PATH_CLEARCUSTOM_SH, "/usr/local/bin/clearcustom.sh"},
    {PATH_SHADOW, "/etc/shadow"},
    {PATH_SHADOW_BAK, "/etc/shadow-"},
    {PATH_REBOOT, "reboot"},
};
static_assert(sizeof(kDevPaths) / sizeof(kDevPaths[0]) == PATH_COUNT,
              "every DevPathId needs a row");

struct ResolvedPaths {
    std::string path[PATH_COUNT];
    ResolvedPaths() {
        const char* env = std::getenv("DEVICE_ROOT");
        const std::string root = env ? env : "";
        for (const DevPathRow& row : kDevPaths) {
            std::string p = row.device_path;
            if (!root.empty()) {
                // A bare command name is looked up in the sandbox's sbin.
                p = root + (p[0] == '/' ? p : "/sbin/" + p);
            }
            path[row.id] = p;
        }
    }
};

}  // namespace

const char* dev_path(DevPathId id) {
    // Resolved once, on first use; thread-safe by the language's static init.
    static const ResolvedPaths resolved;
    return (id >= 0 && id < PATH_COUNT) ? resolved.path[id].c_str() : "";
}
