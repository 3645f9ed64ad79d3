/* CHttpClnt: the object (defaults, texts, buffers, URL splitting) and its requests against
 * scripted servers on 127.0.0.1: exact request bytes, raw responses, proxies, time-outs, abort,
 * failures, and the descriptor and signal cases. */
#include "csock.h"
#include "httpclnt.h"
#include "loopback_server.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <string>
#include <vector>

using loopback::Conn;
using loopback::secondsSince;
using loopback::Server;

namespace {

const std::string kResponse = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nbody\r\n\r\nmore";

std::string rcvText(const CHttpClnt &c)
{
    return c.GetRcvData() == nullptr
               ? std::string()
               : std::string(reinterpret_cast<const char *>(c.GetRcvData()), c.GetRcvDataLen());
}

std::string sndText(const CHttpClnt &c)
{
    return c.GetSndData() == nullptr
               ? std::string()
               : std::string(reinterpret_cast<const char *>(c.GetSndData()), c.GetSndDataLen());
}

const unsigned char *bytes(const std::string &s)
{
    return reinterpret_cast<const unsigned char *>(s.data());
}

int openDescriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    while (readdir(d) != nullptr)
        n++;
    closedir(d);
    return n;
}

struct ParsingClient : CHttpClnt {
    ParsingClient() : CHttpClnt(4096, 4096) {}
    using CHttpClnt::_ParseURL;
};

/* ---- the object ---- */

TEST(HttpClntObject, FreshObjectDefaults)
{
    CHttpClnt c(4096, 4096);
    EXPECT_STREQ(c.GetHttpVersion(), "1.0");
    EXPECT_EQ(c.GetPort(), 80);
    EXPECT_EQ(c.GetProxyPort(), 80);
    EXPECT_EQ(c.GetTimeout(), 30);
    EXPECT_EQ(c.GetMaxSndDataLen(), 4096u);
    EXPECT_EQ(c.GetMaxRcvDataLen(), 4096u);
    EXPECT_EQ(c.GetAbortFlag(), 0);
    EXPECT_EQ(c.GetContentLength(), 0u);
    for (const char *text :
         {c.GetHost(), c.GetProxyHost(), c.GetURL(), c.GetSubURL(), c.GetHeader(),
          c.GetContentType(), c.GetRequestMethod(), c.GetLocation()})
        EXPECT_EQ(text, nullptr);
    EXPECT_EQ(c.GetSndData(), nullptr);
    EXPECT_EQ(c.GetRcvData(), nullptr);
    EXPECT_EQ(c.GetSndDataLen(), 0u);
    EXPECT_EQ(c.GetRcvDataLen(), 0u);

    CHttpClnt h("example.test", 0, 4096, 4096);
    EXPECT_STREQ(h.GetHost(), "example.test");
    EXPECT_EQ(h.GetPort(), 80);
    EXPECT_EQ(h.GetURL(), nullptr);
    h.SetPort(0);
    EXPECT_EQ(h.GetPort(), 0);
}

TEST(HttpClntObject, TextSettersCopyAndClear)
{
    CHttpClnt c(4096, 4096);
    char text[] = "abc";
    c.SetHeader(text);
    text[0] = 'X';
    EXPECT_STREQ(c.GetHeader(), "abc");
    c.SetHeader(c.GetHeader()); /* its own text */
    EXPECT_STREQ(c.GetHeader(), "abc");
    c.SetHeader("");
    EXPECT_EQ(c.GetHeader(), nullptr);

    c.SetHttpVersion("1.1");
    EXPECT_STREQ(c.GetHttpVersion(), "1.1");
    c.SetHttpVersion(nullptr);
    EXPECT_EQ(c.GetHttpVersion(), nullptr);
    c.SetHttpVersion("1.1"); /* a copy the destructor releases (checked by the sanitizer build) */

    c.SetURL("http://h:81/x");
    EXPECT_STREQ(c.GetURL(), "http://h:81/x");
    EXPECT_EQ(c.GetHost(), nullptr); /* SetURL does not split */
    EXPECT_EQ(c.GetPort(), 80);
}

