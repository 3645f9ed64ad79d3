#include "qzutil.h"
#include "testutil.h"
#include "vemrick.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

std::string field(const std::string &value, size_t width)
{
    return value + std::string(width - value.size(), ' ');
}

struct Fields {
    std::string merchant = "M1", transaction = "T-42", currency = "EUR", amount = "10.00",
                description = "Two tickets", pan = "4111111111111111";
};

std::string rawRequest(const Fields &f)
{
    return "PREQ1.00" + field(f.merchant, 10) + field(f.transaction, 50) + field(f.currency, 3) +
           field(f.amount, 12) + field(f.description, 255) + field(f.pan, 40) +
           std::string(22, ' ');
}

std::string encode(const std::string &raw)
{
    unsigned char *out = nullptr;
    const int n = QZUtil::base64_encode(reinterpret_cast<const unsigned char *>(raw.data()),
                                        static_cast<int>(raw.size()), &out);
    std::string s(reinterpret_cast<char *>(out), static_cast<size_t>(n));
    free(out);
    return s;
}

std::string authString(const Fields &f) { return encode(rawRequest(f)); }

PayRequestFields expected(const Fields &f)
{
    PayRequestFields e;
    memset(&e, 0, sizeof e);
    strcpy(e.MerchantID, f.merchant.c_str());
    strcpy(e.TransactionID, f.transaction.c_str());
    strcpy(e.CurrencyCode, f.currency.c_str());
    strcpy(e.TransactionAmount, f.amount.c_str());
    strcpy(e.Description, f.description.c_str());
    strcpy(e.PAN, f.pan.c_str());
    return e;
}

unsigned int validate(const std::string &auth, const PayRequestFields *want)
{
    testutil::ExactBuffer in(auth.data(), auth.size());
    return QZIsValidPayTransaction(in.chars(), static_cast<unsigned int>(auth.size()), want);
}

} // namespace

TEST(IsValidPayTransaction, Comparisons)
{
    const struct {
        const char *name;
        Fields request, want;
        unsigned int rc;
    } cases[] = {
        {"same", {}, {}, QZ_VALID},
        {"expected padded on both sides", {}, [] { Fields f; f.merchant = " M1 "; f.description = "  Two tickets  "; return f; }(), QZ_VALID},
        {"request amount 10.00 vs 10", {}, [] { Fields f; f.amount = "10"; return f; }(), QZ_VALID},
        {"request amount '  10.0' vs 10", [] { Fields f; f.amount = "  10.0"; return f; }(), [] { Fields f; f.amount = "10"; return f; }(), QZ_VALID},
        {"both amounts non-numeric", [] { Fields f; f.amount = "abc"; return f; }(), [] { Fields f; f.amount = "xyz"; return f; }(), QZ_VALID},
        {"amount differs", {}, [] { Fields f; f.amount = "10.01"; return f; }(), QZ_NOT_VALID},
        {"merchant in another case", {}, [] { Fields f; f.merchant = "m1"; return f; }(), QZ_NOT_VALID},
        {"transaction differs", {}, [] { Fields f; f.transaction = "T-43"; return f; }(), QZ_NOT_VALID},
        {"currency differs", {}, [] { Fields f; f.currency = "USD"; return f; }(), QZ_NOT_VALID},
        {"inner space differs", {}, [] { Fields f; f.description = "Two  tickets"; return f; }(), QZ_NOT_VALID},
        {"PAN differs", {}, [] { Fields f; f.pan = "4111111111111112"; return f; }(), QZ_NOT_VALID},
        {"tab is not trimmed", {}, [] { Fields f; f.merchant = "M1\t"; return f; }(), QZ_NOT_VALID},
    };
    for (const auto &c : cases) {
        const PayRequestFields want = expected(c.want);
        PayRequestFields before = want;
        EXPECT_EQ(validate(authString(c.request), &want), c.rc) << c.name;
        EXPECT_EQ(memcmp(&before, &want, sizeof want), 0) << c.name << ": expected record changed";
    }
}

TEST(IsValidPayTransaction, BadArgumentsAndUnusableAuthStrings)
{
    const PayRequestFields want = expected(Fields());
    const std::string good = authString(Fields());
    EXPECT_EQ(QZIsValidPayTransaction(nullptr, 10, nullptr), QZ_BAD_ARGUMENTS);
    EXPECT_EQ(QZIsValidPayTransaction(good.c_str(), static_cast<unsigned int>(good.size()), nullptr),
              QZ_BAD_ARGUMENTS);
    EXPECT_EQ(QZIsValidPayTransaction("", 0, &want), QZ_BAD_ARGUMENTS);
    EXPECT_EQ(QZIsValidPayTransaction(nullptr, 4, &want), QZ_BAD_ARGUMENTS);
    EXPECT_EQ(QZIsValidPayTransaction(good.c_str(), 0, &want), QZ_BAD_ARGUMENTS);
    EXPECT_EQ(validate("not base64!", &want), QZ_BAD_REQUEST);
    /* 377 bytes: one short of the six fields. */
    EXPECT_EQ(validate(encode(rawRequest(Fields()).substr(0, 377)), &want), QZ_BAD_REQUEST);
}

/* An expected record filled without terminators must not be read past its slots or its end. */
TEST(IsValidPayTransaction, UnterminatedExpectedRecord)
{
    std::unique_ptr<PayRequestFields> want(new PayRequestFields);
    memset(want.get(), 'x', sizeof *want);
    EXPECT_EQ(validate(authString(Fields()), want.get()), QZ_NOT_VALID);

    Fields full;
    full.merchant = std::string(10, 'M');
    full.pan = std::string(40, '4');
    std::unique_ptr<PayRequestFields> exact(new PayRequestFields(expected(full)));
    exact->MerchantID[10] = 'x';
    exact->PAN[40] = 'x';
    EXPECT_EQ(validate(authString(full), exact.get()), QZ_VALID);
}
