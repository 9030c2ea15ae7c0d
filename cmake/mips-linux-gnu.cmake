# Debian's cross compiler for 32-bit big-endian MIPS, the processor of many
# routers (packages g++-mips-linux-gnu, and qemu-user to run the result):
#   cmake -S . -B build-mips -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(CMAKE_C_COMPILER mips-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mips-linux-gnu-g++)

# Libraries, headers and packages come from the target's tree only; the
# build machine's would link or compile, wrongly, for the wrong processor.
set(CMAKE_FIND_ROOT_PATH /usr/mips-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Target programs run under user-mode emulation with the target's loader
# and libraries (ctest uses this; CI has no binfmt registration).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips -L /usr/mips-linux-gnu)
