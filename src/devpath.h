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
    PATH_CIVETWEB_DIR,       // scripts of the web root used by this server
    PATH_SERVICE_PARAM_SH,   // getServiceParam.sh
    PATH_XML2JSON_DIR,       // civetweb/xml2json/Demo
    PATH_CUSTOM_HTML,
    PATH_INDEX_HTML,
    PATH_CUSTOMIZATION_DIR,
    PATH_CUSTOM_PROPERTIES,
    PATH_PREVIEW_IMAGE,
    PATH_LOG_BAK_APP_LOG,    // log offered for download
    PATH_UPDATE_DIR,
    PATH_UPDATE_INCOMING,    // update files still arriving, same file system
    PATH_UPGRADE_DIR,
    PATH_ZONE_DIR,
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
