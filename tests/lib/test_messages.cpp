#include "qz_internal.h"
#include "qz_messages.h"
#include "qzutil.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

using testutil::Bytes;
using testutil::ExactBuffer;

namespace {

const std::string kKey = "merchant-secret-key";

const unsigned char *u(const std::string &s) { return reinterpret_cast<const unsigned char *>(s.data()); }

std::string field(const std::string &value, size_t width)
{
    return value + std::string(width - value.size(), ' ');
}

/* A pay request of len (>= 378) bytes: header, six fields, then every byte value in turn. */
std::string payRequest(size_t len)
{
    std::string s = "PREQ1.00" + field("M1", 10) + field("T-42", 50) + "EUR" + field("12.50", 12) +
                    field("Two tickets", 255) + field("4111111111111111", 40);
    for (size_t i = 0; s.size() < len; i++)
        s += static_cast<char>(i % 256);
    return s;
}

/* The record as the transaction fills it before sending: the request's six fields, full width. */
TransactionRecord recordFor(const std::string &request)
{
    TransactionRecord rec;
    memset(&rec, 0, sizeof rec);
    const unsigned char *p = u(request);
    memcpy(rec.MerchantID, p + QZ_OFF_MERCHANT_ID, QZ_MERCHANT_ID_LEN);
    memcpy(rec.TransactionID, p + QZ_OFF_TRANSACTION_ID, QZ_TRANSACTION_ID_LEN);
    memcpy(rec.CurrencyCode, p + QZ_OFF_CURRENCY_CODE, QZ_CURRENCY_CODE_LEN);
    memcpy(rec.TransactionAmount, p + QZ_OFF_TRANSACTION_AMOUNT, QZ_TRANSACTION_AMOUNT_LEN);
    memcpy(rec.Description, p + QZ_OFF_DESCRIPTION, QZ_DESCRIPTION_LEN);
    memcpy(rec.PAN, p + QZ_OFF_PAN, QZ_PAN_LEN);
    return rec;
}

std::string sign(const std::string &data, const std::string &key = kKey)
{
    unsigned char sig[41];
    if (!QZUtil::CreateSignatureHMAC(u(key), static_cast<unsigned int>(key.size()), u(data),
                                     static_cast<unsigned int>(data.size()), sig, sizeof sig))
        return std::string(40, '?');
    return std::string(reinterpret_cast<char *>(sig), 40);
}

std::string decodeBase64(const unsigned char *text, unsigned int len)
{
    unsigned char *out = nullptr;
    const int n = QZUtil::base64_decode(text, static_cast<int>(len), &out);
    std::string s = n > 0 ? std::string(reinterpret_cast<char *>(out), static_cast<size_t>(n)) : "";
    free(out);
    return s;
}

/* ---- building ---- */

struct Built {
    int ok;
    bool textNull;
    std::string text, message;
};

Built build(const std::string &type, const std::string &request, const char *expiry,
            const std::string &key = kKey)
{
    unsigned char *text = reinterpret_cast<unsigned char *>(1);
    unsigned int len = 0;
    const unsigned int keyLen = static_cast<unsigned int>(key.size());
    int ok;
    if (type == "2040")
        ok = BuildPayTransactionMsg(u(request), static_cast<unsigned int>(request.size()), u(key),
                                    keyLen, &text, &len);
    else
        ok = BuildPreAuthorizationMsg(u(request), static_cast<unsigned int>(request.size()), expiry,
                                      u(key), keyLen, &text, &len);
    Built b{ok, text == nullptr, "", ""};
    if (ok && text != nullptr) {
        b.text.assign(reinterpret_cast<char *>(text), len);
        b.message = decodeBase64(text, len);
    }
    if (text != reinterpret_cast<unsigned char *>(1))
        free(text);
    return b;
}

bool isUpperHex(const std::string &s)
{
    for (char c : s)
        if (!isdigit(static_cast<unsigned char>(c)) && !(c >= 'A' && c <= 'F'))
            return false;
    return !s.empty();
}

/* ---- replies ---- */

struct Kind {
    const char *type;
    size_t shift;      /* of every field after the version, against the "1041" layout */
    size_t signedFrom; /* start of the signed range */
    size_t minLen;
    int (*check)(const unsigned char *, unsigned int, const TransactionRecord *);
    unsigned int (*parse)(const unsigned char *, unsigned int, TransactionRecord *, unsigned int *,
                          char **);
    int (*verify)(const unsigned char *, unsigned int, const TransactionRecord *, unsigned int,
                  const unsigned char *, unsigned int);
};

const Kind kPay = {"1041", 0, 8, 468, CheckPayTransactionReply, ParsePayTransactionReply,
                   VerifyPayTransactionReply};
const Kind kPreAuth = {"1094", 8, 0, 476, CheckPreAuthorizationReply, ParsePreAuthorizationReply,
                       VerifyPreAuthorizationReply};
const Kind *const kKinds[] = {&kPay, &kPreAuth};

struct ReplyParts {
    std::string type;             /* default: the kind's */
    std::string version = "1.00";
    std::string returnCode = "   0";
    std::string cardCount;        /* default: the number of cards, right-aligned */
    std::vector<std::string> cards = {"1234"};
    std::string sigLen = "000000000040";
    long signedFrom = -1;         /* default: the kind's */
    std::string key = kKey;
};

const std::string kRequest = payRequest(400);

/* A reply to kRequest laid out and signed as `r` says. */
std::string makeReply(const Kind &k, const ReplyParts &r = ReplyParts())
{
    std::string s = (r.type.empty() ? std::string(k.type) : r.type) + r.version;
    if (k.shift)
        s += "EXP-DATE";
    s += kRequest.substr(8, 370);
    s += "20240105123000      ";
    s += r.sigLen + r.returnCode;
    if (r.cardCount.empty()) {
        const std::string n = std::to_string(r.cards.size());
        s += std::string(4 - n.size(), ' ') + n;
    } else {
        s += r.cardCount;
    }
    for (const auto &c : r.cards)
        s += field(c, 10);
    const size_t from = r.signedFrom < 0 ? k.signedFrom : static_cast<size_t>(r.signedFrom);
    return s + sign(s.substr(from), r.key);
}

struct Parsed {
    unsigned int rc;
    TransactionRecord rec;
    unsigned int count;
    bool listHanded;
    std::vector<std::string> cards;
    int verified;
};

/* Parses (and verifies, when parsing succeeded) the first len bytes of reply from an exact-size
 * heap copy; frees the card list. */
Parsed parse(const Kind &k, const std::string &reply, size_t len = std::string::npos,
             const std::string &key = kKey)
{
    len = std::min(len, reply.size());
    ExactBuffer buf(reply.data(), len);
    Parsed p{};
    p.rec = recordFor(kRequest);
    p.count = 9999;
    char *list = nullptr;
    p.rc = k.parse(buf.get(), static_cast<unsigned int>(len), &p.rec, &p.count, &list);
    p.listHanded = list != nullptr;
    if (list != nullptr && p.count <= QZ_MAX_CARDS)
        for (unsigned int i = 0; i < p.count; i++)
            p.cards.push_back(list + QZ_CARD_ENTRY_SIZE * i);
    free(list);
    p.verified = p.rc == 0 ? k.verify(buf.get(), static_cast<unsigned int>(len), &p.rec, p.count,
                                      u(key), static_cast<unsigned int>(key.size()))
                           : -1;
    return p;
}

int check(const Kind &k, const std::string &reply, size_t len = std::string::npos)
{
    len = std::min(len, reply.size());
    ExactBuffer buf(reply.data(), len);
    const TransactionRecord rec = recordFor(kRequest);
    return k.check(buf.get(), static_cast<unsigned int>(len), &rec);
}

} // namespace

