#!/usr/bin/env bash
# Makes the Debian packages for one architecture in dist/:
#   ktwebserver          the server, the scene converter, the systemd unit
#                        and the start-mode default
#   ktwebserver-sandbox  the control-service simulator, the stand-in device
#                        library (private folder), the device-script
#                        stand-ins and a sandbox device tree, wired to the
#                        server's unit by a drop-in
#   scripts/package.sh amd64|arm64|armhf
# amd64 is built in build/ (the host build), arm64 and armhf by
# scripts/cross.sh in build-ARCH. Every package is checked with lintian.
set -euo pipefail
cd "$(dirname "$0")/.."
TOP=$PWD
ARCH=${1:-}
case "$ARCH" in
  amd64) BUILD=$TOP/build; STRIP=strip ;;
  arm64) BUILD=$TOP/build-arm64; STRIP=aarch64-linux-gnu-strip ;;
  armhf) BUILD=$TOP/build-armhf; STRIP=arm-linux-gnueabihf-strip ;;
  *) echo "usage: $0 amd64|arm64|armhf" >&2; exit 2 ;;
esac
fail() { echo "package.sh ($ARCH): $*" >&2; exit 1; }

if [ "$ARCH" = amd64 ]; then
  bash scripts/install-deps.sh >/dev/null
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD" -j"$(nproc)"
else
  bash scripts/cross.sh "$ARCH"
fi
for tool in lintian fakeroot dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends lintian fakeroot dpkg-dev >/dev/null ||
      fail "missing $tool (packages lintian, fakeroot, dpkg-dev)"
  }
done

VERSION=$(dpkg-parsechangelog -l packaging/changelog -S Version)
MAINTAINER=$(dpkg-parsechangelog -l packaging/changelog -S Maintainer)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p dist

# Stage of one package: install the component with the build's run path
# removed, stripped as Debian's own binaries are.
stage() {
  local pkg=$1 component=$2 root=$WORK/$1
  cmake --install "$BUILD" --prefix "$root/usr" --component "$component" >/dev/null
  find "$root/usr" -type f \( -perm -u+x -o -name '*.so' \) -exec \
    "$STRIP" --strip-unneeded --remove-section=.comment --remove-section=.note {} +
  find "$root/usr" -name '*.so' -exec chmod 0644 {} +
  install -D -m 0644 packaging/copyright "$root/usr/share/doc/$pkg/copyright"
  gzip -9n -c packaging/changelog > "$WORK/changelog.gz"
  install -D -m 0644 "$WORK/changelog.gz" "$root/usr/share/doc/$pkg/changelog.gz"
}

# Depends from the libraries the ELF files of a stage need. libDevLink.so
# is the device's own (or the sandbox's stand-in): no package provides it.
shlibdeps() {
  local root=$WORK/$1
  mkdir -p "$WORK/debian"
  printf 'Source: ktwebserver\n\nPackage: %s\nArchitecture: any\n' "$1" > "$WORK/debian/control"
  mapfile -t elves < <(find "$root/usr" -type f \( -perm -u+x -o -name '*.so' \) -exec sh -c \
    'head -c4 "$1" | grep -q ELF && echo "$1"' _ {} \;)
  (cd "$WORK" && DEB_HOST_ARCH=$ARCH dpkg-shlibdeps -O --ignore-missing-info \
     -l"$BUILD" "${elves[@]}" 2>/dev/null) | sed -n 's/^shlibs:Depends=//p'
}

control() {  # package depends description...
  local pkg=$1 depends=$2
  shift 2
  mkdir -p "$WORK/$pkg/DEBIAN"
  {
    echo "Package: $pkg"
    echo "Version: $VERSION"
    echo "Architecture: $ARCH"
    echo "Maintainer: $MAINTAINER"
    echo "Installed-Size: $(du -sk --exclude=DEBIAN "$WORK/$pkg" | cut -f1)"
    echo "Depends: $depends"
    echo "Section: web"
    echo "Priority: optional"
    printf 'Description: %s\n' "$1"
    shift
    for line in "$@"; do printf ' %s\n' "$line"; done
  } > "$WORK/$pkg/DEBIAN/control"
}

