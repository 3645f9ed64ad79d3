#include "qz_internal.h"
#include "qzutil.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

int DecodePayRequestMsg(const char *authString, unsigned int length, unsigned char **out,
                        unsigned int *outLen)
{
    *out = nullptr;
    /* The codec takes an int count; an AuthString of 2 GiB or more is not a pay request. */
    if (length > static_cast<unsigned int>(INT32_MAX))
        return 0;
    unsigned char *buf = nullptr;
    const int n = QZUtil::base64_decode(reinterpret_cast<const unsigned char *>(authString),
                                        static_cast<int>(length), &buf);
    if (n < 1) {
        free(buf);
        return 0;
    }
    *out = buf;
    *outLen = static_cast<unsigned int>(n);
    return 1;
}

static void copyField(char *slot, const unsigned char *src, size_t width)
{
    memcpy(slot, src, width);
    slot[width] = '\0';
}

void CopyPayRequestFields(const unsigned char *pr, PayRequestFields *out)
{
    copyField(out->MerchantID, pr + QZ_OFF_MERCHANT_ID, QZ_MERCHANT_ID_LEN);
    copyField(out->TransactionID, pr + QZ_OFF_TRANSACTION_ID, QZ_TRANSACTION_ID_LEN);
    copyField(out->CurrencyCode, pr + QZ_OFF_CURRENCY_CODE, QZ_CURRENCY_CODE_LEN);
    copyField(out->TransactionAmount, pr + QZ_OFF_TRANSACTION_AMOUNT, QZ_TRANSACTION_AMOUNT_LEN);
    copyField(out->Description, pr + QZ_OFF_DESCRIPTION, QZ_DESCRIPTION_LEN);
    copyField(out->PAN, pr + QZ_OFF_PAN, QZ_PAN_LEN);
}

unsigned int QZGetPayTransaction(const char *authString, unsigned int length, PayRequestFields *out)
{
    if (authString == nullptr || authString[0] == '\0' || length == 0 || out == nullptr)
        return QZ_BAD_ARGUMENTS;
    memset(out, 0, sizeof *out);

    unsigned char *pr = nullptr;
    unsigned int prLen = 0;
    if (!DecodePayRequestMsg(authString, length, &pr, &prLen))
        return QZ_BAD_REQUEST;
    if (prLen < QZ_PAY_REQUEST_MIN_LEN) {
        free(pr);
        return QZ_BAD_REQUEST;
    }
    CopyPayRequestFields(pr, out);
    free(pr);
    return QZ_OK;
}
