/* SPDX-License-Identifier: Apache-2.0 */
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

using namespace testutil;

namespace {

const std::string kRequest = ReplyParts().request;
const QZExchange *const kExchanges[] = {&kQZPay, &kQZPreAuth};

const unsigned char *u(const std::string &s)
{
    return reinterpret_cast<const unsigned char *>(s.data());
}
unsigned int len(const std::string &s) { return static_cast<unsigned int>(s.size()); }

/* The decoded message, or "refused: <why>" when the build fails (then the text must be null). */
std::string build(const QZExchange &ex, const std::string &request, const char *expiry,
                  const std::string &key = kKey)
{
    unsigned char *text = reinterpret_cast<unsigned char *>(1);
    unsigned int n = 0;
    const char *why = nullptr;
    const int ok = BuildQZMessage(ex, u(request), len(request), expiry, u(key), len(key), &text, &n, &why);
    EXPECT_EQ(ok == 0, text == nullptr);
    std::string message = ok ? "" : std::string("refused: ") + why;
    if (ok)
        message = unbase64(std::string(reinterpret_cast<char *>(text), n));
    if (text != reinterpret_cast<unsigned char *>(1))
        free(text);
    return message;
}

struct Parsed {
    unsigned int rc;
    TransactionRecord rec;
    unsigned int count;
    bool listHanded;
    int verified; /* -1: not parsed */
};

/* Parses and, when that succeeded, verifies the first n bytes of reply from an exact-size heap
 * copy, into a record whose date/time holds "preset"; frees the card list. */
Parsed parse(const QZExchange &ex, const std::string &reply, size_t n = std::string::npos,
             const std::string &key = kKey)
{
    n = std::min(n, reply.size());
    ExactBuffer buf(reply.data(), n);
    Parsed p{0, recordFor(kRequest), 9999, false, -1};
    strcpy(p.rec.AuthorizationDateTime, "preset");
    char *list = nullptr;
    p.rc = ParseQZReply(ex, buf.get(), static_cast<unsigned int>(n), &p.rec, &p.count, &list);
    p.listHanded = list != nullptr;
    free(list);
    if (p.rc == QZ_OK)
        p.verified = VerifyQZReply(ex, buf.get(), static_cast<unsigned int>(n), &p.rec, p.count,
                                   u(key), len(key));
    return p;
}

int check(const QZExchange &ex, const std::string &reply, size_t n = std::string::npos,
          const TransactionRecord &rec = recordFor(kRequest))
{
    ExactBuffer buf(reply.data(), std::min(n, reply.size()));
    return CheckQZReply(ex, buf.get(), static_cast<unsigned int>(buf.n), &rec);
}

} // namespace

/* The whole message text, signature included, against an independent HMAC implementation. */
TEST(BuildMessage, MatchesIndependentVectors)
{
    const auto rows = readVectors("messages_build.txt");
    ASSERT_GE(rows.size(), 4u);
    for (const auto &r : rows) {
        const QZExchange &ex = r[0] == kQZPay.messageType ? kQZPay : kQZPreAuth;
        const Bytes key = fromHex(r[1]), request = fromHex(r[3]);
        const std::string req(request.begin(), request.end()), k(key.begin(), key.end());
        /* An empty expiry date is sent as eight spaces, like a null one. */
        for (const char *expiry : {r[2].empty() ? nullptr : r[2].c_str(), r[2].c_str()})
            EXPECT_EQ(base64(build(ex, req, expiry, k)), r[5]) << r[0] << ' ' << r[2];
    }
}

