/* SPDX-License-Identifier: Apache-2.0 */
#include "lcg.h"
#include "shs.h"
#include "shs_internal.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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

/* The hex of an array from shs, which is then released. */
std::string takeHex(uint32_t *h)
{
    const std::string hex = wordsHex(h);
    clib_free(h);
    return hex;
}

/* Feeds n bytes at data to a fresh context in pieces of the given sizes (the last piece takes the
 * rest), with a second context fed the same pieces in between, switching to a random engine
 * before each piece when random is given. Both must end on the same digest. */
std::string piecewiseHex(const unsigned char *data, size_t n, const std::vector<size_t> &pieces,
                         std::mt19937 *random = nullptr)
{
    ShsContext ctx[2];
    shsInit(&ctx[0]);
    shsInit(&ctx[1]);
    size_t pos = 0;
    for (size_t i = 0; i <= pieces.size(); i++) {
        const size_t piece = i < pieces.size() ? pieces[i] : n - pos;
        if (random != nullptr)
            shsSelectEngine((*random)() % 2 ? SHS_ENGINE_SHA_NI : SHS_ENGINE_PORTABLE);
        for (ShsContext &c : ctx)
            shsUpdate(&c, data + pos, static_cast<uint32_t>(piece));
        pos += piece;
    }
    shsFinal(&ctx[1]);
    shsFinal(&ctx[0]);
    const std::string hex = wordsHex(ctx[0].digest);
    return hex == wordsHex(ctx[1].digest) ? hex : "contexts differ";
}

std::string generatedDigest(size_t n)
{
    for (const auto &row : testutil::readVectors("sha1_generated.txt"))
        if (std::stoul(row[0]) == n)
            return row[1];
    ADD_FAILURE() << "no generated digest for length " << n;
    return "";
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

/* FIPS 180 (message times a repeat count), SHAVS short and long, and the generated digests of
 * every length 0..300 (all padding cases, one and two final blocks) and of long messages; each
 * also read from a stream (in pieces of 1024 bytes) and written as 20 bytes least significant
 * first with the rest of the buffer cleared. (The 5-word number that signatures use is checked
 * through the HMAC vectors.) */
TEST_P(Shs, Vectors)
{
    size_t count = 0;
    for (const std::string file :
         {"sha1_fips180.txt", "sha1_shavs_short.txt", "sha1_shavs_long.txt", "sha1_generated.txt"})
        for (const auto &row : testutil::readVectors(file)) {
            count++;
            const Bytes unit = file == "sha1_generated.txt"
                                   ? testutil::generatedMessage(std::stoul(row[0]))
                                   : testutil::fromHex(row[0]);
            Bytes message = unit;
            for (size_t i = 1; row.size() == 3 && i < std::stoul(row[1]); i++) /* FIPS 180 */
                message.insert(message.end(), unit.begin(), unit.end());
            testutil::ExactBuffer in(message);
            EXPECT_EQ(takeHex(shs(in.get(), static_cast<uint32_t>(in.n))), row.back()) << row[0];
            FILE *stream = tmpfile();
            if (!message.empty()) /* fwrite's buffer must not be null, even for no bytes */
                fwrite(message.data(), 1, message.size(), stream);
            rewind(stream);
            EXPECT_EQ(takeHex(fShsDigest(stream)), row.back()) << row[0];
            fclose(stream);
            unsigned char out[24];
            memset(out, 0xEE, sizeof out);
            if (in.n <= UINT16_MAX && messageDigest(in.get(), static_cast<uint16_t>(in.n), out, 24) == 20) {
                std::reverse(out, out + 20);
                EXPECT_EQ(testutil::toHex(out, 24), row.back() + "00000000") << row[0];
            }
        }
    EXPECT_GT(count, 3u + 65u + 64u + 320u);
    EXPECT_EQ(fShsDigest(nullptr), nullptr);
}

/* The block position lives in each context, so pieces of any size give the one-shot digest: split
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
