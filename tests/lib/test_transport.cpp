#include "net/loopback_server.h"
#include "qzutil.h"
#include "testutil.h"
#include "vemrick.h"

#include <gtest/gtest.h>

#include <string>

/* How the transport cuts the reply out of a raw HTTP response and decodes it. */
TEST(ReadHttpReply, BodyAfterTheFirstBlankLine)
{
    const std::string foo = "Zm9v"; /* "foo" */
    const struct {
        const char *name;
        std::string raw;
        int rc;
        std::string reply;
    } cases[] = {
        {"CR LF head", "HTTP/1.0 200 OK\r\nA: b\r\n\r\n" + foo, QZ_OK, "foo"},
        {"body holding a blank line is decoded whole", "H\r\n\r\nZm9v\n\nYmFy", QZ_OK, "foobar"},
        {"bare LF head", "HTTP/1.0 200 OK\nA: b\n\n" + foo, QZ_OK, "foo"},
        {"CR LF CR LF is looked for first", "H\n\nZm9v\r\n\r\nYmFy", QZ_OK, "bar"},
        {"body split over lines", "H\r\n\r\nZm\r\n9v\r\n", QZ_OK, "foo"},
        {"no blank line", "HTTP/1.0 200 OK\r\nA: b\r\n", QZ_BAD_REPLY, ""},
        {"empty body", "HTTP/1.0 200 OK\r\n\r\n", QZ_BAD_REPLY, ""},
        {"body of blanks only", "H\r\n\r\n  \r\n", QZ_BAD_REPLY, ""},
        {"error page", "HTTP/1.0 500 Oops\r\n\r\n<html>error</html>", QZ_BAD_REPLY, ""},
        {"NUL in the head hides the blank line", std::string("H\0\r\n\r\nZm9v", 10), QZ_BAD_REPLY,
         ""},
        {"NUL ends the body", std::string("H\r\n\r\nZm9v\0YmFy", 13), QZ_OK, "foo"},
    };
    for (const auto &c : cases) {
        testutil::ExactBuffer raw(c.raw.data(), c.raw.size());
        unsigned char *reply = nullptr;
        unsigned int replyLen = 12345;
        const int rc = QZUtil::ReadHttpReply(raw.get(), static_cast<unsigned int>(c.raw.size()),
                                             &reply, &replyLen);
        EXPECT_EQ(rc, c.rc) << c.name;
        if (rc == QZ_OK)
            EXPECT_EQ(std::string(reinterpret_cast<char *>(reply), replyLen), c.reply) << c.name;
        else
            EXPECT_EQ(replyLen, 12345u) << c.name << ": the length is written only on success";
        free(reply);
    }
}

TEST(ReadHttpReply, NothingOrZeroBytesReceived)
{
    unsigned char *reply = nullptr;
    unsigned int replyLen = 0;
    const unsigned char byte = 'x';
    EXPECT_EQ(QZUtil::ReadHttpReply(nullptr, 0, &reply, &replyLen), QZ_NOTHING_RECEIVED);
    EXPECT_EQ(QZUtil::ReadHttpReply(&byte, 0, &reply, &replyLen), QZ_EMPTY_REPLY);
    EXPECT_EQ(reply, nullptr);
}

/* URLs and proxy ports the transport cannot use fail with QZ_POST_FAILED before anything is sent:
 * a listener on 127.0.0.1 that a careless reading of each would reach sees no connection. */
TEST(SendQZRequest, UnusableUrlsAndProxyPortsSendNothing)
{
    unsigned short port = 0;
    const int listener = loopback::boundSocket(true, &port);
    ASSERT_GE(listener, 0);
    const std::string at = "127.0.0.1:" + std::to_string(port), pay = "http://" + at + "/pay";
    const struct {
        std::string url;
        const char *proxyHost;
        unsigned int proxyPort;
    } cases[] = {
        {"no-scheme/pay", nullptr, 0},
        {"", nullptr, 0},
        {"https://" + at + "/pay", nullptr, 0},
        {"http://127.0.0.1:" + std::to_string(port + 65536) + "/pay", nullptr, 0},
        {"http://" + at + "a/pay", nullptr, 0},
        {"http://127.0.0.1:/pay", nullptr, 0},
        {"http://nonexistent.invalid/pay", "127.0.0.1", port + 65536u}, /* 16 bits: the listener */
        {pay, "127.0.0.1", 0xFFFFFFFFu},
    };
    const unsigned char msg[] = "Zm9v";
    for (const auto &c : cases) {
        unsigned char *reply = nullptr;
        unsigned int replyLen = 0;
        EXPECT_EQ(QZUtil::SendQZRequest(msg, 4, c.url.c_str(), "application/x-qz", &reply,
                                        &replyLen, 2, c.proxyHost, c.proxyPort),
                  QZ_POST_FAILED)
            << c.url << " " << c.proxyPort;
        EXPECT_EQ(reply, nullptr);
    }
    struct pollfd pending = {listener, POLLIN, 0};
    EXPECT_EQ(poll(&pending, 1, 100), 0) << "a connection reached the listener";
    close(listener);
}

/* A reply followed by a reset is the reply: failing would tell the merchant "not sent" and invite
 * a second charge. A proxy port of 0 means no proxy. */
TEST(SendQZRequest, ReplyFollowedByResetIsRead)
{
    loopback::Server server([](loopback::Conn &c) {
        c.readRequest();
        c.send("HTTP/1.0 200 OK\r\n\r\nZm9v");
        c.pause(300);
        c.reset();
    });
    const unsigned char msg[] = "Zm9v";
    unsigned char *reply = nullptr;
    unsigned int replyLen = 0;
    EXPECT_EQ(QZUtil::SendQZRequest(msg, 4, server.url("/pay").c_str(), "application/x-qz", &reply,
                                    &replyLen, 5, "127.0.0.1", 0),
              QZ_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(reply), reply ? replyLen : 0), "foo");
    free(reply);
}
