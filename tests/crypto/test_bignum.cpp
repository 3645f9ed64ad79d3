#include "bignum.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using testutil::Bytes;

namespace {

std::string sprintText(const Bignum *b)
{
    std::string text(8 * (b->length > 0 ? b->length : 0) + 1, 'X');
    const int n = bigsprint(b, &text[0]);
    EXPECT_EQ(text[n], '\0');
    EXPECT_EQ(static_cast<size_t>(n), strlen(text.c_str()));
    return text.substr(0, n);
}

std::string printed(const Bignum *b)
{
    FILE *f = tmpfile();
    EXPECT_NE(f, nullptr);
    if (f == nullptr)
        return "";
    fBigPrint(b, f);
    rewind(f);
    char line[256] = {0};
    const size_t n = fread(line, 1, sizeof(line) - 1, f);
    fclose(f);
    return std::string(line, n);
}

/* A number of exactly `words` words with the given values, top word first, untrimmed. */
Bignum *wordsNumber(std::vector<uint32_t> topFirst)
{
    Bignum *b = itobig(0);
    Bytes wide(4 * topFirst.size(), 0xFF);
    bufToBig(wide.data(), static_cast<int32_t>(wide.size()), b);
    b->length = static_cast<int32_t>(topFirst.size());
    for (size_t i = 0; i < topFirst.size(); i++)
        b->words[topFirst.size() - 1 - i] = topFirst[i];
    return b;
}

} // namespace

TEST(Bignum, RecordsAreCounted)
{
    const int32_t start = bigNumsAllocated;
    Bignum *a = itobig(5), *b = itobig(0xFFFFFFFFu);
    EXPECT_EQ(bigNumsAllocated, start + 2);
    EXPECT_EQ(a->sign, 1);
    EXPECT_EQ(a->length, 1);
    EXPECT_EQ(a->space, 1);
    EXPECT_EQ(b->words[0], 0xFFFFFFFFu);
    freeBignum(a);
    EXPECT_EQ(bigNumsAllocated, start + 1);
    Bignum *c = atobig("123");
    EXPECT_EQ(bigNumsAllocated, start + 2);
    freeBignum(b);
    freeBignum(c);
    freeBignum(nullptr);
    EXPECT_EQ(bigNumsAllocated, start);
}

TEST(Bignum, BitMeasures)
{
    struct Case {
        uint32_t word;
        int msbValue, oldMsb;
    };
    const Case cases[] = {
        {0, 0, 1},           {1, 1, 1},           {2, 2, 2},          {3, 2, 2},
        {4, 3, 3},           {0xFF, 8, 8},        {0x100, 9, 9},      {0xFFFF, 16, 16},
        {0x10000, 17, 17},   {0x00FFFFFF, 24, 24}, {0x01000000, 25, 25}, {0x7FFFFFFF, 31, 31},
        {0x80000000u, 32, 32}, {0xFFFFFFFFu, 32, 32},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(msb(static_cast<int32_t>(c.word)), c.msbValue) << std::hex << c.word;
        EXPECT_EQ(old_msb(c.word), c.oldMsb) << std::hex << c.word;
    }
    for (int i = 0; i < 256; i++)
        EXPECT_EQ(msb_table8[i], msb(i)) << i;

    Bignum *b = atobig("1000000000"); /* 2^36 */
    EXPECT_EQ(bigBits(b), 37);
    EXPECT_EQ(bigBytes(b), 8);
    EXPECT_EQ(bigBits(zero), 0);
    EXPECT_EQ(bigBytes(zero), 4);
    EXPECT_EQ(even(b), 1);
    EXPECT_EQ(odd(b), 0);
    EXPECT_EQ(odd(one), 1);
    EXPECT_EQ(even(one), 0);
    EXPECT_EQ(bigTest(b), 1);
    b->sign = -1;
    EXPECT_EQ(bigTest(b), -1);
    freeBignum(b);
}

TEST(Bignum, Trim)
{
    Bignum *b = wordsNumber({0, 0, 7});
    trim(b);
    EXPECT_EQ(b->length, 1);
    EXPECT_EQ(b->words[0], 7u);
    freeBignum(b);
    b = wordsNumber({0, 0, 0});
    trim(b);
    EXPECT_EQ(b->length, 1);
    freeBignum(b);
}

