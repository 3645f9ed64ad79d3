#include "bignum.h"
#include "lcg.h"
#include "shs.h"
#include "shs_internal.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

using testutil::Bytes;

namespace {

/* Standard byte form of H0..H4 (each word most significant byte first), as hex. */
std::string wordsHex(const uint32_t *h)
{
    unsigned char bytes[20];
    for (int i = 0; i < 5; i++)
        for (int j = 0; j < 4; j++)
            bytes[4 * i + j] = static_cast<unsigned char>(h[i] >> (24 - 8 * j));
    return testutil::toHex(bytes, 20);
}

std::string shsHex(const Bytes &message)
{
    testutil::ExactBuffer in(message);
    uint32_t *h = shs(in.get(), static_cast<uint32_t>(message.size()));
    const std::string hex = wordsHex(h);
    clib_free(h);
    return hex;
}

/* Feeds message to a fresh context in pieces of the given sizes (the last piece takes the rest). */
std::string piecewiseHex(const Bytes &message, const std::vector<size_t> &pieces)
{
    testutil::ExactBuffer in(message);
    ShsContext ctx;
    shsInit(&ctx);
    size_t pos = 0;
    for (size_t piece : pieces) {
        shsUpdate(&ctx, in.get() + pos, static_cast<uint32_t>(piece));
        pos += piece;
    }
    shsUpdate(&ctx, in.get() + pos, static_cast<uint32_t>(message.size() - pos));
    shsFinal(&ctx);
    return wordsHex(ctx.digest);
}

std::string fileDigestHex(const Bytes &content, long skip = 0)
{
    FILE *f = tmpfile();
    EXPECT_NE(f, nullptr);
    if (f == nullptr)
        return "";
    if (!content.empty()) {
        EXPECT_EQ(fwrite(content.data(), 1, content.size(), f), content.size());
    }
    fseek(f, skip, SEEK_SET);
    uint32_t *h = fShsDigest(f);
    const std::string hex = wordsHex(h);
    clib_free(h);
    fclose(f);
    return hex;
}

/* The generated digests by message length. */
std::string generatedDigest(size_t n)
{
    for (const auto &row : testutil::readVectors("sha1_generated.txt"))
        if (std::stoul(row[0]) == n)
            return row[1];
    ADD_FAILURE() << "no generated digest for length " << n;
    return "";
}

/* Digest of n bytes at data fed in pieces of random sizes (0..200 bytes), each piece on a random
 * engine when switchEngines is set (else on the selected one): the context's words after
 * shsFinal. */
std::string randomPiecesHex(const unsigned char *data, size_t n, std::mt19937 &random,
                            bool switchEngines)
{
    ShsContext ctx;
    shsInit(&ctx);
    size_t pos = 0;
    while (pos < n) {
        const size_t piece =
            std::min(n - pos, std::uniform_int_distribution<size_t>(0, 200)(random));
        if (switchEngines)
            shsSelectEngine(random() % 2 ? SHS_ENGINE_SHA_NI : SHS_ENGINE_PORTABLE);
        shsUpdate(&ctx, data + pos, static_cast<uint32_t>(piece));
        pos += piece;
    }
    shsFinal(&ctx);
    return wordsHex(ctx.digest);
}

/* The engine the process started on, taken before any test selects one. */
const ShsEngine startEngine = shsSelectedEngine();

const char *engineName(ShsEngine engine)
{
    return engine == SHS_ENGINE_SHA_NI ? "ShaNi" : "Portable";
}

/* Runs each test once per compression path, skipping the SHA-NI run where the CPU lacks it, and
 * puts the process back on the path it started on afterwards. */
class Shs : public ::testing::TestWithParam<ShsEngine> {
protected:
    void SetUp() override
    {
        if (!shsEngineAvailable(GetParam()))
            GTEST_SKIP() << "this CPU has no SHA extensions";
        ASSERT_EQ(shsSelectEngine(GetParam()), 1);
    }
    void TearDown() override { shsSelectEngine(startEngine); }
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Engines, Shs, ::testing::Values(SHS_ENGINE_PORTABLE, SHS_ENGINE_SHA_NI),
                         [](const ::testing::TestParamInfo<ShsEngine> &info) {
                             return std::string(engineName(info.param));
                         });

TEST_P(Shs, PublishedVectors)
{
    for (const auto &row : testutil::readVectors("sha1_fips180.txt")) {
        const Bytes unit = testutil::fromHex(row[0]);
        Bytes message;
        for (unsigned long i = 0; i < std::stoul(row[1]); i++)
            message.insert(message.end(), unit.begin(), unit.end());
        EXPECT_EQ(shsHex(message), row[2]) << row[0] << " x " << row[1];
    }
    size_t cases = 0;
    for (const char *file : {"sha1_shavs_short.txt", "sha1_shavs_long.txt"}) {
        for (const auto &row : testutil::readVectors(file)) {
            EXPECT_EQ(shsHex(testutil::fromHex(row[0])), row[1]) << file << ": " << row[0];
            cases++;
        }
    }
    EXPECT_EQ(cases, 65u + 64u);
}

/* Every length 0..300 (all padding cases, one and two final blocks) and long messages, against
 * hashlib; also through the number form that signatures use. */
TEST_P(Shs, GeneratedVectorsAllForms)
{
    const auto rows = testutil::readVectors("sha1_generated.txt");
    ASSERT_GT(rows.size(), 320u);
    Bignum *number = itobig(0);
    for (const auto &row : rows) {
        const size_t n = std::stoul(row[0]);
        const Bytes message = testutil::generatedMessage(n);
        EXPECT_EQ(shsHex(message), row[1]) << "length " << n;

        testutil::ExactBuffer in(message);
        bigMessageDigest(in.get(), static_cast<uint32_t>(n), number);
        ASSERT_EQ(number->length, 5);
        unsigned char raw[20];
        RSA_bigToBuf(number, 20, raw);
        EXPECT_EQ(testutil::toHex(raw, 20), row[1]) << "length " << n;
        char text[41];
        EXPECT_EQ(bigsprint(number, text), 40);
        EXPECT_EQ(std::string(text), row[1]) << "length " << n;
    }
    freeBignum(number);
}

TEST_P(Shs, PiecesUnderTheCallingRuleEqualOneShot)
{
    const Bytes message = testutil::generatedMessage(300); /* 4 blocks and 44 bytes */
    const std::string whole = generatedDigest(300);
    for (size_t first = 0; first <= 4 * 64; first += 64)
        for (size_t second = 0; first + second <= 4 * 64; second += 64)
            EXPECT_EQ(piecewiseHex(message, {first, second}), whole) << first << "+" << second;
    EXPECT_EQ(piecewiseHex(message, {64, 64, 64, 64}), whole);
}

/* The block position lives in the context, so pieces of any size give the same digest. */
TEST_P(Shs, PiecesOfAnySizeEqualOneShot)
{
    const Bytes message = testutil::generatedMessage(300);
    const std::string whole = generatedDigest(300);
    for (size_t split = 0; split <= message.size(); split++)
        EXPECT_EQ(piecewiseHex(message, {split}), whole) << "split at " << split;
    for (size_t a = 1; a < 70; a += 3)
        for (size_t b = 1; b < 70; b += 5)
            EXPECT_EQ(piecewiseHex(message, {a, b, 0, a}), whole) << a << "," << b;
    EXPECT_EQ(piecewiseHex(message, std::vector<size_t>(299, 1)), whole);
}

TEST_P(Shs, InterleavedContextsAreIndependent)
{
    const Bytes m1 = testutil::generatedMessage(200), m2 = testutil::generatedMessage(150);
    ShsContext c1, c2;
    shsInit(&c1);
    shsInit(&c2);
    shsUpdate(&c1, m1.data(), 7);
    shsUpdate(&c2, m2.data(), 101);
    shsUpdate(&c1, m1.data() + 7, 193);
    shsUpdate(&c2, m2.data() + 101, 49);
    shsFinal(&c2);
    shsFinal(&c1);
    EXPECT_EQ(wordsHex(c1.digest), generatedDigest(200));
    EXPECT_EQ(wordsHex(c2.digest), generatedDigest(150));

    /* A finished context started again gives a fresh digest. */
    shsInit(&c1);
    shsUpdate(&c1, m2.data(), 150);
    shsFinal(&c1);
    EXPECT_EQ(wordsHex(c1.digest), generatedDigest(150));
}

TEST_P(Shs, FileDigest)
{
    for (size_t n : {0u, 1024u, 1025u, 3u * 1024u})
        EXPECT_EQ(fileDigestHex(testutil::generatedMessage(n)), generatedDigest(n)) << n;

    /* The stream is digested from its current position on. */
    const Bytes content = testutil::generatedMessage(1500);
    const Bytes rest(content.begin() + 200, content.end());
    EXPECT_EQ(fileDigestHex(content, 200), shsHex(rest));

    EXPECT_EQ(fShsDigest(nullptr), nullptr);
}

TEST_P(Shs, MessageDigestWritesLeastSignificantByteFirst)
{
    const Bytes message = testutil::generatedMessage(100);
    const Bytes standard = testutil::fromHex(generatedDigest(100));
    for (uint16_t outSize : {uint16_t(20), uint16_t(24)}) {
        Bytes out(outSize, 0xAA);
        testutil::ExactBuffer buf(out);
        EXPECT_EQ(messageDigest(message.data(), 100, buf.get(), outSize), 20);
        for (int i = 0; i < 20; i++)
            EXPECT_EQ(buf.get()[i], standard[19 - i]) << "byte " << i;
        for (int i = 20; i < outSize; i++)
            EXPECT_EQ(buf.get()[i], 0) << "byte " << i;
    }
}

TEST_P(Shs, DigestNumberKeepsSignAndGrowsSpace)
{
    const Bytes message = testutil::generatedMessage(64);
    const std::string expected = generatedDigest(64);
    char text[41];

    Bignum *small = itobig(7);
    small->sign = -1;
    bigMessageDigest(message.data(), 64, small);
    EXPECT_EQ(small->sign, -1);
    EXPECT_GE(small->space, 5);
    bigsprint(small, text);
    EXPECT_EQ(std::string(text), expected);
    freeBignum(small);

    /* A number with more words than 5 is reused as it is, and still gives exactly 5 words. */
    Bignum *large = itobig(0);
    const Bytes wide(40, 0xFF);
    bufToBig(wide.data(), 40, large);
    ASSERT_EQ(large->space, 10);
    bigMessageDigest(message.data(), 64, large);
    EXPECT_EQ(large->length, 5);
    EXPECT_EQ(large->space, 10);
    bigsprint(large, text);
    EXPECT_EQ(std::string(text), expected);
    freeBignum(large);
}

TEST(ShsEngines, SelectionFollowsTheCpu)
{
    const int shaNi = shsEngineAvailable(SHS_ENGINE_SHA_NI);
    EXPECT_EQ(startEngine, shaNi ? SHS_ENGINE_SHA_NI : SHS_ENGINE_PORTABLE);
    EXPECT_EQ(shsEngineAvailable(SHS_ENGINE_PORTABLE), 1);
    ASSERT_EQ(shsSelectEngine(SHS_ENGINE_PORTABLE), 1);
    EXPECT_EQ(shsSelectedEngine(), SHS_ENGINE_PORTABLE);
    /* Where the CPU lacks SHA-NI, asking for it changes nothing. */
    EXPECT_EQ(shsSelectEngine(SHS_ENGINE_SHA_NI), shaNi);
    EXPECT_EQ(shsSelectedEngine(), shaNi ? SHS_ENGINE_SHA_NI : SHS_ENGINE_PORTABLE);
    shsSelectEngine(startEngine);
}

/* Random lengths 0..4096 at every alignment of the caller's buffer: the SHA-NI path gives the
 * portable path's digest in one call, in pieces of random sizes, and with the path changing
 * between pieces of one digest. */
TEST(ShsEngines, ShaNiAgreesWithPortable)
{
    if (!shsEngineAvailable(SHS_ENGINE_SHA_NI))
        GTEST_SKIP() << "this CPU has no SHA extensions";
    std::mt19937 random(0x5A827999u);
    for (uint32_t round = 0; round < 400; round++) {
        const size_t n = std::uniform_int_distribution<size_t>(0, 4096)(random);
        const size_t offset = round % 16;
        Bytes padded(offset, 0xEE);
        const Bytes message = testutil::lcgBytes(round, n);
        padded.insert(padded.end(), message.begin(), message.end());
        testutil::ExactBuffer buf(padded);
        const unsigned char *data = buf.get() + offset;

        ASSERT_EQ(shsSelectEngine(SHS_ENGINE_PORTABLE), 1);
        uint32_t *h = shs(data, static_cast<uint32_t>(n));
        const std::string expected = wordsHex(h);
        clib_free(h);
        EXPECT_EQ(randomPiecesHex(data, n, random, false), expected) << "portable pieces, " << n;

        ASSERT_EQ(shsSelectEngine(SHS_ENGINE_SHA_NI), 1);
        h = shs(data, static_cast<uint32_t>(n));
        EXPECT_EQ(wordsHex(h), expected) << "length " << n << " offset " << offset;
        clib_free(h);
        EXPECT_EQ(randomPiecesHex(data, n, random, false), expected) << "SHA-NI pieces, " << n;
        EXPECT_EQ(randomPiecesHex(data, n, random, true), expected) << "mixed pieces, " << n;
    }
    shsSelectEngine(startEngine);
}

TEST(ShsDeathTest, MessageDigestNeedsTwentyBytes)
{
    unsigned char out[19];
    const unsigned char data[3] = {'a', 'b', 'c'};
    EXPECT_EXIT(messageDigest(data, 3, out, 19), ::testing::ExitedWithCode(1),
                "^CRITICAL EXCEPTION: SHS Digest needs 20 bytes\n exiting\\.\n$");
}
