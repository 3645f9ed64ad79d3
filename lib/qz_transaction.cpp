#include "vemrick.h"

#include "qz_internal.h"
#include "qz_messages.h"
#include "qzutil.h"
#include "wipe.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kContentType[] = "application/x-qz";
const char kLogFile[] = "vemrick.log";

unsigned int finish(TransactionRecord *rec, unsigned int code)
{
    if (rec != nullptr)
        rec->ReturnCode = static_cast<int32_t>(code);
    return code;
}

bool empty(const char *text)
{
    return text == nullptr || text[0] == '\0';
}

/* Leaves nothing of a reply to report: empty date/time and number, no cards. A card list found
 * here is the library's (the entry points set *cardList to null first); it is wiped and freed. */
void dropReply(TransactionRecord *rec, unsigned int *cardCount, char **cardList)
{
    if (rec != nullptr) {
        memset(rec->AuthorizationDateTime, 0, sizeof rec->AuthorizationDateTime);
        memset(rec->AuthorizationNumber, 0, sizeof rec->AuthorizationNumber);
    }
    if (cardList != nullptr && *cardList != nullptr) {
        secure_wipe(*cardList, static_cast<size_t>(*cardCount) * QZ_CARD_ENTRY_SIZE);
        free(*cardList);
        *cardList = nullptr;
    }
    if (cardCount != nullptr)
        *cardCount = 0;
}

/* The start of both entry points, before their arguments are checked. The record keeps what the
 * caller put in it until the request has been read: none of that came from a reply. */
void startTransaction(unsigned int *cardCount, char **cardList, QZCallReport *report)
{
    if (report != nullptr)
        memset(report, 0, sizeof *report);
    if (cardList != nullptr)
        *cardList = nullptr; /* whatever the caller left there is not ours to free */
    if (cardCount != nullptr)
        *cardCount = 0;
}

void releaseRequest(unsigned char *payRequest, unsigned int len)
{
    secure_wipe(payRequest, len); /* it holds the buyer's PAN */
    free(payRequest);
}

/* Records where and why a call failed, for QZCallReport. */
unsigned int fail(QZCallReport *report, unsigned int code, const char *phase, const char *cause)
{
    if (report != nullptr && report->phase[0] == '\0') {
        snprintf(report->phase, sizeof report->phase, "%s", phase);
        snprintf(report->cause, sizeof report->cause, "%s", cause);
    }
    return code;
}

/* Records a failed exchange: where the transport said it failed, or what its code means. */
void failTransport(QZCallReport *report, unsigned int code, const QZTransportReport &t)
{
    if (t.phase[0] != '\0')
        fail(report, code, t.phase, t.cause);
    else if (code == QZ_NOTHING_RECEIVED)
        fail(report, code, "receive", "nothing received");
    else if (code == QZ_EMPTY_REPLY)
        fail(report, code, "reply", "an empty response, or no memory for it");
    else
        fail(report, code, "reply", "the response has no body, or its body is not base64");
}

/* Why a decoded pay request of len bytes cannot go out signed. */
const char *requestFault(const unsigned char *payRequest, unsigned int len, unsigned int keyLen)
{
    if (len > QZ_PAY_REQUEST_MAX_LEN)
        return "the pay request is longer than 10622 bytes";
    if (memcmp(payRequest + QZ_OFF_MERCHANT_ID, "2040", 4) == 0 ||
        memcmp(payRequest + QZ_OFF_MERCHANT_ID, "1093", 4) == 0)
        return "the MerchantID begins with a message type (2040 or 1093)";
    if (keyLen > 64)
        return "the merchant key is longer than 64 bytes";
    return "the message cannot be built or signed";
}

/* One call's inputs beyond the AuthString. */
struct Call {
    const char *expiryDate;
    const char *url;
    int timeoutSeconds;
    const unsigned char *key;
    unsigned int keyLen;
    const char *proxyHost;
    unsigned int proxyPort;
    const QZCallOptions *options;
    QZCallReport *report;
};

/* Reads, checks and, when verify is set, verifies a reply. Returns QZ_OK when it is accepted,
 * with its values in rec, *cardCount and *cardList; otherwise a code, recorded in the report. */
