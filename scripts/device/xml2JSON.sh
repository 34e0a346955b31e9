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
exec "$tool" "$1" "$2"
