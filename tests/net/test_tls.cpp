/* SPDX-License-Identifier: Apache-2.0 */
/* https against TLS servers made here with OpenSSL's server API, on the throwaway certificates of
 * sim/certs.py: which servers are accepted, that every other one is refused in the handshake with
 * nothing of the request delivered, a handshake that stalls, and a CONNECT tunnel through a small
 * loopback proxy. */
#include "csock.h"
#include "httpclnt.h"
#include "loopback_server.h"
#include "tls.h"

#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include <unistd.h>

namespace {

using loopback::Conn;
using loopback::Server;

std::string certDir; /* made and removed by the test */

const std::string kReply = "HTTP/1.0 200 OK\r\n\r\nZm9v";
const std::string kBody = "card=4111111111111111";

/* A TLS server presenting cert (at most TLS version maxVersion when given): records the decrypted
 * request up to its body and answers kReply. */
Server::Script tlsServer(const std::string &cert, int maxVersion = 0)
{
    return [cert, maxVersion](Conn &c) {
        const struct timeval limit = {5L * loopback::timeScale(), 0}; /* OpenSSL's reads block */
        setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
        if (maxVersion != 0) { /* old protocols need the lowest security level to be offered */
            SSL_CTX_set_security_level(ctx, 0);
            SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
            SSL_CTX_set_max_proto_version(ctx, maxVersion);
            SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
        }
        SSL_CTX_use_certificate_file(ctx, (certDir + "/" + cert + ".pem").c_str(),
                                     SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(ctx, (certDir + "/" + cert + ".key").c_str(), SSL_FILETYPE_PEM);
        SSL *ssl = SSL_new(ctx);
        SSL_set_fd(ssl, c.fd);
        char buf[4096];
        int n;
        if (SSL_accept(ssl) == 1) {
            while (c.received.find(kBody) == std::string::npos &&
                   (n = SSL_read(ssl, buf, sizeof buf)) > 0)
                c.received.append(buf, static_cast<size_t>(n));
            SSL_write(ssl, kReply.data(), static_cast<int>(kReply.size()));
            SSL_shutdown(ssl);
        }
        SSL_free(ssl);
        SSL_CTX_free(ctx);
    };
}

/* A CONNECT proxy: reads the request head, connects to 127.0.0.1:target, answers 200 and relays
 * both ways until a side closes (at most 5 s). */
Server::Script connectProxy(unsigned short target)
{
    return [target](Conn &c) {
        c.readRequest();
        CSock upstream("127.0.0.1", target);
        if (upstream.SocketConnect(nullptr, 0) == 1) {
            c.send("HTTP/1.0 200 Connection established\r\n\r\n");
            struct pollfd p[2] = {{c.fd, POLLIN, 0}, {upstream.GetSocket(), POLLIN, 0}};
            char buf[4096];
            ssize_t n = 1;
            for (int round = 0; round < 500 && n > 0 && !c.stop && poll(p, 2, 10) >= 0; round++)
                for (int i = 0; i < 2 && n > 0; i++)
                    if (p[i].revents != 0 && (n = recv(p[i].fd, buf, sizeof buf, 0)) > 0)
                        n = send(p[1 - i].fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
        }
    };
}

/* A client that records its events. */
struct Traced : CHttpClnt {
    Traced() : CHttpClnt(4096, 4096) { SetTimeout(loopback::timeScale()); }
    std::string events;
    void OnEvent(const char *step, const char *detail) override
    {
        events += std::string(step) + "=" + detail + "\n";
    }
};

/* Accepted with the test CA's file, also through a CONNECT tunnel that checks the origin's name
 * inside it: the request arrives decrypted and the trace shows the handshake. A server that cannot
 * prove it is the one asked for, speaks no acceptable TLS, or stalls is refused in the handshake
 * within the time-out, before any byte of the request goes out. (Each verification cause's
 * wording is checked end to end in tests/tool/test_https.py.) */
TEST(Tls, WhichServersAreAccepted)
{
    signal(SIGPIPE, SIG_IGN); /* the servers here write through OpenSSL's plain socket calls */
    char dir[] = "/tmp/vemrick-tls-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    certDir = dir; /* tests/vectors/../../sim is the source tree's sim/ */
    const std::string makeCerts = "python3 " VEMRICK_TEST_VECTORS "/../../sim/certs.py " + certDir;
    if (system((makeCerts + " >/dev/null 2>&1").c_str()) != 0) {
        system(("rm -rf " + certDir).c_str());
        GTEST_SKIP() << "sim/certs.py could not make certificates (python3 or openssl missing)";
    }
    const struct {
        const char *name;
        Server::Script script;
        const char *host, *caFile;
        bool proxied, done;
        const char *expect; /* in the trace for a success, in the cause for a failure */
    } cases[] = {
        {"trusted", tlsServer("server"), "127.0.0.1", "ca.pem", false, true, "TLS=TLSv1.3, "},
        {"TLS 1.2 only", tlsServer("server", TLS1_2_VERSION), "127.0.0.1", "ca.pem", false, true,
         "TLS=TLSv1.2, "},
        {"by name through a CONNECT proxy", tlsServer("server"), "localhost", "ca.pem", true, true,
         "TLS=TLSv1.3, "},
        {"IP address mismatch", tlsServer("wrong-name"), "127.0.0.1", "ca.pem", false, false,
         "certificate verify failed (IP address mismatch)"},
        {"name mismatch through a CONNECT proxy", tlsServer("wrong-name"), "localhost", "ca.pem",
         true, false, "certificate verify failed (hostname mismatch)"},
        {"TLS 1.1 only", tlsServer("server", TLS1_1_VERSION), "127.0.0.1", "ca.pem", false, false,
         "protocol version"},
        {"plain HTTP listener", [](Conn &c) { c.readSome(1000), c.send(kReply); }, "127.0.0.1",
         "ca.pem", false, false, "wrong version number"},
        {"handshake stalls", [](Conn &c) { c.readSome(1000), c.pause(1500 * loopback::timeScale()); },
         "127.0.0.1", "ca.pem", false, false,
         "no answer within "},
    };
    const bool byName = loopback::localhostResolves();
    if (!byName)
        fprintf(stderr, "localhost does not resolve to 127.0.0.1 on this machine (no /etc/hosts "
                        "entry): the cases by name are skipped\n");
    for (const auto &t : cases) {
        SCOPED_TRACE(t.name);
        if (!byName && std::string(t.host) == "localhost")
            continue;
        Server server(t.script);
        std::unique_ptr<Server> proxy(t.proxied ? new Server(connectProxy(server.port()))
                                                : nullptr);
        const std::string at = t.host + (":" + std::to_string(server.port()));
        Traced c;
        c.SetCAFile(t.caFile ? (certDir + "/" + t.caFile).c_str() : nullptr);
        c.SetProxyHost(proxy ? "127.0.0.1" : nullptr);
        c.SetProxyPort(proxy ? proxy->port() : 0);
        const auto start = loopback::Clock::now();
        EXPECT_EQ(c.Post(("https://" + at + "/pay").c_str(),
                         reinterpret_cast<const unsigned char *>(kBody.data()), kBody.size(),
                         "t/x"),
                  t.done ? HTTP_DONE : HTTP_FAILED);
        EXPECT_LT(loopback::secondsSince(start), 6.0 * loopback::timeScale()); /* 1 s time-out */
        EXPECT_EQ(std::make_pair(c.GetRequestSent(), std::string(c.GetFailPhase())),
                  std::make_pair(t.done, std::string(t.done ? "" : "TLS")));
        EXPECT_NE((t.done ? c.events : std::string(c.GetFailCause())).find(t.expect),
                  std::string::npos)
            << c.GetFailCause() + ("\n" + c.events);
        server.join();
        if (t.done) {
            EXPECT_EQ(server.received(), "POST /pay HTTP/1.0\r\nHost: " + at +
                                             "\r\nContent-type: t/x\r\nContent-length: 21\r\n\r\n" +
                                             kBody);
            EXPECT_EQ(kReply, std::string(reinterpret_cast<const char *>(c.GetRcvData()),
                                          c.GetRcvDataLen()));
            EXPECT_NE(c.events.find("verify ok"), std::string::npos) << c.events;
        } else {
            EXPECT_EQ(server.received().find("card="), std::string::npos);
        }
        if (proxy) {
            proxy->join();
            EXPECT_EQ(proxy->received(), "CONNECT " + at + " HTTP/1.0\r\nHost: " + at + "\r\n\r\n");
        }
    }
    system(("rm -rf " + certDir).c_str());
}

/* A CA file is read whole up to 1 MiB, also from a pipe, which has no size to start from (its
 * buffer grows, keeping what it holds): a certificate block before or after 40 KiB of text is
 * found, a source of 1 MiB and one byte refused, an empty one too. (Only the block's base64 is
 * read here, not the certificate inside.) */
TEST(Tls, CaFileReadWhole)
{
    std::string why;
    if (!nettls::Available(&why))
        GTEST_SKIP() << why;
    signal(SIGPIPE, SIG_IGN);
    const std::string block = "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n";
    const struct {
        std::string content;
        bool pipe;
        const char *cause; /* "": accepted */
    } cases[] = {{block + std::string(40 * 1024, '#'), true, ""},
                 {std::string(40 * 1024, '#') + "\n" + block, false, ""},
                 {block + std::string(1024 * 1024 + 1 - block.size(), '#'), true, "larger than 1 MiB"},
                 {block + std::string(1024 * 1024 + 1 - block.size(), '#'), false, "larger than 1 MiB"},
                 {"", true, "empty"},
                 {std::string(1024 * 1024, '#'), false, "no certificate in it"}};
    char dir[] = "/tmp/vemrick-ca-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/ca.pem";
    for (const auto &t : cases) {
        int fds[2] = {-1, -1};
        std::thread writer;
        std::string path = file;
        if (t.pipe) {
            ASSERT_EQ(pipe(fds), 0);
            path = "/dev/fd/" + std::to_string(fds[0]);
            writer = std::thread([&t, &fds] {
                for (size_t at = 0; at < t.content.size();) {
                    const ssize_t n = write(fds[1], t.content.data() + at, t.content.size() - at);
                    if (n <= 0)
                        break;
                    at += static_cast<size_t>(n);
                }
                close(fds[1]);
            });
        } else {
            FILE *f = fopen(file.c_str(), "wb");
            ASSERT_NE(f, nullptr);
            fwrite(t.content.data(), 1, t.content.size(), f);
            fclose(f);
        }
        nettls::Setup setup;
        setup.caFile = path.c_str();
        std::string cause;
        const int fault = nettls::CheckFiles(setup, &cause);
        if (t.pipe) {
            close(fds[0]); /* a writer left with data ends on its broken pipe */
            writer.join();
        }
        EXPECT_EQ(fault, t.cause[0] ? nettls::FILES_CA : nettls::FILES_OK) << t.pipe << " " << t.cause;
        EXPECT_NE(cause.find(t.cause), std::string::npos) << cause;
    }
    unlink(file.c_str());
    rmdir(dir);
}

} // namespace
