/* SPDX-License-Identifier: Apache-2.0 */
/* Big-number subset of the digest kernel: the Bignum record, its creation and release (with a count
 * of live records), byte-string and hexadecimal conversions that are independent of the host's byte
 * order, the kernel's memory hooks and its fatal-error reporter.
 * Running out of memory inside the kernel ends the process as handle_exception(1, ...) does.
 * Threads: every function may run in any number of threads at once, as long as no record is
 * changed by one thread while another uses it. The only process-wide state is the atomic count of
 * live records and the constants zero, one and two, which are only ever read.
 */
#ifndef VEMRICK_BIGNUM_H
#define VEMRICK_BIGNUM_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

/* One integer: sign * sum(words[i] * 2^(32*i)) for i < length. words is least significant word
 * first; space >= length words are allocated. Zero is length 1, words[0] 0, sign +1. */
struct Bignum {
    int32_t sign;    /* +1 for zero and positive values, -1 for negative ones */
    int32_t length;  /* words in use, at least 1 for a well-formed number */
    int32_t space;   /* words allocated in words */
    uint32_t *words; /* the magnitude, least significant word first */
};

/* ---- global data ---- */

/* Number of live records made by itobig and atobig and not yet given to freeBignum, in all threads
 * together (read it with bigNumsAllocated.load()). */
extern std::atomic<int32_t> bigNumsAllocated;

extern uint32_t zero_data[1], one_data[1], two_data[1];
/* The constants 0, 1 and 2; static, not counted, never to be passed to freeBignum or changed. */
extern Bignum bigzero, bigone, bigtwo;
extern Bignum *zero, *one, *two;

/* Entry i is the bit length of i (0 for 0, 8 for 128..255). */
extern const int32_t msb_table8[256];
/* Entry c is the value of hexadecimal digit c ('0'-'9', 'a'-'f', 'A'-'F'); 0 for any other code. */
extern const int32_t hexDigitValue[103];

/* ---- records ---- */

/* New record holding value (sign +1, length 1, space 1); the caller releases it with freeBignum. */
Bignum *itobig(uint32_t value);

/* Clears all space words, then releases the words and the record. A null pointer is ignored. */
void freeBignum(Bignum *b);

/* Drops leading zero words, keeping at least one. */
void trim(Bignum *b);

/* ---- measures ---- */

/* Bit length of the magnitude: (length - 1) * 32 + msb(top word); 0 for zero. */
int bigBits(const Bignum *b);
/* length * 4: the bytes of the words in use (not the smallest byte count of the value). */
int bigBytes(const Bignum *b);
/* The sign field. */
int bigTest(const Bignum *b);
/* Bit length of the word taken as 32 unsigned bits: 0 for 0, 32 when the top bit is set. */
int msb(int32_t word);
/* 1 + the number of one-bit right shifts until the value is at most 1 (1 for both 0 and 1). */
int old_msb(uint32_t word);
/* 1 when the lowest word is even, else 0. */
int even(const Bignum *b);
/* 1 when the lowest word is odd, else 0. */
int odd(const Bignum *b);

/* ---- byte strings ---- */

/* Sets b to the value whose little-endian byte string is buffer[0..len-1] (len <= 0: zero),
 * growing its words as needed, then trims; sign is left as it was. */
void bufToBig(const unsigned char *buffer, int32_t len, Bignum *b);

/* Writes the magnitude into buffer[0..size-1] least significant byte first, zero-filled above.
 * Ends the process with "BigToBuf: Buffer is too small.\n" when length * 4 > size. */
void bigToBuf(const Bignum *b, uint32_t size, unsigned char *buffer);

/* Sets b to the value whose big-endian byte string is buffer[0..len-1] (len <= 0: zero), growing
 * its words as needed, then trims; sign is left as it was. */
void RSA_bufToBig(const unsigned char *buffer, int32_t len, Bignum *b);

/* Writes the magnitude into buffer[0..size-1] most significant byte first, right-aligned with zero
 * bytes in front; the sign is not written. Ends the process with "RSAbigToBuf: buffer too small.\n"
 * when length * 4 > size. A 5-word digest and size 20 give the standard 20-byte digest. */
void RSA_bigToBuf(const Bignum *b, int32_t size, unsigned char *buffer);

/* ---- text ---- */

/* New record (counted, sign +1) holding the value of hexadecimal text, most significant digit
 * first, any length; an odd first digit stands alone in the top byte. Characters that are not
 * hexadecimal digits count as 0; null or empty text gives zero. Release with freeBignum. */
Bignum *atobig(const char *text);

/* Writes each word, top first, as exactly 8 lower-case hex digits, then a NUL; text must hold
 * 8 * length + 1 bytes. Returns the digits written, 8 * length (0 and "" for length <= 0). */
int bigsprint(const Bignum *b, char *text);

/* Prints "-" for a negative value, the top word without leading zeros, each lower word as 8 hex
 * digits, and "\n" on stream. */
void fBigPrint(const Bignum *b, FILE *stream);
/* fBigPrint on standard output. */
void bigprint(const Bignum *b);

/* ---- fatal reporter ---- */

/* Severity 1: prints "CRITICAL EXCEPTION: <message> exiting.\n" on stderr and exits with status 1.
 * Any other severity: prints "WARNING: <message>\n" on stderr and returns. */
void handle_exception(int severity, const char *message);

/* ---- memory hooks (plain pass-throughs: no checks, no counting, no wiping) ---- */

/* malloc(size). */
void *clib_malloc(size_t size);
/* realloc(p, size). */
void *clib_realloc(void *p, size_t size);
/* free(p). */
void clib_free(void *p);
/* memset(p, 0, n). */
void clib_memzero(void *p, size_t n);
/* Copies n bytes FROM source TO destination: note the order, source first (reverse of memcpy). */
void clib_memcpy(const void *source, void *destination, size_t n);
/* memcmp(b, a, n): the operands are compared exchanged, so the sign is that of b against a. */
int clib_memcmp(const void *a, const void *b, size_t n);

#endif