TEST(BuildMessage, Refusals)
{
    const std::string longest = payRequestOfLength(QZ_PAY_REQUEST_MAX_LEN);
    PayFields almost;
    almost.merchant = " 2040";
    for (const QZExchange *ex : kExchanges) {
        EXPECT_EQ(build(*ex, longest, "20240105").size(), ex->messageMaxLen);
        EXPECT_EQ(build(*ex, longest + "x", nullptr), "refused: the pay request is longer than 10622 bytes");
        EXPECT_EQ(build(*ex, kRequest, nullptr, std::string(64, 'k')).substr(0, 4), ex->messageType);
        EXPECT_EQ(build(*ex, kRequest, nullptr, std::string(65, 'k')), "refused: the merchant key is longer than 64 bytes");
        EXPECT_EQ(build(*ex, "", nullptr), "refused: the message cannot be built or signed");
        EXPECT_EQ(build(*ex, payRequest(almost), nullptr).substr(0, 4), ex->messageType);
        /* A "1041" echoing such a MerchantID would begin its signed range like a message. */
        for (const QZExchange *own : kExchanges) {
            PayFields f;
            f.merchant = std::string(own->messageType) + "1.00";
            EXPECT_EQ(build(*ex, payRequest(f), nullptr),
                      "refused: the MerchantID begins with a message type (2040 or 1093)");
        }
    }
}

TEST(ReplyCheck, TypeVersionAndEchoes)
{
    for (const QZExchange *ex : kExchanges) {
        const std::string good = makeReply(*ex);
        EXPECT_EQ(check(*ex, good), 1) << ex->replyType; /* shorter: in the prefix test below */
        EXPECT_EQ(check(ex == &kQZPay ? kQZPreAuth : kQZPay, good), 0) << "the other type";
        ReplyParts v;
        v.version = "1.01";
        EXPECT_EQ(check(*ex, makeReply(*ex, v)), 0) << ex->replyType;
        /* The first and last byte of each echo; a NUL there in the record must not shorten the
         * comparison either. */
        for (const QZField &f : kQZFields)
            for (size_t at : {f.offset, f.offset + f.width - 1}) {
                std::string bad = good;
                bad[ex->replyShift + at] ^= 0x20;
                EXPECT_EQ(check(*ex, bad), 0) << ex->replyType << " offset " << at;
                TransactionRecord rec = recordFor(kRequest);
                reinterpret_cast<char *>(&rec)[f.slot + at - f.offset] = '\0';
                EXPECT_EQ(check(*ex, good, good.size(), rec), 0) << "NUL at " << at;
            }
    }
}

/* A reply that cannot be read: nothing is written, no card list is handed over. */
TEST(ReplyParse, Refusals)
{
    const struct {
        const char *count;
        size_t cards;
    } cases[] = {{"   0", 1}, {"  -1", 1},    {"1025", 1025}, {"abcd", 1},
                 {"   2", 1}, {"1024", 1},    {nullptr, 1} /* signature starting with NUL */};
    for (const QZExchange *ex : kExchanges) {
        for (const auto &c : cases) {
            ReplyParts r;
            r.cardCount = c.count ? c.count : "";
            r.cards.assign(c.cards, "42");
            std::string reply = makeReply(*ex, r);
            if (c.count == nullptr)
                reply[QZReplySignature(*ex, 1)] = '\0';
            const Parsed p = parse(*ex, reply);
            const char *name = c.count ? c.count : "NUL";
            EXPECT_EQ(p.rc, static_cast<unsigned int>(QZ_BAD_REPLY)) << ex->replyType << ' ' << name;
            EXPECT_TRUE(!p.listHanded && p.count == 9999) << name;
            EXPECT_STREQ(p.rec.AuthorizationDateTime, "preset") << name;
        }
        ReplyParts most;
        most.cards.assign(QZ_MAX_CARDS, "42");
        EXPECT_EQ(parse(*ex, makeReply(*ex, most)).verified, 1) << "1024 cards";
    }
}

/* An honest reply changed in one way: how many signature characters are taken, and whether the
 * signature still verifies. */
