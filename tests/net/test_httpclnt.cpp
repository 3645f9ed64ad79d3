/* CHttpClnt: its texts and buffers, and its requests against scripted servers on 127.0.0.1: what
 * reaches the wire, how the response is collected, silence, resets, callbacks and abort, refusals,
 * failures and descriptors. The exact request bytes are checked on texts in test_http_format. */
#include "http_format.h"
#include "httpclnt.h"
#include "loopback_server.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <string>
#include <vector>

using httpformat::FormatRequest;
using loopback::Conn;
using loopback::secondsSince;
using loopback::Server;

namespace {

const std::string kResponse = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nbody\r\n\r\nmore";

std::string text(const unsigned char *data, unsigned int len)
{
    return data == nullptr ? std::string() : std::string(reinterpret_cast<const char *>(data), len);
}

std::string rcvText(const CHttpClnt &c)
{
    return text(c.GetRcvData(), c.GetRcvDataLen());
}

const unsigned char *bytes(const char *s)
{
    return reinterpret_cast<const unsigned char *>(s);
}

int openDescriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d != nullptr && readdir(d) != nullptr)
        n++;
    if (d != nullptr)
        closedir(d);
    return n;
}

/* ---- the object ---- */

/* Setters copy (their own text too) and clear on ""; the URL constructor and requests split the
 * URL, SetURL only stores it, and a URL that does not split leaves host, port and path alone. */
TEST(HttpClntObject, TextsAndUrlSplitting)
{
    CHttpClnt c("http:///x", 4096, 4096);
    EXPECT_STREQ(c.GetHost(), ""); /* an empty host is a text, not none */
    EXPECT_STREQ(c.GetSubURL(), "/x");
    char header[] = "abc";
    c.SetHeader(header);
    header[0] = 'X';
    c.SetHeader(c.GetHeader());
    EXPECT_STREQ(c.GetHeader(), "abc");
    c.SetHeader("");
    EXPECT_EQ(c.GetHeader(), nullptr);
    c.SetURL("http://h:81/y");
    EXPECT_EQ(c.GetPort(), 80);
    for (const char *url : {"h/x", "https://other:443/y", "http://other:99999/y"}) {
        CHttpClnt d(url, 4096, 4096);
        EXPECT_STREQ(d.GetURL(), url);
        EXPECT_TRUE(d.GetHost() == nullptr && d.GetPort() == 80 && d.GetSubURL() == nullptr) << url;
    }
}

TEST(HttpClntObject, BufferOperations)
{
    CHttpClnt c(4096, 4096);
    const unsigned char abc[] = {'a', 'b', 'c'}, defg[] = {'d', 'e', 'f', 'g'};
    EXPECT_EQ(c.AppendRcvData(abc, 0), 0);
    EXPECT_EQ(c.AppendRcvData(nullptr, 3), 0);
    EXPECT_EQ(c.GetRcvData(), nullptr);
    EXPECT_EQ(c.AppendRcvData(abc, 3), 1);
    EXPECT_EQ(c.AppendRcvData(defg, 4), 1);
    c.SetRcvData(abc, 0);                                             /* length 0 changes nothing */
    EXPECT_EQ(c.AppendRcvData(c.GetRcvData(), c.GetRcvDataLen()), 1); /* its own bytes */
    EXPECT_EQ(rcvText(c), "abcdefgabcdefg");

    c.SetRcvDataLen(0); /* the next append starts afresh */
    EXPECT_EQ(c.AppendRcvData(defg, 4), 1);
    c.SetRcvDataLen(300); /* counted bytes beyond the stored ones read as zero */
    EXPECT_EQ(rcvText(c), "defg" + std::string(296, '\0'));
    c.SetRcvDataLen(2);
    c.SetRcvDataLen(4); /* bytes still held come back */
    EXPECT_EQ(rcvText(c), "defg");
    c.SetRcvData(abc, 3);
    EXPECT_EQ(rcvText(c), "abc");

    c.SetSndData(abc, 3);
    EXPECT_EQ(text(c.GetSndData(), c.GetSndDataLen()), "abc");
    c.SetSndData(nullptr, 2); /* a length without a buffer */
    EXPECT_EQ(c.GetSndData(), nullptr);
    EXPECT_EQ(c.AppendSndData(abc, 3), 1);
    EXPECT_EQ(text(c.GetSndData(), c.GetSndDataLen()), std::string("\0\0abc", 5));
    c.SetSndData(nullptr, 0xFFFFFFFFu);
    EXPECT_EQ(c.AppendSndData(abc, 3), 0); /* the total would not fit */
    EXPECT_EQ(c.GetSndDataLen(), 0xFFFFFFFFu);
}

