/* SPDX-License-Identifier: Apache-2.0 */
/* The SHA-1 compression function on the x86 SHA extensions. Only these functions are compiled for
 * the SHA, SSSE3 and SSE4.1 instruction sets (through target attributes, not global flags), and the
 * digest calls them only after shsCpuHasShaNi() said the CPU has them. Other CPUs build nothing
 * here. */
#include "shs_internal.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>
#include <immintrin.h>

#define SHS_NI_TARGET __attribute__((target("sha,sse4.1,ssse3")))

namespace {

/* CPUID leaf 1 ECX and leaf 7 EBX feature bits. */
const unsigned int CPUID1_ECX_SSSE3 = 1u << 9, CPUID1_ECX_SSE41 = 1u << 19;
const unsigned int CPUID7_EBX_SHA = 1u << 29;

/* One 4-word group of the schedule as the instructions want it: word 0 of the group in lane 3. */

SHS_NI_TARGET inline __m128i loadBytes(const unsigned char *p)
{
    /* Reversing all 16 bytes makes each word most significant byte first and puts word 0 on top. */
    const __m128i reverse = _mm_set_epi64x(0x0001020304050607LL, 0x08090A0B0C0D0E0FLL);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), reverse);
}

SHS_NI_TARGET inline __m128i loadWords(const uint32_t *w)
{
    return _mm_set_epi32(static_cast<int>(w[0]), static_cast<int>(w[1]), static_cast<int>(w[2]),
                         static_cast<int>(w[3]));
}

/* The 80 steps on one block whose sixteen words are w0..w3 (groups of four), with A..D in abcd
 * (A in lane 3) and E in lane 3 of e; both are updated. Group i of the schedule (i = 4..19) is
 * made in the register of group i-4 from groups i-4..i-1; each four steps take the E that
 * sha1nexte derives from A four steps back. */
SHS_NI_TARGET inline void compress(__m128i &abcd, __m128i &e, __m128i w0, __m128i w1, __m128i w2,
                                   __m128i w3)
{
    const __m128i abcdStart = abcd, eStart = e;
    __m128i x, abcdBefore;

#define SHS_NI_NEXT(g0, g1, g2, g3) \
    g0 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(g0, g1), g2), g3)
#define SHS_NI_FOUR(f, g)                                                                         \
    do {                                                                                          \
        x = _mm_sha1nexte_epu32(abcdBefore, g);                                                   \
        abcdBefore = abcd;                                                                        \
        abcd = _mm_sha1rnds4_epu32(abcd, x, f);                                                   \
    } while (0)

    x = _mm_add_epi32(e, w0); /* steps 0..3 */
    abcdBefore = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, x, 0);
    SHS_NI_FOUR(0, w1); /* steps 4..7 */
    SHS_NI_FOUR(0, w2);
    SHS_NI_FOUR(0, w3);
    SHS_NI_NEXT(w0, w1, w2, w3); /* group 4: steps 16..19 */
    SHS_NI_FOUR(0, w0);
    SHS_NI_NEXT(w1, w2, w3, w0);
    SHS_NI_FOUR(1, w1);
    SHS_NI_NEXT(w2, w3, w0, w1);
    SHS_NI_FOUR(1, w2);
    SHS_NI_NEXT(w3, w0, w1, w2);
    SHS_NI_FOUR(1, w3);
    SHS_NI_NEXT(w0, w1, w2, w3); /* group 8: steps 32..35 */
    SHS_NI_FOUR(1, w0);
    SHS_NI_NEXT(w1, w2, w3, w0);
    SHS_NI_FOUR(1, w1);
    SHS_NI_NEXT(w2, w3, w0, w1);
    SHS_NI_FOUR(2, w2);
    SHS_NI_NEXT(w3, w0, w1, w2);
    SHS_NI_FOUR(2, w3);
    SHS_NI_NEXT(w0, w1, w2, w3); /* group 12: steps 48..51 */
    SHS_NI_FOUR(2, w0);
    SHS_NI_NEXT(w1, w2, w3, w0);
    SHS_NI_FOUR(2, w1);
    SHS_NI_NEXT(w2, w3, w0, w1);
    SHS_NI_FOUR(2, w2);
    SHS_NI_NEXT(w3, w0, w1, w2);
    SHS_NI_FOUR(3, w3);
    SHS_NI_NEXT(w0, w1, w2, w3); /* group 16: steps 64..67 */
    SHS_NI_FOUR(3, w0);
    SHS_NI_NEXT(w1, w2, w3, w0);
    SHS_NI_FOUR(3, w1);
    SHS_NI_NEXT(w2, w3, w0, w1);
    SHS_NI_FOUR(3, w2);
    SHS_NI_NEXT(w3, w0, w1, w2);
    SHS_NI_FOUR(3, w3);

#undef SHS_NI_FOUR
#undef SHS_NI_NEXT

    e = _mm_sha1nexte_epu32(abcdBefore, eStart);
    abcd = _mm_add_epi32(abcd, abcdStart);
}

SHS_NI_TARGET inline void loadState(const uint32_t digest[5], __m128i &abcd, __m128i &e)
{
    abcd = loadWords(digest);
    e = _mm_set_epi32(static_cast<int>(digest[4]), 0, 0, 0);
}

SHS_NI_TARGET inline void storeState(uint32_t digest[5], __m128i abcd, __m128i e)
{
    digest[0] = static_cast<uint32_t>(_mm_extract_epi32(abcd, 3));
    digest[1] = static_cast<uint32_t>(_mm_extract_epi32(abcd, 2));
    digest[2] = static_cast<uint32_t>(_mm_extract_epi32(abcd, 1));
    digest[3] = static_cast<uint32_t>(_mm_extract_epi32(abcd, 0));
    digest[4] = static_cast<uint32_t>(_mm_extract_epi32(e, 3));
}

} // namespace

int shsCpuHasShaNi()
{
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0)
        return 0;
    const unsigned int leaf1Ecx = ecx;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0)
        return 0;
    const bool ok = (leaf1Ecx & CPUID1_ECX_SSSE3) != 0 && (leaf1Ecx & CPUID1_ECX_SSE41) != 0 &&
                    (ebx & CPUID7_EBX_SHA) != 0;
    return ok ? 1 : 0;
}

SHS_NI_TARGET void shsTransformShaNiBytes(uint32_t digest[5], const unsigned char *data,
                                          size_t blocks)
{
    __m128i abcd, e;
    loadState(digest, abcd, e);
    for (; blocks > 0; blocks--, data += 64)
        compress(abcd, e, loadBytes(data), loadBytes(data + 16), loadBytes(data + 32),
                 loadBytes(data + 48));
    storeState(digest, abcd, e);
}

SHS_NI_TARGET void shsTransformShaNiWords(uint32_t digest[5], const uint32_t block[16])
{
    __m128i abcd, e;
    loadState(digest, abcd, e);
    compress(abcd, e, loadWords(block), loadWords(block + 4), loadWords(block + 8),
             loadWords(block + 12));
    storeState(digest, abcd, e);
}

#endif
