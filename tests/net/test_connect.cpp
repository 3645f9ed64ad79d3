/* Getting to the server: a proxy's answer to CONNECT read from texts, the connect step over a
 * list of addresses, names looked up through the object's lookup, and every wait of a request
 * ended by the time-out or the exchange limit, with the phase and cause it reports. */
#include "csock.h"
#include "http_format.h"
#include "httpclnt.h"
#include "loopback_server.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <memory>
#include <string>
#include <tuple>

using namespace httpformat;
using loopback::secondsSince;
using loopback::Server;

namespace {

TEST(ParseConnectReply, Table)
{
    const std::string big(kMaxConnectReply, 'x'), reason(kMaxStatusLine, 'y');
    const struct {
        std::string answer;
        int result;
        int status;
        size_t headLen;
        std::string statusLine; /* cut to kMaxStatusLine */
    } cases[] = {
        {"HTTP/1.0 200 Connection established\r\n\r\n", CONNECT_ESTABLISHED, 200, 39,
         "HTTP/1.0 200 Connection established"},
        {"HTTP/1.1 204\nVia: p\n\n\x16\x03", CONNECT_ESTABLISHED, 204, 21, "HTTP/1.1 204"},
        {"HTTP/1.1 200 OK\r\nVia: p\r\n", CONNECT_INCOMPLETE, 200, 0, "HTTP/1.1 200 OK"},
        {"HTTP/1.1 403 Forbidden\r\n", CONNECT_REFUSED, 403, 0, "HTTP/1.1 403 Forbidden"},
        {"HTTP/1.0 407 Auth\x1b[2J\x7f\xff\r\n", CONNECT_REFUSED, 407, 0,
         "HTTP/1.0 407 Auth?[2J??"},
        {"HTTP/1.1 199 x\r\n\r\n", CONNECT_REFUSED, 199, 0, "HTTP/1.1 199 x"},
        {"HTTP/1.1 300\r\n\r\n", CONNECT_REFUSED, 300, 0, "HTTP/1.1 300"},
        {"HTTP/1.1 502 " + reason + "\r\n", CONNECT_REFUSED, 502, 0,
         ("HTTP/1.1 502 " + reason).substr(0, kMaxStatusLine)},
        {"HTTP/1", CONNECT_INCOMPLETE, 0, 0, ""},
        {"\x16\x03\x01\x02\x00", CONNECT_MALFORMED, 0, 0, ""},
        {"HTTP/1.1 20\r\n\r\n", CONNECT_MALFORMED, 0, 0, ""},
        {"HTTP/1.1 2000\r\n\r\n", CONNECT_MALFORMED, 0, 0, ""},
        {"HTTP/x.1 200 OK\r\n\r\n", CONNECT_MALFORMED, 0, 0, ""},
        {"HTTP/1.1 200 OK\r\nX: " + big, CONNECT_TOO_LONG, 200, 0, "HTTP/1.1 200 OK"},
        {"HTTP/1.1 200 " + big, CONNECT_TOO_LONG, 0, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.answer.substr(0, 40));
        testutil::ExactBuffer exact(c.answer.data(), c.answer.size());
        ConnectReply reply;
        EXPECT_EQ(ParseConnectReply(exact.get(), c.answer.size(), &reply), c.result);
        EXPECT_EQ(std::tie(reply.status, reply.headLen, reply.statusLine),
                  std::tie(c.status, c.headLen, c.statusLine));
    }
}

netaddr::Address address(const char *literal, unsigned short port)
{
    netaddr::AddressList one;
    EXPECT_EQ(netaddr::ParseLiteral(literal, port, &one), 1) << literal;
    return one.empty() ? netaddr::Address() : one[0];
}

/* The connect step tries the addresses in order, IPv6 ones included, and stops at the first that
 * answers; when none does, the cause names the last one and its socket stays until disconnect. */
TEST(ConnectAddresses, TriesEachInTurn)
{
    Server server(loopback::answer(""));
    const unsigned short closed = loopback::closedPort(), port = server.port();
    const int v6 = socket(AF_INET6, SOCK_STREAM, 0); /* a listener on ::1, when there is one */
    struct sockaddr_in6 a = {AF_INET6, 0, 0, in6addr_loopback, 0};
    socklen_t len = sizeof a;
    const bool haveV6 = bind(v6, reinterpret_cast<sockaddr *>(&a), len) == 0 &&
                        listen(v6, 1) == 0 &&
                        getsockname(v6, reinterpret_cast<sockaddr *>(&a), &len) == 0;
    const unsigned short port6 = ntohs(a.sin6_port);
    const std::string at = "127.0.0.1:",
                      refused = at + std::to_string(closed) + ": connection refused";
    const auto v4 = [](unsigned short p) { return address("127.0.0.1", p); };
    const struct {
        bool v6; /* needs the listener on ::1 */
        netaddr::AddressList addresses;
        int result;
        std::string where; /* connected to, or the cause */
    } cases[] = {
        {false, {v4(closed), address("[::1]", closed), v4(port)}, 1, at + std::to_string(port)},
        {true, {v4(closed), address("[::1]", port6)}, 1, "[::1]:" + std::to_string(port6)},
        {false, {address("::1", closed), v4(closed)}, 0, refused},
        {false, {}, 0, ""},
    };
    for (const auto &t : cases) {
        if (t.v6 && !haveV6)
            continue; /* no ::1 on this machine */
        CSock s(nullptr, 0);
        std::string cause, where;
        EXPECT_EQ(s.ConnectAddresses(t.addresses, 3000, &cause, &where), t.result);
        EXPECT_EQ(t.result ? where : cause, t.where);
        EXPECT_EQ(s.GetSocket() != -1, !t.addresses.empty());
    }
    close(v6);
}

/* A lookup answering ::1, then 127.0.0.1 after delayMs; *running counts the lookups not ended. */
netaddr::LookupFn lookup(std::shared_ptr<std::atomic<int>> running, int delayMs)
{
    return [running, delayMs](const std::string &, netaddr::AddressList *out, std::string *) {
        ++*running;
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        out->push_back(address("::1", 0));
        out->push_back(address("127.0.0.1", 0));
        --*running;
        return 1;
    };
}

/* Names resolve through the object's lookup, whose addresses are tried in turn (nothing listens on
 * ::1 here). Every step ends by the time-out or by the exchange limit, whichever comes first, and
 * says which; while receiving, the end keeps what arrived. A lookup that does not answer in time
 * is given up and finishes later on its own. */
TEST(HttpClntLimits, EveryWaitEnds)
{
    auto running = std::make_shared<std::atomic<int>>(0);
    const Server::Script trickle = [](loopback::Conn &c) {
        c.readRequest();
        for (int i = 0; i < 100 && !c.stop; i++, c.pause(100))
            c.send("x");
    };
    const struct {
        const char *name;
        int lookupMs;          /* through the lookup answering after this (-1: 127.0.0.1) */
        Server::Script script; /* null: nothing listens */
        long timeout, limitMs;
        int result;
        bool sent;
        const char *phase, *cause;
        double seconds;
    } cases[] = {
        {"lookup answers", 0, loopback::answer("HTTP/1.0 200 OK\r\n\r\n"), 1, 0, HTTP_DONE, true,
         "", "", 0},
        {"lookup, time-out", 3000, nullptr, 1, 0, HTTP_FAILED, false, "resolve",
         "pay.test: no answer within 1 s", 1},
        {"lookup, limit", 3000, nullptr, 5, 700, HTTP_FAILED, false, "resolve",
         "pay.test: the exchange did not end within its limit of 0.7 s", 0.7},
        {"refused", -1, nullptr, 5, 0, HTTP_FAILED, false, "connect", "connection refused", 0},
        {"silent", -1, loopback::silent(), 1, 0, HTTP_DONE, true, "receive", "no answer within 1 s",
         1},
        {"trickle, limit", -1, trickle, 1, 1200, HTTP_DONE, true, "receive",
         "the exchange did not end within its limit of 1.2 s", 1.2},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.name);
        std::unique_ptr<Server> server(t.script ? new Server(t.script) : nullptr);
        const unsigned short port = server ? server->port() : loopback::closedPort();
        CHttpClnt c(4096, 4096);
        c.SetLookup(lookup(running, t.lookupMs));
        c.SetTimeout(t.timeout);
        c.SetExchangeLimit(t.limitMs);
        const std::string url = std::string("http://") +
                                (t.lookupMs >= 0 ? "pay.test:" : "127.0.0.1:") +
                                std::to_string(port);
        const auto start = loopback::Clock::now();
        const int result =
            c.Post(url.c_str(), reinterpret_cast<const unsigned char *>("x"), 1, nullptr);
        EXPECT_GE(secondsSince(start), t.seconds - 0.05);
        EXPECT_LT(secondsSince(start), t.seconds + loopback::timeScale());
        EXPECT_EQ(std::make_tuple(result, c.GetRequestSent(), std::string(c.GetFailPhase())),
                  std::make_tuple(t.result, t.sent, std::string(t.phase)));
        EXPECT_NE(std::string(c.GetFailCause()).find(t.cause), std::string::npos)
            << c.GetFailCause();
    }
    for (int i = 0; i < 500 && *running != 0; i++) /* the abandoned lookups end */
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(*running, 0);
}

} // namespace
