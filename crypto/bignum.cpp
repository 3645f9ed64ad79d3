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

/* The two byte orders differ only in where the byte of significance k (0 = least) sits. */
enum class ByteOrder { LeastFirst, MostFirst };

static inline int64_t bytePosition(ByteOrder order, int64_t k, int64_t size)
{
    return order == ByteOrder::LeastFirst ? k : size - 1 - k;
}

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

static void writeBytes(const Bignum *b, int64_t size, ByteOrder order, unsigned char *buffer,
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

void bufToBig(const unsigned char *buffer, int32_t len, Bignum *b)
{
    readBytes(buffer, len, ByteOrder::LeastFirst, b);
}

void bigToBuf(const Bignum *b, uint32_t size, unsigned char *buffer)
{
    writeBytes(b, size, ByteOrder::LeastFirst, buffer, "BigToBuf: Buffer is too small.\n");
}

void RSA_bufToBig(const unsigned char *buffer, int32_t len, Bignum *b)
{
    readBytes(buffer, len, ByteOrder::MostFirst, b);
}

void RSA_bigToBuf(const Bignum *b, int32_t size, unsigned char *buffer)
{
    writeBytes(b, size, ByteOrder::MostFirst, buffer, "RSAbigToBuf: buffer too small.\n");
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
