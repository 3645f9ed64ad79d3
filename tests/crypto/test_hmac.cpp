/* SPDX-License-Identifier: Apache-2.0 */
#include "lcg.h"
#include "qzutil.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <string>

using testutil::Bytes;

namespace {

/* HmacSha1 of exact-size copies of message and key, raw or as text, into an exact-size buffer
 * of 20 or 41 bytes that starts filled with 0xAA: the result and the whole buffer after it. */
std::pair<unsigned int, Bytes> sign(bool asText, const Bytes &message, const Bytes &key)
{
    const unsigned int size = asText ? 41 : 20;
    testutil::ExactBuffer m(message), k(key), out(Bytes(size, 0xAA));
    const unsigned int rc =
        QZUtil::HmacSha1(m.get(), static_cast<unsigned int>(message.size()), k.get(),
                         static_cast<unsigned int>(key.size()), out.get(), size, asText);
    return {rc, Bytes(out.get(), out.get() + out.n)};
}

unsigned int verify(const Bytes &key, const Bytes &message, const std::string &signature)
{
    testutil::ExactBuffer k(key), m(message), sig(signature.data(), signature.size());
    return QZUtil::VerifySignatureHMAC(k.get(), static_cast<unsigned int>(key.size()), m.get(),
                                       static_cast<unsigned int>(message.size()), sig.get(),
                                       static_cast<unsigned int>(signature.size()));
}

/* One value raw, as upper-case text with its NUL, and verified. Keys longer than the 64-byte
 * block are refused, not hashed down, and the output is left untouched. */
void checkValue(const Bytes &key, const Bytes &message, const std::string &macHex,
                const std::string &where)
{
    const bool refused = key.size() > 64;
    const Bytes raw = testutil::fromHex(macHex);
    const std::string text = testutil::toHex(raw.data(), raw.size(), true);
    for (bool asText : {false, true}) {
        Bytes expected = asText ? testutil::toBytes(text + '\0') : raw;
        if (refused)
            expected.assign(expected.size(), 0xAA);
        EXPECT_EQ(sign(asText, message, key), std::make_pair(refused ? 0u : 1u, expected))
            << where << (asText ? ", text" : ", raw");
    }
    EXPECT_EQ(verify(key, message, text), refused ? 0u : 1u) << where;
}

} // namespace

/* RFC 2202 and NIST CAVS values (cases 6 and 7 of RFC 2202 have 80-byte keys), then every key
 * length 0..64 against a spread of message lengths 1..300, with values from Python's hmac, some
 * beginning with a zero byte. */
TEST(Hmac, Vectors)
{
    size_t published = 0;
    for (const char *file : {"hmac_rfc2202.txt", "hmac_nist.txt"})
        for (const auto &row : testutil::readVectors(file)) {
            checkValue(testutil::fromHex(row[0]), testutil::fromHex(row[1]), row[2],
                       file + (": " + row[0]));
            published++;
        }
    EXPECT_EQ(published, 7u + 45u);

    const auto rows = testutil::readVectors("hmac_generated.txt");
    ASSERT_GT(rows.size(), 65u * 20u);
    for (const auto &row : rows)
        checkValue(testutil::generatedKey(std::stoul(row[0])),
                   testutil::generatedMessage(std::stoul(row[1])), row[2], row[0] + " " + row[1]);
}

/* Exactly 41 (text, NUL last) or 20 (raw) bytes are written, or none on a refusal. */
TEST(Hmac, RefusalsLeaveOutputUntouched)
{
    unsigned char m[8] = "message", k[66] = "key";
    const struct {
        const char *what;
        unsigned int messageLen, keyLen, outSize;
        int asText;
        unsigned int expected;
    } cases[] = {
        {"text, 40 bytes", 7, 3, 40, 1, 0},     {"text, large buffer", 7, 3, 100, 7, 1},
        {"raw, large buffer", 7, 3, 100, 0, 1}, {"raw, 19 bytes", 7, 3, 19, 0, 0},
        {"message length 0", 0, 3, 41, 1, 0},   {"key of 65 bytes", 7, 65, 41, 1, 0},
    };
    for (const auto &c : cases) {
        testutil::ExactBuffer out(Bytes(c.outSize, 0xAA));
        const unsigned int rc =
            QZUtil::HmacSha1(m, c.messageLen, k, c.keyLen, out.get(), c.outSize, c.asText);
        EXPECT_EQ(rc, c.expected) << c.what;
        const size_t written = rc == 0 ? 0 : c.asText ? 41 : 20;
        EXPECT_EQ(Bytes(out.get() + written, out.get() + c.outSize), Bytes(c.outSize - written, 0xAA))
            << c.what;
        EXPECT_TRUE(written != 41 || out.get()[40] == 0) << c.what;
    }
    unsigned char out[41] = {0xAA};
    EXPECT_EQ(QZUtil::HmacSha1(nullptr, 7, k, 3, out, 41, 1), 0u);
    EXPECT_EQ(QZUtil::HmacSha1(m, 7, nullptr, 0, out, 41, 1), 0u);
    EXPECT_EQ(QZUtil::HmacSha1(m, 7, k, 3, nullptr, 41, 1), 0u);
    EXPECT_EQ(out[0], 0xAA);
}

/* Only the 40 upper-case digits, alone or with their NUL, verify. */
TEST(Hmac, VerifyIsExactAndCaseSensitive)
{
    const Bytes key = testutil::toBytes("Jefe"),
                message = testutil::toBytes("what do ya want for nothing?");
    const std::string good = "EFFCDF6AE5EB2FA2D27416D5F184DF9C259A7C79", nul(1, '\0');
    const struct {
        const char *what;
        std::string signature;
        unsigned int expected;
    } cases[] = {
        {"correct", good, 1},
        {"with its NUL", good + nul, 1},
        {"41st byte not NUL", good + "0", 0},
        {"lower case", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79", 0},
        {"39 characters", good.substr(0, 39), 0},
        {"empty", "", 0},
        {"last digit changed", good.substr(0, 39) + "8", 0},
        {"42 bytes", good + nul + "X", 0},
        {"1000 bytes", good + nul + std::string(959, 'X'), 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(verify(key, message, c.signature), c.expected) << c.what;
    EXPECT_EQ(verify(testutil::toBytes("Jeff"), message, good), 0u);
}
