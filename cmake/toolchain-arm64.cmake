# 64-bit ARM Linux device (scripts/cross.sh arm64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KT_TARGET_TRIPLE aarch64-linux-gnu)
set(KT_TARGET_EMULATOR qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
