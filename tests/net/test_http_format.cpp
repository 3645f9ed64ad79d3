/* SPDX-License-Identifier: Apache-2.0 */
/* URL splitting and the exact bytes of requests, on texts alone. */
#include "http_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
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
        /* Host and proxy credentials go right after the request line, in this order. */
        {{"POST", url, "/p", false, "1.0", "application/x-qz", xy, 2, "h:81"},
         head + "Host: h:81\r\nContent-type: application/x-qz\r\nContent-length: 2\r\n\r\nxy"},
        {{"POST", url, "/p", true, "1.0", "application/x-qz", xy, 2, "[::1]", "Basic dTpw"},
         "POST " + std::string(url) +
             " HTTP/1.0\r\nHost: [::1]\r\nProxy-Authorization: Basic dTpw\r\nContent-type: "
             "application/x-qz\r\nContent-length: 2\r\n\r\nxy"},
        {{"GET", url, "/p", false, "1.0", nullptr, nullptr, 0, "", ""}, "GET /p HTTP/1.0\r\n\r\n"},
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

/* The Host value leaves out the scheme's own port; an IPv6 address gets its brackets. */
TEST(HostHeader, Table)
{
    const struct {
        const char *host;
        unsigned short port;
        const char *scheme, *expected;
    } cases[] = {
        {"pay.example", 80, "http", "pay.example"},
        {"pay.example", 443, "http", "pay.example:443"},
        {"pay.example", 443, "https", "pay.example"},
        {"pay.example", 80, "https", "pay.example:80"},
        {"127.0.0.1", 8080, "http", "127.0.0.1:8080"},
        {"::1", 80, "http", "[::1]"},
        {"2001:db8::7", 8443, "https", "[2001:db8::7]:8443"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(HostHeader(c.host, c.port, c.scheme), c.expected) << c.host << " " << c.port;
}

/* Basic credentials: the example of RFC 7617, every padding length, bytes beyond ASCII. */
TEST(BasicAuthorization, Vectors)
{
    const struct {
        std::string credentials;
        const char *expected;
    } cases[] = {
        {"Aladdin:open sesame", "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
        {"u:p", "Basic dTpw"},
        {"u:pw", "Basic dTpwdw=="},
        {"u:pwd", "Basic dTpwd2Q="},
        {"\xc3\xa9:\xff", "Basic w6k6/w=="},
    };
    for (const auto &c : cases)
        EXPECT_EQ(BasicAuthorization(c.credentials.data(), c.credentials.size()), c.expected);
    EXPECT_EQ(FormatConnect("::1", 8443, "Basic dTpw"),
              "CONNECT [::1]:8443 HTTP/1.0\r\nHost: [::1]:8443\r\nProxy-Authorization: Basic "
              "dTpw\r\n\r\n");
    EXPECT_EQ(FormatConnect("h", 443, ""), "CONNECT h:443 HTTP/1.0\r\nHost: h:443\r\n\r\n");
}

/* A response head: its status, reason and the body length it gives. Only a length the head
 * states unambiguously is trusted; anything else leaves the body to run to the close. Every case
 * is read from an exact-size heap copy. */
TEST(ParseResponseHead, Table)
{
    const char *ok = "HTTP/1.1 200 OK\r\n";
    const struct {
        std::string head;
        int result, status;
        const char *reason;
        long long bodyLength;
    } cases[] = {
        {std::string(ok) + "Content-Length: 42\r\n\r\nbody", HEAD_COMPLETE, 200, "OK", 42},
        {std::string(ok) + "content-length:7\n\n", HEAD_COMPLETE, 200, "OK", 7},
        {std::string(ok) + "CONTENT-LENGTH: \t 0 \r\n\r\n", HEAD_COMPLETE, 200, "OK", 0},
        {std::string(ok) + "Content-Type: a\r\n\r\n", HEAD_COMPLETE, 200, "OK", -1},
        {std::string(ok) + "Content-Length: 5\r\nContent-Length: 5\r\n\r\n", HEAD_COMPLETE, 200,
         "OK", 5},
        {std::string(ok) + "Content-Length: 5\r\nContent-Length: 6\r\n\r\n", HEAD_COMPLETE, 200,
         "OK", -1},
        {std::string(ok) + "Content-Length: 5, 5\r\n\r\n", HEAD_COMPLETE, 200, "OK", -1},
        {std::string(ok) + "Content-Length: -1\r\n\r\n", HEAD_COMPLETE, 200, "OK", -1},
        {std::string(ok) + "Content-Length: 999999999999999\r\n\r\n", HEAD_COMPLETE, 200, "OK",
         999999999999999LL},
        {std::string(ok) + "Content-Length: 9999999999999999\r\n\r\n", HEAD_COMPLETE, 200, "OK",
         -1},
        {std::string(ok) + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n",
         HEAD_COMPLETE, 200, "OK", -1},
        {std::string(ok) + "Content-Lengthy: 3\r\nX-Content-Length: 4\r\n\r\n", HEAD_COMPLETE,
         200, "OK", -1},
        {"HTTP/1.1 204 No Content\r\nContent-Length: 9\r\n\r\n", HEAD_COMPLETE, 204,
         "No Content", 0},
        {"HTTP/1.1 100 Continue\r\nContent-Length: 9\r\n\r\n", HEAD_COMPLETE, 100, "Continue",
         -1},
        {"HTTP/1.0 502 Bad Gateway\r\nContent-Length: 3\r\n\r\n", HEAD_COMPLETE, 502,
         "Bad Gateway", 3},
        {"HTTP/1.0 503\r\n\r\n", HEAD_COMPLETE, 503, "", -1},
        {"HTTP/1.0 413 Too\x01" "Big\x80\r\n\r\n", HEAD_COMPLETE, 413, "Too?Big?", -1},
        {"HTTP/1.0 502 " + std::string(100, 'x') + "\r\n\r\n", HEAD_COMPLETE, 502,
         "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", -1},
        {std::string(ok) + "Content-Length: 4\r\n", HEAD_INCOMPLETE, 200, "OK", -1},
        {"HTTP/1.1 20", HEAD_INCOMPLETE, 0, "", -1},
        {"<html>\r\n\r\n", HEAD_NOT_HTTP, 0, "", -1},
        {std::string(ok) + "X: " + std::string(200, 'x') + "\r\n\r\n", HEAD_TOO_LONG, 200, "OK",
         -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.head);
        std::unique_ptr<unsigned char[]> copy(new unsigned char[c.head.size() + 1]);
        memcpy(copy.get(), c.head.data(), c.head.size());
        ResponseHead head;
        EXPECT_EQ(ParseResponseHead(copy.get(), c.head.size(), 128, &head), c.result);
        EXPECT_EQ(head.status, c.status);
        EXPECT_EQ(head.reason, c.reason);
        EXPECT_EQ(head.bodyLength, c.bodyLength);
        if (c.result == HEAD_COMPLETE) {
            EXPECT_EQ(c.head.substr(head.headLen),
                      c.head.find("body") != std::string::npos ? "body" : "");
        }
    }
}

} // namespace
