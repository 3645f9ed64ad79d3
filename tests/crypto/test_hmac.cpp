#include "lcg.h"
#include "qzutil.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <string>

using testutil::Bytes;

namespace {

enum Form { RAW, TEXT, CREATE }; /* HmacSha1 raw or as text, CreateSignatureHMAC (key first) */

struct Signed {
    unsigned int rc;
    Bytes out; /* the whole output buffer after the call */
};

/* Signs exact-size copies of message and key into an exact-size buffer of 20 (raw) or 41 bytes
 * that starts filled with 0xAA. */
Signed sign(Form form, const Bytes &message, const Bytes &key)
{
    const unsigned int size = form == RAW ? 20 : 41, ml = static_cast<unsigned int>(message.size()),
                       kl = static_cast<unsigned int>(key.size());
    testutil::ExactBuffer m(message), k(key), out(Bytes(size, 0xAA));
    const unsigned int rc =
        form == CREATE ? QZUtil::CreateSignatureHMAC(k.get(), kl, m.get(), ml, out.get(), size)
                       : QZUtil::HmacSha1(m.get(), ml, k.get(), kl, out.get(), size, form == TEXT);
    return {rc, Bytes(out.get(), out.get() + out.n)};
}

unsigned int verify(const Bytes &key, const Bytes &message, const std::string &signature,
                    size_t signatureLen)
{
    testutil::ExactBuffer k(key), m(message), sig(signature.data(), signatureLen);
    return QZUtil::VerifySignatureHMAC(k.get(), static_cast<unsigned int>(key.size()), m.get(),
                                       static_cast<unsigned int>(message.size()), sig.get(),
                                       static_cast<unsigned int>(signatureLen));
}

/* One value in every form: raw, upper-case text with its NUL (also through the key-first
 * CreateSignatureHMAC), and verified. Keys longer than the 64-byte block are refused, not hashed
 * down, and the output is left untouched. */
void checkValue(const Bytes &key, const Bytes &message, const std::string &macHex,
                const std::string &where)
{
    const bool refused = key.size() > 64;
    const Bytes raw = testutil::fromHex(macHex);
    const std::string text = testutil::toHex(raw.data(), raw.size(), true);
    for (Form form : {RAW, TEXT, CREATE}) {
        Bytes expected = form == RAW ? raw : testutil::toBytes(text + '\0');
        if (refused)
            expected.assign(expected.size(), 0xAA);
        const Signed s = sign(form, message, key);
        EXPECT_EQ(s.rc, refused ? 0u : 1u) << where << ", form " << form;
        EXPECT_EQ(s.out, expected) << where << ", form " << form;
    }
    EXPECT_EQ(verify(key, message, text, 40), refused ? 0u : 1u) << where;
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

TEST(Hmac, RefusalsLeaveOutputUntouched)
{
    unsigned char m[8] = "message", k[66] = "key";
    const struct {
        const char *what;
        const unsigned char *message, *key;
        unsigned int messageLen, keyLen;
        bool nullOut;
        unsigned int outSize;
        int asText;
        unsigned int expected;
    } cases[] = {
        {"text, 40 bytes", m, k, 7, 3, false, 40, 1, 0},
        {"text, large buffer", m, k, 7, 3, false, 100, 7, 1},
        {"raw, large buffer", m, k, 7, 3, false, 100, 0, 1},
        {"raw, 19 bytes", m, k, 7, 3, false, 19, 0, 0},
        {"raw, 0 bytes", m, k, 7, 3, false, 0, 0, 0},
        {"message length 0", m, k, 0, 3, false, 41, 1, 0},
        {"null message", nullptr, k, 7, 3, false, 41, 1, 0},
        {"null key", m, nullptr, 7, 3, false, 41, 1, 0},
        {"null key of length 0", m, nullptr, 7, 0, false, 41, 1, 0},
        {"null out", m, k, 7, 3, true, 41, 1, 0},
        {"key of 65 bytes", m, k, 7, 65, false, 41, 1, 0},
        {"key length 2^32-1", m, k, 7, 0xFFFFFFFFu, false, 41, 1, 0},
        {"message length 2^32-1", m, k, 0xFFFFFFFFu, 3, false, 41, 1, 0},
    };
    for (const auto &c : cases) {
        testutil::ExactBuffer out(Bytes(c.outSize, 0xAA));
        const unsigned int rc = QZUtil::HmacSha1(c.message, c.messageLen, c.key, c.keyLen,
                                                 c.nullOut ? nullptr : out.get(), c.outSize,
                                                 c.asText);
        EXPECT_EQ(rc, c.expected) << c.what;
        /* Exactly 41 (text, NUL last) or 20 (raw) bytes are written, or none on a refusal. */
        const size_t written = rc == 0 ? 0 : c.asText ? 41 : 20;
        EXPECT_EQ(Bytes(out.get() + written, out.get() + c.outSize),
                  Bytes(c.outSize - written, 0xAA))
            << c.what;
        EXPECT_TRUE(written != 41 || out.get()[40] == 0) << c.what;
    }
}

TEST(Hmac, VerifyIsExactAndCaseSensitive)
{
    const Bytes key = testutil::toBytes("Jefe"),
                message = testutil::toBytes("what do ya want for nothing?");
    const std::string good = "EFFCDF6AE5EB2FA2D27416D5F184DF9C259A7C79",
                      lower = "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79",
                      withNul = good + std::string(1, '\0');
    const struct {
        const char *what;
        std::string signature;
        size_t length;
        unsigned int expected;
    } cases[] = {
        {"correct", good, 40, 1},
        {"with its NUL", withNul, 41, 1},
        {"41st byte not NUL", good + "0", 41, 0},
        {"lower case", lower, 40, 0},
        {"39 characters", good.substr(0, 39), 39, 0},
        {"empty", "", 0, 0},
        {"last digit changed", good.substr(0, 39) + "8", 40, 0},
        {"42 bytes", withNul + "X", 42, 0},
        {"1000 bytes", withNul + std::string(959, 'X'), 1000, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(verify(key, message, c.signature, c.length), c.expected) << c.what;
    EXPECT_EQ(verify(testutil::toBytes("Jeff"), message, good, 40), 0u);

    testutil::ExactBuffer k(key), m(message), small(Bytes(40, 0xAA));
    EXPECT_EQ(QZUtil::VerifySignatureHMAC(k.get(), 4, m.get(), 28, nullptr, 40), 0u);
    EXPECT_EQ(QZUtil::CreateSignatureHMAC(k.get(), 4, m.get(), 28, small.get(), 40), 0u);
}