/* ---------------------------------------------------------------------------------------------- */

TEST(BuildMessage, PayMessageAroundA400ByteRequest)
{
    const Built b = build("2040", kRequest, nullptr);
    ASSERT_EQ(b.ok, 1);
    const std::string &m = b.message;
    ASSERT_EQ(m.size(), 460u);
    EXPECT_EQ(m.substr(0, 4), "2040");
    EXPECT_EQ(m.substr(4, 4), "1.00");
    EXPECT_EQ(m.substr(8, 400), kRequest);
    EXPECT_EQ(m.substr(408, 12), "000000000040");
    EXPECT_TRUE(isUpperHex(m.substr(420, 40))) << m.substr(420);
    EXPECT_EQ(m.substr(420, 40), sign(m.substr(0, 420)));
}

TEST(BuildMessage, PreAuthorizationExpiryField)
{
    const struct {
        const char *expiry;
        std::string field;
    } cases[] = {{"20240105", "20240105"}, {nullptr, "        "}, {"", "        "}};
    std::string signatures[3];
    int i = 0;
    for (const auto &c : cases) {
        const Built b = build("1093", kRequest, c.expiry);
        ASSERT_EQ(b.ok, 1);
        const std::string &m = b.message;
        ASSERT_EQ(m.size(), 468u);
        EXPECT_EQ(m.substr(0, 8), "10931.00");
        EXPECT_EQ(m.substr(8, 8), c.field);
        EXPECT_EQ(m.substr(16, 400), kRequest);
        EXPECT_EQ(m.substr(416, 12), "000000000040");
        EXPECT_EQ(m.substr(428, 40), sign(m.substr(0, 428))) << "the expiry field is signed";
        signatures[i++] = m.substr(428);
    }
    EXPECT_NE(signatures[0], signatures[1]);
    EXPECT_EQ(signatures[1], signatures[2]);
}

