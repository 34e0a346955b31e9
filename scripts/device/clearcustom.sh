#!/bin/sh
# Stand-in of the device's clean-up after a customization restore: removes
# the exported packages with their list, and the scratch files of the
# properties edits.
ROOT=$(cd "$(dirname "$0")/../../.." && pwd) || exit 1
WEBROOT=$ROOT/home/ubuntu/apache-tomcat-7.0.42/webapps/ROOT
rm -rf "$ROOT/tmp/custompath"/*
rm -f "$WEBROOT/tempweb.txt" "$WEBROOT/civetweb/temp.txt"