unsigned int acceptReply(const QZExchange &ex, const unsigned char *reply, unsigned int replyLen,
                         const Call &c, bool verify, TransactionRecord *rec,
                         unsigned int *cardCount, char **cardList)
{
    if (replyLen < ex.replyMinLen)
        return fail(c.report, QZ_BAD_REPLY, "reply", "too short to be a reply");
    if (!CheckQZReply(ex, reply, replyLen, rec))
        return fail(c.report, QZ_BAD_REPLY, "reply",
                    "wrong type or version, or it does not echo the request");
    const unsigned int rc = ParseQZReply(ex, reply, replyLen, rec, cardCount, cardList);
    if (rc != QZ_OK)
        return fail(c.report, rc, "reply",
                    rc == QZ_EMPTY_REPLY ? "no memory for the card list"
                                         : "card count or signature field out of place");
    if (verify && !VerifyQZReply(ex, reply, replyLen, rec, *cardCount, c.key, c.keyLen))
        return fail(c.report, QZ_BAD_REPLY, "reply", "signature does not match");
    return QZ_OK;
}

/* The common road of both transactions, once the arguments have been checked. Without a key
 * (payments only) the AuthString is posted unchanged and the reply's signature is not checked. */
unsigned int transact(const QZExchange &ex, const char *authString, unsigned int length,
                      const Call &c, TransactionRecord *rec, unsigned int *cardCount,
                      char **cardList)
{
    QZUtil::LOGFILE = kLogFile;

    unsigned char *payRequest = nullptr;
    unsigned int prLen = 0;
    bool noMemory = false;
    if (!DecodePayRequestMsg(authString, length, &payRequest, &prLen, &noMemory))
        return finish(rec, fail(c.report, QZ_BAD_REQUEST, "request",
                                noMemory ? "no memory to decode the AuthString"
                                         : "the AuthString is not base64"));
    if (prLen < QZ_PAY_REQUEST_MIN_LEN) {
        releaseRequest(payRequest, prLen);
        return finish(rec, fail(c.report, QZ_BAD_REQUEST, "request",
                                "the AuthString is too short for the pay request's fields"));
    }

    memset(rec, 0, sizeof *rec);
    PayRequestFields fields;
    CopyPayRequestFields(payRequest, &fields);
    memcpy(rec, &fields, sizeof fields);
    secure_wipe(&fields, sizeof fields);

    const bool signing = c.key != nullptr && c.keyLen > 0;
    unsigned char *built = nullptr;
    unsigned int builtLen = 0;
    if (signing && !BuildQZMessage(ex, payRequest, prLen, c.expiryDate, c.key, c.keyLen, &built,
                                   &builtLen)) {
        const char *why = requestFault(payRequest, prLen, c.keyLen);
        releaseRequest(payRequest, prLen);
        return finish(rec, fail(c.report, QZ_BAD_REQUEST, "request", why));
    }
    releaseRequest(payRequest, prLen);

    const unsigned char *message =
        signing ? built : reinterpret_cast<const unsigned char *>(authString);
    const unsigned int messageLen = signing ? builtLen : length;
    unsigned char *reply = nullptr;
    unsigned int replyLen = 0;
    QZTransportReport transport = {};
    if (c.options != nullptr) {
        transport.onEvent = c.options->trace;
        transport.eventContext = c.options->traceContext;
    }
    const int sent = QZUtil::SendQZRequest(message, messageLen, c.url, kContentType, &reply,
                                           &replyLen, c.timeoutSeconds, c.proxyHost, c.proxyPort,
                                           c.options != nullptr ? c.options->caFile : nullptr,
                                           &transport);
    free(built);
    if (c.report != nullptr)
        c.report->requestSent = transport.requestSent;
    if (sent != QZ_OK)
        failTransport(c.report, static_cast<unsigned int>(sent), transport);

    const unsigned int rc =
        sent != QZ_OK ? static_cast<unsigned int>(sent)
                      : acceptReply(ex, reply, replyLen, c, signing, rec, cardCount, cardList);
    if (sent == QZ_OK && c.options != nullptr && c.options->trace != nullptr)
        c.options->trace(c.options->traceContext, "checks",
                         rc == QZ_OK ? "passed" : c.report != nullptr ? c.report->cause : "failed");
    if (reply != nullptr)
        secure_wipe(reply, replyLen); /* it echoes the buyer's PAN */
    free(reply);
    if (rc != QZ_OK) {
        dropReply(rec, cardCount, cardList);
        return finish(rec, rc);
    }
    return finish(rec, static_cast<unsigned int>(rec->ReturnCode)); /* the server's own code */
}

} // namespace

