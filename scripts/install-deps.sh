#!/usr/bin/env bash
# Installs what the build and the tests need, from Debian's packages only.
# Idempotent: a second run installs nothing and returns quickly.
# clang and its runtime libraries build the sanitizer and fuzzing binaries;
# llvm brings llvm-symbolizer, which turns their reports into file:line.
# chromium (headless) drives the sandbox pages in the browser tests.
set -euo pipefail

PKGS=(build-essential cmake pkg-config dpkg-dev
      libssl-dev openssl liblog4cpp5-dev libjsoncpp-dev libtinyxml2-dev
      libgtest-dev googletest
      clang libclang-rt-14-dev llvm
      python3 curl ca-certificates
      chromium fonts-dejavu-core)

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# CivetWeb is compiled from Debian's own source package (the prebuilt library
# resolves OpenSSL 1.1 names at run time and crashes under OpenSSL 3).
SRC_LIST=/etc/apt/sources.list.d/ktwebserver-src.sources
need_src=0
if [ ! -f "$SRC_LIST" ]; then
  cat > "$SRC_LIST" <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  need_src=1
fi

if [ ${#missing[@]} -gt 0 ] || [ $need_src -eq 1 ] || ! apt-cache showsrc civetweb >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
fi
echo "dependencies: ok"
