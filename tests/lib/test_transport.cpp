/* SPDX-License-Identifier: Apache-2.0 */
#include "net/loopback_server.h"
#include "qzutil.h"
#include "testutil.h"
#include "vemrick.h"

#include <gtest/gtest.h>

#include <string>

/* How the transport cuts the reply out of a raw HTTP response and decodes it. */
TEST(ReadHttpReply, BodyAfterTheFirstBlankLine)
{
    const struct {
        const char *name;
        std::string raw;
        int rc;
        std::string reply;
    } cases[] = {
        {"CR LF head", "HTTP/1.0 200 OK\r\nA: b\r\n\r\nZm9v", QZ_OK, "foo"},
        {"body holding a blank line is decoded whole", "H\r\n\r\nZm9v\n\nYmFy", QZ_OK, "foobar"},
        {"bare LF head", "HTTP/1.0 200 OK\nA: b\n\nZm9v", QZ_OK, "foo"},
        {"CR LF CR LF is looked for first", "H\n\nZm9v\r\n\r\nYmFy", QZ_OK, "bar"},
        {"body split over lines", "H\r\n\r\nZm\r\n9v\r\n", QZ_OK, "foo"},
        {"no blank line", "HTTP/1.0 200 OK\r\nA: b\r\n", QZ_BAD_REPLY, ""},
        {"empty body", "HTTP/1.0 200 OK\r\n\r\n", QZ_BAD_REPLY, ""},
        {"body of blanks only", "H\r\n\r\n  \r\n", QZ_BAD_REPLY, ""},
        {"error page", "HTTP/1.0 500 Oops\r\n\r\n<html>error</html>", QZ_BAD_REPLY, ""},
        {"NUL in the head hides the blank line", std::string("H\0\r\n\r\nZm9v", 10), QZ_BAD_REPLY,
         ""},
        {"NUL ends the body", std::string("H\r\n\r\nZm9v\0YmFy", 13), QZ_OK, "foo"},
        {"nothing received", "", QZ_EMPTY_REPLY, ""},
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
    unsigned char *reply = nullptr;
    EXPECT_EQ(QZUtil::ReadHttpReply(nullptr, 0, &reply, nullptr), QZ_NOTHING_RECEIVED);
}

/* A proxy port above 65535 fails with QZ_POST_FAILED before anything is sent: cut to 16 bits it
 * would reach a listener on 127.0.0.1 that may be no proxy at all. (URLs the transport cannot
 * use are refused by SplitUrl's table and the end-to-end attacks.) */
TEST(SendQZRequest, UnusableProxyPortsSendNothing)
{
    unsigned short port = 0;
    const int listener = loopback::boundSocket(true, &port);
    ASSERT_GE(listener, 0);
    const unsigned char msg[] = "Zm9v";
    for (unsigned int proxyPort : {port + 65536u, 0xFFFFFFFFu}) {
        unsigned char *reply = nullptr;
        unsigned int replyLen = 0;
        Failure failure;
        EXPECT_EQ(QZUtil::SendQZRequest(msg, 4, "http://nonexistent.invalid/pay", "t/x", &reply,
                                        &replyLen, 2, "127.0.0.1", proxyPort, nullptr, &failure),
                  QZ_POST_FAILED)
            << proxyPort;
        EXPECT_EQ(std::string(failure.phase) + (failure.requestSent ? " sent" : ""), "proxy");
        EXPECT_EQ(reply, nullptr);
    }
    struct pollfd pending = {listener, POLLIN, 0};
    EXPECT_EQ(poll(&pending, 1, 100), 0) << "a connection reached the listener";
    close(listener);
}