TEST(HttpClntObject, UrlSplitting)
{
    const struct {
        const char *url;
        int result;
        const char *host, *subURL;
        unsigned short port;
    } cases[] = {
        {"http://h:8080/cgi/x?a=1", 1, "h", "/cgi/x?a=1", 8080},
        {"http://h", 1, "h", "/", 80},
        {"http://h:8080", 1, "h", "/", 8080},
        {"http://h/a:b", 1, "h", "/a:b", 80},
        {"ftp://h/x", 1, "h", "/x", 80},
        {"h/x", 0, nullptr, nullptr, 80},
        {"http://h:/x", 1, "h", "/x", 0},
        {"http://h:99999/x", 1, "h", "/x", 34463},
        {"http://h: +81/x", 1, "h", "/x", 81},
        {"http://h:-1/x", 1, "h", "/x", 65535},
        {"http://h:4294967377/x", 1, "h", "/x", 81}, /* digits modulo 2^32 */
        {"http:///x", 1, "", "/x", 80},
        {"http://:81/x", 1, "", "/x", 81},
        {"http://user@h:81/p#f", 1, "user@h", "/p#f", 81},
    };
    for (const auto &t : cases) {
        CHttpClnt c(t.url, 4096, 4096);
        EXPECT_STREQ(c.GetURL(), t.url);
        EXPECT_STREQ(c.GetHost(), t.host) << t.url;
        EXPECT_STREQ(c.GetSubURL(), t.subURL) << t.url;
        EXPECT_EQ(c.GetPort(), t.port) << t.url;

        ParsingClient p;
        p.SetURL(t.url);
        EXPECT_EQ(p._ParseURL(), t.result) << t.url;
    }
    ParsingClient none;
    EXPECT_EQ(none._ParseURL(), 0);
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
    EXPECT_EQ(rcvText(c), "abcdefg");
    c.SetRcvData(abc, 0); /* length 0 changes nothing */
    EXPECT_EQ(rcvText(c), "abcdefg");
    EXPECT_EQ(c.AppendRcvData(c.GetRcvData(), c.GetRcvDataLen()), 1); /* its own bytes */
    EXPECT_EQ(rcvText(c), "abcdefgabcdefg");

    c.SetRcvDataLen(0); /* the next append starts afresh */
    EXPECT_EQ(c.AppendRcvData(defg, 4), 1);
    EXPECT_EQ(rcvText(c), "defg");
    c.SetRcvDataLen(300); /* counted bytes beyond the stored ones read as zero */
    ASSERT_NE(c.GetRcvData(), nullptr);
    EXPECT_EQ(rcvText(c), "defg" + std::string(296, '\0'));
    c.SetRcvDataLen(2);
    c.SetRcvDataLen(4); /* bytes still held come back */
    EXPECT_EQ(rcvText(c), "defg");
    c.SetRcvData(abc, 3);
    EXPECT_EQ(rcvText(c), "abc");

    c.SetSndData(abc, 3);
    EXPECT_EQ(sndText(c), "abc");
    c.SetSndData(abc, 0);
    EXPECT_EQ(c.GetSndDataLen(), 0u);
    c.SetSndData(nullptr, 2); /* a length without a buffer */
    EXPECT_EQ(c.GetSndData(), nullptr);
    EXPECT_EQ(c.GetSndDataLen(), 2u);
    EXPECT_EQ(c.AppendSndData(abc, 3), 1);
    EXPECT_EQ(sndText(c), std::string("\0\0abc", 5));

    c.SetSndData(nullptr, 0xFFFFFFFFu);
    EXPECT_EQ(c.AppendSndData(abc, 3), 0); /* the total would not fit */
    EXPECT_EQ(c.GetSndDataLen(), 0xFFFFFFFFu);
}

/* ---- requests: what goes on the wire ---- */