TEST(Bignum, HexTextIn)
{
    struct Case {
        const char *text;
        const char *value; /* bigsprint of the result */
    };
    const Case cases[] = {
        {"", "00000000"},
        {"abc", "00000abc"}, /* odd length: the first digit alone in the top byte */
        {"ABC", "00000abc"},
        {"aBc", "00000abc"},
        {"fF", "000000ff"},
        {"0123456789abcdefABCDEF", "00012345" "6789abcd" "efabcdef"},
        {"123456789", "00000001" "23456789"},
        {"0000000000000001", "00000001"}, /* leading zeros are trimmed */
        {"deadbeefcafe", "0000dead" "beefcafe"},
        /* Not digits: every other character counts as 0, including 'g' (just past the table),
         * high codes and bytes of 0x80 and up. */
        {"g", "00000000"},
        {"zz", "00000000"},
        {"xyz1", "00000001"},
        {"1G2", "00000102"},
        {"~\x7f", "00000000"},
        {"\x80\xff\xc3\xa9", "00000000"},
        {"\xff" "1", "00000001"},
        {" :@`/", "00000000"},
    };
    for (const Case &c : cases) {
        /* Exact-size copy: nothing past the NUL is read. */
        testutil::ExactBuffer text(c.text, strlen(c.text) + 1);
        Bignum *b = atobig(text.chars());
        EXPECT_EQ(b->sign, 1);
        EXPECT_EQ(sprintText(b), c.value) << "text \"" << c.text << "\"";
        freeBignum(b);
    }
    Bignum *b = atobig(nullptr);
    EXPECT_EQ(sprintText(b), "00000000");
    freeBignum(b);
}

TEST(Bignum, HexTextOut)
{
    Bignum *b = wordsNumber({0, 0, 0x1234, 0xABCDEF01u, 5});
    EXPECT_EQ(sprintText(b), "00000000" "00000000" "00001234" "abcdef01" "00000005");
    freeBignum(b);
    b = itobig(0);
    EXPECT_EQ(sprintText(b), "00000000");
    b->length = 0;
    EXPECT_EQ(sprintText(b), "");
    b->length = 1;
    freeBignum(b);
}

TEST(Bignum, PrintToStream)
{
    Bignum *b = itobig(0);
    EXPECT_EQ(printed(b), "0\n");
    b->words[0] = 0xABC;
    EXPECT_EQ(printed(b), "abc\n");
    b->sign = -1;
    EXPECT_EQ(printed(b), "-abc\n");
    freeBignum(b);

    b = wordsNumber({1, 0, 0x2A});
    EXPECT_EQ(printed(b), "1" "00000000" "0000002a\n");
    freeBignum(b);

    testing::internal::CaptureStdout();
    bigprint(two);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "2\n");
}

/* Big-endian and little-endian byte strings of every length 0..40 survive the round trip; the
 * writers give leading (or trailing) zero bytes for a larger size. */
TEST(Bignum, ByteStringRoundTrips)
{
    for (int32_t len = 0; len <= 40; len++) {
        Bytes bytes(len);
        for (int32_t i = 0; i < len; i++)
            bytes[i] = static_cast<unsigned char>(0x11 * (i % 15 + 1));
        testutil::ExactBuffer in(bytes);
        const int32_t size = (len + 3) / 4 * 4 + 8;

        Bignum *b = itobig(0xFFFFFFFFu);
        RSA_bufToBig(in.get(), len, b);
        EXPECT_EQ(b->length, len == 0 ? 1 : (len + 3) / 4);
        EXPECT_GE(b->space, b->length);
        Bytes out(size, 0xEE);
        RSA_bigToBuf(b, size, out.data());
        EXPECT_EQ(Bytes(out.begin(), out.begin() + (size - len)), Bytes(size - len, 0)) << len;
        EXPECT_EQ(Bytes(out.begin() + (size - len), out.end()), bytes) << len;
        if (len % 4 == 0) {
            Bytes exact(len == 0 ? 4 : len, 0xEE);
            RSA_bigToBuf(b, static_cast<int32_t>(exact.size()), exact.data());
            EXPECT_EQ(exact, len == 0 ? Bytes(4, 0) : bytes) << len;
        }

        b->words[0] = 0xFFFFFFFFu;
        bufToBig(in.get(), len, b);
        EXPECT_EQ(b->length, len == 0 ? 1 : (len + 3) / 4);
        Bytes le(size, 0xEE);
        bigToBuf(b, static_cast<uint32_t>(size), le.data());
        EXPECT_EQ(Bytes(le.begin(), le.begin() + len), bytes) << len;
        EXPECT_EQ(Bytes(le.begin() + len, le.end()), Bytes(size - len, 0)) << len;
        freeBignum(b);
    }
}

