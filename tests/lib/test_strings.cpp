/* SPDX-License-Identifier: Apache-2.0 */
#include "qzutil.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

TEST(TrimStr, ExactBytes)
{
    using std::string;
    const struct {
        string in, out; /* out: the old text's bytes, its terminator and the byte after it */
    } cases[] = {
        {"  ab c  ", string("ab c\0\0\0\0\0Z", 10)},
        {"   ", string("\0  \0Z", 5)}, /* all spaces: only the first byte changes */
        {"\tab ", string("\tab\0\0Z", 6)},
        {" \n ", string("\n\0\0\0Z", 5)},
        {"x  y", string("x  y\0Z", 6)},
        {" a", string("a\0\0Z", 4)},
        {"", string("\0Z", 2)},
    };
    for (const auto &c : cases) {
        char buf[64];
        memset(buf, 'Z', sizeof buf);
        memcpy(buf, c.in.c_str(), c.in.size() + 1);
        QZUtil::TrimStr(buf);
        EXPECT_EQ(string(buf, c.in.size() + 2), c.out) << '"' << c.in << '"';
    }
}

/* Each text is read from an exact-size heap copy of its bytes, without a terminator. */
TEST(ReadDecimal, FixedWidthFields)
{
    using std::string;
    const struct {
        string text;
        long long value;
    } cases[] = {
        {"  51", 51},  {"0051", 51}, {"51  ", 51},  {" +51", 51}, {"-005", -5}, {"5 1", 5},
        {"    ", 0},   {"x51 ", 0},  {"+", 0},      {"", 0},      {"\t\n\v\f\r7", 7},
        {string("4\0" "2", 3), 4},   {"12.50", 12}, {"1e3", 1},   {"000000000040", 40},
        {"99999999999999999999", LLONG_MAX},        {"-99999999999999999999", LLONG_MIN},
        {"-9223372036854775808", LLONG_MIN},        {"9223372036854775807", LLONG_MAX},
    };
    for (const auto &c : cases) {
        testutil::ExactBuffer exact(c.text.data(), c.text.size());
        EXPECT_EQ(QZUtil::ReadDecimal(exact.chars(), c.text.size()), c.value) << '"' << c.text << '"';
    }
    EXPECT_EQ(QZUtil::ReadDecimal("1234", 2), 12) << "nothing past the width";
}

/* Every case in several time zones: zones with a negative daylight-saving offset in winter or
 * clocks that change at midnight must not push a real day into its neighbour. */
TEST(CheckDateFormat, Dates)
{
    const bool wideTime = sizeof(time_t) >= 8; /* a 32-bit time_t ends in 2038 */
    const struct {
        const char *text;
        int valid;
    } cases[] = {
        {"20240229", 1}, {"20000229", 1}, {"19990101", 1}, {"20241215", 1}, {"20181104", 1},
        {"20190506", 1}, {"2024 1 5", 1}, /* blanks before a number are skipped: 5 January */
        {"20230229", 0}, {"19000229", 0}, {"21000229", 0}, {"20231301", 0}, {"20230100", 0},
        {"20230431", 0}, {"20241232", 0}, {"20240001", 0}, {"abcdefgh", 0}, {"2024011", 0},
        {"202401011", 0}, {"", 0}, {nullptr, 0}, {"20380120", wideTime}, {"99991231", wideTime},
    };
    const char *old = getenv("TZ");
    const std::string saved = old ? old : "";
    for (const char *zone : {"", "UTC", "Europe/Dublin", "America/Sao_Paulo", "Africa/Casablanca",
                             "Pacific/Auckland"}) { /* "": the zone the test started in */
        if (zone[0] != '\0') {
            if (access((std::string("/usr/share/zoneinfo/") + zone).c_str(), R_OK) != 0)
                continue;
            setenv("TZ", zone, 1);
            tzset();
        }
        for (const auto &c : cases)
            EXPECT_EQ(QZUtil::CheckDateFormat(c.text), c.valid)
                << zone << ' ' << (c.text ? c.text : "(null)");
    }
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

/* Appends, in turn, to one file: length 0 or less takes the text up to its NUL. */
TEST(SendToLogFile, Appends)
{
    char path[] = "/tmp/vemrick-log-XXXXXX";
    close(mkstemp(path));
    const struct {
        const char *text;
        long length;
        const char *path;
        std::string file;
    } cases[] = {{"one\n", 0, path, "one\n"}, {"two\nrest", 4, path, "one\ntwo\n"}, {"3", -5, path, "one\ntwo\n3"},
                 {"", 0, path, "one\ntwo\n3"}, {nullptr, 0, path, "one\ntwo\n3"}, {"x", 1, nullptr, "one\ntwo\n3"}};
    for (const auto &t : cases) {
        QZUtil::SendToLogFile(t.text, t.length, t.path);
        std::ifstream in(path);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), t.file) << (t.text ? t.text : "(null)");
    }
    unlink(path);
}
