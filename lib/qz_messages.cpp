/* SPDX-License-Identifier: Apache-2.0 */
#include "qz_messages.h"

#include "qz_internal.h"
#include "qzutil.h"
#include "wipe.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kVersion[] = "1.00";

enum { HEADER_LEN = 2 * QZ_TYPE_LEN, EXPIRY_LEN = 8 };

/* Both layouts follow from the field widths; a "1093" and its "1094" carry the expiry date (its
 * echo) after the version, which moves everything behind it. */
constexpr QZExchange exchange(const char *messageType, const char *replyType,
                              unsigned int expiryLen, unsigned int replySignedFrom)
{
    const unsigned int requestOffset = HEADER_LEN + expiryLen;
    const unsigned int dateTime = QZ_PAY_REQUEST_MIN_LEN + expiryLen;
    const unsigned int sigLen = dateTime + QZ_AUTH_DATE_TIME_LEN;
    const unsigned int returnCode = sigLen + QZ_SIG_LEN_FIELD;
    const unsigned int cardCount = returnCode + QZ_RETURN_CODE_LEN;
    const unsigned int cards = cardCount + QZ_CARD_COUNT_LEN;
    return {messageType, requestOffset,
            requestOffset + QZ_PAY_REQUEST_MAX_LEN + QZ_SIG_LEN_FIELD + QZ_SIG_TEXT_LEN,
            replyType, expiryLen, dateTime, sigLen, returnCode, cardCount, cards,
            replySignedFrom, cards + QZ_CARD_LEN + QZ_SIG_TEXT_LEN};
}

} // namespace

const QZExchange kQZPay = exchange("2040", "1041", 0, HEADER_LEN);
const QZExchange kQZPreAuth = exchange("1093", "1094", EXPIRY_LEN, 0);

namespace {

/* True when the bytes at p begin with the type of a message this library sends. */
bool isMessageType(const unsigned char *p)
{
    return memcmp(p, kQZPay.messageType, QZ_TYPE_LEN) == 0 ||
           memcmp(p, kQZPreAuth.messageType, QZ_TYPE_LEN) == 0;
}

/* A numeric field, clamped to the range of the record's int32_t. */
int32_t readNumber(const unsigned char *p, size_t width)
{
    const long long v = QZUtil::ReadDecimal(reinterpret_cast<const char *>(p), width);
    return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int32_t>(v);
}

} // namespace

int BuildQZMessage(const QZExchange &ex, const unsigned char *payRequest, unsigned int len,
                   const char *expiryDate, const unsigned char *key, unsigned int keyLen,
                   unsigned char **outText, unsigned int *outTextLen, const char **why)
{
    static const char kCannotBuild[] = "the message cannot be built or signed";
    const char *ignored = nullptr;
    const char *&fault = why != nullptr ? *why : ignored;
    fault = kCannotBuild;
    if (outText == nullptr || outTextLen == nullptr)
        return 0;
    *outText = nullptr;
    *outTextLen = 0;
    if (payRequest == nullptr || len == 0)
        return 0;
    if (len > QZ_PAY_REQUEST_MAX_LEN)
        fault = "the pay request is longer than 10622 bytes";
    else if (len >= QZ_OFF_MERCHANT_ID + QZ_TYPE_LEN && isMessageType(payRequest + QZ_OFF_MERCHANT_ID))
        fault = "the MerchantID begins with a message type (2040 or 1093)";
    else if (keyLen > 64)
        fault = "the merchant key is longer than 64 bytes";
    if (fault != kCannotBuild)
        return 0;
    const size_t signedLen = ex.requestOffset + len + QZ_SIG_LEN_FIELD;
    const size_t total = signedLen + QZ_SIG_TEXT_LEN;

    unsigned char *buf = static_cast<unsigned char *>(malloc(total));
    if (buf == nullptr)
        return 0;
    memset(buf, ' ', ex.requestOffset);
    memcpy(buf, ex.messageType, QZ_TYPE_LEN);
    memcpy(buf + QZ_TYPE_LEN, kVersion, QZ_TYPE_LEN);
    if (expiryDate != nullptr)
        memcpy(buf + HEADER_LEN, expiryDate, strnlen(expiryDate, ex.requestOffset - HEADER_LEN));
    memcpy(buf + ex.requestOffset, payRequest, len);
    char sigLen[QZ_SIG_LEN_FIELD + 1];
    snprintf(sigLen, sizeof sigLen, "%*.*d", QZ_SIG_LEN_FIELD, QZ_SIG_LEN_FIELD, QZ_SIG_TEXT_LEN);
    memcpy(buf + ex.requestOffset + len, sigLen, QZ_SIG_LEN_FIELD);

    unsigned char signature[QZ_SIG_TEXT_LEN + 1];
    int ok = 0;
    if (QZUtil::CreateSignatureHMAC(key, keyLen, buf, static_cast<unsigned int>(signedLen),
                                    signature, sizeof signature)) {
        memcpy(buf + signedLen, signature, QZ_SIG_TEXT_LEN);
        unsigned char *text = nullptr;
        const int n = QZUtil::base64_encode(buf, static_cast<int>(total), &text);
        if (n > 0) {
            *outText = text;
            *outTextLen = static_cast<unsigned int>(n);
            ok = 1;
        } else {
            free(text);
        }
    }
    secure_wipe(signature, sizeof signature);
    secure_wipe(buf, total); /* it holds the buyer's PAN */
    free(buf);
    return ok;
}

