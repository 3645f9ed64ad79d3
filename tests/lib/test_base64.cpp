#include "qzutil.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <string>

using testutil::Bytes;

namespace {

struct Decoded {
    int rc;
    bool bufferNull;
    std::string bytes;
};

/* Decodes count bytes of text from an exact-size heap copy; frees the result. */
Decoded decode(const std::string &text, int count)
{
    testutil::ExactBuffer in(text.data(), text.size());
    unsigned char *out = reinterpret_cast<unsigned char *>(1);
    const int rc = QZUtil::base64_decode(in.get(), count, &out);
    Decoded d{rc, out == nullptr, ""};
    if (out != nullptr && rc > 0)
        d.bytes.assign(reinterpret_cast<char *>(out), static_cast<size_t>(rc));
    free(out);
    return d;
}

/* Encodes from an exact-size heap copy and checks the 100 spare bytes after the result. */
std::string encode(const Bytes &in)
{
    testutil::ExactBuffer buf(in);
    unsigned char *out = reinterpret_cast<unsigned char *>(1);
    const int rc = QZUtil::base64_encode(buf.get(), static_cast<int>(in.size()), &out);
    EXPECT_EQ(out == nullptr, rc <= 0) << "a buffer exactly when there is a result";
    std::string s = rc > 0 ? std::string(reinterpret_cast<char *>(out), static_cast<size_t>(rc)) : "";
    for (int i = 0; rc > 0 && i < 100; i++)
        EXPECT_EQ(out[rc + i], 0) << "spare byte " << i;
    if (out != reinterpret_cast<unsigned char *>(1))
        free(out);
    return s;
}

} // namespace

/* (Long inputs: the message vectors are whole base64 texts of up to 1.4 kB.) */
TEST(Base64, PublishedVectorsBothWays)
{
    for (const auto &row : testutil::readVectors("base64.txt")) {
        const Bytes raw = testutil::fromHex(row[0]);
        EXPECT_EQ(encode(raw), row[1]) << row[0];
        const Decoded d = decode(row[1], static_cast<int>(row[1].size()));
        EXPECT_EQ(d.rc, static_cast<int>(raw.size())) << row[1];
        EXPECT_EQ(d.bytes, std::string(raw.begin(), raw.end())) << row[1];
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
        const Decoded d = decode(c.text, c.count);
        EXPECT_EQ(d.rc, c.rc) << c.name;
        EXPECT_EQ(d.bufferNull, c.bufferNull) << c.name;
        EXPECT_EQ(d.bytes, c.bytes) << c.name;
    }
}
