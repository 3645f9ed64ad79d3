/* Internal declarations of the transaction library, shared by its sources, its tests and its
 * fuzz targets. Not installed: merchants' programs use vemrick.h only.
 */
#ifndef VEMRICK_QZ_INTERNAL_H
#define VEMRICK_QZ_INTERNAL_H

#include "vemrick.h"

/* Layout of the decoded pay request (offsets in bytes). Replies share the field offsets. */
enum {
    QZ_OFF_MERCHANT_ID = 8,
    QZ_OFF_TRANSACTION_ID = 18,
    QZ_OFF_CURRENCY_CODE = 68,
    QZ_OFF_TRANSACTION_AMOUNT = 71,
    QZ_OFF_DESCRIPTION = 83,
    QZ_OFF_PAN = 338,
    QZ_PAY_REQUEST_MIN_LEN = 378, /* the six fields end here */
    QZ_PAY_REQUEST_MAX_LEN = 10622 /* the most that fits the message work buffers */
};

/* Decodes an AuthString of `length` bytes. Returns 1 with *out a malloc'ed pay request of *outLen
 * bytes (the caller frees it) when the result has at least one byte; 0 otherwise with *out null. */
int DecodePayRequestMsg(const char *authString, unsigned int length, unsigned char **out,
                        unsigned int *outLen);

/* Copies the six fields of a pay request of at least QZ_PAY_REQUEST_MIN_LEN bytes, untrimmed and
 * NUL-terminated, into *out. */
void CopyPayRequestFields(const unsigned char *payRequest, PayRequestFields *out);

#endif
