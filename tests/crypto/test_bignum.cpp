/* SPDX-License-Identifier: Apache-2.0 */
/* The big-number kernel as the product uses it (digest numbers written out as bytes and text) is
 * checked through the digest and signature vectors in test_shs and test_hmac; here the wipe and
 * what no signature uses. */
#include "bignum.h"
#include "testutil.h"
#include "wipe.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>

using testutil::Bytes;

TEST(Wipe, ClearsEveryByte)
{
    testutil::ExactBuffer secret(Bytes(37, 0xA5));
    secure_wipe(secret.get(), 37);
    EXPECT_EQ(Bytes(secret.get(), secret.get() + 37), Bytes(37, 0));
    secure_wipe(nullptr, 0);
}

/* The conversions, measures and printers no signature uses, on one table of values: the hex text
 * read, written back in both byte orders and read again, measured (its top word too), printed. */
TEST(Bignum, ConversionsMeasuresAndPrinting)
{
    const struct {
        const char *hex, *littleEndian, *printed;
        int bits, bytes, odd, topBits, oldMsb;
    } cases[] = {{"", "0000000000000000", "0\n", 0, 4, 0, 0, 1},
                 {"1", "0100000000000000", "1\n", 1, 4, 1, 1, 1},
                 {"0A0b0C0d0E", "0e0d0c0b0a000000", "a0b0c0d0e\n", 36, 8, 0, 4, 4},
                 {"8000000000000001", "0100000000000080", "8000000000000001\n", 64, 8, 1, 32, 32},
                 {"x7", "0700000000000000", "7\n", 3, 4, 1, 3, 3}};
    for (const auto &t : cases) {
        Bignum *b = atobig(t.hex), *fromLe = itobig(5), *fromBe = itobig(5);
        unsigned char le[8], be[8];
        bigToBuf(b, 8, le);
        RSA_bigToBuf(b, 8, be);
        bufToBig(le, 8, fromLe);
        RSA_bufToBig(be, 8, fromBe);
        char text[3][64];
        for (int i = 0; i < 3; i++)
            bigsprint(i == 0 ? b : i == 1 ? fromLe : fromBe, text[i]);
        EXPECT_EQ(testutil::toHex(le, 8) + text[1] + text[2], t.littleEndian + std::string(text[0]) + text[0]);
        const uint32_t top = b->words[b->length - 1];
        EXPECT_EQ(std::make_tuple(bigBits(b), bigBytes(b), bigTest(b), odd(b), even(b), msb(static_cast<int32_t>(top)), old_msb(top)),
                  std::make_tuple(t.bits, t.bytes, 1, t.odd, 1 - t.odd, t.topBits, t.oldMsb)) << t.hex;
        testing::internal::CaptureStdout();
        fBigPrint(b, stdout);
        bigprint(b);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(t.printed) + t.printed);
        for (Bignum *n : {b, fromLe, fromBe})
            freeBignum(n);
    }
}
