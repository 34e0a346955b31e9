#!/usr/bin/env bash
# Builds a complete sandbox device tree in DIR, for tests and for trying the
# server by hand with DEVICE_ROOT=DIR.
#   scripts/make-sandbox.sh DIR [HTTP_PORT [HTTPS_PORT]]
# Ports default to 8080 and 8443. An existing tree is refreshed, keeping
# what the server or a person changed in it, except webconf.xml and the
# logging configuration, which follow the given ports and DIR.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 DIR [HTTP_PORT [HTTPS_PORT]]" >&2
  exit 2
fi
mkdir -p "$1"
ROOT=$(cd "$1" && pwd)
HTTP_PORT=${2:-8080}
HTTPS_PORT=${3:-8443}
HERE=$(cd "$(dirname "$0")" && pwd)

TOMCAT=$ROOT/home/ubuntu/apache-tomcat-7.0.42
WEBROOT=$TOMCAT/webapps/ROOT
CLASSES=$WEBROOT/WEB-INF/classes

mkdir -p "$WEBROOT/webrun" "$CLASSES" "$WEBROOT/civetweb" "$WEBROOT/customization" \
         "$TOMCAT/log_bak" "$ROOT/home/ubuntu/zone" "$ROOT/home/ubuntu/update" \
         "$ROOT/home/ubuntu/.update-incoming" \
         "$ROOT/home/ubuntu/upgradepkg" "$ROOT/usr/local/bin" "$ROOT/sbin" "$ROOT/etc" \
         "$ROOT/run" "$ROOT/tmp/custompath"

cat > "$WEBROOT/webrun/webconf.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<CONFIGURATION>
  <webconfig>
    <PARAM NAME="webroot" TYPE="string">$WEBROOT</PARAM>
    <PARAM NAME="weblog" TYPE="string">$WEBROOT/webrun/log4cpp.properties</PARAM>
    <PARAM NAME="webcert" TYPE="string">$WEBROOT/webrun/server.pem</PARAM>
    <PARAM NAME="webhttpport" TYPE="string">$HTTP_PORT</PARAM>
    <PARAM NAME="webhttpsport" TYPE="string">$HTTPS_PORT</PARAM>
  </webconfig>
</CONFIGURATION>
XML

cat > "$WEBROOT/webrun/log4cpp.properties" <<PROPS
log4cpp.rootCategory=DEBUG, FILE, CONSOLE
log4cpp.appender.FILE=org.apache.log4cpp.FileAppender
log4cpp.appender.FILE.fileName=$TOMCAT/log_bak/webserverapp.log
log4cpp.appender.FILE.layout=org.apache.log4cpp.PatternLayout
log4cpp.appender.FILE.layout.ConversionPattern=%d [%p] %m%n
log4cpp.appender.CONSOLE=org.apache.log4cpp.ConsoleAppender
log4cpp.appender.CONSOLE.layout=org.apache.log4cpp.PatternLayout
log4cpp.appender.CONSOLE.layout.ConversionPattern=%d [%p] %m%n
PROPS

if [ ! -s "$WEBROOT/webrun/server.pem" ]; then
  tmp=$(mktemp -d)
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj /CN=localhost \
    -keyout "$tmp/key.pem" -out "$tmp/cert.pem" >/dev/null 2>&1
  cat "$tmp/cert.pem" "$tmp/key.pem" > "$WEBROOT/webrun/server.pem"
  rm -rf "$tmp"
fi

[ -f "$CLASSES/server.properties" ] || cat > "$CLASSES/server.properties" <<'PROPS'
adminName=admin
adminPassWord=admin123
userName1=operator
userPassWord1=operator123
PROPS

# System password file of the device with the user "ubuntu" (initial
# password ubuntu123) and its backup copy, which a customization restore puts
# back. Kept when present: a password changed in the sandbox stays.
if [ ! -f "$ROOT/etc/shadow" ]; then
  hash=$(printf '%s\n' ubuntu123 | openssl passwd -6 -stdin)
  printf 'root:*:19700:0:99999:7:::\nubuntu:%s:19700:0:99999:7:::\n' "$hash" > "$ROOT/etc/shadow"
  chmod 0640 "$ROOT/etc/shadow"
