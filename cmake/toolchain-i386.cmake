# SPDX-License-Identifier: Apache-2.0
# Cross build for i386 (32-bit long and pointers), run natively through its own loader where the kernel allows, else under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/run-i386.sh)
# The cross sysroot has no OpenSSL headers: the library is built without https.
set(VEMRICK_TLS OFF CACHE BOOL "https URLs through OpenSSL 3")
