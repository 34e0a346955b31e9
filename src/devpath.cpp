#include "devpath.h"

#include <cstdlib>
#include <string>

namespace {

#define KT_WEBROOT "/home/ubuntu/apache-tomcat-7.0.42/webapps/ROOT"
#define KT_CLASSES KT_WEBROOT "/WEB-INF/classes"
#define KT_CUSTOM KT_WEBROOT "/customization"

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
    {PATH_SCENE_TEMP_DOC, KT_CLASSES "/SystemConfigtemp.hoi"},
    {PATH_PROJECT_JSON, KT_CLASSES "/project.json"},
    {PATH_CIVETWEB_DIR, KT_WEBROOT "/civetweb"},
    {PATH_SERVICE_PARAM_SH, KT_WEBROOT "/civetweb/getServiceParam.sh"},
    {PATH_XML2JSON_SH, KT_WEBROOT "/civetweb/xml2json/Demo/xml2JSON.sh"},
    {PATH_CUSTOM_HTML, KT_WEBROOT "/custom.html"},
    {PATH_INDEX_HTML, KT_WEBROOT "/index.html"},
    {PATH_FAVICON, KT_WEBROOT "/favicon.ico"},
    {PATH_FAVICON_BAK, KT_WEBROOT "/favicon.ico.bak"},
    {PATH_PUBLIC_TX_PREVIEW, KT_WEBROOT "/publictx.jpg"},
    {PATH_CUSTOMIZATION_DIR, KT_CUSTOM},
    {PATH_CUSTOM_PROPERTIES, KT_CUSTOM "/custom.properties"},
    {PATH_CUSTOM_PROPERTIES_BAK, KT_CUSTOM "/custom.properties.bak"},
    {PATH_CUSTOM_BANNER, KT_CUSTOM "/banner.jpg"},
    {PATH_CUSTOM_BANNER_BAK, KT_CUSTOM "/bannerBackup.jpg"},
    {PATH_CUSTOM_LOGIN_UP, KT_CUSTOM "/loginUp.jpg"},
    {PATH_CUSTOM_LOGIN_UP_BAK, KT_CUSTOM "/loginUpBackup.jpg"},
    {PATH_CUSTOM_LOGIN_DOWN, KT_CUSTOM "/loginDown.jpg"},
    {PATH_CUSTOM_LOGIN_DOWN_BAK, KT_CUSTOM "/loginDownBackup.jpg"},
    {PATH_CUSTOM_IPAD_LOGO, KT_CUSTOM "/logoforipad.png"},
    {PATH_CUSTOM_WINDOWS_LOGO, KT_CUSTOM "/logoforwindows.png"},
    {PATH_CUSTOM_VERSION, KT_CUSTOM "/customversion"},
    {PATH_PREVIEW_IMAGE, KT_CUSTOM "/previewImage.jpg"},
    {PATH_PREVIEW_IMAGE_BAK, KT_CUSTOM "/previewImageBackup.jpg"},
    {PATH_LOG_BAK_APP_LOG, "/home/ubuntu/apache-tomcat-7.0.42/log_bak/webserverapp.log"},
    {PATH_UPDATE_DIR, "/home/ubuntu/update"},
    {PATH_UPDATE_INCOMING, "/home/ubuntu/.update-incoming"},
    {PATH_UPGRADE_DIR, "/home/ubuntu/upgradepkg"},
    {PATH_UPGRADE_WEB, "/home/ubuntu/upgradepkg/web.bin"},
    {PATH_UPGRADE_KTCMD, "/home/ubuntu/upgradepkg/ktcmd.bin"},
    {PATH_ZONE_DIR, "/home/ubuntu/zone"},
    {PATH_ZONE_JSON, "/home/ubuntu/zone/zone.json"},
    {PATH_ZONE_PW, "/home/ubuntu/zone/zone.pw"},
    {PATH_ZONE_PAGE, "/home/ubuntu/zone/zone.page"},
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
