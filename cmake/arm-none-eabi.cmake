# Cross-compiles for an ARM Cortex-M4 with Debian's bare-metal toolchain
# (gcc-arm-none-eabi, libnewlib-arm-none-eabi). There is no operating
# system: only the library is built (see the cortex-m preset), without the
# host file device.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
set(CMAKE_AR arm-none-eabi-ar)
set(CMAKE_RANLIB arm-none-eabi-ranlib)
# Test programs of CMake's compiler checks cannot be linked without a
# start-up file and a linker script of a board: check with a static library.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Each function and object in its own section, so that a firmware link
# with --gc-sections keeps only what it calls.
set(FAT16_ARM_FLAGS "-mcpu=cortex-m4 -mthumb -ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_INIT "${FAT16_ARM_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${FAT16_ARM_FLAGS} -fno-exceptions -fno-rtti")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
