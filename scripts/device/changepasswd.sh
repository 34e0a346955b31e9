#!/bin/sh
# Stand-in of the device's password tool: changepasswd.sh USER OLD NEW
# Checks OLD against USER's salted hash in etc/shadow of this device tree and
# stores a new SHA-512 hash of NEW. Prints one result letter:
#   0 changed, 1 not an administrator (unknown user), 2 old password wrong,
#   3 new password invalid, 4 other failure, 5 wrong usage.
# Passwords travel through pipes only, never through a command line.
ROOT=$(cd "$(dirname "$0")/../../.." && pwd) || { echo 4; exit 0; }
SHADOW=$ROOT/etc/shadow

[ $# -eq 3 ] || { echo 5; exit 0; }
user=$1 old=$2 new=$3

case "$user" in
  ''|*[!a-z0-9_-]*) echo 1; exit 0 ;;
esac
entry=$(grep "^$user:" "$SHADOW" 2>/dev/null | head -n 1)
[ -n "$entry" ] || { echo 1; exit 0; }

# Stored form: $6$SALT$HASH
stored=$(printf '%s\n' "$entry" | cut -d: -f2)
salt=$(printf '%s\n' "$stored" | cut -d'$' -f3)
case "$stored" in
  '$6$'*) ;;
  *) echo 4; exit 0 ;;
esac
# openssl reads one line: a second line must not ride along unchecked.
case "$old" in *'
'*) echo 2; exit 0 ;; esac
given=$(printf '%s\n' "$old" | openssl passwd -6 -salt "$salt" -stdin 2>/dev/null)
[ "$given" = "$stored" ] || { echo 2; exit 0; }

# One line of 1 to 99 printable characters, no colon (the file's separator).
length=$(printf '%s' "$new" | wc -c)
if [ "$length" -lt 1 ] || [ "$length" -gt 99 ]; then echo 3; exit 0; fi
if printf '%s' "$new" | LC_ALL=C grep -q '[^ -~]\|:'; then echo 3; exit 0; fi
case "$new" in *'
'*) echo 3; exit 0 ;; esac

hash=$(printf '%s\n' "$new" | openssl passwd -6 -stdin 2>/dev/null) || { echo 4; exit 0; }
[ -n "$hash" ] || { echo 4; exit 0; }
tmp=$SHADOW.new.$$
if awk -F: -v OFS=: -v user="$user" -v hash="$hash" \
     '$1 == user { $2 = hash } { print }' "$SHADOW" > "$tmp" &&
   chmod 0640 "$tmp" && mv "$tmp" "$SHADOW"; then
  echo 0
else
  rm -f "$tmp"
  echo 4
fi
