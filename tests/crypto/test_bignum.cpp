#include "bignum.h"
#include "shs.h"
#include "testutil.h"
#include "wipe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

using testutil::Bytes;

namespace {

std::string sprintText(const Bignum *b)
{
    std::string text(8 * std::max(b->length, 0) + 1, 'X');
    const int n = bigsprint(b, &text[0]);
    EXPECT_EQ(static_cast<size_t>(n), strlen(text.c_str()));
    return text.substr(0, n);
}

std::string printed(const Bignum *b)
{
    char *text = nullptr;
    size_t n = 0;
    FILE *f = open_memstream(&text, &n);
    fBigPrint(b, f);
    fclose(f);
    const std::string s(text, n);
    free(text);
    return s;
}

/* A number of exactly as many words as given, top word first, untrimmed. */
Bignum *wordsNumber(std::vector<uint32_t> topFirst)
{
    Bignum *b = itobig(0);
    const Bytes wide(4 * topFirst.size(), 0xFF);
    bufToBig(wide.data(), static_cast<int32_t>(wide.size()), b);
    std::reverse_copy(topFirst.begin(), topFirst.end(), b->words);
    return b;
}

} // namespace

/* msb looks bytes up in a table, old_msb counts shifts: they agree for every byte value in every
 * byte position, with the bits below clear or set. */
TEST(Bignum, BitMeasures)
{
    EXPECT_EQ(msb(0), 0);
    EXPECT_EQ(old_msb(0), 1);
    EXPECT_EQ(old_msb(1), 1);
    EXPECT_EQ(old_msb(0x80000000u), 32);
    for (uint32_t i = 1; i < 256; i++)
        for (int shift : {0, 8, 16, 24}) {
            const uint32_t w = i << shift, filled = w | ((1u << shift) - 1);
            EXPECT_EQ(msb(static_cast<int32_t>(w)), old_msb(w)) << std::hex << w;
            EXPECT_EQ(msb(static_cast<int32_t>(filled)), old_msb(w)) << std::hex << filled;
        }
    Bignum *b = atobig("1000000000"); /* 2^36 */
    EXPECT_EQ(bigBits(b), 37);
    EXPECT_EQ(bigBytes(b), 8);
    EXPECT_EQ(bigBits(zero), 0);
    EXPECT_EQ(bigBytes(zero), 4);
    freeBignum(b);
}

/* Text is read from exact-size copies, so nothing past the NUL is read. Characters that are not
 * digits count as 0: 'g' (just past the table), the gaps next to the digit ranges, bytes of 0x80
 * and up. */
TEST(Bignum, HexText)
{
    const struct {
        const char *text, *value; /* value: bigsprint of the result */
    } cases[] = {
        {"", "00000000"},
        {"123456789", "00000001" "23456789"}, /* odd length: the first digit alone on top */
        {"0123456789abcdefABCDEF", "00012345" "6789abcd" "efabcdef"},
        {"000000000000001234", "00001234"}, /* zero words on top are dropped, keeping one */
        {"0000000000000000", "00000000"},
        {"g", "00000000"},
        {"1G2", "00000102"},
        {"xyz1", "00000001"},
        {" :@`/", "00000000"},
        {"\x80\xff\xc3\xa9", "00000000"},
    };
    for (const auto &c : cases) {
        testutil::ExactBuffer text(c.text, strlen(c.text) + 1);
        Bignum *b = atobig(text.chars());
        EXPECT_EQ(b->sign, 1);
        EXPECT_EQ(sprintText(b), c.value) << "text \"" << c.text << "\"";
        freeBignum(b);
    }
    Bignum *b = atobig(nullptr);
    EXPECT_EQ(sprintText(b), "00000000");
    freeBignum(b);

    /* Written out, every word in use counts, zero top words included; length 0 gives "". Printed,
     * the top word loses its leading zeros and the sign shows. */
    b = wordsNumber({0, 0, 0x1234, 0xABCDEF01u, 5});
    EXPECT_EQ(sprintText(b), "00000000" "00000000" "00001234" "abcdef01" "00000005");
    b->words[4] = 0xA;
    b->sign = -1;
    EXPECT_EQ(printed(b), "-a" "00000000" "00001234" "abcdef01" "00000005\n");
    b->length = 0;
    EXPECT_EQ(sprintText(b), "");
    freeBignum(b);
    freeBignum(nullptr); /* ignored */
}