TEST(HttpClntRequest, ExactRequestBytes)
{
    const std::string body10 = "0123456789";
    const std::string nulBody("a\0b\0\0c", 6);
    const struct {
        const char *name;
        char method; /* G, H or P */
        const char *path;
        const std::string *body;
        unsigned int len;
        const char *contentType;
        std::string expected;
        const char *storedType;
    } cases[] = {
        {"get", 'G', "/cgi/x?a=1", nullptr, 0, nullptr, "GET /cgi/x?a=1 HTTP/1.0\r\n\r\n", nullptr},
        {"head", 'H', "/x", nullptr, 0, nullptr, "HEAD /x HTTP/1.0\r\n\r\n", nullptr},
        {"post default type", 'P', "/p", &body10, 10, nullptr,
         "POST /p HTTP/1.0\r\nContent-type: text/plain\r\nContent-length: 10\r\n\r\n0123456789",
         "text/plain"},
        {"post NUL bytes", 'P', "/p", &nulBody, 6, "application/x-qz",
         "POST /p HTTP/1.0\r\nContent-type: application/x-qz\r\nContent-length: 6\r\n\r\n" +
             nulBody,
         "application/x-qz"},
        {"post null body", 'P', "/p", nullptr, 7, "application/x-qz", "POST /p HTTP/1.0\r\n\r\n",
         "application/x-qz"},
        {"post length 0", 'P', "/p", &body10, 0, "", "POST /p HTTP/1.0\r\n\r\n", nullptr},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.name);
        Server server(loopback::answer(kResponse));
        CHttpClnt c(4096, 4096);
        c.SetContentType("stale/type");
        std::string url = server.url(t.path);
        int result = t.method == 'G'   ? c.Get(url.c_str())
                     : t.method == 'H' ? c.Head(url.c_str())
                                       : c.Post(url.c_str(), t.body ? bytes(*t.body) : nullptr,
                                                t.len, t.contentType);
        EXPECT_EQ(result, 1);
        server.join();
        EXPECT_EQ(server.received(), t.expected);
        EXPECT_EQ(sndText(c), t.expected);
        EXPECT_EQ(rcvText(c), kResponse);
        EXPECT_STREQ(c.GetRequestMethod(), t.method == 'G'   ? "GET"
                                           : t.method == 'H' ? "HEAD"
                                                             : "POST");
        if (t.method == 'P') {
            EXPECT_STREQ(c.GetContentType(), t.storedType);
            EXPECT_EQ(c.GetContentLength(), t.len);
        }
    }
}

TEST(HttpClntRequest, ProxyGetsAbsoluteUrl)
{
    Server proxy(loopback::answer(kResponse));
    CHttpClnt c(4096, 4096);
    c.SetProxyHost("127.0.0.1");
    c.SetProxyPort(proxy.port());
    c.SetHttpVersion("1.1");
    /* The target's name does not resolve: only the proxy is contacted. */
    const char *url = "http://nonexistent.invalid:81/cgi/x?a=1";
    EXPECT_EQ(c.Post(url, bytes("xy"), 2, "application/x-qz"), 1);
    proxy.join();
    EXPECT_EQ(proxy.received(), std::string("POST ") + url +
                                    " HTTP/1.1\r\nContent-type: application/x-qz\r\n"
                                    "Content-length: 2\r\n\r\nxy");
    EXPECT_STREQ(c.GetHost(), "nonexistent.invalid");
    EXPECT_EQ(c.GetPort(), 81);
    EXPECT_EQ(rcvText(c), kResponse);

    /* Through a proxy a request needs a URL of its own. */
    EXPECT_EQ(c.Get(nullptr), 0);
}

/* ---- requests: how the response is collected ---- */

TEST(HttpClntRequest, ResponseCollectedRawInPiecesUntilClose)
{
    Server server([](Conn &c) {
        c.readRequest();
        c.send("HTTP/1.0 200 OK\r\n");
        c.pause(100);
        c.send("X: y\r\n\r\n");
        c.pause(100);
        c.send(std::string("bin\0ary", 7));
    });
    CHttpClnt c(server.url("/r").c_str(), 4096, 4096);
    c.SetMaxRcvDataLen(5);
    EXPECT_EQ(c.Get(nullptr), 1); /* the stored URL, split by the constructor */
    EXPECT_EQ(rcvText(c), "HTTP/1.0 200 OK\r\nX: y\r\n\r\n" + std::string("bin\0ary", 7));
}

TEST(HttpClntRequest, SecondRequestAppendsToReceivedData)
{
    int n = 0;
    Server server(
        [&n](Conn &c) {
            c.readRequest();
            c.send(n++ == 0 ? "first|" : "second");
        },
        2);
    CHttpClnt c(4096, 4096);
    EXPECT_EQ(c.Get(server.url("/1").c_str()), 1);
    EXPECT_EQ(c.Head(server.url("/2").c_str()), 1);
    EXPECT_EQ(rcvText(c), "first|second");
    EXPECT_EQ(sndText(c), "HEAD /2 HTTP/1.0\r\n\r\n");
}

