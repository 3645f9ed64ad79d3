/* CHttpClnt's requests as the transport makes them (one Post per client) against scripted servers
 * on 127.0.0.1: refusals, silence, failures and descriptors. The exact request bytes are checked on
 * texts in test_http_format; proxies, resets and hostile servers end to end in tests/tool. */
#include "httpclnt.h"
#include "loopback_server.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <string>
#include <vector>

using loopback::Conn;
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
    const int baseline = openDescriptors();
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
