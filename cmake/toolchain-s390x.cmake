# SPDX-License-Identifier: Apache-2.0
# Cross build for s390x (64-bit, big-endian), run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/s390x-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L /usr/s390x-linux-gnu)
# The cross sysroot has no OpenSSL headers: the library is built without https.
set(VEMRICK_TLS OFF CACHE BOOL "https URLs through OpenSSL 3")
