/* SPDX-License-Identifier: Apache-2.0 */
#include "qzutil.h"

#include "wipe.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

/* Every result buffer is this much larger than its content; the spare bytes are zero so that
 * fixed-width readers never see stale heap contents. */
const int kSpare = 100;

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct DecodeTable {
    signed char value[256];
    DecodeTable() {
        memset(value, -1, sizeof value);
        for (int i = 0; i < 64; i++)
            value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
    }
};
const DecodeTable kDecode;

inline int lookup(unsigned char c) { return kDecode.value[c]; }

}  // namespace

int QZUtil::base64_encode(const unsigned char *in, int count, unsigned char **out)
{
    *out = nullptr;
    if (in == nullptr || count <= 0)
        return 0;
    const int q = count / 3, r = count % 3;
    if (q > (INT32_MAX - kSpare - 4) / 4)
        return -1;
    const int outLen = 4 * q + (r ? 4 : 0);
    unsigned char *buf = static_cast<unsigned char *>(calloc(static_cast<size_t>(outLen) + kSpare, 1));
    if (buf == nullptr)
        return -1;
    unsigned char *o = buf;
    const unsigned char *p = in;
    for (int i = 0; i < q; i++, p += 3) {
        *o++ = kAlphabet[p[0] >> 2];
        *o++ = kAlphabet[((p[0] & 3) << 4) | (p[1] >> 4)];
        *o++ = kAlphabet[((p[1] & 15) << 2) | (p[2] >> 6)];
        *o++ = kAlphabet[p[2] & 63];
    }
    if (r == 1) {
        *o++ = kAlphabet[p[0] >> 2];
        *o++ = kAlphabet[(p[0] & 3) << 4];
        *o++ = '=';
        *o++ = '=';
    } else if (r == 2) {
        *o++ = kAlphabet[p[0] >> 2];
        *o++ = kAlphabet[((p[0] & 3) << 4) | (p[1] >> 4)];
        *o++ = kAlphabet[(p[1] & 15) << 2];
        *o++ = '=';
    }
    *out = buf;
    return outLen;
}

int QZUtil::base64_decode(const unsigned char *in, int count, unsigned char **out)
{
    *out = nullptr;
    if (in == nullptr || count <= 0)
        return 0;

    /* Working copy of the significant characters: every byte <= 0x20 is dropped. */
    unsigned char *sig = static_cast<unsigned char *>(malloc(static_cast<size_t>(count)));
    if (sig == nullptr)
        return 0;
    int n = 0;
    for (int i = 0; i < count; i++)
        if (in[i] > 0x20)
            sig[n++] = in[i];

    /* Both texts may hold card data: the working copy is wiped before it goes. */
    if (n % 4 != 0) {
        secure_wipe(sig, static_cast<size_t>(n));
        free(sig);
        return -1;
    }
    int q = n / 4, t = 0;
    if (n > 0 && sig[n - 1] == '=') {
        q -= 1;
        t = (sig[n - 2] == '=') ? 1 : 2;
    }

    const int outLen = 3 * q + t;
    unsigned char *buf = static_cast<unsigned char *>(calloc(static_cast<size_t>(outLen) + kSpare, 1));
    if (buf == nullptr) {
        secure_wipe(sig, static_cast<size_t>(n));
        free(sig);
        return 0;
    }

    unsigned char *o = buf;
    const unsigned char *g = sig;
    bool bad = false;
    for (int i = 0; i < q && !bad; i++, g += 4) {
        const int d0 = lookup(g[0]), d1 = lookup(g[1]), d2 = lookup(g[2]), d3 = lookup(g[3]);
        if (d0 < 0 || d1 < 0 || d2 < 0 || d3 < 0) {
            bad = true;
            break;
        }
        *o++ = static_cast<unsigned char>((d0 << 2) | (d1 >> 4));
        *o++ = static_cast<unsigned char>(((d1 << 4) | (d2 >> 2)) & 0xFF);
        *o++ = static_cast<unsigned char>(((d2 << 6) | d3) & 0xFF);
    }
    if (!bad && t > 0) {
        /* The "=" characters of the last group are never looked up. */
        const int d0 = lookup(g[0]), d1 = lookup(g[1]);
        const int d2 = (t == 2) ? lookup(g[2]) : 0;
        if (d0 < 0 || d1 < 0 || d2 < 0) {
            bad = true;
        } else {
            *o++ = static_cast<unsigned char>((d0 << 2) | (d1 >> 4));
            if (t == 2)
                *o++ = static_cast<unsigned char>(((d1 << 4) | (d2 >> 2)) & 0xFF);
        }
    }
    secure_wipe(sig, static_cast<size_t>(n));
    free(sig);
    if (bad) {
        secure_wipe(buf, static_cast<size_t>(outLen));
        free(buf);
        return -1;
    }
    *out = buf;
    return outLen;
}
