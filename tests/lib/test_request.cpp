#include "testutil.h"
#include "vemrick.h"

#include <gtest/gtest.h>

#include <string>

using testutil::field;

namespace {

unsigned int get(const std::string &auth, PayRequestFields *rec)
{
    testutil::ExactBuffer in(auth.data(), auth.size());
    return QZGetPayTransaction(in.chars(), static_cast<unsigned int>(auth.size()), rec);
}

} // namespace

TEST(GetPayTransaction, CopiesFieldsWithTheirFillingSpaces)
{
    /* 378 bytes (just the fields), and a long request */
    for (const std::string &tail : {std::string(), std::string(5000, 'z')}) {
        PayRequestFields rec;
        memset(&rec, 'x', sizeof rec);
        ASSERT_EQ(get(testutil::base64(testutil::payRequest({}, tail)), &rec), QZ_OK);
        EXPECT_EQ(std::string(rec.MerchantID), "M1        ");
        EXPECT_EQ(std::string(rec.TransactionID), field("T-42", 50));
        EXPECT_EQ(std::string(rec.CurrencyCode), "EUR");
        EXPECT_EQ(std::string(rec.TransactionAmount), "12.50       ");
        EXPECT_EQ(std::string(rec.Description), field("Two tickets", 255));
        EXPECT_EQ(std::string(rec.PAN), field("4111111111111111", 40));
    }
}

TEST(GetPayTransaction, BadArgumentsLeaveTheRecordUntouched)
{
    PayRequestFields rec;
    memset(&rec, 'x', sizeof rec);
    const std::string auth = testutil::base64(testutil::payRequest());
    EXPECT_EQ(QZGetPayTransaction(nullptr, 10, &rec), QZ_BAD_ARGUMENTS);
    EXPECT_EQ(QZGetPayTransaction("", 0, &rec), QZ_BAD_ARGUMENTS);
    EXPECT_EQ(QZGetPayTransaction(auth.c_str(), 0, &rec), QZ_BAD_ARGUMENTS);
    EXPECT_EQ(QZGetPayTransaction(auth.c_str(), static_cast<unsigned int>(auth.size()), nullptr),
              QZ_BAD_ARGUMENTS);
    EXPECT_EQ(rec.MerchantID[0], 'x');
}

TEST(GetPayTransaction, UnusableAuthStringsClearTheRecord)
{
    const PayRequestFields zero{};
    for (const std::string &auth : {std::string("this is not base64!"), std::string("    "),
                                   testutil::base64(testutil::payRequest().substr(0, 377)),
                                   testutil::base64("A")}) {
        PayRequestFields rec;
        memset(&rec, 'x', sizeof rec);
        EXPECT_EQ(get(auth, &rec), QZ_BAD_REQUEST) << auth;
        EXPECT_EQ(memcmp(&rec, &zero, sizeof rec), 0) << auth;
    }
}
