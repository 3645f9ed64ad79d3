/* Internal to the digest kernel (crypto/): its single way out on an error it cannot hand back to a
 * caller, and the word growth that the big numbers and the digest share. Not for other layers.
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

#endif
