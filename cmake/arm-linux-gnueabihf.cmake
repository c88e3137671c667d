# Cross build for the control board (ARMv7, hard float) with Debian's
# g++-arm-linux-gnueabihf. Programs built with it run on this machine under
# qemu-user, which ctest and gtest_discover_tests use as the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(FWAGENT_TRIPLET arm-linux-gnueabihf)

set(CMAKE_C_COMPILER ${FWAGENT_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${FWAGENT_TRIPLET}-g++)
set(CMAKE_STRIP ${FWAGENT_TRIPLET}-strip CACHE FILEPATH "")

# Libraries from the cross compiler's own tree; the header-only ones (CLI11,
# nlohmann-json) and their package files come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${FWAGENT_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

find_program(FWAGENT_QEMU_ARM qemu-arm)
if(FWAGENT_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FWAGENT_QEMU_ARM} -L /usr/${FWAGENT_TRIPLET})
endif()