/* ---- requests: what goes on the wire ---- */

/* Each request sends, and records as SndData, what FormatRequest builds from its arguments, and
 * appends the response to RcvData; a Post also records its content type and length. Through a
 * proxy only the proxy is contacted. */
TEST(HttpClntRequest, SendsAndRecordsTheFormattedRequest)
{
    const struct {
        const char *method, *body;
        unsigned int len;
        const char *type, *storedType;
        bool proxy;
    } cases[] = {
        {"GET", nullptr, 0, nullptr, "stale/type", false},
        {"POST", "a\0b", 3, nullptr, "text/plain", false},
        {"POST", nullptr, 7, "application/x-qz", "application/x-qz", false},
        {"POST", "ab", 0, "", nullptr, false},
        {"POST", "xy", 2, "application/x-qz", "application/x-qz", true},
    };
    Server server(loopback::answer(kResponse), 5);
    std::vector<std::string> sent;
    std::string responses;
    CHttpClnt c(4096, 4096); /* one client for all: the proxy case comes last */
    for (const auto &t : cases) {
        c.SetContentType("stale/type");
        /* The name does not resolve: only a proxy can be reached. */
        const std::string url = t.proxy ? "http://nonexistent.invalid:81/p" : server.url("/p");
        if (t.proxy) {
            c.SetProxyHost("127.0.0.1");
            c.SetProxyPort(server.port());
        }
        const bool post = t.method[0] == 'P';
        EXPECT_EQ(post ? c.Post(url.c_str(), bytes(t.body), t.len, t.type) : c.Get(url.c_str()), 1);
        std::string expected;
        FormatRequest({t.method, url.c_str(), "/p", t.proxy, "1.0", t.type, bytes(t.body), t.len},
                      &expected);
        sent.push_back(text(c.GetSndData(), c.GetSndDataLen()));
        EXPECT_EQ(sent.back(), expected);
        responses += kResponse;
        EXPECT_EQ(rcvText(c), responses); /* each request appends */
        EXPECT_STREQ(c.GetRequestMethod(), t.method);
        EXPECT_STREQ(c.GetContentType(), t.storedType);
        EXPECT_EQ(c.GetContentLength(), t.len);
    }
    server.join();
    for (size_t i = 0; i < sent.size(); i++)
        EXPECT_EQ(server.received(i), sent[i]);
}

/* URLs the client does not understand are refused before connecting, even where a careless
 * reading would reach the listening server (another scheme, digits modulo 2^16, junk after the
 * digits). */
TEST(HttpClntRequest, RefusedUrlsSendNothing)
{
    Server server(loopback::answer(kResponse));
    const std::string port = std::to_string(server.port());
    CHttpClnt c(4096, 4096);
    c.SetTimeout(1); /* a client that does connect fails soon */
    for (const std::string &url :
         {"https://127.0.0.1:" + port + "/pay", "HTTPS://127.0.0.1:" + port + "/pay",
          "ftp://127.0.0.1:" + port + "/pay",
          "http://127.0.0.1:" + std::to_string(server.port() + 65536) + "/pay",
          "http://127.0.0.1:" + port + "a/pay", "http://127.0.0.1:+" + port + "/pay",
          "http://127.0.0.1: " + port + "/pay", "127.0.0.1:" + port + "/pay"}) {
        EXPECT_EQ(c.Post(url.c_str(), bytes("card"), 4, nullptr), 0) << url;
        EXPECT_STREQ(c.GetURL(), url.c_str());
    }
    /* A stored URL is checked too, whatever host, port and path were set by hand. */
    c.SetHost("127.0.0.1");
    c.SetPort(server.port());
    c.SetSubURL("/pay");
    EXPECT_EQ(c.Get(nullptr), 0);
    EXPECT_EQ(c.GetSndData(), nullptr);
    EXPECT_EQ(server.accepted(), 0u);
}

