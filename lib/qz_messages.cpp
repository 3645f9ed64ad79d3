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

enum {
    TYPE_LEN = 4,
    VERSION_LEN = 4,
    HEADER_LEN = TYPE_LEN + VERSION_LEN,
    EXPIRY_LEN = 8,
    SIG_LEN_FIELD = 12,
    SIG_TEXT_LEN = 40, /* the signature field; also the only signature length that can match */
    /* "1041" offsets; a "1094" has every one of them 8 bytes further on. */
    REPLY_OFF_DATE_TIME = 378,
    REPLY_OFF_SIG_LEN = 398,
    REPLY_OFF_RETURN_CODE = 410,
    REPLY_OFF_CARD_COUNT = 414,
    REPLY_OFF_CARDS = 418,
    RETURN_CODE_LEN = 4,
    CARD_COUNT_LEN = 4,
    CARD_LEN = 10
};

/* An outgoing message: type, version, `extra` header bytes (the expiry date of a "1093"), then
 * the pay request, the signature-length field and the signature. */
struct MessageLayout {
    const char *type;
    unsigned int extra;
    unsigned int bufferSize;
};

const MessageLayout kPayMessage = {"2040", 0, QZ_PAY_MSG_BUFFER};
const MessageLayout kPreAuthMessage = {"1093", EXPIRY_LEN, QZ_PREAUTH_MSG_BUFFER};

/* A reply: the "1041" layout with every field after the version moved by `shift` bytes, and a
 * signature covering the bytes from `signedFrom` up to the signature. */
struct ReplyLayout {
    const char *type;
    unsigned int shift;
    unsigned int signedFrom;
};

const ReplyLayout kPayReply = {"1041", 0, HEADER_LEN};
const ReplyLayout kPreAuthReply = {"1094", EXPIRY_LEN, 0};