unsigned int QZProcessPayTransactionEx(const char *authString, unsigned int length,
                                       const char *url, TransactionRecord *rec,
                                       unsigned int *cardCount, char **cardList,
                                       int timeoutSeconds, const unsigned char *key,
                                       unsigned int keyLen, const char *proxyHost,
                                       unsigned int proxyPort, const QZCallOptions *options,
                                       QZCallReport *report)
{
    startTransaction(cardCount, cardList, report);
    if (empty(authString) || length == 0 || empty(url) || rec == nullptr || cardCount == nullptr ||
        cardList == nullptr)
        return finish(rec, fail(report, QZ_BAD_ARGUMENTS, "arguments",
                                "an empty AuthString or URL, or no record or card list"));
    const Call c{nullptr, url, timeoutSeconds, key, keyLen, proxyHost, proxyPort, options, report};
    return transact(kQZPay, authString, length, c, rec, cardCount, cardList);
}

unsigned int QZProcessPreAuthorizationEx(const char *authString, unsigned int length,
                                         const char *expiryDate, const char *url,
                                         TransactionRecord *rec, unsigned int *cardCount,
                                         char **cardList, int timeoutSeconds,
                                         const unsigned char *key, unsigned int keyLen,
                                         const char *proxyHost, unsigned int proxyPort,
                                         const QZCallOptions *options, QZCallReport *report)
{
    startTransaction(cardCount, cardList, report);
    if (empty(authString) || length == 0 || empty(url) || rec == nullptr || cardCount == nullptr ||
        cardList == nullptr)
        return finish(rec, fail(report, QZ_BAD_ARGUMENTS, "arguments",
                                "an empty AuthString or URL, or no record or card list"));
    if (key == nullptr || keyLen == 0)
        return finish(rec, fail(report, QZ_BAD_ARGUMENTS, "arguments",
                                "a pre-authorization needs the merchant key"));
    if (!empty(expiryDate) && !QZUtil::CheckDateFormat(expiryDate))
        return finish(rec, fail(report, QZ_BAD_ARGUMENTS, "arguments",
                                "the expiry date is not a YYYYMMDD calendar date"));
    const Call c{expiryDate, url, timeoutSeconds, key, keyLen, proxyHost, proxyPort, options, report};
    return transact(kQZPreAuth, authString, length, c, rec, cardCount, cardList);
}

unsigned int QZProcessPayTransaction(const char *authString, unsigned int length, const char *url,
                                     TransactionRecord *rec, unsigned int *cardCount,
                                     char **cardList, int timeoutSeconds, const unsigned char *key,
                                     unsigned int keyLen, const char *proxyHost,
                                     unsigned int proxyPort)
{
    return QZProcessPayTransactionEx(authString, length, url, rec, cardCount, cardList,
                                     timeoutSeconds, key, keyLen, proxyHost, proxyPort, nullptr,
                                     nullptr);
}

unsigned int QZProcessPreAuthorization(const char *authString, unsigned int length,
                                       const char *expiryDate, const char *url,
                                       TransactionRecord *rec, unsigned int *cardCount,
                                       char **cardList, int timeoutSeconds,
                                       const unsigned char *key, unsigned int keyLen,
                                       const char *proxyHost, unsigned int proxyPort)
{
    return QZProcessPreAuthorizationEx(authString, length, expiryDate, url, rec, cardCount,
                                       cardList, timeoutSeconds, key, keyLen, proxyHost, proxyPort,
                                       nullptr, nullptr);
}
