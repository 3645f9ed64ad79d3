#include "qz_internal.h"
#include "qzutil.h"
#include "testutil.h"
#include "vemrick.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string field(const std::string &value, size_t width) { return value + std::string(width - value.size(), ' '); }

/* A pay request laid out as the buyer's side writes it: header, six fields, then `tail`. */
std::string payRequest(const std::string &tail = std::string(22, ' '))
{
    return "PREQ1.00" + field("M1", 10) + field("T-42", 50) + "EUR" + field("12.50", 12) +
           field("Two tickets", 255) + field("4111111111111111", 40) + tail;
}

std::string authString(const std::string &raw)
{
    unsigned char *out = nullptr;
    const int n = QZUtil::base64_encode(reinterpret_cast<const unsigned char *>(raw.data()),
                                        static_cast<int>(raw.size()), &out);
    std::string s(reinterpret_cast<char *>(out), n);
    free(out);
    return s;
}

unsigned int get(const std::string &auth, PayRequestFields *rec)
{
    testutil::ExactBuffer in(auth.data(), auth.size());
    return QZGetPayTransaction(in.chars(), static_cast<unsigned int>(auth.size()), rec);
}

bool allZero(const PayRequestFields &rec)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(&rec);
    for (size_t i = 0; i < sizeof rec; i++)
        if (p[i] != 0)
            return false;
    return true;
}

} // namespace

TEST(GetPayTransaction, CopiesFieldsWithTheirFillingSpaces)
{
    PayRequestFields rec;
    memset(&rec, 'x', sizeof rec);
    ASSERT_EQ(get(authString(payRequest()), &rec), QZ_OK);
    EXPECT_EQ(std::string(rec.MerchantID), "M1        ");
    EXPECT_EQ(std::string(rec.TransactionID), field("T-42", 50));
    EXPECT_EQ(std::string(rec.CurrencyCode), "EUR");
    EXPECT_EQ(std::string(rec.TransactionAmount), field("12.50", 12));
    EXPECT_EQ(std::string(rec.Description), field("Two tickets", 255));
    EXPECT_EQ(std::string(rec.PAN), field("4111111111111111", 40));
}

TEST(GetPayTransaction, ShortestAndLongerRequests)
{
    PayRequestFields rec;
    EXPECT_EQ(get(authString(payRequest("")), &rec), QZ_OK) << "378 bytes: exactly the fields";
    EXPECT_EQ(get(authString(payRequest(std::string(5000, 'z'))), &rec), QZ_OK);
    EXPECT_EQ(std::string(rec.PAN), field("4111111111111111", 40));
}

TEST(GetPayTransaction, BadArgumentsLeaveTheRecordUntouched)
{
    PayRequestFields rec;
    memset(&rec, 'x', sizeof rec);
    const std::string auth = authString(payRequest());
    EXPECT_EQ(QZGetPayTransaction(nullptr, 10, &rec), QZ_BAD_ARGUMENTS);
    EXPECT_EQ(QZGetPayTransaction("", 0, &rec), QZ_BAD_ARGUMENTS);
    EXPECT_EQ(QZGetPayTransaction(auth.c_str(), 0, &rec), QZ_BAD_ARGUMENTS);
    EXPECT_EQ(QZGetPayTransaction(auth.c_str(), static_cast<unsigned int>(auth.size()), nullptr),
              QZ_BAD_ARGUMENTS);
    EXPECT_EQ(rec.MerchantID[0], 'x');
}

TEST(GetPayTransaction, UnusableAuthStringsClearTheRecord)
{
    const std::string full = payRequest("");
    const struct {
        const char *name;
        std::string auth;
    } cases[] = {
        {"not base64", "this is not base64!"},
        {"blanks only", "    "},
        {"one byte short of the fields", authString(full.substr(0, 377))},
        {"a single byte", authString("A")},
    };
    for (const auto &c : cases) {
        PayRequestFields rec;
        memset(&rec, 'x', sizeof rec);
        EXPECT_EQ(get(c.auth, &rec), QZ_BAD_REQUEST) << c.name;
        EXPECT_TRUE(allZero(rec)) << c.name;
    }
}