TEST(Bignum, ByteStringsReadInTheirOrder)
{
    const unsigned char five[5] = {0x01, 0x02, 0x03, 0x04, 0x05};
    Bignum *b = itobig(0);
    RSA_bufToBig(five, 5, b);
    EXPECT_EQ(sprintText(b), "00000001" "02030405");
    bufToBig(five, 5, b);
    EXPECT_EQ(sprintText(b), "00000005" "04030201");
    /* Leading zero bytes are trimmed away; the sign is left alone. */
    const unsigned char padded[8] = {0, 0, 0, 0, 0, 0, 0x12, 0x34};
    b->sign = -1;
    RSA_bufToBig(padded, 8, b);
    EXPECT_EQ(b->length, 1);
    EXPECT_EQ(b->words[0], 0x1234u);
    EXPECT_EQ(b->sign, -1);
    RSA_bufToBig(padded, 0, b);
    EXPECT_EQ(b->length, 1);
    EXPECT_EQ(b->words[0], 0u);
    freeBignum(b);
}

TEST(Bignum, MemoryHooksArgumentOrder)
{
    const char source[] = "abcdef";
    char destination[7] = "zzzzzz";
    clib_memcpy(source, destination, 3);
    EXPECT_STREQ(destination, "abczzz");
    clib_memzero(destination, 2);
    EXPECT_EQ(destination[1], 0);
    EXPECT_EQ(destination[2], 'c');
    /* clib_memcmp(a, b) compares b against a. */
    EXPECT_GT(clib_memcmp("a", "b", 1), 0);
    EXPECT_LT(clib_memcmp("b", "a", 1), 0);
    EXPECT_EQ(clib_memcmp("ab", "ab", 2), 0);
}

TEST(Bignum, WarningsReturn)
{
    testing::internal::CaptureStderr();
    handle_exception(2, "low on something");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "WARNING: low on something\n");
}

TEST(BignumDeathTest, WritersStopOnTooSmallBuffers)
{
    Bignum *b = atobig("0102030405"); /* two words */
    unsigned char buffer[8];
    EXPECT_EXIT(RSA_bigToBuf(b, 7, buffer), ::testing::ExitedWithCode(1),
                "^CRITICAL EXCEPTION: RSAbigToBuf: buffer too small\\.\n exiting\\.\n$");
    EXPECT_EXIT(RSA_bigToBuf(b, -1, buffer), ::testing::ExitedWithCode(1),
                "^CRITICAL EXCEPTION: RSAbigToBuf: buffer too small\\.\n exiting\\.\n$");
    EXPECT_EXIT(bigToBuf(b, 5, buffer), ::testing::ExitedWithCode(1),
                "^CRITICAL EXCEPTION: BigToBuf: Buffer is too small\\.\n exiting\\.\n$");
    /* A byte string of 5 bytes with a nonzero top byte needs two words, more than 5 bytes. */
    const unsigned char five[5] = {1, 2, 3, 4, 5};
    RSA_bufToBig(five, 5, b);
    EXPECT_EXIT(RSA_bigToBuf(b, 5, buffer), ::testing::ExitedWithCode(1),
                "^CRITICAL EXCEPTION: RSAbigToBuf: buffer too small\\.\n exiting\\.\n$");
    EXPECT_EXIT(handle_exception(1, "custom"), ::testing::ExitedWithCode(1),
                "^CRITICAL EXCEPTION: custom exiting\\.\n$");
    freeBignum(b);
}
