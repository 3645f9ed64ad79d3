/* SPDX-License-Identifier: Apache-2.0 */
#include "qzutil.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <string>

using testutil::Bytes;

namespace {

/* Runs one of the codecs on count bytes of an exact-size heap copy of in: the result, whether the
 * buffer handed back is null, and its content. The 100 spare bytes of a result must be zero. */
struct Coded {
    int rc;
    bool bufferNull;
    std::string bytes;
};
Coded run(int (*codec)(const unsigned char *, int, unsigned char **), const std::string &in,
          int count)
{
    testutil::ExactBuffer buf(in.data(), in.size());
    unsigned char *out = reinterpret_cast<unsigned char *>(1);
    const int rc = codec(buf.get(), count, &out);
    Coded c{rc, out == nullptr, ""};
    if (out != nullptr && rc > 0) {
        c.bytes.assign(reinterpret_cast<char *>(out), static_cast<size_t>(rc));
        EXPECT_EQ(Bytes(out + rc, out + rc + 100), Bytes(100, 0)) << "spare bytes";
    }
    free(out);
    return c;
}

} // namespace

/* RFC 4648 (long inputs: the message vectors are whole base64 texts of up to 1.4 kB). */
TEST(Base64, PublishedVectorsBothWays)
{
    for (const auto &row : testutil::readVectors("base64.txt")) {
        const Bytes raw = testutil::fromHex(row[0]);
        const std::string bytes(raw.begin(), raw.end());
        const Coded e = run(QZUtil::base64_encode, bytes, static_cast<int>(raw.size()));
        EXPECT_EQ(e.bytes, row[1]) << row[0];
        EXPECT_EQ(e.bufferNull, raw.empty()) << "a buffer exactly when there is a result";
        const Coded d = run(QZUtil::base64_decode, row[1], static_cast<int>(row[1].size()));
        EXPECT_EQ(d.rc, static_cast<int>(raw.size())) << row[1];
        EXPECT_EQ(d.bytes, bytes) << row[1];
    }
}

TEST(Base64, DecodingRules)
{
    const struct {
        const char *name;
        std::string text;
        int count, rc;
        bool bufferNull;
        std::string bytes;
    } cases[] = {
        {"blanks inside groups", "Zm 9v\tYm\r\nFy", 12, 6, false, "foobar"},
        {"NUL bytes are skipped", std::string("Zm9v\0Ym\0Fy", 10), 10, 6, false, "foobar"},
        {"count 0", "Zm9v", 0, 0, true, ""},
        {"negative count", "Zm9v", -5, 0, true, ""},
        {"three significant chars", "Zm9", 3, -1, true, ""},
        {"five significant chars", "Zm9vY", 5, -1, true, ""},
        {"= first in group", "=m9v", 4, -1, true, ""},
        {"= second in last group", "Z===", 4, -1, true, ""},
        {"= first in padded last group", "Zm9v=g==", 8, -1, true, ""},
        {"= inside an earlier group", "Zm=vYmFy", 8, -1, true, ""},
        {"byte outside the alphabet", "Zm9v!mFy", 8, -1, true, ""},
        {"high byte outside the alphabet", "Zm9v\xc3mFy", 8, -1, true, ""},
        {"unused low bits ignored", "Zh==", 4, 1, false, "f"},
        {"unused low bits ignored, two bytes", "Zm9=", 4, 2, false, "fo"},
        {"blanks only", " \r\n\t ", 5, 0, false, ""},
    };
    for (const auto &c : cases) {
        const Coded d = run(QZUtil::base64_decode, c.text, c.count);
        EXPECT_EQ(d.rc, c.rc) << c.name;
        EXPECT_EQ(d.bufferNull, c.bufferNull) << c.name;
        EXPECT_EQ(d.bytes, c.bytes) << c.name;
    }
}
