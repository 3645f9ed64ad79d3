/* SPDX-License-Identifier: Apache-2.0 */
/* The server messages of the two exchanges: building the signed "2040" (pay) or "1093"
 * (pre-authorization) message, and checking, reading and verifying its "1041" or "1094" reply.
 * One descriptor per exchange holds everything in which the two differ; every function here takes
 * it. Internal to the library. Every reader is given the reply's length and never reads past it.
 */
#ifndef VEMRICK_QZ_MESSAGES_H
#define VEMRICK_QZ_MESSAGES_H

#include "vemrick.h"

#include <cstddef>

enum {
    QZ_TYPE_LEN = 4,          /* a message or reply begins with its type and the version "1.00" */
    QZ_SIG_LEN_FIELD = 12,    /* the signature-length field, "000000000040" when sent */
    QZ_SIG_TEXT_LEN = 40,     /* the signature field: 40 upper-case hexadecimal digits */
    QZ_RETURN_CODE_LEN = 4,
    QZ_CARD_COUNT_LEN = 4,
    QZ_CARD_LEN = 10,         /* a card in a reply; trimmed into a QZ_CARD_ENTRY_SIZE entry */
    QZ_MAX_CARDS = 1024
};

/* One exchange. Offsets count from the start of the decoded message or reply. A message is its
 * type, "1.00", the expiry date of a "1093", the pay request, the signature-length field and the
 * signature over everything before it. A reply is its type, "1.00", the echo of the expiry date
 * of a "1093", the echo of the pay request's six fields, then date/time, signature length, return
 * code, card count, cards and signature. */
struct QZExchange {
    const char *messageType;      /* "2040" or "1093" */
    unsigned int requestOffset;   /* where the pay request begins in the message */
    unsigned int messageMaxLen;   /* the message around a pay request of QZ_PAY_REQUEST_MAX_LEN */
    const char *replyType;        /* "1041" or "1094" */
    unsigned int replyShift;      /* a reply holds pay request byte k (k >= 8) at k + this */
    unsigned int replyDateTime;   /* QZ_AUTH_DATE_TIME_LEN bytes */
    unsigned int replySigLen;     /* QZ_SIG_LEN_FIELD bytes */
    unsigned int replyReturnCode; /* QZ_RETURN_CODE_LEN bytes */
    unsigned int replyCardCount;  /* QZ_CARD_COUNT_LEN bytes */
    unsigned int replyCards;      /* n cards of QZ_CARD_LEN bytes, then the signature */
    unsigned int replySignedFrom; /* the signature covers this offset up to the signature */
    unsigned int replyMinLen;     /* a reply with one card and the whole signature field */
};
extern const QZExchange kQZPay;     /* "2040" and "1041": the signature skips the reply's type */
extern const QZExchange kQZPreAuth; /* "1093" and "1094": the signature covers the whole reply */

/* Where the signature field of a reply with n cards begins. */
inline size_t QZReplySignature(const QZExchange &ex, size_t n)
{
    return ex.replyCards + QZ_CARD_LEN * n;
}

/* Builds the base64 text of the signed message of `ex` around a pay request of len bytes;
 * expiryDate (8 characters YYYYMMDD, or null or "" for eight spaces) is used by a "1093" only.
 * Returns 1 with *outText a malloc'ed text of *outTextLen bytes (no terminator; the caller frees
 * it); 0 with *outText null when len is 0 or above QZ_PAY_REQUEST_MAX_LEN, when the pay request's
 * MerchantID begins with "2040" or "1093" (a "1041" echoing it could not be told from a reflected
 * message, see VerifyQZReply), when signing is refused (e.g. a key over 64 bytes) or encoding
 * fails; then *why (when why is non-null) is a static text saying which. */
int BuildQZMessage(const QZExchange &ex, const unsigned char *payRequest, unsigned int len,
                   const char *expiryDate, const unsigned char *key, unsigned int keyLen,
                   unsigned char **outText, unsigned int *outTextLen, const char **why = nullptr);

/* Returns 1 when a reply of replyLen bytes has the reply type of `ex`, version "1.00" and echoes
 * the six fields of rec byte for byte over their full widths (rec's slots hold the request's
 * fields as CopyPayRequestFields left them); 0 otherwise (also when it is too short to hold them).
 */
int CheckQZReply(const QZExchange &ex, const unsigned char *reply, unsigned int replyLen,
                 const TransactionRecord *rec);

/* Reads date/time, return code, cards and signature of a reply into rec, *cardCount and
 * *cardList. Numbers are read as by QZUtil::ReadDecimal; cards are trimmed; AuthorizationNumber
 * gets as many signature characters as the signature-length field says, at most 40 (a negative
 * length counts as more). Returns QZ_OK with *cardList a malloc'ed list of *cardCount entries of
 * QZ_CARD_ENTRY_SIZE bytes (the caller frees it); QZ_BAD_REPLY when the reply is too short for its
 * fixed fields, the card count is outside 1..1024, the cards and the 40-byte signature field do
 * not fit in replyLen, or the signature's first byte is NUL; QZ_EMPTY_REPLY when the card list
 * cannot be allocated. On failure nothing is written. */
unsigned int ParseQZReply(const QZExchange &ex, const unsigned char *reply, unsigned int replyLen,
                          TransactionRecord *rec, unsigned int *cardCount, char **cardList);

/* Verifies a reply read by ParseQZReply: the HMAC-SHA-1 under key of the bytes from
 * ex.replySignedFrom up to 40 - s bytes past the start of the signature field, s being the length
 * of rec->AuthorizationNumber, must equal rec->AuthorizationNumber. A signed range that begins
 * with "2040" or "1093" is one of the merchant's own messages sent back, never a reply (a "1041"
 * signs from its offset 8, which would hold the message's type). Returns 1 on a match, 0
 * otherwise (also when the range would not lie within replyLen). */
int VerifyQZReply(const QZExchange &ex, const unsigned char *reply, unsigned int replyLen,
                  const TransactionRecord *rec, unsigned int cardCount, const unsigned char *key,
                  unsigned int keyLen);

#endif