TEST(ReplyVerify, SignatureAndSignedRange)
{
    using Edit = void (*)(std::string &, const QZExchange &);
    const auto sigLen = [](const char *field) { ReplyParts r; r.sigLen = field; return r; };
    ReplyParts otherKey;
    otherKey.key = "another-key";
    const struct {
        const char *name;
        ReplyParts parts;
        Edit edit;
        size_t taken;
        int verifies;
    } cases[] = {
        {"honest", {}, nullptr, 40, 1},
        {"length 39", sigLen("000000000039"), nullptr, 39, 0},
        {"length 41", sigLen("000000000041"), nullptr, 40, 1},
        {"negative length", sigLen("-00000000001"), nullptr, 40, 1},
        {"length beyond int", sigLen("999999999999"), nullptr, 40, 1},
        {"length 0", sigLen("000000000000"), nullptr, 0, 0},
        {"another key", otherKey, nullptr, 40, 0},
        {"lower-case signature", {}, [](std::string &s, const QZExchange &) {
             std::transform(s.end() - 40, s.end(), s.end() - 40, ::tolower); }, 40, 0},
        {"date/time changed", {}, [](std::string &s, const QZExchange &ex) {
             s[ex.replyDateTime + 2] ^= 1; }, 40, 0},
        {"1041: MerchantID echo, 1094: type changed", {}, [](std::string &s, const QZExchange &ex) {
             s[ex.replySignedFrom + 2] ^= 1; }, 40, 0},
        {"trailing bytes", {}, [](std::string &s, const QZExchange &) { s += "not examined"; },
         40, 1},
    };
    for (const QZExchange *ex : kExchanges) {
        for (const auto &c : cases) {
            std::string reply = makeReply(*ex, c.parts);
            if (c.edit != nullptr)
                c.edit(reply, *ex);
            const Parsed p = parse(*ex, reply);
            EXPECT_EQ(std::string(p.rec.AuthorizationNumber),
                      reply.substr(QZReplySignature(*ex, 1), c.taken))
                << ex->replyType << ' ' << c.name;
            EXPECT_EQ(p.verified, c.verifies) << ex->replyType << ' ' << c.name;
        }
    }
}

/* A "1041" signs from its offset 8, where the merchant's own messages have their type: a reply
 * whose signed range begins with "2040" or "1093" is such a message sent back, however well
 * signed. A "1094" signs from its own type, so the same echo does not matter there. */
TEST(ReplyVerify, OwnMessageSentBackIsNoReply)
{
    for (const QZExchange *sent : kExchanges) {
        PayFields f;
        f.merchant = std::string(sent->messageType) + "1.00";
        ReplyParts r;
        r.request = payRequestOfLength(400, f);
        const std::string reply = makeReply(kQZPay, r);
        EXPECT_EQ(check(kQZPay, reply, reply.size(), recordFor(r.request)), 1);
        EXPECT_EQ(parse(kQZPay, reply).verified, 0) << f.merchant;
        EXPECT_EQ(parse(kQZPreAuth, makeReply(kQZPreAuth, r)).verified, 1) << f.merchant;
    }
}

/* Replies made with an independent HMAC implementation, read whole and from every prefix, each
 * from an exact-size buffer: no reader may look past its end. */
TEST(ReplyReaders, IndependentVectorsAndEveryPrefix)
{
    const auto rows = readVectors("messages_replies.txt");
    ASSERT_GE(rows.size(), 4u);
    for (const auto &r : rows) {
        const QZExchange &ex = r[0] == kQZPay.replyType ? kQZPay : kQZPreAuth;
        const Bytes k = fromHex(r[1]), bytes = fromHex(r[2]);
        const std::string key(k.begin(), k.end()), reply(bytes.begin(), bytes.end());
        const Parsed whole = parse(ex, reply, reply.size(), key);
        ASSERT_EQ(whole.rc, 0u) << r[0];
        EXPECT_EQ(whole.rec.ReturnCode, std::stoi(r[3]));
        EXPECT_EQ(whole.count, static_cast<unsigned int>(std::stoul(r[4])));
        EXPECT_EQ(std::string(whole.rec.AuthorizationNumber), r[5]);
        EXPECT_EQ(whole.verified, std::stoi(r[6])) << r[0] << ' ' << r[5];
        for (size_t n = 0; n < reply.size(); n++) {
            EXPECT_EQ(check(ex, reply, n), n >= QZ_PAY_REQUEST_MIN_LEN + ex.replyShift) << n;
            EXPECT_EQ(parse(ex, reply, n, key).rc, 1005u) << r[0] << ' ' << n;
            ExactBuffer buf(reply.data(), n);
            EXPECT_EQ(VerifyQZReply(ex, buf.get(), static_cast<unsigned int>(n), &whole.rec,
                                    whole.count, u(key), len(key)),
                      0)
                << r[0] << ' ' << n;
        }
    }
}
