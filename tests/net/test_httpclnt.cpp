/* SPDX-License-Identifier: Apache-2.0 */
/* CHttpClnt's requests as the transport makes them (one Post per client) against scripted servers
 * on 127.0.0.1: refusals, silence, failures and descriptors. The exact request bytes are checked on
 * texts in test_http_format; proxies, resets and hostile servers end to end in tests/tool. */
#include "httpclnt.h"
#include "loopback_server.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>

#include <cstring>
#include <string>
#include <vector>

using loopback::Conn;
using loopback::openDescriptors;
using loopback::secondsSince;
using loopback::Server;

namespace {

const std::string kResponse = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nbody\r\n\r\nmore";
const unsigned char kBody[] = "card";

std::string rcvText(const CHttpClnt &c)
{
    return c.GetRcvData() == nullptr
               ? std::string()
               : std::string(reinterpret_cast<const char *>(c.GetRcvData()), c.GetRcvDataLen());
}

/* A URL the client does not understand is refused before connecting, though the host, port and
 * path held from the constructor's URL would reach the server; so is such a URL once stored. */
TEST(HttpClntRequest, RefusedUrlsSendNothing)
{
    Server server(loopback::answer(kResponse));
    const std::string at = "127.0.0.1:" + std::to_string(server.port());
    CHttpClnt c(server.url().c_str(), 4096, 4096);
    c.SetTimeout(1); /* a client that does connect fails soon */
    for (const std::string &url : {"ftp://" + at + "/pay", at + "/pay"}) {
        EXPECT_EQ(c.Post(url.c_str(), kBody, 4, nullptr), 0) << url;
        EXPECT_STREQ(c.GetURL(), url.c_str());
    }
    EXPECT_EQ(c.Post(nullptr, kBody, 4, nullptr), 0);
    EXPECT_EQ(c.GetSndData(), nullptr);
    EXPECT_EQ(server.accepted(), 0u);
}

/* A silent server ends the request after Timeout seconds; data restarts that limit. Idle callbacks
 * run while waiting, in slices, not in a tight loop. */
TEST(HttpClntRequest, SilenceLimit)
{
    struct Counting : CHttpClnt {
        Counting() : CHttpClnt(4096, 4096) {}
        int idles = 0;
        int OnPostIdle() override { return idles++, CHttpClnt::OnPostIdle(); }
    };
    const struct {
        long timeout;
        int gapMs;
        const char *got;
        double seconds; /* the least the request takes */
    } cases[] = {{2, 3000, "a", 1.9}, {3, 1200, "abcd", 3.5}};
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
        EXPECT_EQ(c.Post(server.url().c_str(), kBody, 4, nullptr), 1);
        EXPECT_EQ(rcvText(c), t.got) << t.timeout;
        EXPECT_GE(secondsSince(start), t.seconds);
        EXPECT_LE(secondsSince(start), t.seconds + 3 * loopback::timeScale());
        EXPECT_TRUE(c.idles >= 1 && c.idles <= 1000) << c.idles;
    }
}

/* Failures return 0. A refused connect sends nothing and keeps its socket until the next
 * request, which closes it and its own. */
TEST(HttpClntRequest, FailuresReturnZero)
{
    Server server(loopback::answer(kResponse));
    CHttpClnt c(4096, 4096);
    EXPECT_EQ(c.Post(nullptr, kBody, 4, nullptr), 0); /* no URL at all */
    EXPECT_EQ(c.Post("http://nonexistent.invalid/x", kBody, 4, nullptr), 0);
    const size_t baseline = openDescriptors();
    const std::string refused = "http://127.0.0.1:" + std::to_string(loopback::closedPort()) + "/";
    EXPECT_EQ(c.Post(refused.c_str(), kBody, 4, nullptr), 0);
    EXPECT_EQ(c.Post(refused.c_str(), kBody, 4, nullptr), 0);
    EXPECT_EQ(c.GetRequestMethod(), nullptr);   /* nothing was sent */
    EXPECT_EQ(openDescriptors(), baseline + 1); /* one unconnected socket held, not two */
    EXPECT_EQ(server.accepted(), 0u);

    EXPECT_EQ(c.Post(server.url().c_str(), kBody, 4, nullptr), 1);
    server.join();
    EXPECT_EQ(openDescriptors(), baseline);
}

/* The request as it reaches a server or a proxy: Host always, credentials only to a proxy. The
 * response ends once its Content-Length is in, though the server holds the connection open; a
 * shorter body still waits for the silence limit (4 s). */
