/* CSock against scripted servers on 127.0.0.1: connecting, sending, receiving, time-outs, and the
 * failures a peer or a bad name can cause. */
#include "csock.h"
#include "loopback_server.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <vector>

using loopback::Conn;
using loopback::secondsSince;
using loopback::Server;

namespace {

TEST(CSock, ConnectTimeoutSaturates)
{
    CSock s("127.0.0.1", 80);
    const long secondsAndReadBack[] = {5,        5,        0,        0,       -1,       -1,
                                       2147483,  2147483,  3000000,  2147483, LONG_MAX, 2147483,
                                       -3000000, -2147483, LONG_MIN, -2147483};
    for (size_t i = 0; i < sizeof secondsAndReadBack / sizeof(long); i += 2) {
        s.SetConnectTimeout(secondsAndReadBack[i]);
        EXPECT_EQ(s.GetConnectTimeout(), secondsAndReadBack[i + 1]) << secondsAndReadBack[i];
    }
}

/* Without a connection everything is refused; a name that does not resolve leaves no socket; a
 * refused connection keeps its unconnected socket until disconnect or deletion. */
TEST(CSock, RefusalsAndFailedConnects)
{
    CSock s(nullptr, 0);
    unsigned char buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(s.Send(buf, 4, 1), CSOCK_SEND_ERROR);
    EXPECT_EQ(s.Recv(buf, 4, 0), CSOCK_RECV_ERROR);
    EXPECT_EQ(s.SocketDisconnect(), 0);
    EXPECT_EQ(s.SetNonBlockConnect(1), 0);
    EXPECT_EQ(s.SocketConnect(nullptr, 0), 0); /* no host */
    s.SetHost("127.0.0.1");
    EXPECT_EQ(s.SocketConnect(nullptr, 0), 0); /* port 0 */
    EXPECT_EQ(s.SocketConnect("nonexistent.invalid", 80), 0);
    EXPECT_EQ(s.GetSocket(), -1);

    CSock *refused = new CSock("127.0.0.1", loopback::closedPort());
    refused->SetConnectTimeout(5);
    EXPECT_EQ(refused->SocketConnect(nullptr, 0), 0);
    const int fd = refused->GetSocket();
    EXPECT_NE(fd, -1);
    EXPECT_EQ(refused->SocketConnect(nullptr, 0), 0);
    delete refused;
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

/* A connect that must not wait still succeeds on loopback; receive time-outs while the server
 * waits for our bytes; then the exchange and the close. */
TEST(CSock, ExchangeWithServerThatAnswersAndCloses)
{
    Server server([](Conn &c) {
        while (c.received.size() < 5 && c.readSome(100)) {
        }
        c.send("world");
    });
    CSock s("127.0.0.1", server.port());
    s.SetConnectTimeout(0);
    ASSERT_EQ(s.SocketConnect(nullptr, 0), 1);
    /* An open object refuses a second connect, but keeps the new host. */
    EXPECT_EQ(s.SocketConnect("other.invalid", 0), 0);
    EXPECT_STREQ(s.GetHost(), "other.invalid");

    unsigned char buf[3];
    const auto start = loopback::Clock::now();
    EXPECT_EQ(s.Recv(buf, sizeof buf, 0), CSOCK_TIMEOUT);
    EXPECT_LT(secondsSince(start), 0.5);
    EXPECT_EQ(s.Recv(buf, sizeof buf, 1), CSOCK_TIMEOUT);
    EXPECT_GE(secondsSince(start), 0.9);
    EXPECT_LE(secondsSince(start), 4.5);

    const unsigned char hello[] = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(s.Send(hello, 0, 5), CSOCK_SEND_ERROR);
    EXPECT_EQ(s.Send(nullptr, 5, 5), CSOCK_SEND_ERROR);
    EXPECT_EQ(s.Send(hello, 5, 5), 5);
    std::string got;
    long n;
    while ((n = s.Recv(buf, sizeof buf, 5)) > 0)
        got.append(reinterpret_cast<char *>(buf), static_cast<size_t>(n));
    EXPECT_EQ(got, "world");
    EXPECT_EQ(n, CSOCK_CLOSED);
    EXPECT_EQ(s.Recv(buf, sizeof buf, 0), CSOCK_CLOSED); /* the socket stays open */
    EXPECT_EQ(s.Recv(buf, 0, 0), CSOCK_RECV_ERROR);
    server.join();
    EXPECT_EQ(server.received(), "hello");
    EXPECT_EQ(s.SocketDisconnect(), 1);
    EXPECT_EQ(s.SocketDisconnect(), 0);
}

TEST(CSock, SendOfManyPiecesReturnsFullCount)
{
    const size_t size = 8u << 20;
    Server server([size](Conn &c) {
        while (c.received.size() < size && c.readSome(1000)) {
        }
    });
    std::vector<unsigned char> big(size);
    for (size_t i = 0; i < size; i++)
        big[i] = static_cast<unsigned char>(i * 7);
    CSock s("127.0.0.1", server.port());
    ASSERT_EQ(s.SocketConnect(nullptr, 0), 1);
    EXPECT_EQ(s.Send(big.data(), static_cast<unsigned int>(size), 5), static_cast<long>(size));
    server.join();
    EXPECT_TRUE(server.received() == std::string(big.begin(), big.end()));
}

/* A peer that takes nothing makes Send give up after the time-out instead of blocking. */
TEST(CSock, SendToPeerThatNeverReadsTimesOut)
{
    Server server([](Conn &c) { c.pause(10000); });
    std::vector<unsigned char> big(64u << 20);
    CSock s("127.0.0.1", server.port());
    ASSERT_EQ(s.SocketConnect(nullptr, 0), 1);
    auto start = loopback::Clock::now();
    EXPECT_EQ(s.Send(big.data(), static_cast<unsigned int>(big.size()), 1), CSOCK_TIMEOUT);
    EXPECT_LE(secondsSince(start), 4.5);
    EXPECT_EQ(s.Send(big.data(), static_cast<unsigned int>(big.size()), 0), CSOCK_TIMEOUT);
}

/* Writing to a connection the peer has closed fails with -1; SIGPIPE must not end the process.
 * Both ways of closing: orderly (then our writes meet a reset: EPIPE) and by reset. */
TEST(CSock, SendToClosedPeerFailsWithoutSignal)
{
    signal(SIGPIPE, SIG_DFL);
    for (int hard = 0; hard < 2; hard++) {
        /* The peer closes only after our first byte, so it cannot reset the connection before
         * the connect has been seen to complete, however slowly this side runs. */
        Server server([hard](Conn &c) {
            c.readSome(10000);
            if (hard)
                c.reset();
        });
        CSock s("127.0.0.1", server.port());
        ASSERT_EQ(s.SocketConnect(nullptr, 0), 1);
        unsigned char first = 'x';
        ASSERT_EQ(s.Send(&first, 1, 2), 1);
        server.join();
        std::vector<unsigned char> chunk(1u << 20);
        long result = 0;
        for (int i = 0; i < 50 && result >= 0; i++)
            result = s.Send(chunk.data(), static_cast<unsigned int>(chunk.size()), 2);
        EXPECT_EQ(result, CSOCK_SEND_ERROR);
    }
}

} // namespace
