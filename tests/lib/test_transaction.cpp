/* SPDX-License-Identifier: Apache-2.0 */
/* Both transactions against scripted servers on 127.0.0.1: what they report for a reply. (A pay
 * request reflected back as its own reply is among the end-to-end attacks.) */
#include "net/loopback_server.h"
#include "testutil.h"
#include "wipe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
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

namespace {

/* Searched-for texts are kept XORed with this byte, so that the test's own copies never match. */
const unsigned char kMask = 0xA5;
using Masked = std::vector<unsigned char>;

/* A 378-byte pay request whose TransactionID, Description and 16-digit card number derive from
 * seed, written in place: no temporary copy of the number is left behind. */
void writePayRequest(unsigned char *at, unsigned long long seed)
{
    memset(at, ' ', QZ_PAY_REQUEST_MIN_LEN);
    memcpy(at, "PREQ1.00M1", 10);
    memcpy(at + 68, "EUR12.50", 8);
    unsigned long long x = seed;
    for (int i = 18; i < 338; i = i == 67 ? 83 : i + 1, x = x * 6364136223846793005ULL + 1)
        at[i] = static_cast<unsigned char>('A' + (x >> 33) % 26);
    unsigned long long digits = 4000000000000000ULL + (seed * 2654435761ULL) % 1000000000000000ULL;
    for (int i = 15; i >= 0; i--, digits /= 10)
        at[338 + i] = static_cast<unsigned char>('0' + digits % 10);
}

/* How many times each masked text occurs in the heap and the anonymous mappings of this process
 * (read through /proc/self/mem, which also passes pages the process may not touch). */
std::vector<size_t> copiesInMemory(const std::vector<Masked> &texts)
{
    std::vector<std::string> lines;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);)
        lines.push_back(line);
    const int mem = open("/proc/self/mem", O_RDONLY);
    std::vector<size_t> found(texts.size());
    std::vector<unsigned char> chunk(1 << 20);
    const size_t overlap = 64;
    for (const std::string &line : lines) {
        unsigned long lo = 0, hi = 0;
        char perms[5] = {};
        int pathAt = 0;
        if (sscanf(line.c_str(), "%lx-%lx %4s %*s %*s %*s %n", &lo, &hi, perms, &pathAt) < 3)
            continue;
        const std::string path = line.substr(static_cast<size_t>(pathAt));
        /* Beyond 1 GiB: a sanitizer's reserved shadow, not data. */
        if (perms[0] != 'r' || (!path.empty() && path != "[heap]") || hi - lo > (1UL << 30))
            continue;
        for (unsigned long at = lo; at < hi; at += chunk.size() - overlap) {
            const ssize_t n = pread(mem, chunk.data(), std::min<size_t>(chunk.size(), hi - at),
                                    static_cast<off_t>(at));
            const unsigned char *end = chunk.data() + (n > 0 ? n : 0);
            for (size_t t = 0; t < texts.size(); t++) {
                const Masked &m = texts[t];
                const unsigned char *p = chunk.data();
                while ((p = static_cast<const unsigned char *>(
                            memchr(p, m[0] ^ kMask, static_cast<size_t>(end - p)))) != nullptr &&
                       p + m.size() <= end) {
                    size_t j = 1;
                    while (j < m.size() && (p[j] ^ kMask) == m[j])
                        j++;
                    /* a match across the overlap is counted in the chunk where it starts */
                    found[t] += j == m.size() &&
                                (p < chunk.data() + chunk.size() - overlap || at + n == hi);
                    p++;
                }
            }
        }
    }
    close(mem);
    return found;
}

} // namespace

/* Once the caller has wiped its record and AuthString, a signed payment leaves no copy of the
 * card number or of the request in freed memory, where a later disclosure or a core file of the
 * calling process would find it. */
TEST(Transaction, LeavesNoCardDataInMemory)
{
    const unsigned long long seed = static_cast<unsigned long long>(getpid());
    unsigned char *request = static_cast<unsigned char *>(malloc(QZ_PAY_REQUEST_MIN_LEN));
    ASSERT_NE(request, nullptr);
    writePayRequest(request, seed);
    Masked pan(request + 338, request + 354);
    for (unsigned char &c : pan)
        c ^= kMask;
    /* The search sees the number while the test's own request still holds it. */
    EXPECT_GE(copiesInMemory({pan})[0], 1u);
    unsigned char *auth = nullptr;
    const int authLen = QZUtil::base64_encode(request, QZ_PAY_REQUEST_MIN_LEN, &auth);
    secure_wipe(request, QZ_PAY_REQUEST_MIN_LEN);
    free(request);
    ASSERT_GT(authLen, 0);

    /* The server's copies are another process's: it sends its port, then the request's body
     * masked. */
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        testutil::ReplyParts parts;
        parts.request.assign(QZ_PAY_REQUEST_MIN_LEN, ' ');
        writePayRequest(reinterpret_cast<unsigned char *>(&parts.request[0]), seed);
        loopback::Server server(
            loopback::answer(kOk + testutil::base64(testutil::makeReply(kQZPay, parts))));
        const unsigned short port = server.port();
        const bool told = write(pipeFds[1], &port, sizeof port) == sizeof port;
        server.join();
        std::string body = server.received();
        body.erase(0, body.find("\r\n\r\n") + 4);
        for (char &ch : body)
            ch = static_cast<char>(ch ^ kMask);
        _exit(told && write(pipeFds[1], body.data(), body.size()) ==
                          static_cast<ssize_t>(body.size())
                  ? 0
                  : 1);
    }
    close(pipeFds[1]);

    TransactionRecord rec;
    unsigned int count = 0;
    char *list = nullptr;
    unsigned short port = 0;
    ASSERT_EQ(read(pipeFds[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/pay";
    const unsigned int rc = QZProcessPayTransaction(
        reinterpret_cast<char *>(auth), static_cast<unsigned int>(authLen), url.c_str(), &rec,
        &count, &list, 20, reinterpret_cast<const unsigned char *>(kKey.data()),
        static_cast<unsigned int>(kKey.size()), nullptr, 0);
    secure_wipe(auth, static_cast<size_t>(authLen));
    free(auth);
    secure_wipe(&rec, sizeof rec);
    free(list);

    Masked body;
    unsigned char buf[4096];
    for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;)
        body.insert(body.end(), buf, buf + n);
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(rc, QZ_OK);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && body.size() > 400);

    /* Any part of the request of 96 characters or more past its fixed header (the first 48,
     * which every message to this server shares) holds one of these pieces. */
    std::vector<Masked> texts = {pan};
    for (size_t at = 48; at + 48 <= body.size(); at += 48)
        texts.emplace_back(body.begin() + static_cast<long>(at),
                           body.begin() + static_cast<long>(at) + 48);
    const std::vector<size_t> found = copiesInMemory(texts);
    EXPECT_EQ(found[0], 0u) << "copies of the card number";
    for (size_t t = 1; t < found.size(); t++)
        EXPECT_EQ(found[t], 0u) << "copies of the request's characters " << t * 48 << " on";
}