/* The whole message text, signature included, against an independent HMAC implementation. */
TEST(BuildMessage, MatchesIndependentVectors)
{
    const auto rows = testutil::readVectors("messages_build.txt");
    ASSERT_GE(rows.size(), 4u);
    for (const auto &r : rows) {
        ASSERT_EQ(r.size(), 6u);
        const Bytes key = testutil::fromHex(r[1]), request = testutil::fromHex(r[3]);
        const Built b = build(r[0], std::string(request.begin(), request.end()),
                              r[2].empty() ? nullptr : r[2].c_str(),
                              std::string(key.begin(), key.end()));
        ASSERT_EQ(b.ok, 1) << r[0];
        EXPECT_EQ(b.message.substr(b.message.size() - 40), r[4]) << r[0] << ' ' << r[2];
        EXPECT_EQ(b.text, r[5]) << r[0] << ' ' << r[2];
    }
}

TEST(BuildMessage, RequestLengthAndKeyLimits)
{
    const struct {
        const char *type;
        size_t requestLen, keyLen;
        size_t messageLen; /* 0: the build fails */
    } cases[] = {
        {"2040", QZ_PAY_REQUEST_MAX_LEN, 20, QZ_PAY_MSG_BUFFER},
        {"1093", QZ_PAY_REQUEST_MAX_LEN, 20, QZ_PREAUTH_MSG_BUFFER},
        {"2040", QZ_PAY_REQUEST_MAX_LEN + 1, 20, 0},
        {"1093", QZ_PAY_REQUEST_MAX_LEN + 1, 20, 0},
        {"2040", 60000, 20, 0},
        {"2040", 400, 64, 460},
        {"1093", 400, 64, 468},
        {"2040", 400, 65, 0},
        {"1093", 400, 65, 0},
    };
    for (const auto &c : cases) {
        const Built b = build(c.type, payRequest(c.requestLen), "20240105", std::string(c.keyLen, 'k'));
        EXPECT_EQ(b.ok, c.messageLen ? 1 : 0) << c.type << ' ' << c.requestLen << ' ' << c.keyLen;
        EXPECT_EQ(b.message.size(), c.messageLen) << c.type << ' ' << c.requestLen;
        if (!c.messageLen) {
            EXPECT_TRUE(b.textNull);
        }
    }
    unsigned char *text = nullptr;
    unsigned int len = 0;
    EXPECT_EQ(BuildPayTransactionMsg(u(kRequest), 0, u(kKey), 5, &text, &len), 0);
    EXPECT_EQ(BuildPayTransactionMsg(nullptr, 400, u(kKey), 5, &text, &len), 0);
    EXPECT_EQ(text, nullptr);
}

/* ---------------------------------------------------------------------------------------------- */

