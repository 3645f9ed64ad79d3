/* SPDX-License-Identifier: Apache-2.0 */
/* The input generator of the generated SHA-1 and HMAC vectors (tests/vectors/gen_sha1_hmac.py):
 * x := seed; n times: x := (x * 1103515245 + 12345) mod 2^32, next byte x >> 24. */
#ifndef VEMRICK_TEST_LCG_H
#define VEMRICK_TEST_LCG_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testutil {

inline std::vector<unsigned char> lcgBytes(uint32_t seed, size_t n)
{
    std::vector<unsigned char> out(n);
    uint32_t x = seed;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<unsigned char>(x >> 24);
    }
    return out;
}

/* The generated message of n bytes and HMAC key of k bytes. */
inline std::vector<unsigned char> generatedMessage(size_t n) { return lcgBytes(uint32_t(n), n); }
inline std::vector<unsigned char> generatedKey(size_t k) { return lcgBytes(0x10000u + k, k); }

} // namespace testutil

#endif
