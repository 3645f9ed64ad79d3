/* SPDX-License-Identifier: Apache-2.0 */
#include "shs.h"

#include "kernel_internal.h"
#include "wipe.h"

/* fShsDigest reads its stream in pieces of this many bytes. */
static const uint32_t READ_PIECE = 1024;

uint32_t *fShsDigest(FILE *stream)
{
    if (stream == nullptr)
        return nullptr;
    unsigned char buffer[READ_PIECE];
    clib_memzero(buffer, sizeof(buffer));
    ShsContext ctx;
    shsInit(&ctx);
    for (;;) {
        const size_t got = fread(buffer, 1, sizeof(buffer), stream);
        if (got == 0)
            break;
        shsUpdate(&ctx, buffer, static_cast<uint32_t>(got));
    }
    secure_wipe(buffer, sizeof(buffer));
    return shsTakeDigest(&ctx);
}

int messageDigest(const unsigned char *data, uint16_t length, unsigned char *out, uint16_t outSize)
{
    Bignum *number = itobig(0);
    bigMessageDigest(data, length, number);
    if (outSize < 20)
        kernelFatal("SHS Digest needs 20 bytes\n");
    const int result = bigBytes(number);
    bigToBuf(number, outSize, out);
    freeBignum(number);
    return result;
}
