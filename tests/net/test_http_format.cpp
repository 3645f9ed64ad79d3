/* URL splitting and the exact bytes of requests, on texts alone. */
#include "http_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <strings.h>

using namespace httpformat;

namespace {

/* Each URL with the host, port and path it splits into, or why it is refused. A ":" in the path is
 * no port; the first "://" ends the scheme; an empty port is most likely one left out (no guess);
 * 4294967377 is 81 modulo 2^32; an IPv6 host comes without its brackets. */
TEST(SplitUrl, Table)
{
    const struct {
        const char *url, *expected;
    } cases[] = {
        {"http://h:8080/cgi/x?a=1", "h|8080|/cgi/x?a=1"},
        {"http://h", "h|80|/"},
        {"http://h:8080", "h|8080|/"},
        {"http://h/a:b", "h|80|/a:b"},
        {"hTtP://H:81/X", "H|81|/X"},
        {"http://h:00080/", "h|80|/"},
        {"http://h:1/", "h|1|/"},
        {"http://h:65535/", "h|65535|/"},
        {"http://:81/x", "|81|/x"},
        {"http://user@h:81/p#f", "user@h|81|/p#f"},
        {nullptr, "no scheme"},
        {"", "no scheme"},
        {"h/x", "no scheme"},
        {"https://127.0.0.1:8443/pay", "127.0.0.1|8443|/pay"},
        {"HTTPS://h", "h|443|/"},
        {"http://[::1]:8443/", "::1|8443|/"},
        {"https://[2001:db8::7]/p:q", "2001:db8::7|443|/p:q"},
        {"http://[::1]x/", "bad host"},
        {"http://[::1/]", "bad host"},
        {"http://[h]/", "bad host"},
        {"http://[]/", "bad host"},
        {"http://[::1]:/", "bad port"},
        {"ftp://h/x", "bad scheme"},
        {"httpx://h/", "bad scheme"},
        {"://h/", "bad scheme"},
        {" http://h/", "bad scheme"},
        {"h/x?u=http://a/", "bad scheme"},
        {"http://h:/p", "bad port"},
        {"http://h:", "bad port"},
        {"http://h:0/", "bad port"},
        {"http://h:65536/", "bad port"},
        {"http://h:4294967377/x", "bad port"},
        {"http://h:99999999999999999999999/", "bad port"},
        {"http://h:80a/", "bad port"},
        {"http://h:-1/", "bad port"},
        {"http://h:+81/", "bad port"},
        {"http://h: 80/", "bad port"},
        {"http://user:pw@h/", "bad port"},
    };
    const char *const reasons[] = {"", "no scheme", "bad scheme", "bad port", "bad host"};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url != nullptr ? c.url : "(null)");
        UrlParts parts{"-", "-", 7, "-"};
        const int rc = SplitUrl(c.url, &parts);
        ASSERT_TRUE(rc >= URL_OK && rc <= URL_BAD_HOST);
        if (rc == URL_OK) {
            EXPECT_EQ(parts.host + "|" + std::to_string(parts.port) + "|" + parts.path, c.expected);
            EXPECT_EQ(parts.scheme, strncasecmp(c.url, "https", 5) == 0 ? "https" : "http");
        } else {
            EXPECT_EQ(reasons[rc], std::string(c.expected));
            EXPECT_TRUE(parts.scheme + parts.host + parts.path == "---" && parts.port == 7);
        }
    }
}

TEST(FormatRequest, ExactBytes)
{
    const std::string nul("a\0b\0\0c", 6);
    const unsigned char *nulBody = reinterpret_cast<const unsigned char *>(nul.data());
    const unsigned char *xy = reinterpret_cast<const unsigned char *>("xy0123456789");
    const char *url = "http://h:81/cgi/x?a=1";
    const std::string head = "POST /p HTTP/1.0\r\n", none; /* none: refused */
    const struct {
        RequestParts parts;
        std::string expected;
    } cases[] = {
        {{"GET", url, "/p?a=1", false, "1.0", nullptr, nullptr, 0}, "GET /p?a=1 HTTP/1.0\r\n\r\n"},
        {{"HEAD", nullptr, "/x", false, "1.0", nullptr, nullptr, 0}, "HEAD /x HTTP/1.0\r\n\r\n"},
        {{"GET", url, "/p", true, "1.0", nullptr, nullptr, 0},
         "GET " + std::string(url) + " HTTP/1.0\r\n\r\n"},
        {{"POST", url, "/p", false, "1.0", nullptr, xy, 2},
         head + "Content-type: text/plain\r\nContent-length: 2\r\n\r\nxy"},
        {{"POST", url, "/p", false, "1.0", "", xy, 12},
         head + "Content-type: text/plain\r\nContent-length: 12\r\n\r\nxy0123456789"},
        {{"POST", url, "/p", false, "1.0", "application/x-qz", nulBody, 6},
         head + "Content-type: application/x-qz\r\nContent-length: 6\r\n\r\n" + nul},
        {{"POST", url, "/p", true, "1.1", "application/x-qz", xy, 2},
         "POST " + std::string(url) +
             " HTTP/1.1\r\nContent-type: application/x-qz\r\nContent-length: 2\r\n\r\nxy"},
        {{"POST", url, "/p", false, "1.0", "application/x-qz", nullptr, 7}, head + "\r\n"},
        {{"POST", url, "/p", false, "1.0", "t/x", xy, 0}, head + "\r\n"},
        {{"GET", nullptr, "/p", true, "1.0", nullptr, nullptr, 0}, none}, /* proxy, no URL */
        {{"GET", url, nullptr, false, "1.0", nullptr, nullptr, 0}, none},
        {{"GET", url, "", false, "1.0", nullptr, nullptr, 0}, none},
        {{"GET", url, "/p", false, nullptr, nullptr, nullptr, 0}, none},
        {{"GET", url, "/p", false, "", nullptr, nullptr, 0}, none},
        {{nullptr, url, "/p", false, "1.0", nullptr, nullptr, 0}, none},
        /* Refused from the lengths alone: the body is never read. */
        {{"POST", url, "/p", false, "1.0", nullptr, xy, UINT_MAX}, none},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        std::string out = "untouched";
        EXPECT_EQ(FormatRequest(c.parts, &out), c.expected.empty() ? 0 : 1);
        EXPECT_EQ(out, c.expected.empty() ? "untouched" : c.expected);
    }
}

} // namespace
