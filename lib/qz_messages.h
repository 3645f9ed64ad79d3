/* The four server messages: building the signed "2040" (pay) and "1093" (pre-authorization)
 * messages, and checking, reading and verifying the "1041" and "1094" replies.
 * Internal to the library. Every reader is given the reply's length and never reads past it.
 */
#ifndef VEMRICK_QZ_MESSAGES_H
#define VEMRICK_QZ_MESSAGES_H

#include "vemrick.h"

enum {
    QZ_PAY_MSG_BUFFER = 10682,     /* work buffer of a "2040": request + 60 bytes at most */
    QZ_PREAUTH_MSG_BUFFER = 10690, /* work buffer of a "1093": request + 68 bytes at most */
    QZ_PAY_REPLY_MIN_LEN = 468,    /* a "1041" with one card and a 40-character signature */
    QZ_PREAUTH_REPLY_MIN_LEN = 476, /* a "1094" likewise */
    QZ_MAX_CARDS = 1024
};

/* Builds the base64 text of a signed "2040" message around a pay request of len bytes.
 * Returns 1 with *outText a malloc'ed text of *outTextLen bytes (no terminator; the caller frees
 * it); 0 with *outText null when len is 0 or above QZ_PAY_REQUEST_MAX_LEN, signing is refused
 * (e.g. a key over 64 bytes) or encoding fails. */
int BuildPayTransactionMsg(const unsigned char *payRequest, unsigned int len,
                           const unsigned char *key, unsigned int keyLen, unsigned char **outText,
                           unsigned int *outTextLen);

/* As BuildPayTransactionMsg for a "1093"; expiryDate is 8 characters YYYYMMDD, or null or "" for
 * eight spaces. */
int BuildPreAuthorizationMsg(const unsigned char *payRequest, unsigned int len,
                             const char *expiryDate, const unsigned char *key,
                             unsigned int keyLen, unsigned char **outText,
                             unsigned int *outTextLen);

/* Returns 1 when a reply of replyLen bytes has the expected type, version "1.00" and echoes the six
 * fields of rec byte for byte over their full widths (rec's slots hold the request's fields as
 * CopyPayRequestFields left them); 0 otherwise (also when it is too short to hold them). */
int CheckPayTransactionReply(const unsigned char *reply, unsigned int replyLen,
                             const TransactionRecord *rec);
int CheckPreAuthorizationReply(const unsigned char *reply, unsigned int replyLen,
                               const TransactionRecord *rec);

/* Reads date/time, return code, cards and signature of a reply into rec, *cardCount and
 * *cardList. Numbers are read trimmed, as decimal text; cards are trimmed; AuthorizationNumber
 * gets as many signature characters as the signature-length field says, at most 40 (a negative
 * length counts as more). Returns 0; QZ_EMPTY_REPLY when the card list cannot be allocated
 * (*cardList untouched); QZ_BAD_REPLY when the reply is too short for its fixed fields, the card
 * count is outside 1..1024, the cards and the 40-byte signature field do not fit in replyLen
 * (nothing handed over), or the signature's first byte is NUL. Failures are also stored in
 * rec->ReturnCode. A card list handed over (a malloc'ed list of n entries of QZ_CARD_ENTRY_SIZE
 * bytes) stays the caller's even when a later step fails. */
unsigned int ParsePayTransactionReply(const unsigned char *reply, unsigned int replyLen,
                                      TransactionRecord *rec, unsigned int *cardCount,
                                      char **cardList);
unsigned int ParsePreAuthorizationReply(const unsigned char *reply, unsigned int replyLen,
                                        TransactionRecord *rec, unsigned int *cardCount,
                                        char **cardList);

/* Verifies a reply read by the Parse function above: the HMAC-SHA-1 under key of the signed range
 * ("1041": from offset 8, 450 + 10 n - s bytes; "1094": from offset 0, 466 + 10 n - s bytes, where
 * s is the length of rec->AuthorizationNumber) must equal rec->AuthorizationNumber. Returns 1 on a
 * match, 0 otherwise (also when the range would not lie within replyLen). */
int VerifyPayTransactionReply(const unsigned char *reply, unsigned int replyLen,
                              const TransactionRecord *rec, unsigned int cardCount,
                              const unsigned char *key, unsigned int keyLen);
int VerifyPreAuthorizationReply(const unsigned char *reply, unsigned int replyLen,
                                const TransactionRecord *rec, unsigned int cardCount,
                                const unsigned char *key, unsigned int keyLen);

#endif
