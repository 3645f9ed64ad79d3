#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Runs a program of the i386 cross build. Where the kernel runs 32-bit x86 code, it runs natively
# through the cross toolchain's own loader and libraries (qemu-i386 hangs starting threads on
# some hosts); otherwise under qemu-i386.
root=/usr/i686-linux-gnu
if "$root/lib/ld-linux.so.2" --help >/dev/null 2>&1; then
    exec "$root/lib/ld-linux.so.2" --library-path "$root/lib" "$@"
fi
exec qemu-i386 -L "$root" "$@"