TEST(ReplyCheck, TypeVersionAndEchoes)
{
    for (const Kind *k : kKinds) {
        const std::string good = makeReply(*k);
        EXPECT_EQ(check(*k, good), 1) << k->type;
        const Kind &other = k == &kPay ? kPreAuth : kPay;
        EXPECT_EQ(check(other, good), 0) << k->type << " read as " << other.type;

        ReplyParts v;
        v.version = "1.01";
        EXPECT_EQ(check(*k, makeReply(*k, v)), 0) << k->type;
        /* One byte changed in each echoed field (the signature does not matter to the check): the
         * first byte of each, the last of Description. */
        const size_t offsets[] = {QZ_OFF_MERCHANT_ID, QZ_OFF_TRANSACTION_ID, QZ_OFF_CURRENCY_CODE,
                                  QZ_OFF_TRANSACTION_AMOUNT, QZ_OFF_DESCRIPTION, QZ_OFF_PAN,
                                  QZ_OFF_PAN - 1};
        for (size_t off : offsets) {
            std::string bad = good;
            bad[k->shift + off] ^= 0x20;
            EXPECT_EQ(check(*k, bad), 0) << k->type << " offset " << off;
        }
        EXPECT_EQ(check(*k, good, QZ_PAY_REQUEST_MIN_LEN + k->shift), 1);
        EXPECT_EQ(check(*k, good, QZ_PAY_REQUEST_MIN_LEN + k->shift - 1), 0);
    }
}

/* A request field beginning with NUL must not turn its echo comparison into an empty one. */
TEST(ReplyCheck, NulInsideARequestFieldStillComparesTheWholeWidth)
{
    for (const Kind *k : kKinds) {
        const std::string reply = makeReply(*k);
        ExactBuffer buf(reply.data(), reply.size());
        TransactionRecord rec = recordFor(kRequest);
        rec.MerchantID[0] = '\0';
        EXPECT_EQ(k->check(buf.get(), static_cast<unsigned int>(reply.size()), &rec), 0) << k->type;
        memcpy(rec.MerchantID, "M1", 2);
        EXPECT_EQ(k->check(buf.get(), static_cast<unsigned int>(reply.size()), &rec), 1) << k->type;
    }
}

TEST(ReplyParse, MinimumReply)
{
    for (const Kind *k : kKinds) {
        const std::string reply = makeReply(*k);
        ASSERT_EQ(reply.size(), k->minLen);
        const Parsed p = parse(*k, reply);
        EXPECT_EQ(p.rc, 0u) << k->type;
        EXPECT_STREQ(p.rec.AuthorizationDateTime, "20240105123000      ");
        EXPECT_EQ(p.rec.ReturnCode, 0);
        EXPECT_EQ(p.count, 1u);
        EXPECT_EQ(p.cards, std::vector<std::string>{"1234"});
        EXPECT_EQ(std::string(p.rec.AuthorizationNumber), reply.substr(k->minLen - 40));
        EXPECT_EQ(p.verified, 1) << k->type;
        EXPECT_EQ(std::string(p.rec.MerchantID), "M1        ") << "echo fields untouched";

        const Parsed s = parse(*k, reply, k->minLen - 1);
        EXPECT_EQ(s.rc, static_cast<unsigned int>(QZ_BAD_REPLY)) << k->type;
        EXPECT_EQ(s.rec.ReturnCode, QZ_BAD_REPLY);
        EXPECT_FALSE(s.listHanded);
    }
}

TEST(ReplyParse, CardCounts)
{
    const struct {
        const char *field;
        size_t cardsInReply;
        unsigned int rc;
    } cases[] = {
        {"   1", 1, QZ_OK},           {"0001", 1, QZ_OK},          {"1   ", 1, QZ_OK},
        {"1024", 1024, QZ_OK},        {"   0", 1, QZ_BAD_REPLY},   {"0   ", 1, QZ_BAD_REPLY},
        {"  -1", 1, QZ_BAD_REPLY},    {"1025", 1025, QZ_BAD_REPLY}, {"abcd", 1, QZ_BAD_REPLY},
        {"   2", 1, QZ_BAD_REPLY},    /* cards and signature would lie beyond the reply */
        {"1024", 1, QZ_BAD_REPLY},
    };
    for (const Kind *k : kKinds)
        for (const auto &c : cases) {
            ReplyParts r;
            r.cardCount = c.field;
            r.cards.assign(c.cardsInReply, "42");
            const Parsed p = parse(*k, makeReply(*k, r));
            EXPECT_EQ(p.rc, c.rc) << k->type << " '" << c.field << "'";
            if (c.rc == QZ_OK) {
                EXPECT_EQ(p.count, c.cardsInReply);
                EXPECT_EQ(p.cards.back(), "42");
                EXPECT_EQ(p.verified, 1);
            } else {
                EXPECT_EQ(p.rec.ReturnCode, static_cast<int32_t>(c.rc));
                EXPECT_FALSE(p.listHanded) << "nothing handed over for an unusable count";
                EXPECT_EQ(p.count, 9999u);
            }
        }
}