/* Byte strings of every length 0..40 in both orders: each reader gives the value its order spells
 * (a round trip alone would not notice both orders swapped) and leaves the sign alone; each writer
 * gives the bytes back, with zero bytes in front (most significant first) or behind in a larger
 * buffer, and in a buffer of exactly the words in use. */
TEST(Bignum, ByteStrings)
{
    for (int32_t len = 0; len <= 40; len++) {
        Bytes bytes(len);
        for (int32_t i = 0; i < len; i++)
            bytes[i] = static_cast<unsigned char>(0x11 * (i % 15 + 1));
        const Bytes reversed(bytes.rbegin(), bytes.rend());
        testutil::ExactBuffer in(bytes);
        const int32_t words = std::max(1, (len + 3) / 4), size = 4 * words + 8;
        const std::string pad(8 * words - 2 * len, '0');
        Bytes zeros(size - len, 0), expected, out(size, 0xEE), exact(4 * words, 0xEE);

        Bignum *b = itobig(0xFFFFFFFFu);
        b->sign = -1;
        RSA_bufToBig(in.get(), len, b);
        EXPECT_EQ(sprintText(b), pad + testutil::toHex(bytes.data(), len)) << len;
        RSA_bigToBuf(b, size, out.data());
        expected = zeros;
        expected.insert(expected.end(), bytes.begin(), bytes.end());
        EXPECT_EQ(out, expected) << len;
        RSA_bigToBuf(b, 4 * words, exact.data());
        EXPECT_EQ(exact, Bytes(expected.begin() + 8, expected.end())) << len;

        bufToBig(in.get(), len, b);
        EXPECT_EQ(sprintText(b), pad + testutil::toHex(reversed.data(), len)) << len;
        bigToBuf(b, static_cast<uint32_t>(size), out.data());
        expected = bytes;
        expected.insert(expected.end(), zeros.begin(), zeros.end());
        EXPECT_EQ(out, expected) << len;
        EXPECT_EQ(b->sign, -1);
        freeBignum(b);
    }
}

TEST(Wipe, ClearsEveryByte)
{
    testutil::ExactBuffer secret(Bytes(37, 0xA5));
    secure_wipe(secret.get(), 37);
    EXPECT_EQ(Bytes(secret.get(), secret.get() + 37), Bytes(37, 0));
    secure_wipe(nullptr, 0);
}

/* Warnings return; every fatal path ends the process with status 1 and its message. */
TEST(BignumDeathTest, FatalReporter)
{
    testing::internal::CaptureStderr();
    handle_exception(2, "low on something");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "WARNING: low on something\n");

    Bignum *b = atobig("0102030405"); /* two words */
    unsigned char buffer[8] = {0};
    const struct {
        std::function<void()> call;
        const char *message;
    } cases[] = {
        {[&] { RSA_bigToBuf(b, 7, buffer); }, "RSAbigToBuf: buffer too small\\.\n"},
        {[&] { RSA_bigToBuf(b, -1, buffer); }, "RSAbigToBuf: buffer too small\\.\n"},
        {[&] { bigToBuf(b, 5, buffer); }, "BigToBuf: Buffer is too small\\.\n"},
        {[&] { messageDigest(buffer, 3, buffer, 7); }, "SHS Digest needs 20 bytes\n"},
        {[] { handle_exception(1, "custom"); }, "custom"},
    };
    for (const auto &c : cases)
        EXPECT_EXIT(c.call(), ::testing::ExitedWithCode(1),
                    std::string("^CRITICAL EXCEPTION: ") + c.message + " exiting\\.\n$");
    freeBignum(b);
}
