# 32-bit ARM Linux device, hard-float ABI (scripts/cross.sh armhf).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KT_TARGET_TRIPLE arm-linux-gnueabihf)
set(KT_TARGET_EMULATOR qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