/* ---- requests: how the response is collected ---- */

/* The raw response arrives in pieces larger than the read buffer. */
TEST(HttpClntRequest, ResponseCollectedRawInPieces)
{
    Server server([](Conn &c) {
        c.readRequest();
        c.send("HTTP/1.0 200 OK\r\n");
        c.pause(100);
        c.send(std::string("X: y\r\n\r\nbin\0ary", 15));
    });
    CHttpClnt c(server.url("/r").c_str(), 4096, 4096);
    c.SetMaxRcvDataLen(5);
    EXPECT_EQ(c.Get(nullptr), 1); /* the stored URL, split by the constructor */
    EXPECT_EQ(rcvText(c), "HTTP/1.0 200 OK\r\nX: y\r\n\r\n" + std::string("bin\0ary", 7));
    EXPECT_EQ(text(c.GetSndData(), c.GetSndDataLen()), "GET /r HTTP/1.0\r\n\r\n");
}

/* A reset after bytes of this request's response arrived ends it like a close, with those bytes
 * (a payment reply followed by a reset is still the reply); a reset before any is a failure. */
TEST(HttpClntRequest, ResetAfterTheResponseKeepsIt)
{
    for (const std::string reply : {"HTTP/1.0 200 OK\r\n\r\nsigned reply", ""}) {
        Server server([reply](Conn &c) {
            c.readRequest();
            c.send(reply);
            c.pause(300);
            c.reset();
        });
        CHttpClnt c(4096, 4096);
        c.SetRcvData(bytes("earlier|"), 8); /* bytes of an earlier request do not count */
        EXPECT_EQ(c.Post(server.url().c_str(), bytes("x"), 1, nullptr),
                  reply.empty() ? HTTP_FAILED : HTTP_DONE);
        EXPECT_EQ(rcvText(c), "earlier|" + reply);
    }
}

/* A silent server ends the request after Timeout seconds; data restarts that limit; time-out 0
 * waits without limit. Idle callbacks run while waiting, in slices, not in a tight loop. */
TEST(HttpClntRequest, SilenceLimit)
{
    struct Counting : CHttpClnt {
        Counting() : CHttpClnt(4096, 4096) {}
        int idles = 0;
        int OnGetIdle() override
        {
            idles++;
            return CHttpClnt::OnGetIdle();
        }
    };
    const struct {
        long timeout;
        int gapMs;
        const char *got;
        double seconds; /* the least the request takes */
    } cases[] = {{2, 3000, "a", 1.9}, {3, 1200, "abcd", 3.5}, {0, 700, "abcd", 2.0}};
    for (const auto &t : cases) {
        const int gap = t.gapMs;
        Server server([gap](Conn &c) {
            c.readRequest();
            for (const char *piece : {"a", "b", "c", "d"}) {
                c.send(piece);
                c.pause(piece[0] == 'd' ? 0 : gap);
            }
        });
        Counting c;
        c.SetTimeout(t.timeout);
        const auto start = loopback::Clock::now();
        EXPECT_EQ(c.Get(server.url().c_str()), 1);
        EXPECT_EQ(rcvText(c), t.got) << t.timeout;
        EXPECT_GE(secondsSince(start), t.seconds);
        EXPECT_LE(secondsSince(start), t.seconds + 3);
        EXPECT_TRUE(c.idles >= 1 && c.idles <= 1000) << c.idles;
    }
}

/* ---- requests: stopping ---- */

