#!/bin/sh
# Converts the scene document $1 into the project document $2.
# Prints "1" on success, "0" and the reason otherwise: the web server looks
# only at the first character. The converter program sits beside this script.
if [ $# -ne 2 ]; then
  echo "0 usage: xml2JSON.sh SCENE.hoi PROJECT.json"
  exit 1
fi
tool="$(dirname "$0")/xml2json"
if [ ! -x "$tool" ]; then
  echo "0 converter $tool is missing"
  exit 1
fi
out=$("$tool" "$1" "$2")
status=$?
printf '%s\n' "$out"
# The device's front-end learns of the project through the control service;
# the sandbox console reads a copy instead (WEB-INF is never served).
shown="$(dirname "$0")/../../../sandbox"
case "$out" in
  1*) mkdir -p "$shown" && cp "$2" "$shown/project.json.tmp" &&
      mv "$shown/project.json.tmp" "$shown/project.json" ;;
esac
exit $status
