/* SPDX-License-Identifier: Apache-2.0 */
#include "qz_internal.h"
#include "qzutil.h"
#include "wipe.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int DecodePayRequestMsg(const char *authString, unsigned int length, unsigned char **out,
                        unsigned int *outLen, bool *noMemory)
{
    *out = nullptr;
    if (noMemory != nullptr)
        *noMemory = false;
    /* The codec takes an int count; an AuthString of 2 GiB or more is not a pay request. */
    if (length > static_cast<unsigned int>(INT32_MAX))
        return 0;
    unsigned char *buf = nullptr;
    const int n = QZUtil::base64_decode(reinterpret_cast<const unsigned char *>(authString),
                                        static_cast<int>(length), &buf);
    if (n < 1) {
        if (noMemory != nullptr)
            *noMemory = n == 0 && buf == nullptr && length > 0;
        free(buf);
        return 0;
    }
    *out = buf;
    *outLen = static_cast<unsigned int>(n);
    return 1;
}

static_assert(offsetof(TransactionRecord, PAN) == offsetof(PayRequestFields, PAN) &&
                  offsetof(TransactionRecord, AuthorizationDateTime) == sizeof(PayRequestFields),
              "a TransactionRecord must begin with the slots of PayRequestFields");

const QZField kQZFields[QZ_FIELD_COUNT] = {
    {QZ_OFF_MERCHANT_ID, QZ_MERCHANT_ID_LEN, offsetof(PayRequestFields, MerchantID)},
    {18, QZ_TRANSACTION_ID_LEN, offsetof(PayRequestFields, TransactionID)},
    {68, QZ_CURRENCY_CODE_LEN, offsetof(PayRequestFields, CurrencyCode)},
    {71, QZ_TRANSACTION_AMOUNT_LEN, offsetof(PayRequestFields, TransactionAmount)},
    {83, QZ_DESCRIPTION_LEN, offsetof(PayRequestFields, Description)},
    {338, QZ_PAN_LEN, offsetof(PayRequestFields, PAN)},
};

void CopyPayRequestFields(const unsigned char *pr, PayRequestFields *out)
{
    for (const QZField &f : kQZFields) {
        char *slot = reinterpret_cast<char *>(out) + f.slot;
        memcpy(slot, pr + f.offset, f.width);
        slot[f.width] = '\0';
    }
}

unsigned int QZGetPayTransactionEx(const char *authString, unsigned int length,
                                   PayRequestFields *out, QZCallReport *report)
{
    if (report != nullptr)
        memset(report, 0, sizeof *report);
    const char *phase = "arguments", *cause = "an empty AuthString";
    unsigned int rc = QZ_BAD_ARGUMENTS;
    if (authString != nullptr && authString[0] != '\0' && length != 0 && out != nullptr) {
        memset(out, 0, sizeof *out);
        unsigned char *pr = nullptr;
        unsigned int prLen = 0;
        phase = "request";
        cause = "the AuthString is not base64 or too short for the pay request's fields";
        rc = QZ_BAD_REQUEST;
        if (DecodePayRequestMsg(authString, length, &pr, &prLen) && prLen >= QZ_PAY_REQUEST_MIN_LEN) {
            CopyPayRequestFields(pr, out);
            rc = QZ_OK;
        }
        secure_wipe(pr, pr != nullptr ? prLen : 0); /* the decoded request holds the buyer's PAN */
        free(pr);
    }
    if (rc != QZ_OK && report != nullptr) {
        snprintf(report->phase, sizeof report->phase, "%s", phase);
        snprintf(report->cause, sizeof report->cause, "%s", cause);
    }
    return rc;
}

unsigned int QZGetPayTransaction(const char *authString, unsigned int length, PayRequestFields *out)
{
    return QZGetPayTransactionEx(authString, length, out, nullptr);
}
