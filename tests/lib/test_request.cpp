/* SPDX-License-Identifier: Apache-2.0 */
#include "testutil.h"
#include "vemrick.h"

#include <gtest/gtest.h>

#include <string>

using testutil::field;

namespace {

/* QZGetPayTransaction on an exact-size copy of auth, into a record filled with 'x'. */
unsigned int get(const std::string &auth, PayRequestFields *rec)
{
    memset(rec, 'x', sizeof *rec);
    testutil::ExactBuffer in(auth.data(), auth.size());
    return QZGetPayTransaction(in.chars(), static_cast<unsigned int>(auth.size()), rec);
}

} // namespace

/* 378 bytes (just the fields), and a long request. */
TEST(GetPayTransaction, CopiesFieldsWithTheirFillingSpaces)
{
    for (const std::string &tail : {std::string(), std::string(5000, 'z')}) {
        PayRequestFields rec;
        ASSERT_EQ(get(testutil::base64(testutil::payRequest({}, tail)), &rec), QZ_OK);
        EXPECT_EQ(std::string(rec.MerchantID) + "|" + rec.TransactionID + "|" + rec.CurrencyCode +
                      "|" + rec.TransactionAmount + "|" + rec.Description + "|" + rec.PAN,
                  "M1        |" + field("T-42", 50) + "|EUR|12.50       |" +
                      field("Two tickets", 255) + "|" + field("4111111111111111", 40));
    }
}

/* Bad arguments leave the record untouched; an AuthString that is no pay request clears it. */
TEST(GetPayTransaction, Refusals)
{
    PayRequestFields rec, zero{};
    const std::string auth = testutil::base64(testutil::payRequest());
    memset(&rec, 'x', sizeof rec);
    EXPECT_EQ(QZGetPayTransaction(nullptr, 10, &rec), QZ_BAD_ARGUMENTS);
    EXPECT_EQ(QZGetPayTransaction("", 0, &rec), QZ_BAD_ARGUMENTS);
    EXPECT_EQ(QZGetPayTransaction(auth.c_str(), 0, &rec), QZ_BAD_ARGUMENTS);
    EXPECT_EQ(QZGetPayTransaction(auth.c_str(), static_cast<unsigned int>(auth.size()), nullptr),
              QZ_BAD_ARGUMENTS);
    EXPECT_EQ(rec.MerchantID[0], 'x');
    for (const std::string &bad : {std::string("this is not base64!"), std::string("    "),
                                   testutil::base64(testutil::payRequest().substr(0, 377))}) {
        EXPECT_EQ(get(bad, &rec), QZ_BAD_REQUEST) << bad;
        EXPECT_EQ(memcmp(&rec, &zero, sizeof rec), 0) << bad;
    }
}
