/* SPDX-License-Identifier: Apache-2.0 */
/* secure_wipe: overwrites memory with zeros in a way the compiler may not drop, for keys, pads and
 * intermediate digests before their storage is released or goes out of scope.
 */
#ifndef VEMRICK_WIPE_H
#define VEMRICK_WIPE_H

#include <cstddef>

/* Sets n bytes at p to zero; p may be null when n is 0. */
void secure_wipe(void *p, size_t n);

#endif
