#!/bin/sh
# Prints one service parameter of the device: service_http or service_https,
# the web server's ports as configured in webrun/webconf.xml of this web root.
conf="$(dirname "$0")/../webrun/webconf.xml"
case "$1" in
  service_http)  key=webhttpport ;;
  service_https) key=webhttpsport ;;
  *) exit 1 ;;
esac
sed -n "s|.*<PARAM[^>]*NAME=\"$key\"[^>]*>\([^<]*\)</PARAM>.*|\1|p" "$conf" | head -n 1