TEST(ReplyParse, CardsAreTrimmed)
{
    for (const Kind *k : kKinds) {
        ReplyParts r;
        r.cards = {"1234", "  12 34", "", "ABCDEFGHIJ", " 9"};
        const Parsed p = parse(*k, makeReply(*k, r));
        ASSERT_EQ(p.rc, 0u);
        EXPECT_EQ(p.cards, (std::vector<std::string>{"1234", "12 34", "", "ABCDEFGHIJ", "9"}));
        EXPECT_EQ(p.verified, 1);
    }
}

TEST(ReplyParse, ReturnCodeField)
{
    const struct {
        const char *field;
        int32_t code;
    } cases[] = {{"  51", 51}, {"0051", 51}, {"51  ", 51}, {" +51", 51},
                 {"-005", -5}, {"    ", 0},  {"x51 ", 0},  {"9999", 9999}};
    for (const Kind *k : kKinds)
        for (const auto &c : cases) {
            ReplyParts r;
            r.returnCode = c.field;
            const Parsed p = parse(*k, makeReply(*k, r));
            EXPECT_EQ(p.rc, 0u) << c.field;
            EXPECT_EQ(p.rec.ReturnCode, c.code) << k->type << " '" << c.field << "'";
            EXPECT_EQ(p.verified, 1) << c.field;
        }
}

TEST(ReplyParse, SignatureLengthField)
{
    const struct {
        const char *field;
        size_t taken;
        int verifies;
    } cases[] = {
        {"000000000039", 39, 0}, {"000000000040", 40, 1}, {"000000000041", 40, 1},
        {"          40", 40, 1}, {"-00000000001", 40, 1}, {"999999999999", 40, 1},
        {"000000000000", 0, 0},  {"nonsense    ", 0, 0},
    };
    for (const Kind *k : kKinds)
        for (const auto &c : cases) {
            ReplyParts r;
            r.sigLen = c.field;
            const std::string reply = makeReply(*k, r);
            const Parsed p = parse(*k, reply);
            EXPECT_EQ(p.rc, 0u) << c.field;
            EXPECT_EQ(std::string(p.rec.AuthorizationNumber), reply.substr(k->minLen - 40, c.taken))
                << k->type << ' ' << c.field;
            EXPECT_EQ(p.verified, c.verifies) << k->type << ' ' << c.field;
        }
}

TEST(ReplyParse, SignatureStartingWithNulHandsOverTheCards)
{
    for (const Kind *k : kKinds) {
        std::string reply = makeReply(*k);
        reply[k->minLen - 40] = '\0';
        const Parsed p = parse(*k, reply);
        EXPECT_EQ(p.rc, static_cast<unsigned int>(QZ_BAD_REPLY));
        EXPECT_EQ(p.rec.ReturnCode, QZ_BAD_REPLY);
        EXPECT_TRUE(p.listHanded);
        EXPECT_EQ(p.count, 1u);
    }
}

TEST(ReplyParse, NullArguments)
{
    const std::string reply = makeReply(kPay);
    TransactionRecord rec = recordFor(kRequest);
    unsigned int count = 0;
    char *list = nullptr;
    EXPECT_EQ(ParsePayTransactionReply(nullptr, 468, &rec, &count, &list), 1005u);
    EXPECT_EQ(ParsePayTransactionReply(u(reply), 468, nullptr, &count, &list), 1005u);
    EXPECT_EQ(ParsePayTransactionReply(u(reply), 468, &rec, nullptr, &list), 1005u);
    EXPECT_EQ(ParsePayTransactionReply(u(reply), 468, &rec, &count, nullptr), 1005u);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(CheckPayTransactionReply(u(reply), 468, nullptr), 0);
    EXPECT_EQ(VerifyPayTransactionReply(nullptr, 468, &rec, 1, u(kKey), 5), 0);
}