TEST(HttpClntRequest, CallbacksAndAbortFlagStopTheRequest)
{
    struct Stopper : CHttpClnt {
        Stopper() : CHttpClnt(4096, 4096) {}
        std::string seen;
        int OnGetData(long count, unsigned char *buf) override
        {
            seen.append(reinterpret_cast<char *>(buf), static_cast<size_t>(count > 0 ? count : 0));
            return 7;
        }
        int OnHeadIdle() override
        {
            if (GetAbortFlag() != 0)
                return CHttpClnt::OnHeadIdle();
            SetAbortFlag(1);
            return 1;
        }
    } c;
    Server server(loopback::answer("hi"), 2), silent(loopback::silent());
    EXPECT_EQ(c.Get(server.url().c_str()), 7);
    EXPECT_EQ(c.seen, "hi");
    EXPECT_EQ(c.GetRcvData(), nullptr); /* the override did not store it */
    const auto start = loopback::Clock::now();
    EXPECT_EQ(c.Head(silent.url().c_str()), HTTP_ABORTED); /* the flag set by the idle callback */
    EXPECT_LT(secondsSince(start), 4.5);
    /* With the flag set, the default callbacks end a request once it is sent. */
    EXPECT_EQ(c.Post(server.url().c_str(), bytes("abc"), 3, nullptr), HTTP_ABORTED);
    server.join();
    EXPECT_EQ(server.received(1), text(c.GetSndData(), c.GetSndDataLen()));
    EXPECT_EQ(c.GetRcvData(), nullptr);
}

/* ---- requests: failures ---- */

/* Failures return 0. A refused connect sends nothing and keeps its socket until the next
 * request, which closes it and its own. */
TEST(HttpClntRequest, FailuresReturnZero)
{
    Server server(loopback::answer(kResponse));
    CHttpClnt c(4096, 4096);
    EXPECT_EQ(c.Get(nullptr), 0); /* no URL at all */
    EXPECT_EQ(c.Post("http://nonexistent.invalid/x", bytes("x"), 1, nullptr), 0);
    const int baseline = openDescriptors();
    const std::string refused = "http://127.0.0.1:" + std::to_string(loopback::closedPort()) + "/";
    EXPECT_EQ(c.Get(refused.c_str()), 0);
    EXPECT_EQ(c.Get(refused.c_str()), 0);
    EXPECT_EQ(c.GetRequestMethod(), nullptr);   /* nothing was sent */
    EXPECT_EQ(openDescriptors(), baseline + 1); /* one unconnected socket held, not two */
    CHttpClnt byHost("127.0.0.1", 80, 4096, 4096);
    EXPECT_EQ(byHost.Get(nullptr), 0); /* a request needs a URL */

    /* No request line or no read buffer: 0 before any connection. */
    CHttpClnt noVersion(4096, 4096), noBuffer(4096, 4096), noPath(4096, 4096), proxied(4096, 4096);
    noVersion.SetHttpVersion("");
    EXPECT_EQ(noVersion.Get(server.url().c_str()), 0);
    noBuffer.SetMaxRcvDataLen(0);
    EXPECT_EQ(noBuffer.Get(server.url().c_str()), 0);
    noPath.SetURL("http://x/");
    noPath.SetHost("127.0.0.1");
    noPath.SetPort(server.port());
    EXPECT_EQ(noPath.Get(nullptr), 0);
    proxied.SetProxyHost("127.0.0.1"); /* through a proxy a request needs a URL of its own */
    proxied.SetProxyPort(server.port());
    proxied.SetURL(server.url().c_str());
    EXPECT_EQ(proxied.Get(nullptr), 0);
    EXPECT_EQ(server.accepted(), 0u);

    EXPECT_EQ(c.Get(server.url().c_str()), 1);
    server.join();
    EXPECT_EQ(openDescriptors(), baseline);
}

/* poll() has no descriptor-number limit: a socket numbered above 1024 works. */
TEST(HttpClntRequest, HighNumberedDescriptorWorks)
{
    struct rlimit saved, raised;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    raised = saved;
    raised.rlim_cur = saved.rlim_cur < 1100 ? 1100 : saved.rlim_cur;
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0)
        GTEST_SKIP() << "descriptor limit too low";
    Server server(loopback::answer(kResponse));
    std::vector<int> fillers;
    while (fillers.empty() || (fillers.back() >= 0 && fillers.back() < 1030))
        fillers.push_back(open("/dev/null", O_RDONLY));
    ASSERT_GE(fillers.back(), 1030); /* every lower number is taken */
    CHttpClnt c(4096, 4096);
    EXPECT_EQ(c.Get(server.url().c_str()), 1);
    EXPECT_EQ(rcvText(c), kResponse);
    for (int fd : fillers)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
}

} // namespace