int buildMessage(const MessageLayout &lay, const unsigned char *payRequest, unsigned int len,
                 const char *expiryDate, const unsigned char *key, unsigned int keyLen,
                 unsigned char **outText, unsigned int *outTextLen)
{
    if (outText == nullptr || outTextLen == nullptr)
        return 0;
    *outText = nullptr;
    *outTextLen = 0;
    if (payRequest == nullptr || len == 0 || len > QZ_PAY_REQUEST_MAX_LEN)
        return 0;
    const size_t requestOff = HEADER_LEN + lay.extra;
    const size_t signedLen = requestOff + len + SIG_LEN_FIELD;
    const size_t total = signedLen + SIG_TEXT_LEN;
    if (total > lay.bufferSize)
        return 0;

    unsigned char *buf = static_cast<unsigned char *>(malloc(lay.bufferSize));
    if (buf == nullptr)
        return 0;
    memset(buf, ' ', lay.bufferSize);
    memcpy(buf, lay.type, TYPE_LEN);
    memcpy(buf + TYPE_LEN, kVersion, VERSION_LEN);
    if (lay.extra > 0 && expiryDate != nullptr)
        memcpy(buf + HEADER_LEN, expiryDate, strnlen(expiryDate, lay.extra));
    memcpy(buf + requestOff, payRequest, len);
    char sigLen[SIG_LEN_FIELD + 1];
    snprintf(sigLen, sizeof sigLen, "%*.*d", SIG_LEN_FIELD, SIG_LEN_FIELD, SIG_TEXT_LEN);
    memcpy(buf + requestOff + len, sigLen, SIG_LEN_FIELD);

    unsigned char signature[SIG_TEXT_LEN + 1];
    int ok = 0;
    if (QZUtil::CreateSignatureHMAC(key, keyLen, buf, static_cast<unsigned int>(signedLen),
                                    signature, sizeof signature)) {
        memcpy(buf + signedLen, signature, SIG_TEXT_LEN);
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
    secure_wipe(buf, lay.bufferSize);
    free(buf);
    return ok;
}

/* Reads a numeric field: trimmed, then converted as decimal text (sign, digits; none gives 0).
 * strtoll instead of atoi so that twelve digits cannot overflow; the result is clamped to int. */
long long readNumber(const unsigned char *p, size_t width)
{
    char text[SIG_LEN_FIELD + 1];
    memcpy(text, p, width);
    text[width] = '\0';
    QZUtil::TrimStr(text);
    return strtoll(text, nullptr, 10);
}

int clampToInt(long long v)
{
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int>(v);
}

int checkReply(const ReplyLayout &lay, const unsigned char *reply, unsigned int replyLen,
               const TransactionRecord *rec)
{
    if (reply == nullptr || rec == nullptr || replyLen < QZ_PAY_REQUEST_MIN_LEN + lay.shift)
        return 0;
    if (memcmp(reply, lay.type, TYPE_LEN) != 0 || memcmp(reply + TYPE_LEN, kVersion, VERSION_LEN) != 0)
        return 0;
    /* The record's slots hold the request's fields at full width (CopyPayRequestFields), so the
     * whole width is compared; a NUL inside a field must not shorten the comparison. */
    const struct {
        unsigned int off;
        const char *field;
        size_t width;
    } echoes[] = {
        {QZ_OFF_MERCHANT_ID, rec->MerchantID, QZ_MERCHANT_ID_LEN},
        {QZ_OFF_TRANSACTION_ID, rec->TransactionID, QZ_TRANSACTION_ID_LEN},
        {QZ_OFF_CURRENCY_CODE, rec->CurrencyCode, QZ_CURRENCY_CODE_LEN},
        {QZ_OFF_TRANSACTION_AMOUNT, rec->TransactionAmount, QZ_TRANSACTION_AMOUNT_LEN},
        {QZ_OFF_DESCRIPTION, rec->Description, QZ_DESCRIPTION_LEN},
        {QZ_OFF_PAN, rec->PAN, QZ_PAN_LEN},
    };
    for (const auto &e : echoes)
        if (memcmp(reply + lay.shift + e.off, e.field, e.width) != 0)
            return 0;
    return 1;
}

unsigned int parseReply(const ReplyLayout &lay, const unsigned char *reply, unsigned int replyLen,
                        TransactionRecord *rec, unsigned int *cardCount, char **cardList)
{
    if (rec == nullptr)
        return QZ_BAD_REPLY;
    if (reply == nullptr || cardCount == nullptr || cardList == nullptr ||
        replyLen < REPLY_OFF_CARDS + lay.shift) {
        rec->ReturnCode = QZ_BAD_REPLY;
        return QZ_BAD_REPLY;
    }
    const unsigned char *r = reply + lay.shift;

    memcpy(rec->AuthorizationDateTime, r + REPLY_OFF_DATE_TIME, QZ_AUTH_DATE_TIME_LEN);
    rec->AuthorizationDateTime[QZ_AUTH_DATE_TIME_LEN] = '\0';
    rec->ReturnCode = clampToInt(readNumber(r + REPLY_OFF_RETURN_CODE, RETURN_CODE_LEN));

    const long long n = readNumber(r + REPLY_OFF_CARD_COUNT, CARD_COUNT_LEN);
    /* The cards and the whole signature field must lie within the reply. */
    if (n < 1 || n > QZ_MAX_CARDS ||
        REPLY_OFF_CARDS + lay.shift + CARD_LEN * static_cast<size_t>(n) + SIG_TEXT_LEN > replyLen) {
        rec->ReturnCode = QZ_BAD_REPLY;
        return QZ_BAD_REPLY;
    }
    const size_t count = static_cast<size_t>(n);
    char *list = static_cast<char *>(calloc(count, QZ_CARD_ENTRY_SIZE));
    if (list == nullptr) {
        rec->ReturnCode = QZ_EMPTY_REPLY;
        return QZ_EMPTY_REPLY;
    }
    *cardList = list;
    for (size_t i = 0; i < count; i++) {
        char *entry = list + QZ_CARD_ENTRY_SIZE * i;
        memcpy(entry, r + REPLY_OFF_CARDS + CARD_LEN * i, CARD_LEN);
        QZUtil::TrimStr(entry);
    }
    *cardCount = static_cast<unsigned int>(count);

    const long long sigLen = readNumber(r + REPLY_OFF_SIG_LEN, SIG_LEN_FIELD);
    const unsigned char *sig = r + REPLY_OFF_CARDS + CARD_LEN * count;
    if (sig[0] == '\0') {
        rec->ReturnCode = QZ_BAD_REPLY;
        return QZ_BAD_REPLY;
    }
    size_t copy = SIG_TEXT_LEN;
    if (sigLen >= 0 && sigLen < SIG_TEXT_LEN)
        copy = static_cast<size_t>(sigLen);
    memcpy(rec->AuthorizationNumber, sig, copy);
    rec->AuthorizationNumber[copy] = '\0';
    return QZ_OK;
}

int verifyReply(const ReplyLayout &lay, const unsigned char *reply, unsigned int replyLen,
                const TransactionRecord *rec, unsigned int cardCount, const unsigned char *key,
                unsigned int keyLen)
{
    if (reply == nullptr || rec == nullptr || cardCount < 1 || cardCount > QZ_MAX_CARDS)
        return 0;
    const size_t s = strnlen(rec->AuthorizationNumber, sizeof rec->AuthorizationNumber);
    if (s > SIG_TEXT_LEN)
        return 0;
    /* The range ends 40 - s bytes after the start of the signature field, s being the received
     * signature's length; only s = 40, the one length that can match, gives the signed range. */
    const size_t sigField = REPLY_OFF_CARDS + lay.shift + CARD_LEN * static_cast<size_t>(cardCount);
    const size_t end = sigField + SIG_TEXT_LEN - s;
    if (sigField + SIG_TEXT_LEN > replyLen)
        return 0;
    return QZUtil::VerifySignatureHMAC(key, keyLen, reply + lay.signedFrom,
                                       static_cast<unsigned int>(end - lay.signedFrom),
                                       reinterpret_cast<const unsigned char *>(rec->AuthorizationNumber),
                                       static_cast<unsigned int>(s)) != 0;
}

} // namespace

