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
    for (int i = 0; i < 20; i++)
        bytes[i] = static_cast<unsigned char>(h[i / 4] >> (24 - 8 * (i % 4)));
    return testutil::toHex(bytes, 20);
}

/* The hex of an array from shs or fShsDigest, which is then released. */
std::string takeHex(uint32_t *h)
{
    const std::string hex = wordsHex(h);
    clib_free(h);
    return hex;
}

/* Feeds n bytes at data to a fresh context in pieces of the given sizes (the last piece takes the
 * rest), switching to a random engine before each piece when random is given. */
std::string piecewiseHex(const unsigned char *data, size_t n, const std::vector<size_t> &pieces,
                         std::mt19937 *random = nullptr)
{
    ShsContext ctx;
    shsInit(&ctx);
    size_t pos = 0;
    for (size_t i = 0; i <= pieces.size(); i++) {
        const size_t piece = i < pieces.size() ? pieces[i] : n - pos;
        if (random != nullptr)
            shsSelectEngine((*random)() % 2 ? SHS_ENGINE_SHA_NI : SHS_ENGINE_PORTABLE);
        shsUpdate(&ctx, data + pos, static_cast<uint32_t>(piece));
        pos += piece;
    }
    shsFinal(&ctx);
    return wordsHex(ctx.digest);
}

std::string generatedDigest(size_t n)
{
    for (const auto &row : testutil::readVectors("sha1_generated.txt"))
        if (std::stoul(row[0]) == n)
            return row[1];
    ADD_FAILURE() << "no generated digest for length " << n;
    return "";
}

struct Vector {
    Bytes message;
    std::string digest, where;
};

/* FIPS 180 (message times a repeat count), SHAVS short and long, and the generated digests of every
 * length 0..300 (all padding cases, one and two final blocks) and of long messages. */
std::vector<Vector> digestVectors()
{
    std::vector<Vector> out;
    for (const auto &row : testutil::readVectors("sha1_fips180.txt")) {
        const Bytes unit = testutil::fromHex(row[0]);
        Bytes message;
        for (unsigned long i = 0; i < std::stoul(row[1]); i++)
            message.insert(message.end(), unit.begin(), unit.end());
        out.push_back({message, row[2], row[0] + " x " + row[1]});
    }
    for (const char *file : {"sha1_shavs_short.txt", "sha1_shavs_long.txt"})
        for (const auto &row : testutil::readVectors(file))
            out.push_back({testutil::fromHex(row[0]), row[1], file + (": " + row[0])});
    for (const auto &row : testutil::readVectors("sha1_generated.txt"))
        out.push_back({testutil::generatedMessage(std::stoul(row[0])), row[1], "length " + row[0]});
    return out;
}

const ShsEngine startEngine = shsSelectedEngine();

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
                             return std::string(info.param == SHS_ENGINE_SHA_NI ? "ShaNi"
                                                                                : "Portable");
                         });

/* Every vector in every form: the word array, the 5-word number that signatures use (written as
 * bytes and as text; its sign is kept and a wider number shrinks to 5 words), and the least
 * significant byte first form of messageDigest, zero-filled past 20 bytes. */
