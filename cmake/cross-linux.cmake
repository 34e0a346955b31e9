# Cross build for an ARM Linux device with Debian's cross compilers and the
# target's libraries installed beside the host's (multiarch). Included by
# toolchain-ARCH.cmake after it sets KT_TARGET_TRIPLE and KT_TARGET_EMULATOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${KT_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KT_TARGET_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KT_TARGET_TRIPLE})

# Target programs (unit tests, and through KT_RUN_WRAPPER the servers and
# simulators of the integration tests) run under user-mode emulation; with
# no binfmt_misc on the build machine the emulator is named explicitly.
set(CMAKE_CROSSCOMPILING_EMULATOR ${KT_TARGET_EMULATOR})

# KT_TARGET_DEV: log4cpp's -dev package of the target, unpacked by
# scripts/cross.sh (it cannot be installed beside the host's). The file is
# read again for every try_compile, which does not see our cache variables:
# the environment carries the folder there.
if(KT_TARGET_DEV)
  set(ENV{KT_TARGET_DEV} "${KT_TARGET_DEV}")
else()
  set(KT_TARGET_DEV "$ENV{KT_TARGET_DEV}")
endif()
set(CMAKE_FIND_ROOT_PATH / ${KT_TARGET_DEV})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian ships no ${KT_TARGET_TRIPLE}-pkg-config: the host's reads only the
# target's .pc files.
set(ENV{PKG_CONFIG_LIBDIR}
  "${KT_TARGET_DEV}/usr/lib/${KT_TARGET_TRIPLE}/pkgconfig:/usr/lib/${KT_TARGET_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
