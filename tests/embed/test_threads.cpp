/* SPDX-License-Identifier: Apache-2.0 */
// Eight threads pay and pre-authorize at once through all four transaction entry points against
// the test payment server (named by VEMRICK_TEST_URL; with_server.py starts it), and every result
// must be its own order's. Built with -DVEMRICK_TSAN=ON (make tsan) it is the data-race check.
#include "bignum.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

const int kThreads = 8, kOrdersPerThread = 50;
const unsigned char kKey[] = "demo-merchant-key-0001";

/* The server answers by the amount's cents and names the cards by the PAN. */
const std::pair<const char *, int> kCents[] = {{"00", 0},  {"05", 5},  {"14", 14}, {"51", 51},
                                               {"54", 54}, {"91", 91}, {"37", 0}};

/* Order i of thread t, with its own TransactionID, amount and PAN, through one of the entry
 * points (cycling at a different phase in each thread). Returns what differs from the order in
 * the result (codes, the six fields, the length of the authorization number, the cards and the
 * report); empty when nothing does. */
std::string payAndCheck(int t, int i, const char *url)
{
    testutil::PayFields f;
    const auto &cents = kCents[(i + 3 * t) % (sizeof kCents / sizeof kCents[0])];
    f.transaction = "T" + std::to_string(t) + "-" + std::to_string(i);
    f.amount = std::to_string(100 * t + i + 1) + "." + cents.first;
    char pan[48]; /* 16 digits, with room for any two ints so that no output can be cut short */
    snprintf(pan, sizeof pan, "4111111111%02d%04d", t, i);
    f.pan = i % 5 == 0 ? "4000000000000002" : pan;
    const std::string request = testutil::payRequest(f), code = std::to_string(cents.second);
    const std::string want = code + " " + code + " " + request.substr(QZ_OFF_MERCHANT_ID) + " 40" +
                             (i % 5 == 0 ? " ALPHA BRAVO12345 CHARLIE" : " " + f.pan.substr(12));

    const int entry = (i + t) % 4;
    const std::string auth = testutil::base64(request);
    const char *a = auth.c_str(), *date = entry == 2 ? "20300101" : nullptr;
    const unsigned int n = static_cast<unsigned int>(auth.size()), k = sizeof kKey - 1;
    TransactionRecord rec;
    unsigned int count = 0;
    char *list = nullptr;
    QZCallReport report;
    const unsigned int rc =
        entry == 0
            ? QZProcessPayTransaction(a, n, url, &rec, &count, &list, 30, kKey, k, nullptr, 0)
        : entry == 1 ? QZProcessPayTransactionEx(a, n, url, &rec, &count, &list, 30, kKey, k,
                                                 nullptr, 0, nullptr, &report)
        : entry == 2 ? QZProcessPreAuthorization(a, n, date, url, &rec, &count, &list, 30, kKey, k,
                                                 nullptr, 0)
                     : QZProcessPreAuthorizationEx(a, n, date, url, &rec, &count, &list, 30, kKey,
                                                   k, nullptr, 0, nullptr, &report);

    std::string got = std::to_string(rc) + " " + std::to_string(rec.ReturnCode) + " " +
                      rec.MerchantID + rec.TransactionID + rec.CurrencyCode +
                      rec.TransactionAmount + rec.Description + rec.PAN + " " +
                      std::to_string(strlen(rec.AuthorizationNumber));
    for (unsigned int c = 0; c < count; c++)
        got += std::string(" ") + (list + c * QZ_CARD_ENTRY_SIZE);
    free(list);
    if (entry % 2 == 1 && (report.requestSent != 1 || report.phase[0] != '\0'))
        got += " report";
    return got == want ? "" : f.transaction + ": " + got + "\n   instead of " + want;
}

TEST(Threads, EveryConcurrentTransactionGetsItsOwnResult)
{
    const char *url = getenv("VEMRICK_TEST_URL");
    if (url == nullptr)
        GTEST_SKIP()
            << "VEMRICK_TEST_URL is not set (with_server.py starts the server and sets it)";
    EXPECT_STREQ(QZUtil::LOGFILE, "logfile.log");

    std::vector<std::vector<std::string>> failures(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([t, url, &failures] {
            for (int i = 0; i < kOrdersPerThread; i++) {
                const std::string why = payAndCheck(t, i, url);
                if (!why.empty())
                    failures[t].push_back(why);
            }
        });
    for (std::thread &th : threads)
        th.join();

    for (const auto &list : failures)
        EXPECT_EQ(list, std::vector<std::string>());
    EXPECT_STREQ(QZUtil::LOGFILE, "vemrick.log");
    EXPECT_EQ(bigNumsAllocated.load(), 0);
}

} // namespace