int BuildPayTransactionMsg(const unsigned char *payRequest, unsigned int len,
                           const unsigned char *key, unsigned int keyLen, unsigned char **outText,
                           unsigned int *outTextLen)
{
    return buildMessage(kPayMessage, payRequest, len, nullptr, key, keyLen, outText, outTextLen);
}

int BuildPreAuthorizationMsg(const unsigned char *payRequest, unsigned int len,
                             const char *expiryDate, const unsigned char *key,
                             unsigned int keyLen, unsigned char **outText,
                             unsigned int *outTextLen)
{
    return buildMessage(kPreAuthMessage, payRequest, len, expiryDate, key, keyLen, outText,
                        outTextLen);
}

int CheckPayTransactionReply(const unsigned char *reply, unsigned int replyLen,
                             const TransactionRecord *rec)
{
    return checkReply(kPayReply, reply, replyLen, rec);
}

int CheckPreAuthorizationReply(const unsigned char *reply, unsigned int replyLen,
                               const TransactionRecord *rec)
{
    return checkReply(kPreAuthReply, reply, replyLen, rec);
}

unsigned int ParsePayTransactionReply(const unsigned char *reply, unsigned int replyLen,
                                      TransactionRecord *rec, unsigned int *cardCount,
                                      char **cardList)
{
    return parseReply(kPayReply, reply, replyLen, rec, cardCount, cardList);
}

unsigned int ParsePreAuthorizationReply(const unsigned char *reply, unsigned int replyLen,
                                        TransactionRecord *rec, unsigned int *cardCount,
                                        char **cardList)
{
    return parseReply(kPreAuthReply, reply, replyLen, rec, cardCount, cardList);
}

int VerifyPayTransactionReply(const unsigned char *reply, unsigned int replyLen,
                              const TransactionRecord *rec, unsigned int cardCount,
                              const unsigned char *key, unsigned int keyLen)
{
    return verifyReply(kPayReply, reply, replyLen, rec, cardCount, key, keyLen);
}

int VerifyPreAuthorizationReply(const unsigned char *reply, unsigned int replyLen,
                                const TransactionRecord *rec, unsigned int cardCount,
                                const unsigned char *key, unsigned int keyLen)
{
    return verifyReply(kPreAuthReply, reply, replyLen, rec, cardCount, key, keyLen);
}
