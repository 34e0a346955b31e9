#!/bin/sh
# Stand-in of the device's export: packs the current customization (the
# properties files, the images, the icon and the version) into one archive in
# tmp/custompath and names it in tmp/custompath/custom.txt as
# "custompath=<path of the archive>", which the web server offers for download.
ROOT=$(cd "$(dirname "$0")/../../.." && pwd) || exit 1
WEBROOT=$ROOT/home/ubuntu/apache-tomcat-7.0.42/webapps/ROOT
OUT=$ROOT/tmp/custompath
mkdir -p "$OUT" || exit 1

cd "$WEBROOT" || exit 1
files=
for f in customization/custom.properties customization/customversion \
         customization/banner.jpg customization/loginUp.jpg customization/loginDown.jpg \
         customization/previewImage.jpg customization/logoforipad.png \
         customization/logoforwindows.png favicon.ico \
         WEB-INF/classes/custom_en_US.properties WEB-INF/classes/userdevice.properties; do
  [ -f "$f" ] && files="$files $f"
done
[ -n "$files" ] || exit 1

package=$OUT/custom_$(date +%Y%m%d%H%M%S).tar.gz
# shellcheck disable=SC2086  # fixed names without blanks
tar -czf "$package" $files || exit 1
printf 'custompath=%s\n' "$package" > "$OUT/custom.txt"
