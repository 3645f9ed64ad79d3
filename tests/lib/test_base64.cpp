#include "qzutil.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using testutil::Bytes;

namespace {

/* Decodes text and returns (result, bytes); the buffer is freed here. */
struct Decoded {
    int rc;
    bool bufferNull;
    Bytes bytes;
};

Decoded decode(const std::string &text)
{
    testutil::ExactBuffer in(text.data(), text.size());
    unsigned char *out = reinterpret_cast<unsigned char *>(1);
    const int rc = QZUtil::base64_decode(in.get(), static_cast<int>(text.size()), &out);
    Decoded d{rc, out == nullptr, {}};
    if (out != nullptr && rc > 0)
        d.bytes.assign(out, out + rc);
    free(out);
    return d;
}

std::string encode(const Bytes &in)
{
    testutil::ExactBuffer buf(in);
    unsigned char *out = nullptr;
    const int rc = QZUtil::base64_encode(buf.get(), static_cast<int>(in.size()), &out);
    std::string s = rc > 0 ? std::string(reinterpret_cast<char *>(out), rc) : std::string();
    if (rc > 0) {
        /* The spare bytes after the result are cleared. */
        for (int i = 0; i < 100; i++)
            EXPECT_EQ(out[rc + i], 0) << "spare byte " << i;
    }
    free(out);
    return s;
}

} // namespace

TEST(Base64, PublishedVectorsBothWays)
{
    for (const auto &row : testutil::readVectors("base64.txt")) {
        const Bytes raw = testutil::fromHex(row[0]);
        EXPECT_EQ(encode(raw), row[1]) << row[0];
        if (!raw.empty()) {
            const Decoded d = decode(row[1]);
            EXPECT_EQ(d.rc, static_cast<int>(raw.size())) << row[1];
            EXPECT_EQ(d.bytes, raw) << row[1];
        }
    }
}

TEST(Base64, EmptyInputLeavesNoBuffer)
{
    unsigned char *out = reinterpret_cast<unsigned char *>(1);
    unsigned char byte = 'A';
    EXPECT_EQ(QZUtil::base64_encode(&byte, 0, &out), 0);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<unsigned char *>(1);
    EXPECT_EQ(QZUtil::base64_decode(&byte, 0, &out), 0);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<unsigned char *>(1);
    EXPECT_EQ(QZUtil::base64_decode(&byte, -5, &out), 0);
    EXPECT_EQ(out, nullptr);
}

TEST(Base64, LongInputIsOneLineAndRoundTrips)
{
    std::mt19937 rng(7);
    for (int len : {1, 2, 3, 56, 57, 58, 400, 4097}) {
        Bytes raw(len);
        for (auto &b : raw)
            b = static_cast<unsigned char>(rng());
        const std::string text = encode(raw);
        EXPECT_EQ(text.size(), static_cast<size_t>((len + 2) / 3 * 4));
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
        const Decoded d = decode(text);
        EXPECT_EQ(d.bytes, raw) << len;
    }
}

TEST(Base64, DecodingRules)
{
    struct Case {
        const char *name;
        std::string text;
        int rc;
        bool bufferNull;
        std::string bytes;
    };
    const Case cases[] = {
        {"blanks inside groups", "Zm 9v\tYm\r\nFy", 6, false, "foobar"},
        {"NUL bytes are skipped", std::string("Zm9v\0Ym\0Fy", 10), 6, false, "foobar"},
        {"three significant chars", "Zm9", -1, true, ""},
        {"five significant chars", "Zm9vY", -1, true, ""},
        {"seven significant chars", "Zm9vYmF", -1, true, ""},
        {"= first in group", "=m9v", -1, true, ""},
        {"= second in last group", "Z===", -1, true, ""},
        {"= first in padded last group", "Zm9v=g==", -1, true, ""},
        {"= inside an earlier group", "Zm=vYmFy", -1, true, ""},
        {"byte outside the alphabet", "Zm9v!mFy", -1, true, ""},
        {"high byte outside the alphabet", "Zm9v\xc3mFy", -1, true, ""},
        {"unused low bits ignored", "Zh==", 1, false, "f"},
        {"unused low bits ignored, two bytes", "Zm9=", 2, false, "fo"},
        {"blanks only", " \r\n\t ", 0, false, ""},
    };
    for (const Case &c : cases) {
        const Decoded d = decode(c.text);
        EXPECT_EQ(d.rc, c.rc) << c.name;
        EXPECT_EQ(d.bufferNull, c.bufferNull) << c.name;
        EXPECT_EQ(std::string(d.bytes.begin(), d.bytes.end()), c.bytes) << c.name;
    }
}
