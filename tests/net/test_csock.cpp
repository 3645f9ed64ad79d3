/* SPDX-License-Identifier: Apache-2.0 */
/* CSock against scripted servers on 127.0.0.1: connecting, sending, receiving, time-outs, and the
 * failures a peer or a bad name can cause. */
#include "csock.h"
#include "loopback_server.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <vector>

using loopback::Conn;
using loopback::secondsSince;
using loopback::Server;

namespace {

TEST(CSock, ConnectTimeoutSaturates)
{
    CSock s("127.0.0.1", 80);
    const long seconds[] = {5, 0, -1, 3000000, LONG_MAX, -3000000, LONG_MIN},
               readBack[] = {5, 0, -1, 2147483, 2147483, -2147483, -2147483};
    for (size_t i = 0; i < sizeof seconds / sizeof seconds[0]; i++) {
        s.SetConnectTimeout(seconds[i]);
        EXPECT_EQ(s.GetConnectTimeout(), readBack[i]) << seconds[i];
    }
}

/* A name that does not resolve leaves no socket behind; a connected object refuses a second
 * connect. Then the exchange: bytes out, bytes back, the peer's close, and our own. */
TEST(CSock, ExchangeWithServerThatAnswersAndCloses)
{
    CSock unresolved("nonexistent.invalid", 80);
    EXPECT_EQ(unresolved.SocketConnect(nullptr, 0), 0);
    EXPECT_EQ(unresolved.GetSocket(), -1);

    Server server([](Conn &c) {
        while (c.received.size() < 5 && c.readSome(100)) {
        }
        c.send("world");
    });
    CSock s("127.0.0.1", server.port());
    ASSERT_EQ(s.SocketConnect(nullptr, 0), 1);
    EXPECT_EQ(s.SocketConnect(nullptr, 0), 0);
    const unsigned char hello[] = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(s.Send(hello, 5, 5), 5);
    unsigned char buf[3];
    std::string got;
    long n;
    while ((n = s.RecvMs(buf, sizeof buf, 5000)) > 0)
        got.append(reinterpret_cast<char *>(buf), static_cast<size_t>(n));
    EXPECT_EQ(got, "world");
    EXPECT_EQ(n, CSOCK_CLOSED);
    server.join();
    EXPECT_EQ(server.received(), "hello");
    EXPECT_EQ(s.SocketDisconnect(), 1);
}

/* Writing to a connection the peer has closed fails with -1; SIGPIPE must not end the process.
 * Both ways of closing: orderly (then our writes meet a reset: EPIPE) and by reset. The peer
 * closes only after our first byte, so the connect has been seen to complete. */
TEST(CSock, SendToClosedPeerFailsWithoutSignal)
{
    signal(SIGPIPE, SIG_DFL);
    for (int hard = 0; hard < 2; hard++) {
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
