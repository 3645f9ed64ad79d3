/* SPDX-License-Identifier: Apache-2.0 */
#include "bignum.h"

#include "kernel_internal.h"
#include "wipe.h"

#include <cstdlib>
#include <cstring>

std::atomic<int32_t> bigNumsAllocated{0};

uint32_t zero_data[1] = {0};
uint32_t one_data[1] = {1};
uint32_t two_data[1] = {2};
Bignum bigzero = {1, 1, 1, zero_data};
Bignum bigone = {1, 1, 1, one_data};
Bignum bigtwo = {1, 1, 1, two_data};
Bignum *zero = &bigzero;
Bignum *one = &bigone;
Bignum *two = &bigtwo;


/* ---- fatal reporter and hooks ---- */

void kernelFatal(const char *message)
{
    fprintf(stderr, "CRITICAL EXCEPTION: %s exiting.\n", message != nullptr ? message : "");
    exit(1);
}

void handle_exception(int severity, const char *message)
{
    if (severity == 1)
        kernelFatal(message);
    fprintf(stderr, "WARNING: %s\n", message != nullptr ? message : "");
}

void *clib_malloc(size_t size) { return malloc(size); }
void *clib_realloc(void *p, size_t size) { return realloc(p, size); }
void clib_free(void *p) { free(p); }
void clib_memzero(void *p, size_t n) { memset(p, 0, n); }
void clib_memcpy(const void *source, void *destination, size_t n) { memcpy(destination, source, n); }
int clib_memcmp(const void *a, const void *b, size_t n) { return memcmp(b, a, n); }

void bigReserveWords(Bignum *b, int32_t n)
{
    if (n <= b->space)
        return;
    void *p = clib_realloc(b->words, static_cast<size_t>(n) * sizeof(uint32_t));
    if (p == nullptr)
        kernelFatal("Bignum: out of memory.\n");
    b->words = static_cast<uint32_t *>(p);
    for (int32_t i = b->space; i < n; i++)
        b->words[i] = 0;
    b->space = n;
}

/* ---- records ---- */

Bignum *itobig(uint32_t value)
{
    Bignum *b = static_cast<Bignum *>(clib_malloc(sizeof(Bignum)));
    uint32_t *w = static_cast<uint32_t *>(clib_malloc(sizeof(uint32_t)));
    if (b == nullptr || w == nullptr) {
        clib_free(b); /* the half that was had: the process ends, but leaves nothing lost */
        clib_free(w);
        kernelFatal("itobig: out of memory.\n");
    }
    w[0] = value;
    b->sign = 1;
    b->length = 1;
    b->space = 1;
    b->words = w;
    bigNumsAllocated.fetch_add(1, std::memory_order_relaxed);
    return b;
}

void freeBignum(Bignum *b)
{
    if (b == nullptr)
        return;
    if (b->words != nullptr && b->space > 0)
        secure_wipe(b->words, static_cast<size_t>(b->space) * sizeof(uint32_t));
    clib_free(b->words);
    secure_wipe(b, sizeof(*b));
    clib_free(b);
    bigNumsAllocated.fetch_sub(1, std::memory_order_relaxed);
}

void trim(Bignum *b)
{
    while (b->length > 1 && b->words[b->length - 1] == 0)
        b->length--;
}

/* ---- byte strings ---- */

void bigWriteBytes(const Bignum *b, int64_t size, ByteOrder order, unsigned char *buffer,
                       const char *tooSmall)
{
    if (static_cast<int64_t>(b->length) * 4 > size)
        kernelFatal(tooSmall);
    if (size <= 0)
        return;
    memset(buffer, 0, static_cast<size_t>(size));
    for (int32_t i = 0; i < b->length; i++)
        for (int j = 0; j < 4; j++)
            buffer[bytePosition(order, 4 * static_cast<int64_t>(i) + j, size)] =
                static_cast<unsigned char>(b->words[i] >> (8 * j));
}

void RSA_bigToBuf(const Bignum *b, int32_t size, unsigned char *buffer)
{
    bigWriteBytes(b, size, ByteOrder::MostFirst, buffer, "RSAbigToBuf: buffer too small.\n");
}

/* ---- text ---- */

int bigsprint(const Bignum *b, char *text)
{
    static const char digits[] = "0123456789abcdef";
    int written = 0;
    for (int32_t i = b->length - 1; i >= 0; i--) {
        const uint32_t w = b->words[i];
        for (int shift = 28; shift >= 0; shift -= 4)
            text[written++] = digits[(w >> shift) & 15];
    }
    text[written] = '\0';
    return written;
}
