/* Both transactions against scripted servers on 127.0.0.1: what they report for a reply. (A pay
 * request reflected back as its own reply is among the end-to-end attacks.) */
#include "net/loopback_server.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testutil::kKey;
const std::string kOk = "HTTP/1.0 200 OK\r\n\r\n";
const std::vector<std::string> kCards = {"ALPHA", "  12 34", "", "ABCDEFGHIJ", " 9"};
const std::vector<std::string> kTrimmed = {"ALPHA", "12 34", "", "ABCDEFGHIJ", "9"};

} // namespace

/* The server's own code comes with the reply's values (cards trimmed); a reply refused for any
 * reason, or a failure before any exchange, reports none of them, whatever the reply held. */
TEST(Transaction, OnlyAnAcceptedReplyIsReported)
{
    const std::string injected = "\nReturnCode=0\n", junk(40, 'J'), nul(40, '\0');
    /* own: a MerchantID that a signed message refuses (see BuildMessage.Refusals) */
    const std::string sent = "20240105123000", own = "20401.00";
    const struct {
        const char *name;
        const QZExchange *ex;
        std::string merchant, key, dateTime, signature, url; /* url "": the server's */
        unsigned int rc;
    } cases[] = {
        {"approved payment", &kQZPay, "M1", kKey, sent, "", "", 51},
        {"approved pre-authorization", &kQZPreAuth, "M1", kKey, sent, "", "", 51},
        {"no key: signature not checked", &kQZPay, "M1", "", injected, junk, "", 51},
        {"no key: nothing is signed", &kQZPay, own, "", sent, junk, "", 51},
        {"junk signature", &kQZPay, "M1", kKey, injected, junk, "", QZ_BAD_REPLY},
        {"junk signature", &kQZPreAuth, "M1", kKey, injected, junk, "", QZ_BAD_REPLY},
        {"signature starting with NUL", &kQZPay, "M1", kKey, sent, nul, "", QZ_BAD_REPLY},
        {"no URL", &kQZPay, "M1", kKey, sent, "", "-", QZ_BAD_ARGUMENTS},
        {"no URL", &kQZPreAuth, "M1", kKey, sent, "", "-", QZ_BAD_ARGUMENTS},
    };
    for (const auto &c : cases) {
        testutil::ReplyParts parts;
        testutil::PayFields fields;
        fields.merchant = c.merchant;
        parts.request = testutil::payRequest(fields);
        parts.dateTime = c.dateTime;
        parts.returnCode = "  51";
        parts.cards = kCards;
        parts.signature = c.signature;
        const std::string reply = testutil::makeReply(*c.ex, parts);
        loopback::Server server(loopback::answer(kOk + testutil::base64(reply)));
        /* the record and card list preset to junk */
        struct {
            unsigned int rc, count = 77;
            TransactionRecord rec;
            std::vector<std::string> cards;
            bool listNull;
        } r;
        memset(&r.rec, 'x', sizeof r.rec);
        char *list = reinterpret_cast<char *>(1);
        const std::string auth = testutil::base64(parts.request), url = c.url.empty() ? server.url() : "";
        const auto *k = reinterpret_cast<const unsigned char *>(c.key.data());
        const unsigned int kLen = static_cast<unsigned int>(c.key.size()),
                           length = static_cast<unsigned int>(auth.size());
        r.rc = c.ex == &kQZPay ? QZProcessPayTransaction(auth.c_str(), length, url.c_str(), &r.rec,
                                                         &r.count, &list, 5, k, kLen, nullptr, 0)
                               : QZProcessPreAuthorization(auth.c_str(), length, "20240105",
                                                           url.c_str(), &r.rec, &r.count, &list, 5,
                                                           k, kLen, nullptr, 0);
        r.listNull = list == nullptr;
        for (unsigned int i = 0; list != nullptr && i < r.count; i++)
            r.cards.push_back(list + QZ_CARD_ENTRY_SIZE * i);
        free(list);
        EXPECT_EQ(r.rec.ReturnCode, static_cast<int32_t>(r.rc));
        EXPECT_EQ(r.rc, c.rc) << c.name;
        EXPECT_EQ(std::string(r.rec.MerchantID, QZ_MERCHANT_ID_LEN),
                  c.rc == QZ_BAD_ARGUMENTS ? "xxxxxxxxxx" : testutil::field(c.merchant, 10));
        const bool reported = c.rc == 51;
        if (c.rc == QZ_BAD_ARGUMENTS) { /* the caller's record is left alone */
            EXPECT_EQ(std::string(r.rec.AuthorizationDateTime, sizeof r.rec.AuthorizationDateTime),
                      std::string(sizeof r.rec.AuthorizationDateTime, 'x'));
        } else {
            EXPECT_EQ(std::string(r.rec.AuthorizationDateTime),
                      reported ? testutil::field(c.dateTime, QZ_AUTH_DATE_TIME_LEN) : "")
                << c.name;
            EXPECT_EQ(std::string(r.rec.AuthorizationNumber),
                      reported ? reply.substr(reply.size() - 40) : "")
                << c.name;
        }
        EXPECT_EQ(r.cards, reported ? kTrimmed : std::vector<std::string>()) << c.name;
        EXPECT_EQ(r.listNull && r.count == 0, !reported) << c.name;
    }
}
