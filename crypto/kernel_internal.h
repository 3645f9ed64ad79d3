/* SPDX-License-Identifier: Apache-2.0 */
/* Internal to the digest kernel (crypto/): its single way out on an error it cannot hand back to a
 * caller, the word growth and byte orders that the big numbers and the digest share, and taking a
 * finished digest. Not for other layers.
 */
#ifndef VEMRICK_KERNEL_INTERNAL_H
#define VEMRICK_KERNEL_INTERNAL_H

#include "bignum.h"

#include <cstdint>

/* Prints "CRITICAL EXCEPTION: <message> exiting.\n" on stderr (a null message prints as empty) and
 * exits with status 1. handle_exception(1, message) ends here too. */
[[noreturn]] void kernelFatal(const char *message);

/* Makes room for at least n (>= 1) words in b, clearing the words beyond its old space; length and
 * sign stay as they were. Ends the process through kernelFatal when memory runs out. */
void bigReserveWords(Bignum *b, int32_t n);

/* The two byte orders differ only in where the byte of significance k (0 = least) sits. */
enum class ByteOrder { LeastFirst, MostFirst };

inline int64_t bytePosition(ByteOrder order, int64_t k, int64_t size)
{
    return order == ByteOrder::LeastFirst ? k : size - 1 - k;
}

/* Writes the magnitude of b into buffer[0..size-1] in the given order, zero-filled above; ends
 * the process through kernelFatal(tooSmall) when length * 4 > size. */
void bigWriteBytes(const Bignum *b, int64_t size, ByteOrder order, unsigned char *buffer,
                   const char *tooSmall);

struct ShsContext;
/* Finishes ctx into a new five-word array taken with clib_malloc, then wipes ctx: the context of a
 * keyed digest holds key-dependent state. */
uint32_t *shsTakeDigest(ShsContext *ctx);

#endif
