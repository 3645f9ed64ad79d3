/* SPDX-License-Identifier: Apache-2.0 */
/* SHS message digest: SHA-1 as FIPS 180-1 defines it (with the one-bit rotation in the schedule),
 * identical on any host byte order. Digests are handed out as five words H0..H4 (standard byte
 * form: each word most significant byte first), as a 5-word Bignum or as bytes.
 * Each context carries its own block position, so independent digests may be interleaved.
 */
#ifndef VEMRICK_SHS_H
#define VEMRICK_SHS_H

#include "bignum.h"

#include <cstdint>
#include <cstdio>

/* One digest in progress. */
struct ShsContext {
    uint32_t count;     /* message bytes passed to shsUpdate since shsInit, modulo 2^32 */
    uint32_t digest[5]; /* chaining value H0..H4; after shsFinal the digest */
    uint32_t block[80]; /* words 0..15 the current block, 16..79 the expanded schedule */
    int32_t nbits;      /* bits of the current block already filled (0..504, a multiple of 8) */
};

/* Starts a digest: count 0, block cleared, digest set to the initial values H0..H4. */
void shsInit(ShsContext *ctx);

/* Adds length bytes at data (data may be null when length is 0). Pieces of any size are accepted
 * and give the same digest as one call with the whole message. The message must stay below
 * 2^32 bytes in all. */
void shsUpdate(ShsContext *ctx, const unsigned char *data, uint32_t length);

/* Pads and finishes: ctx->digest holds H0..H4. The context needs shsInit before further use. */
void shsFinal(ShsContext *ctx);

/* Digest of length bytes at data: a new array of five words H0..H4 taken with clib_malloc, which
 * the caller releases with clib_free. */
uint32_t *shs(const unsigned char *data, uint32_t length);

/* Digest of the rest of stream (read in pieces of 1024 bytes until fread returns 0; a read error
 * counts as end of file; the stream is not closed): a new five-word array as from shs, or null
 * when stream is null. */
uint32_t *fShsDigest(FILE *stream);

/* Sets result to the digest as a 160-bit number of exactly 5 words (words[4] = H0 .. words[0] =
 * H4, never trimmed, so RSA_bigToBuf(result, 20, ...) and bigsprint give all 20 bytes / 40
 * digits); grows its words if needed; the sign is left as it was. */
void bigMessageDigest(const unsigned char *data, uint32_t length, Bignum *result);

/* Writes the digest of length bytes at data into out least significant byte first (out[0] is the
 * low byte of H4, out[19] the high byte of H0) and clears out[20..outSize-1]. Returns 20.
 * Ends the process with "SHS Digest needs 20 bytes\n" when outSize is below 20. */
int messageDigest(const unsigned char *data, uint16_t length, unsigned char *out, uint16_t outSize);

#endif
