#include "bignum.h"
#include "lcg.h"
#include "qzutil.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

using testutil::Bytes;

namespace {

std::string upper(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

struct Signed {
    unsigned int rc;
    Bytes out; /* the whole output buffer after the call */
};

/* HmacSha1 over exact-size copies of message and key into an exact-size output buffer that starts
 * filled with 0xAA. */
Signed hmac(const Bytes &message, const Bytes &key, unsigned int outSize, int asText)
{
    testutil::ExactBuffer m(message), k(key);
    Bytes fill(outSize, 0xAA);
    testutil::ExactBuffer out(fill);
    const unsigned int rc =
        QZUtil::HmacSha1(m.get(), static_cast<unsigned int>(message.size()), k.get(),
                         static_cast<unsigned int>(key.size()), out.get(), outSize, asText);
    return {rc, Bytes(out.get(), out.get() + outSize)};
}

std::string textOf(const Signed &s) { return std::string(s.out.begin(), s.out.begin() + 40); }

unsigned int verify(const Bytes &key, const Bytes &message, const std::string &signature,
                    size_t signatureLen)
{
    testutil::ExactBuffer k(key), m(message), sig(signature.data(), signatureLen);
    return QZUtil::VerifySignatureHMAC(k.get(), static_cast<unsigned int>(key.size()), m.get(),
                                       static_cast<unsigned int>(message.size()), sig.get(),
                                       static_cast<unsigned int>(signatureLen));
}

/* Checks one published or generated value in every form: text, raw, created and verified. */
void checkValue(const Bytes &key, const Bytes &message, const std::string &macHex,
                const std::string &where)
{
    const Signed text = hmac(message, key, 41, 1);
    ASSERT_EQ(text.rc, 1u) << where;
    EXPECT_EQ(textOf(text), upper(macHex)) << where;
    EXPECT_EQ(text.out[40], 0) << where;

    const Signed raw = hmac(message, key, 20, 0);
    ASSERT_EQ(raw.rc, 1u) << where;
    EXPECT_EQ(raw.out, testutil::fromHex(macHex)) << where;

    EXPECT_EQ(verify(key, message, upper(macHex), 40), 1u) << where;
}

} // namespace

TEST(Hmac, Rfc2202)
{
    const auto rows = testutil::readVectors("hmac_rfc2202.txt");
    ASSERT_EQ(rows.size(), 7u);
    for (const auto &row : rows) {
        const Bytes key = testutil::fromHex(row[0]), message = testutil::fromHex(row[1]);
        if (key.size() <= 64) {
            checkValue(key, message, row[2], row[1]);
        } else {
            /* Keys longer than the block are refused, not hashed down. */
            const Signed s = hmac(message, key, 41, 1);
            EXPECT_EQ(s.rc, 0u) << row[1];
            EXPECT_EQ(s.out, Bytes(41, 0xAA)) << row[1];
            EXPECT_EQ(verify(key, message, upper(row[2]), 40), 0u) << row[1];
        }
    }
}

TEST(Hmac, NistCavs)
{
    const auto rows = testutil::readVectors("hmac_nist.txt");
    ASSERT_EQ(rows.size(), 45u);
    for (const auto &row : rows)
        checkValue(testutil::fromHex(row[0]), testutil::fromHex(row[1]), row[2], row[0]);
}

/* Every key length 0..64 against a spread of message lengths 1..300 (hmac and hashlib). */
TEST(Hmac, GeneratedGrid)
{
    const auto rows = testutil::readVectors("hmac_generated.txt");
    ASSERT_GT(rows.size(), 65u * 20u);
    size_t leadingZero = 0;
    for (const auto &row : rows) {
        const size_t k = std::stoul(row[0]), m = std::stoul(row[1]);
        checkValue(testutil::generatedKey(k), testutil::generatedMessage(m), row[2],
                   row[0] + " " + row[1]);
        leadingZero += row[2].compare(0, 2, "00") == 0;
    }
    /* Values whose first byte is zero keep their leading "00" (checked above). */
    EXPECT_GE(leadingZero, 1u);

    for (size_t m : {1u, 64u, 300u}) {
        const Signed s = hmac(testutil::generatedMessage(m), testutil::generatedKey(65), 41, 1);
        EXPECT_EQ(s.rc, 0u) << "key of 65 bytes, message " << m;
    }
}

TEST(Hmac, EmptyKeyIsSixtyFourZeroBytes)
{
    const Bytes message = testutil::toBytes("any message");
    const Signed empty = hmac(message, Bytes(), 41, 1), zeros = hmac(message, Bytes(64, 0), 41, 1);
    ASSERT_EQ(empty.rc, 1u);
    EXPECT_EQ(empty.out, zeros.out);
}

TEST(Hmac, RefusalsLeaveOutputUntouched)
{
    unsigned char messageBytes[8] = "message", keyBytes[66] = "key";
    struct Case {
        const char *what;
        const unsigned char *message;
        unsigned int messageLen;
        const unsigned char *key;
        unsigned int keyLen;
        bool nullOut;
        unsigned int outSize;
        int asText;
        unsigned int expected;
    };
    const Case cases[] = {
        {"text, 41 bytes", messageBytes, 7, keyBytes, 3, false, 41, 1, 1},
        {"text, 40 bytes", messageBytes, 7, keyBytes, 3, false, 40, 1, 0},
        {"text, large buffer", messageBytes, 7, keyBytes, 3, false, 100, 7, 1},
        {"raw, 20 bytes", messageBytes, 7, keyBytes, 3, false, 20, 0, 1},
        {"raw, 19 bytes", messageBytes, 7, keyBytes, 3, false, 19, 0, 0},
        {"raw, 0 bytes", messageBytes, 7, keyBytes, 3, false, 0, 0, 0},
        {"message length 0", messageBytes, 0, keyBytes, 3, false, 41, 1, 0},
        {"null message", nullptr, 7, keyBytes, 3, false, 41, 1, 0},
        {"null key", messageBytes, 7, nullptr, 3, false, 41, 1, 0},
        {"null key of length 0", messageBytes, 7, nullptr, 0, false, 41, 1, 0},
        {"null out", messageBytes, 7, keyBytes, 3, true, 41, 1, 0},
        {"key of 0 bytes", messageBytes, 7, keyBytes, 0, false, 41, 1, 1},
        {"key of 64 bytes", messageBytes, 7, keyBytes, 64, false, 41, 1, 1},
        {"key of 65 bytes", messageBytes, 7, keyBytes, 65, false, 41, 1, 0},
        {"key length 2^32-1", messageBytes, 7, keyBytes, 0xFFFFFFFFu, false, 41, 1, 0},
        {"message length 2^32-1", messageBytes, 0xFFFFFFFFu, keyBytes, 3, false, 41, 1, 0},
    };
    for (const Case &c : cases) {
        const int32_t numbers = bigNumsAllocated;
        Bytes fill(c.outSize, 0xAA);
        testutil::ExactBuffer out(fill);
        const unsigned int rc = QZUtil::HmacSha1(c.message, c.messageLen, c.key, c.keyLen,
                                                 c.nullOut ? nullptr : out.get(), c.outSize,
                                                 c.asText);
        EXPECT_EQ(rc, c.expected) << c.what;
        EXPECT_EQ(bigNumsAllocated, numbers) << c.what;
        const Bytes after(out.get(), out.get() + c.outSize);
        if (rc == 0) {
            EXPECT_EQ(after, fill) << c.what;
            continue;
        }
        /* Exactly 41 (text) or 20 (raw) bytes are written. */
        const size_t written = c.asText ? 41 : 20;
        EXPECT_EQ(Bytes(after.begin() + written, after.end()), Bytes(c.outSize - written, 0xAA))
            << c.what;
        if (c.asText) {
            EXPECT_EQ(after[40], 0) << c.what;
            for (size_t i = 0; i < 40; i++)
                EXPECT_TRUE(isdigit(after[i]) || (after[i] >= 'A' && after[i] <= 'F')) << c.what;
        }
    }
}

TEST(Hmac, CreateSignatureTakesTheKeyFirst)
{
    const Bytes key = testutil::toBytes("Jefe"),
                message = testutil::toBytes("what do ya want for nothing?");
    testutil::ExactBuffer k(key), m(message);
    unsigned char signature[41];
    ASSERT_EQ(QZUtil::CreateSignatureHMAC(k.get(), 4, m.get(), 28, signature, 41), 1u);
    EXPECT_STREQ(reinterpret_cast<char *>(signature), "EFFCDF6AE5EB2FA2D27416D5F184DF9C259A7C79");
    EXPECT_EQ(QZUtil::CreateSignatureHMAC(k.get(), 4, m.get(), 28, signature, 40), 0u);
}

TEST(Hmac, VerifyIsExactAndCaseSensitive)
{
    const Bytes key = testutil::toBytes("Jefe"),
                message = testutil::toBytes("what do ya want for nothing?");
    const std::string good = "EFFCDF6AE5EB2FA2D27416D5F184DF9C259A7C79";
    std::string withNul = good;
    withNul.push_back('\0');
    std::string flipped = good;
    flipped[39] = '8';
    std::string lower = good;
    for (char &c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));

