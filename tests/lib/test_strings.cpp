#include "qzutil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

/* Trims `input` (given with its terminator) in a buffer whose bytes after the terminator are 'Z',
 * and returns the whole buffer up to and including the old terminator, plus the next byte. */
std::string trimmed(const std::string &input)
{
    char buf[64];
    memset(buf, 'Z', sizeof buf);
    memcpy(buf, input.c_str(), input.size() + 1);
    QZUtil::TrimStr(buf);
    return std::string(buf, input.size() + 2);
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

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
        {"abc", string("abc\0Z", 5)},
        {"x  y", string("x  y\0Z", 6)},
        {" a", string("a\0\0Z", 4)},
        {"a ", string("a\0\0Z", 4)},
        {"", string("\0Z", 2)},
    };
    for (const auto &c : cases)
        EXPECT_EQ(trimmed(c.in), c.out) << '"' << c.in << '"';
    QZUtil::TrimStr(nullptr);
}

TEST(CheckDateFormat, Dates)
{
    const struct {
        const char *text;
        int valid;
    } cases[] = {
        {"20240229", 1}, {"20000229", 1}, {"19990101", 1}, {"20241231", 1},
        {"2024 1 5", 1}, /* atoi skips the blanks: 5 January 2024 */
        {"20230229", 0}, {"19000229", 0}, {"20231301", 0}, {"20230100", 0},
        {"20230431", 0}, {"20240001", 0}, {"abcdefgh", 0}, {"2024011", 0},
        {"202401011", 0}, {"", 0},      {nullptr, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(QZUtil::CheckDateFormat(c.text), c.valid) << (c.text ? c.text : "(null)");
}

TEST(CheckDateFormat, NoFixedRangeOfYears)
{
    if (sizeof(time_t) < 8)
        GTEST_SKIP() << "32-bit time_t ends in 2038";
    EXPECT_EQ(QZUtil::CheckDateFormat("20380120"), 1);
    EXPECT_EQ(QZUtil::CheckDateFormat("99991231"), 1);
    EXPECT_EQ(QZUtil::CheckDateFormat("21000229"), 0);
}

/* A real day must be accepted whatever the local time zone: zones with a negative daylight-saving
 * offset in winter or clocks that change at midnight must not push the day into its neighbour. */
TEST(CheckDateFormat, RealDaysInEveryTimeZone)
{
    const char *old = getenv("TZ");
    const std::string saved = old ? old : "";
    const char *zones[] = {"UTC", "Europe/Dublin", "America/Sao_Paulo", "Africa/Casablanca",
                           "Pacific/Auckland"};
    for (const char *zone : zones) {
        if (access((std::string("/usr/share/zoneinfo/") + zone).c_str(), R_OK) != 0)
            continue;
        setenv("TZ", zone, 1);
        tzset();
        for (const char *day : {"20241215", "20240105", "20181104", "20190506", "20240229"})
            EXPECT_EQ(QZUtil::CheckDateFormat(day), 1) << zone << ' ' << day;
        EXPECT_EQ(QZUtil::CheckDateFormat("20241232"), 0) << zone;
    }
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(SendToLogFile, AppendsWhatItIsGiven)
{
    char dir[] = "/tmp/vemrick-log-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/log.txt";

    QZUtil::SendToLogFile("", 0, path.c_str());
    QZUtil::SendToLogFile(nullptr, 5, path.c_str());
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "an empty text creates no file";

    QZUtil::SendToLogFile("hello", 0, path.c_str());
    QZUtil::SendToLogFile("abcdef", 3, path.c_str());
    QZUtil::SendToLogFile("xy", -1, path.c_str());
    EXPECT_EQ(readFile(path), "helloabcxy");

    QZUtil::SendToLogFile("lost", 0, (std::string(dir) + "/no/such/dir/log").c_str());
    QZUtil::SendToLogFile("lost", 0, nullptr);

    unlink(path.c_str());
    rmdir(dir);
}

TEST(LogFile, InitialName) { EXPECT_STREQ(QZUtil::LOGFILE, "logfile.log"); }
