/* SPDX-License-Identifier: Apache-2.0 */
#include "qzutil.h"

#include "bignum.h"
#include "shs.h"
#include "wipe.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const unsigned int HMAC_BLOCK = 64;      /* SHA-1 block size; also the longest key accepted */
const unsigned int HMAC_DIGEST = 20;     /* raw HMAC-SHA-1 value */
const unsigned int HMAC_TEXT = 41;       /* 40 hex digits and a NUL */
const unsigned int HMAC_TEXT_DIGITS = 40;
const unsigned char IPAD = 0x36, OPAD = 0x5C;

} // namespace

unsigned int QZUtil::HmacSha1(const unsigned char *message, unsigned int messageLen,
                              const unsigned char *key, unsigned int keyLen, unsigned char *out,
                              unsigned int outSize, int asText)
{
    if (message == nullptr || messageLen == 0 || key == nullptr || keyLen > HMAC_BLOCK ||
        out == nullptr || outSize < (asText ? HMAC_TEXT : HMAC_DIGEST))
        return 0;
    /* The inner message (pad block + message) must fit the digest's 32-bit length. */
    if (messageLen > UINT32_MAX - HMAC_BLOCK)
        return 0;

    unsigned char keyBlock[HMAC_BLOCK], innerPad[HMAC_BLOCK], outerPad[HMAC_BLOCK];
    unsigned char innerDigest[HMAC_DIGEST], outerMessage[HMAC_BLOCK + HMAC_DIGEST];
    memset(innerPad, 0, sizeof(innerPad));
    memset(outerPad, 0, sizeof(outerPad));
    memset(keyBlock, 0, sizeof(keyBlock));
    if (keyLen > 0)
        memcpy(keyBlock, key, keyLen);
    for (unsigned int i = 0; i < HMAC_BLOCK; i++)
        innerPad[i] = static_cast<unsigned char>(keyBlock[i] ^ IPAD);

    const size_t innerLen = static_cast<size_t>(messageLen) + HMAC_BLOCK;
    unsigned char *inner = static_cast<unsigned char *>(malloc(innerLen));
    if (inner == nullptr) {
        secure_wipe(innerPad, sizeof(innerPad));
        secure_wipe(keyBlock, sizeof(keyBlock));
        return 0;
    }
    memcpy(inner, innerPad, HMAC_BLOCK);
    memcpy(inner + HMAC_BLOCK, message, messageLen);
    Bignum *number = itobig(0);
    bigMessageDigest(inner, static_cast<uint32_t>(innerLen), number);
    RSA_bigToBuf(number, HMAC_DIGEST, innerDigest);
    freeBignum(number);
    secure_wipe(innerPad, sizeof(innerPad));
    secure_wipe(inner, innerLen);
    free(inner);

    for (unsigned int i = 0; i < HMAC_BLOCK; i++)
        outerPad[i] = static_cast<unsigned char>(keyBlock[i] ^ OPAD);
    secure_wipe(keyBlock, sizeof(keyBlock));

    memcpy(outerMessage, outerPad, HMAC_BLOCK);
    memcpy(outerMessage + HMAC_BLOCK, innerDigest, HMAC_DIGEST);
    number = itobig(0);
    bigMessageDigest(outerMessage, sizeof(outerMessage), number);
    if (asText) {
        /* A digest number always has 5 words, so this is 40 digits and a NUL. */
        bigsprint(number, reinterpret_cast<char *>(out));
        for (unsigned int i = 0; out[i] != '\0'; i++)
            out[i] = static_cast<unsigned char>(toupper(out[i]));
    } else {
        RSA_bigToBuf(number, HMAC_DIGEST, out);
    }
    freeBignum(number);
    secure_wipe(outerPad, sizeof(outerPad));
    secure_wipe(innerDigest, sizeof(innerDigest));
    secure_wipe(outerMessage, sizeof(outerMessage));
    return 1;
}

unsigned int QZUtil::CreateSignatureHMAC(const unsigned char *key, unsigned int keyLen,
                                         const unsigned char *message, unsigned int messageLen,
                                         unsigned char *signature, unsigned int signatureSize)
{
    return HmacSha1(message, messageLen, key, keyLen, signature, signatureSize, 1);
}

unsigned int QZUtil::VerifySignatureHMAC(const unsigned char *key, unsigned int keyLen,
                                         const unsigned char *message, unsigned int messageLen,
                                         const unsigned char *signature,
                                         unsigned int signatureLen)
{
    /* Only 40 digits, or 40 digits and their NUL, can match the 41 bytes computed. */
    if (signature == nullptr || signatureLen < HMAC_TEXT_DIGITS || signatureLen > HMAC_TEXT)
        return 0;
    unsigned char computed[HMAC_TEXT];
    if (HmacSha1(message, messageLen, key, keyLen, computed, sizeof(computed), 1) != 1)
        return 0;
    /* Constant time: the time taken does not tell how many leading characters matched. */
    unsigned int difference = 0;
    for (unsigned int i = 0; i < signatureLen; i++)
        difference |= static_cast<unsigned int>(computed[i] ^ signature[i]);
    secure_wipe(computed, sizeof(computed));
    return difference == 0 ? 1 : 0;
}
