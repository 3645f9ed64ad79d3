#include "qzutil.h"
#include "vemrick.h"
#include "wipe.h"

#include <cstdlib>
#include <cstring>

namespace {

/* Trims both texts (each in a slot of width + 1 bytes) and compares them exactly. */
bool sameTrimmed(char *a, char *b)
{
    QZUtil::TrimStr(a);
    QZUtil::TrimStr(b);
    return strcmp(a, b) == 0;
}

/* The caller fills the expected record by hand; a slot without its NUL must not make the
 * comparison run into the next field or past the record. */
void terminateSlots(PayRequestFields *r)
{
    r->MerchantID[QZ_MERCHANT_ID_LEN] = '\0';
    r->TransactionID[QZ_TRANSACTION_ID_LEN] = '\0';
    r->CurrencyCode[QZ_CURRENCY_CODE_LEN] = '\0';
    r->TransactionAmount[QZ_TRANSACTION_AMOUNT_LEN] = '\0';
    r->Description[QZ_DESCRIPTION_LEN] = '\0';
    r->PAN[QZ_PAN_LEN] = '\0';
}

bool matches(PayRequestFields *got, PayRequestFields *want)
{
    if (!sameTrimmed(got->MerchantID, want->MerchantID) ||
        !sameTrimmed(got->TransactionID, want->TransactionID) ||
        !sameTrimmed(got->CurrencyCode, want->CurrencyCode) ||
        !sameTrimmed(got->Description, want->Description) || !sameTrimmed(got->PAN, want->PAN))
        return false;
    /* Amounts compare as numbers, untrimmed (strtod skips leading blanks itself). */
    return strtod(got->TransactionAmount, nullptr) == strtod(want->TransactionAmount, nullptr);
}

} // namespace

unsigned int QZIsValidPayTransaction(const char *authString, unsigned int length,
                                     const PayRequestFields *expected)
{
    if (expected == nullptr)
        return QZ_BAD_ARGUMENTS;
    PayRequestFields got;
    const unsigned int rc = QZGetPayTransaction(authString, length, &got);
    if (rc != QZ_OK)
        return rc;

    PayRequestFields want = *expected;
    terminateSlots(&want);
    const bool same = matches(&got, &want);
    /* The copies hold the card number. */
    secure_wipe(&got, sizeof got);
    secure_wipe(&want, sizeof want);
    return same ? QZ_VALID : QZ_NOT_VALID;
}
