/* SPDX-License-Identifier: Apache-2.0 */
#include "testutil.h"
#include "vemrick.h"

#include <gtest/gtest.h>

#include <clocale>
#include <memory>

using testutil::PayFields;

namespace {

/* The expected record as a merchant fills it: NUL-terminated texts. */
PayRequestFields expected(const PayFields &f)
{
    PayRequestFields e{};
    strcpy(e.MerchantID, f.merchant.c_str());
    strcpy(e.TransactionID, f.transaction.c_str());
    strcpy(e.CurrencyCode, f.currency.c_str());
    strcpy(e.TransactionAmount, f.amount.c_str());
    strcpy(e.Description, f.description.c_str());
    strcpy(e.PAN, f.pan.c_str());
    return e;
}

PayFields with(std::string PayFields::*member, const std::string &value)
{
    PayFields f;
    f.*member = value;
    return f;
}

unsigned int validate(const std::string &auth, const PayRequestFields *want)
{
    testutil::ExactBuffer in(auth.data(), auth.size());
    return QZIsValidPayTransaction(in.chars(), static_cast<unsigned int>(auth.size()), want);
}

void checkComparisons()
{
    using F = PayFields;
    const struct {
        const char *name;
        PayFields request, want;
        unsigned int rc;
    } cases[] = {
        {"same", {}, {}, QZ_VALID},
        {"expected padded on both sides", {}, with(&F::merchant, "  M1 "), QZ_VALID},
        {"amounts equal as numbers", with(&F::amount, "  12.5"), with(&F::amount, "12.50"), QZ_VALID},
        {"both amounts non-numeric", with(&F::amount, "abc"), with(&F::amount, "xyz"), QZ_VALID},
        {"amount differs after the point", {}, with(&F::amount, "12.51"), QZ_NOT_VALID},
        {"merchant in another case", {}, with(&F::merchant, "m1"), QZ_NOT_VALID},
        {"transaction differs", {}, with(&F::transaction, "T-43"), QZ_NOT_VALID},
        {"currency differs", {}, with(&F::currency, "USD"), QZ_NOT_VALID},
        {"inner space differs", {}, with(&F::description, "Two  tickets"), QZ_NOT_VALID},
        {"PAN differs", {}, with(&F::pan, "4111111111111112"), QZ_NOT_VALID},
        {"tab is not trimmed", {}, with(&F::merchant, "M1\t"), QZ_NOT_VALID},
        {"request field goes on after a NUL", with(&F::transaction, std::string("T-42\0OTHER", 10)),
         {}, QZ_NOT_VALID},
        {"request field ends in a NUL", with(&F::pan, std::string("4111111111111111\0", 17)), {},
         QZ_NOT_VALID},
    };
    for (const auto &c : cases) {
        const PayRequestFields want = expected(c.want), before = want;
        EXPECT_EQ(validate(testutil::base64(testutil::payRequest(c.request)), &want), c.rc) << c.name;
        EXPECT_EQ(memcmp(&before, &want, sizeof want), 0) << c.name << ": expected record changed";
    }
}

} // namespace

/* A null expected record is refused; the AuthString's own failures are QZGetPayTransaction's. */
TEST(IsValidPayTransaction, Comparisons)
{
    const PayRequestFields want = expected(PayFields());
    EXPECT_EQ(validate(testutil::base64(testutil::payRequest()), nullptr), QZ_BAD_ARGUMENTS);
    EXPECT_EQ(validate(testutil::base64(testutil::payRequest().substr(0, 377)), &want),
              QZ_BAD_REQUEST);
    checkComparisons();
}

/* The merchant's program may run under a locale whose decimal separator is a comma. */
TEST(IsValidPayTransaction, ComparisonsUnderACommaDecimalLocale)
{
    const std::string before = setlocale(LC_ALL, nullptr);
    if (setlocale(LC_ALL, "de_DE.UTF-8") == nullptr || strcmp(localeconv()->decimal_point, ",") != 0) {
        setlocale(LC_ALL, before.c_str());
        GTEST_SKIP() << "no de_DE.UTF-8 locale (localedef -i de_DE -f UTF-8 de_DE.UTF-8)";
    }
    checkComparisons();
    setlocale(LC_ALL, before.c_str());
}

/* An expected record filled without terminators must not be read past its slots or its end. */
TEST(IsValidPayTransaction, UnterminatedExpectedRecord)
{
    std::unique_ptr<PayRequestFields> want(new PayRequestFields);
    memset(want.get(), 'x', sizeof *want);
    EXPECT_EQ(validate(testutil::base64(testutil::payRequest()), want.get()), QZ_NOT_VALID);

    PayFields full;
    full.merchant = std::string(10, 'M');
    full.pan = std::string(40, '4');
    std::unique_ptr<PayRequestFields> exact(new PayRequestFields(expected(full)));
    exact->MerchantID[10] = 'x';
    exact->PAN[40] = 'x';
    EXPECT_EQ(validate(testutil::base64(testutil::payRequest(full)), exact.get()), QZ_VALID);
}