TEST(ReplyVerify, SignedRangesAndTampering)
{
    for (const Kind *k : kKinds) {
        ReplyParts other;
        other.signedFrom = k == &kPay ? 0 : 8;
        EXPECT_EQ(parse(*k, makeReply(*k, other)).verified, 0) << k->type << " signed from "
                                                               << other.signedFrom;
        ReplyParts wrongKey;
        wrongKey.key = "another-key";
        EXPECT_EQ(parse(*k, makeReply(*k, wrongKey)).verified, 0);

        const std::string good = makeReply(*k);
        std::string lower = good;
        for (size_t i = lower.size() - 40; i < lower.size(); i++)
            lower[i] = static_cast<char>(tolower(static_cast<unsigned char>(lower[i])));
        if (lower != good) {
            EXPECT_EQ(parse(*k, lower).verified, 0) << "lower-case signature";
        }

        std::string tampered = good;
        tampered[k->shift + 380] ^= 1; /* inside the date/time */
        EXPECT_EQ(parse(*k, tampered).verified, 0);

        EXPECT_EQ(parse(*k, good + "trailing bytes are not examined").verified, 1);

        /* A card count that does not match the reply's length. */
        const TransactionRecord rec = parse(*k, good).rec;
        ExactBuffer buf(good.data(), good.size());
        for (unsigned int n : {0u, 2u, 1025u, 0xFFFFFFFFu})
            EXPECT_EQ(k->verify(buf.get(), static_cast<unsigned int>(good.size()), &rec, n, u(kKey),
                                static_cast<unsigned int>(kKey.size())),
                      0)
                << n;
    }
    /* The eight header bytes of a "1094" after its version are signed too. */
    std::string pre = makeReply(kPreAuth);
    pre[10] ^= 1;
    EXPECT_EQ(parse(kPreAuth, pre).verified, 0);
}

TEST(ReplyVerify, IndependentVectors)
{
    const auto rows = testutil::readVectors("messages_replies.txt");
    ASSERT_GE(rows.size(), 4u);
    for (const auto &r : rows) {
        ASSERT_EQ(r.size(), 7u);
        const Kind &k = r[0] == "1041" ? kPay : kPreAuth;
        const Bytes key = testutil::fromHex(r[1]), reply = testutil::fromHex(r[2]);
        const Parsed p = parse(k, std::string(reply.begin(), reply.end()), std::string::npos,
                               std::string(key.begin(), key.end()));
        ASSERT_EQ(p.rc, 0u) << r[0];
        EXPECT_EQ(p.rec.ReturnCode, std::stoi(r[3]));
        EXPECT_EQ(p.count, static_cast<unsigned int>(std::stoul(r[4])));
        EXPECT_EQ(std::string(p.rec.AuthorizationNumber), r[5]);
        EXPECT_EQ(p.verified, std::stoi(r[6])) << r[0] << ' ' << r[5];
    }
}

/* Every prefix of a valid reply, from an exact-size buffer: no reader may look past its end. */
TEST(ReplyReaders, EveryPrefix)
{
    for (const Kind *k : kKinds) {
        ReplyParts r;
        r.cards = {"1111", "2222"};
        const std::string reply = makeReply(*k, r);
        const TransactionRecord rec = parse(*k, reply).rec;
        for (size_t len = 0; len <= reply.size(); len++) {
            const bool whole = len == reply.size();
            EXPECT_EQ(check(*k, reply, len), len >= QZ_PAY_REQUEST_MIN_LEN + k->shift ? 1 : 0) << len;
            const Parsed p = parse(*k, reply, len);
            EXPECT_EQ(p.rc, whole ? 0u : static_cast<unsigned int>(QZ_BAD_REPLY)) << k->type << ' ' << len;
            if (whole) {
                EXPECT_EQ(p.verified, 1);
            }

            ExactBuffer buf(reply.data(), len);
            EXPECT_EQ(k->verify(buf.get(), static_cast<unsigned int>(len), &rec, 2, u(kKey),
                                static_cast<unsigned int>(kKey.size())),
                      whole ? 1 : 0)
                << k->type << ' ' << len;
        }
    }
}