TEST_P(Shs, Vectors)
{
    const std::vector<Vector> vectors = digestVectors();
    ASSERT_GT(vectors.size(), 3u + 65u + 64u + 320u);
    const Bytes wide(40, 0xFF);
    Bignum *number = itobig(7);
    number->sign = -1;
    for (const Vector &v : vectors) {
        testutil::ExactBuffer in(v.message);
        const uint32_t n = static_cast<uint32_t>(v.message.size());
        EXPECT_EQ(takeHex(shs(in.get(), n)), v.digest) << v.where;

        bigMessageDigest(in.get(), n, number);
        ASSERT_EQ(number->length, 5) << v.where;
        EXPECT_GE(number->space, 5);
        EXPECT_EQ(number->sign, -1);
        unsigned char raw[20];
        RSA_bigToBuf(number, 20, raw);
        EXPECT_EQ(testutil::toHex(raw, 20), v.digest) << v.where;
        char text[41];
        EXPECT_EQ(bigsprint(number, text), 40);
        EXPECT_EQ(std::string(text), v.digest) << v.where;
        bufToBig(wide.data(), 40, number); /* 10 words for the next round */

        if (n > 0xFFFF)
            continue;
        testutil::ExactBuffer out(Bytes(24, 0xAA));
        EXPECT_EQ(messageDigest(in.get(), static_cast<uint16_t>(n), out.get(), 24), 20);
        Bytes expected = testutil::fromHex(v.digest);
        std::reverse(expected.begin(), expected.end());
        expected.resize(24, 0);
        EXPECT_EQ(Bytes(out.get(), out.get() + 24), expected) << v.where;
    }
    freeBignum(number);
}

/* The block position lives in the context, so pieces of any size give the one-shot digest: split
 * at every point, at every alignment of the caller's buffer, byte by byte, and in pieces of many
 * sizes, last with the compression path changing between the pieces of one digest. */
TEST_P(Shs, PiecesEqualOneShot)
{
    const Bytes message = testutil::generatedMessage(300); /* 4 blocks and 44 bytes */
    const std::string whole = generatedDigest(300);
    for (size_t offset = 0; offset < 16; offset++) {
        Bytes padded(offset, 0xEE);
        padded.insert(padded.end(), message.begin(), message.end());
        testutil::ExactBuffer buf(padded);
        for (size_t split = 0; split <= 300; split++)
            EXPECT_EQ(piecewiseHex(buf.get() + offset, 300, {split}), whole)
                << split << "@" << offset;
    }
    testutil::ExactBuffer in(message);
    EXPECT_EQ(piecewiseHex(in.get(), 300, std::vector<size_t>(299, 1)), whole);
    std::mt19937 random(0x5A827999u);
    for (std::mt19937 *switching : {static_cast<std::mt19937 *>(nullptr), &random})
        for (size_t a = 1; a < 70; a += 3)
            for (size_t b = 1; b < 70; b += 5)
                EXPECT_EQ(piecewiseHex(in.get(), 300, {a, b, 0, a}, switching), whole)
                    << a << "," << b;
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

/* Around the 1024-byte read piece, and from the stream's current position on. */
TEST_P(Shs, FileDigest)
{
    for (size_t n : {0u, 1024u, 1025u, 3u * 1024u}) {
        testutil::ExactBuffer content(testutil::generatedMessage(n));
        const size_t skip = std::min<size_t>(n, 200);
        FILE *f = tmpfile();
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fwrite(content.get(), 1, n, f), n);
        rewind(f);
        EXPECT_EQ(takeHex(fShsDigest(f)), generatedDigest(n)) << n;
        fseek(f, static_cast<long>(skip), SEEK_SET);
        EXPECT_EQ(takeHex(fShsDigest(f)), takeHex(shs(content.get() + skip, n - skip))) << n;
        fclose(f);
    }
    EXPECT_EQ(fShsDigest(nullptr), nullptr);
}

/* A process starts on SHA-NI where the CPU has it; where it lacks it, asking for it changes
 * nothing. */
TEST(ShsEngines, SelectionFollowsTheCpu)
{
    const ShsEngine best =
        shsEngineAvailable(SHS_ENGINE_SHA_NI) ? SHS_ENGINE_SHA_NI : SHS_ENGINE_PORTABLE;
    EXPECT_EQ(startEngine, best);
    ASSERT_EQ(shsSelectEngine(SHS_ENGINE_PORTABLE), 1);
    EXPECT_EQ(shsSelectEngine(SHS_ENGINE_SHA_NI), best == SHS_ENGINE_SHA_NI ? 1 : 0);
    EXPECT_EQ(shsSelectedEngine(), best);
    shsSelectEngine(startEngine);
}
