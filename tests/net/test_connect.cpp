/* SPDX-License-Identifier: Apache-2.0 */
/* Getting to the server: a proxy's answer to CONNECT read from texts, the connect step over a
 * list of addresses (the next one started while an earlier one is silent), and every wait of a
 * request ended by the time-out or the exchange limit, with the phase and cause it reports. */
#include "csock.h"
#include "http_format.h"
#include "httpclnt.h"
#include "loopback_server.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>

using namespace httpformat;
using loopback::openDescriptors;
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

/* A port on 127.0.0.1 where connections complete without being accepted (no descriptor of this
 * process comes of them); or, when silent, one that never answers: a listener whose queue is full
 * drops new connections without a word, as a host behind a broken route does. */
class Listener {
public:
    explicit Listener(bool silent) : listener_(socket(AF_INET, SOCK_STREAM, 0))
    {
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&a), len), 0);
        EXPECT_EQ(listen(listener_, silent ? 0 : 16), 0);
        EXPECT_EQ(getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len), 0);
        port_ = ntohs(a.sin_port);
        for (int i = 0; silent && i < 8; i++) { /* fill the queue until a connection stays unanswered */
            CSock fill(nullptr, 0);
            const int connected = fill.ConnectAddresses({address("127.0.0.1", port_)}, 100);
            fillers_.push_back(dup(fill.GetSocket()));
            if (!connected)
                break;
        }
    }
    ~Listener()
    {
        for (int fd : fillers_)
            close(fd);
        close(listener_);
    }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;
    unsigned short port() const { return port_; }

private:
    int listener_;
    unsigned short port_ = 0;
    std::vector<int> fillers_;
};

TEST(Interleave, FamiliesAlternateFromTheFirst)
{
    const auto list = [](std::initializer_list<const char *> literals) {
        netaddr::AddressList l;
        for (const char *a : literals)
            l.push_back(address(a, 1));
        return l;
    };
    const auto texts = [](const netaddr::AddressList &l) {
        std::string s;
        for (const auto &a : l)
            s += netaddr::AddressText(a) + " ";
        return s;
    };
    const netaddr::AddressList many(20, address("::6", 1));
    const struct {
        netaddr::AddressList given;
        std::string order;
    } cases[] = {
        {list({"::6", "::7", "1.0.0.4", "1.0.0.5"}), "::6 1.0.0.4 ::7 1.0.0.5 "},
        {list({"1.0.0.4", "::6", "::7", "::8"}), "1.0.0.4 ::6 ::7 ::8 "},
        {list({"1.0.0.4", "1.0.0.5"}), "1.0.0.4 1.0.0.5 "},
        {list({}), ""},
        {many, texts(netaddr::AddressList(many.begin(), many.begin() + 16))},
    };
    for (const auto &c : cases)
        EXPECT_EQ(texts(netaddr::Interleave(c.given)), c.order);
}

/* The connect step starts the next address while an earlier one is still silent, or at once when
 * the earlier ones failed; the first to connect wins and every other socket is closed. When none
 * connects in time, the cause says what happened to each address; the last attempt's socket stays
 * until disconnect. */
TEST(ConnectAddresses, FirstToConnectWins)
{
    Listener answering(false), silent(true);
    const unsigned short closed = loopback::closedPort(), port = answering.port();
    const auto v4 = [](unsigned short p) { return address("127.0.0.1", p); };
    const std::string at = "127.0.0.1:", quiet = at + std::to_string(silent.port()),
                      refused = at + std::to_string(closed) + ": connection refused";
    const struct {
        const char *name;
        netaddr::AddressList addresses;
        long timeoutMs;
        int result;
        std::string where; /* connected to, or the end of the cause */
        double seconds;    /* at least */
    } cases[] = {
        {"refused, then answers", {v4(closed), address("[::1]", closed), v4(port)}, 3000, 1,
         at + std::to_string(port), 0},
        {"silent, then answers", {v4(silent.port()), v4(port)}, 5000, 1, at + std::to_string(port),
         0.25},
        {"all refused", {address("::1", closed), v4(closed)}, 3000, 0,
         "[::1]:" + std::to_string(closed) + ": connection refused; " + refused, 0},
        {"refused and silent", {v4(silent.port()), v4(closed), v4(silent.port())}, 1000, 0,
         refused + "; " + quiet + ", " + quiet + ": no answer within 1 s", 1},
        {"more than the time allows", netaddr::AddressList(12, v4(silent.port())), 600, 0,
         " more not tried in time", 0.6},
        {"none", {}, 3000, 0, "", 0},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.name);
        const size_t before = openDescriptors();
        CSock s(nullptr, 0);
        std::string cause, where;
        const auto start = loopback::Clock::now();
        EXPECT_EQ(s.ConnectAddresses(t.addresses, t.timeoutMs, &cause, &where), t.result);
        EXPECT_GE(secondsSince(start), t.seconds - 0.05);
        EXPECT_LT(secondsSince(start), t.seconds + 2 * loopback::timeScale());
        const std::string said = t.result ? where : cause;
        EXPECT_EQ(said.substr(said.size() - std::min(said.size(), t.where.size())), t.where);
        EXPECT_EQ(openDescriptors(), before + (t.addresses.empty() ? 0 : 1));
        EXPECT_EQ(s.GetSocket() != -1, !t.addresses.empty());
    }
}

/* Every step ends by the time-out or by the exchange limit, whichever comes first, and says
 * which; while receiving, the end keeps what arrived. (Name lookups: tests/tool/test_network.py.) */
TEST(HttpClntLimits, EveryWaitEnds)
{
    const Server::Script trickle = [](loopback::Conn &c) {
        c.readRequest();
        for (int i = 0; i < 100 && !c.stop; i++, c.pause(100))
            c.send("x");
    };
    const struct {
        const char *name;
        Server::Script script; /* null: nothing listens */
        long timeout, limitMs;
        int result;
        bool sent;
        const char *phase, *cause;
        double seconds;
    } cases[] = {
        {"answers", loopback::answer("HTTP/1.0 200 OK\r\n\r\n"), 1, 0, HTTP_DONE, true, "", "",
         0},
        {"refused", nullptr, 5, 0, HTTP_FAILED, false, "connect", "connection refused", 0},
        {"silent", loopback::silent(), 1, 0, HTTP_DONE, true, "receive", "no answer within 1 s",
         1},
        {"trickle, limit", trickle, 1, 1200, HTTP_DONE, true, "receive",
         "the exchange did not end within its limit of 1.2 s", 1.2},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.name);
        std::unique_ptr<Server> server(t.script ? new Server(t.script) : nullptr);
        const unsigned short port = server ? server->port() : loopback::closedPort();
        CHttpClnt c(4096, 4096);
        c.SetTimeout(t.timeout);
        c.SetExchangeLimit(t.limitMs);
        const std::string url = "http://127.0.0.1:" + std::to_string(port);
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
}

} // namespace
