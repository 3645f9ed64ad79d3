/* SPDX-License-Identifier: Apache-2.0 */
#include "shs.h"

#include "kernel_internal.h"
#include "shs_internal.h"
#include "wipe.h"

#include <atomic>

namespace {

const uint32_t H0 = 0x67452301u, H1 = 0xEFCDAB89u, H2 = 0x98BADCFEu, H3 = 0x10325476u,
               H4 = 0xC3D2E1F0u;
const uint32_t K1 = 0x5A827999u, K2 = 0x6ED9EBA1u, K3 = 0x8F1BBCDCu, K4 = 0xCA62C1D6u;


inline uint32_t rotl(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t loadBE32(const unsigned char *p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

/* The selected ShsEngine, or ENGINE_UNDECIDED until the first compression (or selection) looks at
 * the CPU. Atomic because independent digests may run in several threads. */
const int ENGINE_UNDECIDED = -1;
std::atomic<int> selectedEngine{ENGINE_UNDECIDED};

ShsEngine currentEngine()
{
    int engine = selectedEngine.load(std::memory_order_relaxed);
    if (engine == ENGINE_UNDECIDED) {
        engine = shsEngineAvailable(SHS_ENGINE_SHA_NI) ? SHS_ENGINE_SHA_NI : SHS_ENGINE_PORTABLE;
        /* Another thread may have decided meanwhile; an explicit selection wins. */
        int expected = ENGINE_UNDECIDED;
        if (!selectedEngine.compare_exchange_strong(expected, engine, std::memory_order_relaxed))
            engine = expected;
    }
    return static_cast<ShsEngine>(engine);
}

#if defined(__x86_64__) || defined(__i386__)
inline bool useShaNi() { return currentEngine() == SHS_ENGINE_SHA_NI; }
#endif

/* The SHA-1 compression function on block[0..15]: the schedule is expanded in place into
 * block[16..79] step by step as the 80 steps consume it, and the steps update digest. The steps
 * are unrolled with the roles of the five working words rotating, so no values move between steps.
 * (Expanding the schedule in a separate loop first invites vectorised loads that overlap the
 * stores just made, which stalls store forwarding and costs more than half the speed.) */
void shsTransform(uint32_t digest[5], uint32_t block[80])
{
    uint32_t *const w = block;
    uint32_t a = digest[0], b = digest[1], c = digest[2], d = digest[3], e = digest[4];

#define SHS_F1(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))         /* choose: (x AND y) OR (NOT x AND z) */
#define SHS_F2(x, y, z) ((x) ^ (y) ^ (z))                   /* parity */
#define SHS_F3(x, y, z) (((x) & (y)) | ((z) & ((x) | (y)))) /* majority */
#define SHS_W(t) ((t) < 16 ? w[t] : (w[t] = rotl(w[(t)-3] ^ w[(t)-8] ^ w[(t)-14] ^ w[(t)-16], 1)))
#define SHS_STEP(f, k, a, b, c, d, e, t)                                                          \
    do {                                                                                          \
        e += rotl(a, 5) + f(b, c, d) + (k) + SHS_W(t);                                            \
        b = rotl(b, 30);                                                                          \
    } while (0)
#define SHS_FIVE(f, k, t)                                                                         \
    do {                                                                                          \
        SHS_STEP(f, k, a, b, c, d, e, (t) + 0);                                                   \
        SHS_STEP(f, k, e, a, b, c, d, (t) + 1);                                                   \
        SHS_STEP(f, k, d, e, a, b, c, (t) + 2);                                                   \
        SHS_STEP(f, k, c, d, e, a, b, (t) + 3);                                                   \
        SHS_STEP(f, k, b, c, d, e, a, (t) + 4);                                                   \
    } while (0)

    SHS_FIVE(SHS_F1, K1, 0);
    SHS_FIVE(SHS_F1, K1, 5);
    SHS_FIVE(SHS_F1, K1, 10);
    SHS_FIVE(SHS_F1, K1, 15);
    SHS_FIVE(SHS_F2, K2, 20);
    SHS_FIVE(SHS_F2, K2, 25);
    SHS_FIVE(SHS_F2, K2, 30);
    SHS_FIVE(SHS_F2, K2, 35);
    SHS_FIVE(SHS_F3, K3, 40);
    SHS_FIVE(SHS_F3, K3, 45);
    SHS_FIVE(SHS_F3, K3, 50);
    SHS_FIVE(SHS_F3, K3, 55);
    SHS_FIVE(SHS_F2, K4, 60);
    SHS_FIVE(SHS_F2, K4, 65);
    SHS_FIVE(SHS_F2, K4, 70);
    SHS_FIVE(SHS_F2, K4, 75);

#undef SHS_FIVE
#undef SHS_STEP
#undef SHS_W
#undef SHS_F3
#undef SHS_F2
#undef SHS_F1

    digest[0] += a;
    digest[1] += b;
    digest[2] += c;
    digest[3] += d;
    digest[4] += e;
}

/* Compresses the block held in the context's words 0..15. The SHA-NI path reads them without
 * writing the schedule into words 16..79; nothing reads those words later (every block word is
 * written again before the next compression), so the digests are the same either way. */
inline void transformContextBlock(ShsContext *ctx)
{
#if defined(__x86_64__) || defined(__i386__)
    if (useShaNi()) {
        shsTransformShaNiWords(ctx->digest, ctx->block);
        return;
    }
#endif
    shsTransform(ctx->digest, ctx->block);
}

/* Moves the block position on by bits; a full block is compressed at once. */
inline void advance(ShsContext *ctx, int32_t bits)
{
    ctx->nbits += bits;
    if (ctx->nbits == 512) {
        ctx->nbits = 0;
        transformContextBlock(ctx);
    }
}

/* Puts one byte at bit position nbits of the block, replacing only those eight bits. */
inline void putByte(ShsContext *ctx, unsigned char byte)
{
    const int32_t shift = 24 - (ctx->nbits & 31);
    uint32_t &word = ctx->block[ctx->nbits >> 5];
    word = (word & ~(0xFFu << shift)) | (static_cast<uint32_t>(byte) << shift);
    advance(ctx, 8);
}

/* Puts one whole word at a word-aligned nbits. */
inline void putWord(ShsContext *ctx, uint32_t value)
{
    ctx->block[ctx->nbits >> 5] = value;
    advance(ctx, 32);
}

} // namespace

int shsEngineAvailable(ShsEngine engine)
{
    switch (engine) {
    case SHS_ENGINE_PORTABLE:
        return 1;
    case SHS_ENGINE_SHA_NI: {
#if defined(__x86_64__) || defined(__i386__)
        static const int hasShaNi = shsCpuHasShaNi();
        return hasShaNi;
#else
        return 0;
#endif
    }
    }
    return 0;
}

int shsSelectEngine(ShsEngine engine)
{
    if (!shsEngineAvailable(engine))
        return 0;
    selectedEngine.store(engine, std::memory_order_relaxed);
    return 1;
}

ShsEngine shsSelectedEngine() { return currentEngine(); }

void shsInit(ShsContext *ctx)
{
    ctx->count = 0;
    for (uint32_t &w : ctx->block)
        w = 0;
    ctx->nbits = 0;
    ctx->digest[0] = H0;
    ctx->digest[1] = H1;
    ctx->digest[2] = H2;
    ctx->digest[3] = H3;
    ctx->digest[4] = H4;
}

void shsUpdate(ShsContext *ctx, const unsigned char *data, uint32_t length)
{
    ctx->count += length;

    /* Finish a block left open by an earlier call: bytes up to a word boundary, then words. */
    while (length > 0 && (ctx->nbits & 31) != 0) {
        putByte(ctx, *data++);
        length--;
    }
    while (length >= 4 && ctx->nbits != 0) {
        putWord(ctx, loadBE32(data));
        data += 4;
        length -= 4;
    }

    /* Whole 64-byte pieces go straight from the caller's buffer: into the compression on the SHA-NI
     * path, into the block words on the portable one. */
    if (ctx->nbits == 0) {
#if defined(__x86_64__) || defined(__i386__)
        if (length >= 64 && useShaNi()) {
            const uint32_t blocks = length / 64;
            shsTransformShaNiBytes(ctx->digest, data, blocks);
            data += 64 * blocks;
            length -= 64 * blocks;
        }
#endif
        while (length >= 64) {
            for (int i = 0; i < 16; i++)
                ctx->block[i] = loadBE32(data + 4 * i);
            shsTransform(ctx->digest, ctx->block);
            data += 64;
            length -= 64;
        }
    }

    while (length >= 4) {
        putWord(ctx, loadBE32(data));
        data += 4;
        length -= 4;
    }
    while (length > 0) {
        putByte(ctx, *data++);
        length--;
    }
}

void shsFinal(ShsContext *ctx)
{
    putByte(ctx, 0x80);
    while ((ctx->nbits & 31) != 0)
        putByte(ctx, 0);
    while (ctx->nbits != 448)
        putWord(ctx, 0);
    /* The message length in bits, as a 64-bit number: high word, then low word. */
    putWord(ctx, ctx->count >> 29);
    putWord(ctx, ctx->count << 3);
    if (ctx->nbits != 0)
        kernelFatal("shsFinal(): nbits != 0\n");
}

uint32_t *shs(const unsigned char *data, uint32_t length)
{
    ShsContext ctx;
    shsInit(&ctx);
    shsUpdate(&ctx, data, length);
    return shsTakeDigest(&ctx);
}

void bigMessageDigest(const unsigned char *data, uint32_t length, Bignum *result)
{
    uint32_t *h = shs(data, length);
    bigReserveWords(result, 5);
    for (int i = 0; i < 5; i++)
        result->words[4 - i] = h[i];
    result->length = 5;
    secure_wipe(h, 5 * sizeof(uint32_t));
    clib_free(h);
}

uint32_t *shsTakeDigest(ShsContext *ctx)
{
    shsFinal(ctx);
    uint32_t *result = static_cast<uint32_t *>(clib_malloc(5 * sizeof(uint32_t)));
    if (result == nullptr)
        kernelFatal("shs: out of memory.\n");
    for (int i = 0; i < 5; i++)
        result[i] = ctx->digest[i];
    secure_wipe(ctx, sizeof(*ctx));
    return result;
}