    struct Case {
        const char *what;
        std::string signature;
        size_t length;
        unsigned int expected;
    };
    const Case cases[] = {
        {"correct", good, 40, 1},
        {"with its NUL", withNul, 41, 1},
        {"41st byte not NUL", good + "0", 41, 0},
        {"lower case", lower, 40, 0},
        {"39 characters", good.substr(0, 39), 39, 0},
        {"empty", "", 0, 0},
        {"last digit changed", flipped, 40, 0},
        {"42 bytes", withNul + "X", 42, 0},
        {"1000 bytes", withNul + std::string(959, 'X'), 1000, 0},
    };
    const int32_t numbers = bigNumsAllocated;
    for (const Case &c : cases)
        EXPECT_EQ(verify(key, message, c.signature, c.length), c.expected) << c.what;
    EXPECT_EQ(verify(testutil::toBytes("Jeff"), message, good, 40), 0u);
    EXPECT_EQ(verify(Bytes(65, 'J'), message, good, 40), 0u);
    EXPECT_EQ(bigNumsAllocated, numbers);

    testutil::ExactBuffer k(key), m(message), sig(good.data(), 40);
    EXPECT_EQ(QZUtil::VerifySignatureHMAC(k.get(), 4, m.get(), 0, sig.get(), 40), 0u);
    EXPECT_EQ(QZUtil::VerifySignatureHMAC(k.get(), 4, nullptr, 28, sig.get(), 40), 0u);
    EXPECT_EQ(QZUtil::VerifySignatureHMAC(nullptr, 4, m.get(), 28, sig.get(), 40), 0u);
    EXPECT_EQ(QZUtil::VerifySignatureHMAC(k.get(), 4, m.get(), 28, nullptr, 40), 0u);
    EXPECT_EQ(QZUtil::VerifySignatureHMAC(k.get(), 4, m.get(), 28, sig.get(), 40), 1u);
}

TEST(Hmac, NumbersAreReleasedAfterEverySignature)
{
    const int32_t numbers = bigNumsAllocated;
    for (size_t m = 1; m <= 130; m += 43) {
        EXPECT_EQ(hmac(testutil::generatedMessage(m), testutil::generatedKey(20), 41, 1).rc, 1u);
        EXPECT_EQ(bigNumsAllocated, numbers);
        EXPECT_EQ(hmac(testutil::generatedMessage(m), testutil::generatedKey(20), 20, 0).rc, 1u);
        EXPECT_EQ(bigNumsAllocated, numbers);
    }
}