TEST(HttpClntRequest, SilentServerEndsAfterTimeout)
{
    struct Counting : CHttpClnt {
        Counting() : CHttpClnt(4096, 4096) {}
        int idles = 0;
        int OnPostIdle() override
        {
            idles++;
            return CHttpClnt::OnPostIdle();
        }
    } c;
    Server server(loopback::silent());
    c.SetTimeout(2);
    auto start = loopback::Clock::now();
    EXPECT_EQ(c.Post(server.url().c_str(), bytes("x"), 1, nullptr), 1);
    double waited = secondsSince(start);
    EXPECT_GE(waited, 0.9);
    EXPECT_LE(waited, 4.5);
    EXPECT_EQ(c.GetRcvData(), nullptr);
    /* Idle callbacks run while waiting, but in slices, not in a tight loop. */
    EXPECT_GE(c.idles, 1);
    EXPECT_LE(c.idles, 1000);
}

TEST(HttpClntRequest, DataRestartsTheSilenceLimit)
{
    Server server([](Conn &c) {
        c.readRequest();
        for (const char *piece : {"a", "b", "c"}) {
            c.send(piece);
            c.pause(1200);
        }
    });
    CHttpClnt c(4096, 4096);
    c.SetTimeout(3);
    EXPECT_EQ(c.Get(server.url().c_str()), 1);
    EXPECT_EQ(rcvText(c), "abc"); /* 3.6 s in all, but never 3 s of silence */
}

TEST(HttpClntRequest, TimeoutZeroWaitsForTheResponseWithoutLimit)
{
    Server server([](Conn &c) {
        c.readRequest();
        c.pause(1500);
        c.send(kResponse);
    });
    CHttpClnt c(4096, 4096);
    c.SetTimeout(0);
    EXPECT_EQ(c.Get(server.url().c_str()), 1);
    EXPECT_EQ(rcvText(c), kResponse);
}

/* ---- requests: stopping ---- */

TEST(HttpClntRequest, AbortFlagStopsAfterSending)
{
    Server server(loopback::answer(kResponse));
    CHttpClnt c(4096, 4096);
    c.SetAbortFlag(1);
    EXPECT_EQ(c.Post(server.url("/a").c_str(), bytes("abc"), 3, "t/x"), -1);
    server.join();
    EXPECT_EQ(server.received(),
              "POST /a HTTP/1.0\r\nContent-type: t/x\r\nContent-length: 3\r\n\r\nabc");
    EXPECT_EQ(c.GetRcvData(), nullptr);
    EXPECT_EQ(c.GetAbortFlag(), 1);
}

TEST(HttpClntRequest, OverridingCallbacksDecideTheResult)
{
    struct Stopper : CHttpClnt {
        Stopper() : CHttpClnt(4096, 4096) {}
        std::string seen;
        int OnGetData(long count, unsigned char *buf) override
        {
            if (count > 0)
                seen.append(reinterpret_cast<char *>(buf), static_cast<size_t>(count));
            return 7;
        }
        int OnHeadIdle() override
        {
            if (GetAbortFlag() == 0) {
                SetAbortFlag(1);
                return 1;
            }
            return CHttpClnt::OnHeadIdle();
        }
    } c;
    Server server(loopback::answer("hi"));
    EXPECT_EQ(c.Get(server.url().c_str()), 7);
    EXPECT_EQ(c.seen, "hi");
    EXPECT_EQ(c.GetRcvData(), nullptr); /* the override did not store it */

    Server silent(loopback::silent());
    auto start = loopback::Clock::now();
    EXPECT_EQ(c.Head(silent.url().c_str()), -1); /* the flag set by the idle callback */
    EXPECT_LT(secondsSince(start), 4.5);
}

/* ---- requests: failures ---- */

