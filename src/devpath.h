// Every fixed absolute path of the device, in one table. On the device the
// paths are used as they stand; with DEVICE_ROOT set (sandbox, tests) each one
// resolves under that folder, and "reboot" runs $DEVICE_ROOT/sbin/reboot.
#ifndef KT_DEVPATH_H
#define KT_DEVPATH_H

enum DevPathId {
    PATH_WEBCONF_XML,        // web configuration read at start
    PATH_WEB_ROOT,           // front-end web root (Tomcat layout)
    PATH_WEB_CLASSES,        // WEB-INF/classes of the web root
    PATH_SERVER_PROPERTIES,  // credential slots, administrator
    PATH_CUSTOM_EN_PROPERTIES,
    PATH_CUSTOM_EN_PROPERTIES_BAK,
    PATH_USERDEVICE_PROPERTIES,
    PATH_USERDEVICE_PROPERTIES_BAK,
    PATH_DEVICE_PROPERTIES,
    PATH_MARLO_INFO,
    PATH_SCENE_DOC,          // SystemConfig.hoi
    PATH_SCENE_TEMP_DOC,     // an uploaded scene before its conversion
    PATH_PROJECT_JSON,       // the converted scene
    PATH_CIVETWEB_DIR,       // scripts of the web root used by this server
    PATH_SERVICE_PARAM_SH,   // getServiceParam.sh
    PATH_XML2JSON_SH,        // the scene converter
    PATH_CUSTOM_HTML,
    PATH_INDEX_HTML,
    PATH_FAVICON,
    PATH_FAVICON_BAK,
    PATH_PUBLIC_TX_PREVIEW,
    PATH_CUSTOMIZATION_DIR,
    PATH_CUSTOM_PROPERTIES,
    PATH_CUSTOM_PROPERTIES_BAK,
    PATH_CUSTOM_BANNER,
    PATH_CUSTOM_BANNER_BAK,
    PATH_CUSTOM_LOGIN_UP,
    PATH_CUSTOM_LOGIN_UP_BAK,
    PATH_CUSTOM_LOGIN_DOWN,
    PATH_CUSTOM_LOGIN_DOWN_BAK,
    PATH_CUSTOM_IPAD_LOGO,
    PATH_CUSTOM_WINDOWS_LOGO,
    PATH_CUSTOM_VERSION,
    PATH_PREVIEW_IMAGE,
    PATH_PREVIEW_IMAGE_BAK,
    PATH_LOG_BAK_APP_LOG,    // log offered for download
    PATH_UPDATE_DIR,
    PATH_UPDATE_INCOMING,    // update files still arriving, same file system
    PATH_UPGRADE_DIR,
    PATH_UPGRADE_WEB,        // web package of an upgrade
    PATH_UPGRADE_KTCMD,      // command package of an upgrade
    PATH_ZONE_DIR,
    PATH_ZONE_JSON,
    PATH_ZONE_PW,            // name:password lines of the zone check
    PATH_ZONE_PAGE,
    PATH_CUSTOM_TXT,         // /tmp/custompath/custom.txt
    PATH_CHANGEPASSWD_SH,
    PATH_EXPORT_CUSTOM_SH,
    PATH_CLEARCUSTOM_SH,
    PATH_SHADOW,
    PATH_SHADOW_BAK,
    PATH_REBOOT,             // the reboot command itself
    PATH_COUNT
};

// Resolved path (or command) for an id; valid for the life of the process.
const char* dev_path(DevPathId id);

#endif