TEST(HttpClntRequest, HostCredentialsAndContentLength)
{
    const std::string ok = "HTTP/1.0 200 OK\r\nContent-Length: 8\r\n\r\n";
    const std::string post = " HTTP/1.0\r\nHost: %\r\n", tail = "Content-type: text/plain\r\n"
                                                                 "Content-length: 4\r\n\r\ncard";
    const struct {
        const char *name;
        bool viaProxy;
        const char *credentials;
        std::vector<std::string> pieces; /* sent 200 ms apart, then the connection is held */
        const char *request; /* % stands for the host and port of the server */
        double atLeast, atMost;
    } cases[] = {
        {"direct, body in one piece", false, "u:p", {ok + "bodybody"}, "POST /pay", 0, 3},
        {"direct, body in pieces", false, nullptr, {ok, "bo", "dybody"}, "POST /pay", 0.3, 3},
        {"body beyond the length", false, nullptr, {ok + "bodybodyMORE"}, "POST /pay", 0, 3},
        {"body shorter than the length", false, nullptr, {ok + "body"}, "POST /pay", 3.9, 7},
        {"through a proxy", true, "u:p", {ok + "bodybody"},
         "POST http://pay.example/pay HTTP/1.0\r\nHost: pay.example\r\nProxy-Authorization: "
         "Basic dTpw\r\n",
         0, 3},
        {"through a proxy, no credentials", true, nullptr, {ok + "bodybody"},
         "POST http://pay.example/pay HTTP/1.0\r\nHost: pay.example\r\n", 0, 3},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.name);
        const std::vector<std::string> pieces = t.pieces;
        Server server([pieces](Conn &c) {
            c.readRequest();
            for (const std::string &piece : pieces) {
                c.send(piece);
                c.pause(200);
            }
            for (int round = 0; round < 800 && c.readSome(10); round++) {
            } /* held open until the client closes, at most 8 s */
        });
        CHttpClnt c(4096, 4096);
        c.SetTimeout(4);
        if (t.credentials != nullptr)
            c.SetProxyCredentials(t.credentials, strlen(t.credentials));
        std::string url = server.url("/pay");
        if (t.viaProxy) {
            c.SetProxyHost("127.0.0.1");
            c.SetProxyPort(server.port());
            url = "http://pay.example/pay";
        }
        const auto start = loopback::Clock::now();
        EXPECT_EQ(c.Post(url.c_str(), kBody, 4, nullptr), 1);
        const double took = secondsSince(start);
        EXPECT_TRUE(took >= t.atLeast && took <= t.atMost) << took;
        std::string all;
        for (const std::string &piece : pieces)
            all += piece;
        EXPECT_EQ(rcvText(c), all);
        server.join();
        std::string request = t.request;
        if (!t.viaProxy)
            request += post;
        const size_t mark = request.find('%');
        if (mark != std::string::npos)
            request.replace(mark, 1, "127.0.0.1:" + std::to_string(server.port()));
        EXPECT_EQ(server.received(), request + tail);
    }
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
    EXPECT_EQ(c.Post(server.url().c_str(), kBody, 4, nullptr), 1);
    EXPECT_EQ(rcvText(c), kResponse);
    for (int fd : fillers)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
}

} // namespace

/* What no payment runs: GET and HEAD with their callbacks and the abort flag, the URL and host
 * constructors, the stored texts and the length setters (each step on a buffer and what it then
 * holds). */
struct Counting : CHttpClnt {
    using CHttpClnt::CHttpClnt;
    int calls = 0;
    int OnGetIdle() override { return calls++, CHttpClnt::OnGetIdle(); }
    int OnHeadIdle() override { return calls++, CHttpClnt::OnHeadIdle(); }
    int OnGetData(long n, unsigned char *b) override { return calls++, CHttpClnt::OnGetData(n, b); }
    int OnHeadData(long n, unsigned char *b) override { return calls++, CHttpClnt::OnHeadData(n, b); }
};

TEST(HttpClntExtra, GetAndHeadThroughTheirCallbacks)
{
    const struct {
        bool head;
        short abort;
        int result;
        const char *got;
    } cases[] = {{false, 0, HTTP_DONE, kResponse.c_str()}, {true, 0, HTTP_DONE, kResponse.c_str()},
                 {false, 1, HTTP_ABORTED, ""}, {true, 7, HTTP_ABORTED, ""}};
    for (const auto &t : cases) {
        Server server(loopback::answer(kResponse));
        Counting c(server.url("/x").c_str(), 0, 0); /* the stored URL is used */
        c.SetAbortFlag(t.abort);
        EXPECT_EQ(c.GetAbortFlag(), t.abort);
        EXPECT_EQ(t.head ? c.Head(nullptr) : c.Get(nullptr), t.result) << t.head << t.abort;
        EXPECT_EQ(rcvText(c), t.got);
        EXPECT_GE(c.calls, 1);
        server.join();
        EXPECT_EQ(server.received().substr(0, 17), t.head ? "HEAD /x HTTP/1.0\r" : "GET /x HTTP/1.0\r\n");
    }
}

TEST(HttpClntExtra, ConstructorsTextsAndLengthSetters)
{
    for (unsigned short port : {0, 8443}) {
        CHttpClnt c("[::1]", port, 1, 1);
        EXPECT_EQ(std::string(c.GetHost()) + ":" + std::to_string(c.GetPort()), port ? "[::1]:8443" : "[::1]:80");
    }
    CHttpClnt c("https://[::1]:9/p?q", 1, 1);
    c.SetHeader("X-A: 1");
    c.SetLocation("/moved");
    EXPECT_EQ(std::string(c.GetHost()) + c.GetSubURL() + c.GetHeader() + c.GetLocation(), "::1/p?qX-A: 1/moved");
    const unsigned char abc[] = "abc";
    const struct {
        bool received, setLength;
        unsigned int n;
        std::string holds; /* the buffer after the step */
    } steps[] = {{true, true, 2, ""}, {true, false, 3, "abc"}, {true, true, 5, std::string("abc\0\0", 5)},
                 {true, false, 0, std::string("abc\0\0", 5)}, {true, true, 1, "a"},
                 {false, false, 2, "ab"}, {false, true, 4, std::string("ab\0\0", 4)}, {false, true, 0, ""}};
    for (const auto &t : steps) {
        t.setLength ? (t.received ? c.SetRcvDataLen(t.n) : c.SetSndDataLen(t.n))
                    : (t.received ? c.SetRcvData(abc, t.n) : c.SetSndData(abc, t.n));
        EXPECT_EQ(t.received ? rcvText(c) : std::string(reinterpret_cast<const char *>(c.GetSndData()), c.GetSndDataLen()),
                  t.holds) << t.n;
    }
}
