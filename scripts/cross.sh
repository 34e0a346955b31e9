#!/usr/bin/env bash
# Builds everything for the device's ARM Linux in build-ARCH, beside the
# host's build/ (which it never touches), and optionally runs the tests
# there under user-mode emulation.
#   scripts/cross.sh arm64|armhf                   install what is missing, build
#   scripts/cross.sh arm64|armhf --test [ARGS...]  ... then ctest ARGS in build-ARCH
# The target's libraries come from Debian's packages of that architecture,
# installed beside the host's; log4cpp's -dev package cannot be (it is not
# Multi-Arch and would replace the host's), so it is unpacked into the build
# folder and pointed at the target's runtime library.
set -euo pipefail
cd "$(dirname "$0")/.."
TOP=$PWD

usage() { echo "usage: $0 arm64|armhf [--test [ctest args]]" >&2; exit 2; }
[ $# -ge 1 ] || usage
ARCH=$1
shift
case "$ARCH" in
  arm64) TRIPLE=aarch64-linux-gnu;   EMULATOR=qemu-aarch64-static ;;
  armhf) TRIPLE=arm-linux-gnueabihf; EMULATOR=qemu-arm-static ;;
  *) usage ;;
esac
RUN_TESTS=0
if [ $# -gt 0 ]; then
  [ "$1" = "--test" ] || usage
  RUN_TESTS=1
  shift
fi
BUILD=$TOP/build-$ARCH
LIBDIR=/usr/lib/$TRIPLE

fail() { echo "cross.sh ($ARCH): $*" >&2; exit 1; }

# Target libraries the build links: file in the target's library folder,
# and the package of the target's architecture that brings it.
TARGET_LIBS=(
  "libssl.so        libssl-dev"
  "libcrypto.so     libssl-dev"
  "libjsoncpp.so    libjsoncpp-dev"
  "libtinyxml2.so   libtinyxml2-dev"
  "libgtest.a       libgtest-dev"
  "liblog4cpp.so.5  liblog4cpp5v5"
)

# ---- install what is missing ---------------------------------------------
bash scripts/install-deps.sh >/dev/null
PKGS=(crossbuild-essential-$ARCH qemu-user-static)
for row in "${TARGET_LIBS[@]}"; do
  read -r _ pkg <<<"$row"
  PKGS+=("$pkg:$ARCH")
done
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx "$ARCH" || dpkg --add-architecture "$ARCH"
  # The target's -dev packages must have the host's exact versions, so this
  # may upgrade the host's OpenSSL first. A failure is reported below by
  # naming what is still missing.
  { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } ||
    echo "cross.sh ($ARCH): apt-get could not install ${missing[*]}" >&2
fi

# ---- check the toolchain, the emulator and the target libraries ----------
for tool in "$TRIPLE-gcc" "$TRIPLE-g++"; do
  command -v "$tool" >/dev/null || fail "missing cross compiler $tool (package crossbuild-essential-$ARCH)"
done
command -v "$EMULATOR" >/dev/null || fail "missing emulator $EMULATOR (package qemu-user-static)"
for row in "${TARGET_LIBS[@]}"; do
  read -r lib pkg <<<"$row"
  [ -e "$LIBDIR/$lib" ] || fail "missing target library $LIBDIR/$lib (package $pkg:$ARCH)"
done
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf '#include <cstdio>\nint main() { std::puts("ok"); }\n' > "$probe/probe.cpp"
"$TRIPLE-g++" -o "$probe/probe" "$probe/probe.cpp" 2>"$probe/err" ||
  fail "cross compiler $TRIPLE-g++ cannot build a program: $(head -c 400 "$probe/err")"
[ "$("$EMULATOR" "$probe/probe" 2>&1)" = ok ] ||
  fail "emulator $EMULATOR cannot run a target program (is libc6:$ARCH installed?)"

# ---- log4cpp's headers and link library, unpacked for the target ----------
DEV=$BUILD/_log4cpp-dev
if [ ! -f "$DEV/.ready" ]; then
  rm -rf "$DEV"
  mkdir -p "$DEV/deb"
  (cd "$DEV/deb" && apt-get download -qq -o APT::Sandbox::User=root "liblog4cpp5-dev:$ARCH") ||
    fail "missing target package liblog4cpp5-dev:$ARCH (apt-get download failed)"
  dpkg -x "$DEV"/deb/*.deb "$DEV"
  pc=$DEV/usr/lib/$TRIPLE/pkgconfig/log4cpp.pc
  [ -f "$pc" ] || fail "liblog4cpp5-dev:$ARCH holds no $pc"
  sed -i "s|^prefix=.*|prefix=$DEV/usr|" "$pc"
  # The package's link points at the runtime beside it, which lives in the
  # target's system library folder instead.
  runtime=$(readlink -f "$LIBDIR/liblog4cpp.so.5")
  ln -sfn "$runtime" "$DEV/usr/lib/$TRIPLE/liblog4cpp.so"
  rm -rf "$DEV/deb"
  touch "$DEV/.ready"
fi

# ---- build ------------------------------------------------------------------
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$TOP/cmake/toolchain-$ARCH.cmake" -DKT_TARGET_DEV="$DEV" >/dev/null
cmake --build "$BUILD" -j"$(nproc)"
echo "cross.sh ($ARCH): built in $BUILD"

if [ $RUN_TESTS -eq 1 ]; then
  cd "$BUILD"
  ctest --output-on-failure "$@"
fi