int CheckQZReply(const QZExchange &ex, const unsigned char *reply, unsigned int replyLen,
                 const TransactionRecord *rec)
{
    if (reply == nullptr || rec == nullptr || replyLen < QZ_PAY_REQUEST_MIN_LEN + ex.replyShift)
        return 0;
    if (memcmp(reply, ex.replyType, QZ_TYPE_LEN) != 0 ||
        memcmp(reply + QZ_TYPE_LEN, kVersion, QZ_TYPE_LEN) != 0)
        return 0;
    /* The whole width is compared: a NUL inside a field must not shorten the comparison. */
    const char *slots = reinterpret_cast<const char *>(rec);
    for (const QZField &f : kQZFields)
        if (memcmp(reply + ex.replyShift + f.offset, slots + f.slot, f.width) != 0)
            return 0;
    return 1;
}

unsigned int ParseQZReply(const QZExchange &ex, const unsigned char *reply, unsigned int replyLen,
                          TransactionRecord *rec, unsigned int *cardCount, char **cardList)
{
    if (reply == nullptr || rec == nullptr || cardCount == nullptr || cardList == nullptr ||
        replyLen < ex.replyCards)
        return QZ_BAD_REPLY;
    const int32_t n = readNumber(reply + ex.replyCardCount, QZ_CARD_COUNT_LEN);
    /* The cards and the whole signature field must lie within the reply. */
    if (n < 1 || n > QZ_MAX_CARDS ||
        QZReplySignature(ex, static_cast<size_t>(n)) + QZ_SIG_TEXT_LEN > replyLen)
        return QZ_BAD_REPLY;
    const size_t count = static_cast<size_t>(n);
    const unsigned char *sig = reply + QZReplySignature(ex, count);
    if (sig[0] == '\0')
        return QZ_BAD_REPLY;
    char *list = static_cast<char *>(calloc(count, QZ_CARD_ENTRY_SIZE));
    if (list == nullptr)
        return QZ_EMPTY_REPLY;
    for (size_t i = 0; i < count; i++) {
        char *entry = list + QZ_CARD_ENTRY_SIZE * i;
        memcpy(entry, reply + ex.replyCards + QZ_CARD_LEN * i, QZ_CARD_LEN);
        QZUtil::TrimStr(entry);
    }
    *cardList = list;
    *cardCount = static_cast<unsigned int>(count);

    memcpy(rec->AuthorizationDateTime, reply + ex.replyDateTime, QZ_AUTH_DATE_TIME_LEN);
    rec->AuthorizationDateTime[QZ_AUTH_DATE_TIME_LEN] = '\0';
    rec->ReturnCode = readNumber(reply + ex.replyReturnCode, QZ_RETURN_CODE_LEN);
    const int32_t sigLen = readNumber(reply + ex.replySigLen, QZ_SIG_LEN_FIELD);
    size_t copy = QZ_SIG_TEXT_LEN;
    if (sigLen >= 0 && sigLen < QZ_SIG_TEXT_LEN)
        copy = static_cast<size_t>(sigLen);
    memcpy(rec->AuthorizationNumber, sig, copy);
    rec->AuthorizationNumber[copy] = '\0';
    return QZ_OK;
}

int VerifyQZReply(const QZExchange &ex, const unsigned char *reply, unsigned int replyLen,
                  const TransactionRecord *rec, unsigned int cardCount, const unsigned char *key,
                  unsigned int keyLen)
{
    if (reply == nullptr || rec == nullptr || cardCount < 1 || cardCount > QZ_MAX_CARDS)
        return 0;
    const size_t s = strnlen(rec->AuthorizationNumber, sizeof rec->AuthorizationNumber);
    if (s > QZ_SIG_TEXT_LEN)
        return 0;
    /* The range ends 40 - s bytes after the start of the signature field, s being the received
     * signature's length; only s = 40, the one length that can match, gives the signed range. */
    const size_t sigField = QZReplySignature(ex, cardCount);
    if (sigField + QZ_SIG_TEXT_LEN > replyLen || isMessageType(reply + ex.replySignedFrom))
        return 0;
    const size_t end = sigField + QZ_SIG_TEXT_LEN - s;
    const auto *number = reinterpret_cast<const unsigned char *>(rec->AuthorizationNumber);
    return QZUtil::VerifySignatureHMAC(key, keyLen, reply + ex.replySignedFrom,
                                       static_cast<unsigned int>(end - ex.replySignedFrom), number,
                                       static_cast<unsigned int>(s)) != 0;
}