TEST(HttpClntRequest, FailuresReturnZero)
{
    CHttpClnt c(4096, 4096);
    EXPECT_EQ(c.Get(nullptr), 0); /* no URL at all */
    EXPECT_EQ(c.Get("127.0.0.1/x"), 0);
    EXPECT_STREQ(c.GetURL(), "127.0.0.1/x");
    EXPECT_EQ(c.GetHost(), nullptr);

    std::string refused = "http://127.0.0.1:" + std::to_string(loopback::closedPort()) + "/";
    EXPECT_EQ(c.Get(refused.c_str()), 0);
    EXPECT_EQ(c.GetRequestMethod(), nullptr); /* nothing was sent */
    EXPECT_EQ(c.Post("http://nonexistent.invalid/x", bytes("x"), 1, nullptr), 0);

    CHttpClnt byHost("127.0.0.1", 80, 4096, 4096);
    EXPECT_EQ(byHost.Get(nullptr), 0); /* a request needs a URL */

    /* No request line or no read buffer: 0 before any connection. */
    Server server(loopback::answer(kResponse));
    CHttpClnt noVersion(4096, 4096);
    noVersion.SetHttpVersion("");
    EXPECT_EQ(noVersion.Get(server.url().c_str()), 0);
    CHttpClnt noBuffer(4096, 4096);
    noBuffer.SetMaxRcvDataLen(0);
    EXPECT_EQ(noBuffer.Get(server.url().c_str()), 0);
    CHttpClnt noPath(4096, 4096);
    noPath.SetURL("http://x/");
    noPath.SetHost("127.0.0.1");
    noPath.SetPort(server.port());
    EXPECT_EQ(noPath.Get(nullptr), 0);
    EXPECT_EQ(server.accepted(), 0u);
}

TEST(HttpClntRequest, FailedConnectKeepsOneSocketUntilTheNextRequest)
{
    std::atomic<bool> counted{false};
    Server server([&counted](Conn &c) {
        c.readRequest();
        c.send(kResponse);
        for (int i = 0; i < 300 && !counted; i++)
            c.pause(10);
    });
    struct Watching : CHttpClnt {
        Watching(std::atomic<bool> &flag) : CHttpClnt(4096, 4096), done(flag) {}
        std::atomic<bool> &done;
        int during = -1;
        int OnGetData(long count, unsigned char *buf) override
        {
            if (during < 0) {
                during = openDescriptors();
                done = true;
            }
            return CHttpClnt::OnGetData(count, buf);
        }
    } c(counted);

    const int baseline = openDescriptors();
    std::string refused = "http://127.0.0.1:" + std::to_string(loopback::closedPort()) + "/";
    EXPECT_EQ(c.Get(refused.c_str()), 0);
    EXPECT_EQ(openDescriptors(), baseline + 1); /* the unconnected socket is held */
    EXPECT_EQ(c.Get(server.url().c_str()), 1);
    EXPECT_EQ(c.during, baseline + 2); /* our connection and the server's end of it */
    EXPECT_EQ(openDescriptors(), baseline);
}

/* poll() has no descriptor-number limit: a socket numbered above 1024 works. */
TEST(HttpClntRequest, HighNumberedDescriptorWorks)
{
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlim_t needed = 1100;
    if (saved.rlim_cur < needed) {
        if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < needed)
            GTEST_SKIP() << "descriptor limit too low";
        struct rlimit raised = saved;
        raised.rlim_cur = needed;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    Server server(loopback::answer(kResponse));
    std::vector<int> fillers;
    for (int i = 0; i < 1100; i++) {
        int fd = open("/dev/null", O_RDONLY);
        if (fd < 0)
            break;
        fillers.push_back(fd);
        if (fd >= 1030)
            break;
    }
    ASSERT_GE(fillers.back(), 1030); /* every lower number is taken */

    CHttpClnt c(4096, 4096);
    EXPECT_EQ(c.Get(server.url().c_str()), 1);
    EXPECT_EQ(rcvText(c), kResponse);

    for (int fd : fillers)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
}

/* A server that closes at once while a large body is sent: Post fails, and writing to the
 * closed connection raises no SIGPIPE (which would end this process). */
TEST(HttpClntRequest, PeerClosingDuringSendDoesNotKillTheProcess)
{
    signal(SIGPIPE, SIG_DFL);
    Server server([](Conn &) {});
    std::vector<unsigned char> body(32u << 20, 'b');
    CHttpClnt c(4096, 4096);
    c.SetTimeout(5);
    EXPECT_EQ(
        c.Post(server.url().c_str(), body.data(), static_cast<unsigned int>(body.size()), nullptr),
        0);
}

} // namespace
