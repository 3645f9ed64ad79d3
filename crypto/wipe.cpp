/* SPDX-License-Identifier: Apache-2.0 */
#include "wipe.h"

#include <cstring>

/* Calling memset through a volatile pointer keeps the store alive even when the buffer is freed or
 * goes out of scope right after. */
static void *(*const volatile wipe_memset)(void *, int, size_t) = memset;

void secure_wipe(void *p, size_t n)
{
    if (p != nullptr && n > 0)
        wipe_memset(p, 0, n);
}
