/* SPDX-License-Identifier: Apache-2.0 */
#include "bignum.h"

#include "kernel_internal.h"

#include <cstring>

const int32_t msb_table8[256] = {
    0, 1, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4,
    5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5,
    6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
    6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,
    8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,
    8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,
    8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,
    8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,
    8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,
    8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,
    8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,
};

/* Codes 0..47 and the gaps between the digit ranges are 0. */
const int32_t hexDigitValue[103] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                 /*   0.. 15 */
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                 /*  16.. 31 */
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                 /*  32.. 47 */
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0, 0, 0, 0,                 /* '0'..'?' */
    0, 10, 11, 12, 13, 14, 15, 0, 0, 0, 0, 0, 0, 0, 0, 0,           /* '@'..'O' */
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                 /* 'P'..'_' */
    0, 10, 11, 12, 13, 14, 15,                                      /* '`'..'f' */
};

/* ---- measures ---- */

int msb(int32_t word)
{
    const uint32_t w = static_cast<uint32_t>(word);
    if (w & 0x80000000u)
        return 32;
    if (w >> 24)
        return msb_table8[w >> 24] + 24;
    if (w >> 16)
        return msb_table8[w >> 16] + 16;
    if (w >> 8)
        return msb_table8[w >> 8] + 8;
    return msb_table8[w];
}

int old_msb(uint32_t word)
{
    int n = 1;
    while (word > 1) {
        word >>= 1;
        n++;
    }
    return n;
}

int bigBits(const Bignum *b)
{
    return (b->length - 1) * 32 + msb(static_cast<int32_t>(b->words[b->length - 1]));
}

int bigBytes(const Bignum *b) { return b->length * 4; }
int bigTest(const Bignum *b) { return b->sign; }
int even(const Bignum *b) { return 1 - static_cast<int>(b->words[0] & 1); }
int odd(const Bignum *b) { return static_cast<int>(b->words[0] & 1); }

/* ---- byte strings ---- */

static void readBytes(const unsigned char *buffer, int32_t len, ByteOrder order, Bignum *b)
{
    if (len < 0)
        len = 0;
    const int32_t n = len / 4 + (len % 4 != 0);
    bigReserveWords(b, n > 0 ? n : 1);
    b->words[0] = 0;
    for (int32_t i = 0; i < n; i++) {
        uint32_t w = 0;
        for (int64_t k = 4 * static_cast<int64_t>(i) + 3; k >= 4 * static_cast<int64_t>(i); k--)
            w = (w << 8) | (k < len ? buffer[bytePosition(order, k, len)] : 0u);
        b->words[i] = w;
    }
    b->length = n > 0 ? n : 1;
    trim(b);
}

void bufToBig(const unsigned char *buffer, int32_t len, Bignum *b)
{
    readBytes(buffer, len, ByteOrder::LeastFirst, b);
}

void bigToBuf(const Bignum *b, uint32_t size, unsigned char *buffer)
{
    bigWriteBytes(b, size, ByteOrder::LeastFirst, buffer, "BigToBuf: Buffer is too small.\n");
}

void RSA_bufToBig(const unsigned char *buffer, int32_t len, Bignum *b)
{
    readBytes(buffer, len, ByteOrder::MostFirst, b);
}

/* ---- text ---- */

/* Table look-up that treats every code outside the table (including bytes 0x80 and up, whatever
 * the signedness of char) as the digit 0. */
static uint32_t hexValue(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return u < sizeof(hexDigitValue) / sizeof(hexDigitValue[0])
               ? static_cast<uint32_t>(hexDigitValue[u])
               : 0u;
}

/* Reads textLen hex digits and writes buffer[n-1] down to buffer[0] (n = (textLen + 1) / 2), so
 * the buffer holds the value least significant byte first; an odd first digit fills byte n-1. */
static void hexStringToBuf(const char *text, size_t textLen, unsigned char *buffer, size_t n)
{
    size_t pos = 0, out = n;
    if (textLen % 2 == 1)
        buffer[--out] = static_cast<unsigned char>(hexValue(text[pos++]));
    while (out > 0) {
        const uint32_t hi = hexValue(text[pos]), lo = hexValue(text[pos + 1]);
        buffer[--out] = static_cast<unsigned char>((hi << 4) | lo);
        pos += 2;
    }
}

Bignum *atobig(const char *text)
{
    const size_t textLen = text != nullptr ? strlen(text) : 0;
    const size_t n = (textLen + 1) / 2;
    /* A Bignum holds at most INT32_MAX words; longer texts cannot be represented. */
    if (n > static_cast<size_t>(INT32_MAX) - 3)
        kernelFatal("atobig: text too long.\n");
    unsigned char *buffer = static_cast<unsigned char *>(clib_malloc(n > 0 ? n : 1));
    if (buffer == nullptr)
        kernelFatal("atobig: out of memory.\n");
    hexStringToBuf(text, textLen, buffer, n);
    Bignum *b = itobig(0);
    bufToBig(buffer, static_cast<int32_t>(n), b);
    b->sign = 1;
    clib_free(buffer);
    return b;
}

void fBigPrint(const Bignum *b, FILE *stream)
{
    if (b->sign == -1)
        fputs("-", stream);
    if (b->length >= 1) {
        fprintf(stream, "%lx", static_cast<unsigned long>(b->words[b->length - 1]));
        for (int32_t i = b->length - 2; i >= 0; i--)
            fprintf(stream, "%08lx", static_cast<unsigned long>(b->words[i]));
    }
    fputs("\n", stream);
}

void bigprint(const Bignum *b) { fBigPrint(b, stdout); }