script() {  # package name text
  printf '#!/bin/sh\nset -e\n%s\n' "$3" > "$WORK/$1/DEBIAN/$2"
  chmod 0755 "$WORK/$1/DEBIAN/$2"
}

# Starts (or restarts) the server's unit after an install, where systemd runs.
RESTART='if [ -d /run/systemd/system ]; then
  systemctl --system daemon-reload >/dev/null || true
  deb-systemd-invoke restart ktwebserver.service >/dev/null || true
fi'

# ---- ktwebserver --------------------------------------------------------------
P=ktwebserver
stage $P server
install -D -m 0644 packaging/ktwebserver.service "$WORK/$P/lib/systemd/system/ktwebserver.service"
install -D -m 0644 packaging/ktwebserver.default "$WORK/$P/etc/default/ktwebserver"
install -D -m 0644 packaging/README.Debian "$WORK/$P/usr/share/doc/$P/README.Debian"
control $P "$(shlibdeps $P)" \
  "web back-end of an audio/video distribution controller" \
  "One long-running process on the controller that serves its browser" \
  "front-end over HTTP and HTTPS and relays WebSocket commands to the" \
  "device's control service, with the converter of scene documents." \
  "It needs the device's own control library libDevLink.so."
echo /etc/default/ktwebserver > "$WORK/$P/DEBIAN/conffiles"
script $P postinst 'if [ "$1" = configure ]; then
  deb-systemd-helper unmask ktwebserver.service >/dev/null || true
  deb-systemd-helper enable ktwebserver.service >/dev/null || true
fi
'"$RESTART"
script $P prerm 'if [ -d /run/systemd/system ] && [ "$1" = remove ]; then
  deb-systemd-invoke stop ktwebserver.service >/dev/null || true
fi'
script $P postrm 'if [ "$1" = purge ] && command -v deb-systemd-helper >/dev/null; then
  deb-systemd-helper purge ktwebserver.service >/dev/null || true
fi'

# ---- ktwebserver-sandbox ------------------------------------------------------
S=ktwebserver-sandbox
stage $S sandbox
SHARE=$WORK/$S/usr/share/$S
install -D -m 0755 scripts/make-sandbox.sh "$SHARE/make-sandbox.sh"
for dir in device webroot assets; do
  mkdir -p "$SHARE/$dir"
  cp -r scripts/$dir/. "$SHARE/$dir/"
done
chmod 0644 "$SHARE"/webroot/* "$SHARE"/assets/*
chmod 0755 "$SHARE"/device/*
install -D -m 0644 packaging/sandbox/ktwebserver-devctl-sim.service \
  "$WORK/$S/lib/systemd/system/ktwebserver-devctl-sim.service"
install -D -m 0644 packaging/sandbox/sandbox.conf \
  "$WORK/$S/lib/systemd/system/ktwebserver.service.d/sandbox.conf"
control $S "$(shlibdeps $S), ktwebserver (= $VERSION), openssl" \
  "ktwebserver against a simulated device, for trying it out" \
  "A stand-in of the device's control library (in a private folder, so a" \
  "device's own library stays in use elsewhere), a simulator of the control" \
  "service, stand-ins of the device scripts and a sandbox device tree in" \
  "/var/lib/ktwebserver-sandbox, which the server's unit uses through a" \
  "drop-in."
script $S postinst "$RESTART"
script $S postrm 'if [ "$1" = purge ]; then
  rm -rf /var/lib/ktwebserver-sandbox
fi
'"$RESTART"

# ---- build and check ------------------------------------------------------------
for pkg in $P $S; do
  deb=dist/${pkg}_${VERSION}_${ARCH}.deb
  fakeroot dpkg-deb --build -Zxz "$WORK/$pkg" "$deb" >/dev/null
  lintian --fail-on error --suppress-tags-from-file /dev/null "$deb" || fail "lintian reports errors in $deb"
  echo "$deb"
done
echo "package.sh ($ARCH): stripped ktwebserver $(stat -c %s "$WORK/$P/usr/sbin/ktwebserver") bytes"