fi
[ -f "$ROOT/etc/shadow-" ] || cp -p "$ROOT/etc/shadow" "$ROOT/etc/shadow-"

# Customization of the web pages: current settings and the factory copies a
# restore puts back (images are 1x1 placeholders, but for a test-card preview
# picture that the preview stream shows).
CUSTOM=$WEBROOT/customization
pixel() { [ -f "$1" ] || echo R0lGODlhAQABAIAAAAAAAP///yH5BAEAAAAALAAAAAABAAEAAAIBRAA7 | base64 -d > "$1"; }
keep() { [ -f "$1" ] || printf '%b' "$2" > "$1"; }
[ -f "$CUSTOM/previewImageBackup.jpg" ] || cp "$HERE/assets/previewImage.jpg" "$CUSTOM/previewImageBackup.jpg"
for img in banner loginUp loginDown previewImage; do
  pixel "$CUSTOM/${img}Backup.jpg"
  [ -f "$CUSTOM/$img.jpg" ] || cp "$CUSTOM/${img}Backup.jpg" "$CUSTOM/$img.jpg"
done
pixel "$WEBROOT/favicon.ico.bak"
[ -f "$WEBROOT/favicon.ico" ] || cp "$WEBROOT/favicon.ico.bak" "$WEBROOT/favicon.ico"
keep "$CUSTOM/custom.properties.bak" 'webTitle=Controller\nlanguage=en\n'
keep "$CLASSES/custom_en_US.properties.bak" 'login_title=Welcome\n'
keep "$CLASSES/userdevice.properties.bak" 'TRUENAME_REPLACEMENT=false\n'
# Devices the controller manages, for the TX/RX list.
keep "$CLASSES/device.properties" 'tx1=Camera\ntx2=Desk\nrx1=Screen\nrx2=Projector\n'
for f in "$CUSTOM/custom.properties" "$CLASSES/custom_en_US.properties" \
         "$CLASSES/userdevice.properties"; do
  [ -f "$f" ] || cp "$f.bak" "$f"
done

# Pages of the sandbox web root; a page changed in the tree is kept.
for page in "$HERE"/webroot/*; do
  [ -f "$WEBROOT/$(basename "$page")" ] || cp "$page" "$WEBROOT/"
done

# reboot only records that it was asked for.
cat > "$ROOT/sbin/reboot" <<'SH'
#!/bin/sh
echo "reboot $*" >> "$(dirname "$0")/../reboot.log"
SH
chmod +x "$ROOT/sbin/reboot"

# Stand-ins of the device scripts, as far as they exist.
if [ -d "$HERE/device" ]; then
  for f in "$HERE"/device/*; do
    [ -f "$f" ] || continue
    case "$(basename "$f")" in
      getServiceParam.sh) install -m 0755 "$f" "$WEBROOT/civetweb/" ;;
      xml2JSON.sh) install -D -m 0755 "$f" "$WEBROOT/civetweb/xml2json/Demo/xml2JSON.sh" ;;
      *) install -m 0755 "$f" "$ROOT/usr/local/bin/" ;;
    esac
  done
fi
# The scene converter program of this build, beside its script (the
# script answers "0" with a reason while the program is not built yet).
CONVERTER=${KT_BUILD_DIR:-$HERE/../build}/xml2json
DEMO=$WEBROOT/civetweb/xml2json/Demo
if [ -x "$CONVERTER" ] && [ -n "${KT_RUN_WRAPPER:-}" ]; then
  # A cross build's converter runs under the emulator named by the tests.
  install -D -m 0755 "$CONVERTER" "$DEMO/xml2json.target"
  printf '#!/bin/sh\nexec %s "$(dirname "$0")/xml2json.target" "$@"\n' "$KT_RUN_WRAPPER" > "$DEMO/xml2json"
  chmod 0755 "$DEMO/xml2json"
elif [ -x "$CONVERTER" ]; then
  install -D -m 0755 "$CONVERTER" "$DEMO/xml2json"
fi
echo "$ROOT"
