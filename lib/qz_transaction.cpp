/* SPDX-License-Identifier: Apache-2.0 */
#include "vemrick.h"

#include "qz_internal.h"
#include "qz_messages.h"
#include "qzutil.h"
#include "wipe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kContentType[] = "application/x-qz";
const char kLogFile[] = "vemrick.log";

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

void releaseRequest(unsigned char *payRequest, unsigned int len)
{
    secure_wipe(payRequest, len); /* it holds the buyer's PAN */
    free(payRequest);
}

/* The most bytes of proxy credentials taken. */
const size_t kMaxProxyCredentials = 1024;

/* Why the call options cannot be used, or null. Credentials that would break the request head
 * (a line end) or cannot be Basic credentials (no ":") are refused before anything is sent. */
const char *optionsFault(const QZCallOptions *options)
{
    const char *credentials = options != nullptr ? options->proxyCredentials : nullptr;
    if (empty(credentials))
        return nullptr;
    const size_t n = strnlen(credentials, kMaxProxyCredentials + 1);
    bool control = false;
    for (size_t i = 0; i < n; i++)
        control |= static_cast<unsigned char>(credentials[i]) < 0x20 || credentials[i] == 0x7f;
    if (n > kMaxProxyCredentials || control || memchr(credentials, ':', n) == nullptr)
        return "the proxy credentials are not user:password (at most 1024 bytes, no control "
               "characters)";
    return nullptr;
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
};

/* Reads, checks and, when verify is set, verifies a reply. Returns QZ_OK when it is accepted,
 * with its values in rec, *cardCount and *cardList; otherwise a code, recorded in *failure. */
unsigned int acceptReply(const QZExchange &ex, const unsigned char *reply, unsigned int replyLen,
                         const Call &c, bool verify, TransactionRecord *rec,
                         unsigned int *cardCount, char **cardList, Failure *failure)
{
    if (replyLen < ex.replyMinLen)
        return failure->set(QZ_BAD_REPLY, "reply", "too short to be a reply");
    if (!CheckQZReply(ex, reply, replyLen, rec))
        return failure->set(QZ_BAD_REPLY, "reply",
                            "wrong type or version, or it does not echo the request");
    const unsigned int rc = ParseQZReply(ex, reply, replyLen, rec, cardCount, cardList);
    if (rc != QZ_OK)
        return failure->set(rc, "reply",
                            rc == QZ_EMPTY_REPLY ? "no memory for the card list"
                                                 : "card count or signature field out of place");
    if (verify && !VerifyQZReply(ex, reply, replyLen, rec, *cardCount, c.key, c.keyLen))
        return failure->set(QZ_BAD_REPLY, "reply", "signature does not match");
    return QZ_OK;
}

/* The common road of both transactions, once the arguments have been checked. Without a key
 * (payments only) the AuthString is posted unchanged and the reply's signature is not checked. */
unsigned int transact(const QZExchange &ex, const char *authString, unsigned int length,
                      const Call &c, TransactionRecord *rec, unsigned int *cardCount,
                      char **cardList, Failure *failure)
{
    QZUtil::LOGFILE = kLogFile;

    unsigned char *payRequest = nullptr;
    unsigned int prLen = 0;
    bool noMemory = false;
    if (!DecodePayRequestMsg(authString, length, &payRequest, &prLen, &noMemory))
        return failure->set(QZ_BAD_REQUEST, "request",
                            noMemory ? "no memory to decode the AuthString"
                                     : "the AuthString is not base64");
    if (prLen < QZ_PAY_REQUEST_MIN_LEN) {
        releaseRequest(payRequest, prLen);
        return failure->set(QZ_BAD_REQUEST, "request",
                            "the AuthString is too short for the pay request's fields");
    }

    memset(rec, 0, sizeof *rec);
    PayRequestFields fields;
    CopyPayRequestFields(payRequest, &fields);
    memcpy(rec, &fields, sizeof fields);
    secure_wipe(&fields, sizeof fields);

    const bool signing = c.key != nullptr && c.keyLen > 0;
    unsigned char *built = nullptr;
    unsigned int builtLen = 0;
    const char *why = nullptr;
    const bool refused = signing && !BuildQZMessage(ex, payRequest, prLen, c.expiryDate, c.key,
                                                    c.keyLen, &built, &builtLen, &why);
    releaseRequest(payRequest, prLen);
    if (refused)
        return failure->set(QZ_BAD_REQUEST, "request", why);

    const unsigned char *message =
        signing ? built : reinterpret_cast<const unsigned char *>(authString);
    const unsigned int messageLen = signing ? builtLen : length;
    unsigned char *reply = nullptr;
    unsigned int replyLen = 0;
    const int sent = QZUtil::SendQZRequest(message, messageLen, c.url, kContentType, &reply,
                                           &replyLen, c.timeoutSeconds, c.proxyHost, c.proxyPort,
                                           c.options, failure);
    secure_wipe(built, builtLen); /* the signed message: the buyer's PAN and the signature */
    free(built);
    const unsigned int rc =
        sent != QZ_OK
            ? static_cast<unsigned int>(sent)
            : acceptReply(ex, reply, replyLen, c, signing, rec, cardCount, cardList, failure);
    if (rc != QZ_OK && failure->answer[0] != '\0') {
        /* The status of the response that failed the checks says best what happened. */
        failure->phase = failure->answerPhase;
        snprintf(failure->cause, sizeof failure->cause, "%s", failure->answer);
    }
    if (sent == QZ_OK && c.options != nullptr && c.options->trace != nullptr)
        c.options->trace(c.options->traceContext, "checks", rc == QZ_OK ? "passed" : failure->cause);
    if (reply != nullptr)
        secure_wipe(reply, replyLen); /* it echoes the buyer's PAN */
    free(reply);
    if (rc != QZ_OK) {
        dropReply(rec, cardCount, cardList);
        return rc;
    }
    return static_cast<unsigned int>(rec->ReturnCode); /* the server's own code */
}

/* Both entry points: the caller's outputs cleared (the record keeps what the caller put in it
 * until the request has been read: none of that came from a reply), the arguments checked, the
 * transaction run, and its failure and code handed to the report and the record. */
unsigned int run(const QZExchange &ex, const char *authString, unsigned int length, const Call &c,
                 TransactionRecord *rec, unsigned int *cardCount, char **cardList,
                 QZCallReport *report)
{
    if (cardList != nullptr)
        *cardList = nullptr; /* whatever the caller left there is not ours to free */
    if (cardCount != nullptr)
        *cardCount = 0;
    const bool preAuth = &ex == &kQZPreAuth;
    Failure failure;
    unsigned int rc;
    if (empty(authString) || length == 0 || empty(c.url) || rec == nullptr || cardCount == nullptr ||
        cardList == nullptr)
        rc = failure.set(QZ_BAD_ARGUMENTS, "arguments",
                         "an empty AuthString or URL, or no record or card list");
    else if (preAuth && (c.key == nullptr || c.keyLen == 0))
        rc = failure.set(QZ_BAD_ARGUMENTS, "arguments", "a pre-authorization needs the merchant key");
    else if (preAuth && !empty(c.expiryDate) && !QZUtil::CheckDateFormat(c.expiryDate))
        rc = failure.set(QZ_BAD_ARGUMENTS, "arguments",
                         "the expiry date is not a YYYYMMDD calendar date");
    else if (const char *fault = optionsFault(c.options))
        rc = failure.set(QZ_BAD_ARGUMENTS, "arguments", fault);
    else if (c.options != nullptr && !empty(c.options->pins) &&
             !QZUtil::TlsPinsWellFormed(c.options->pins))
        rc = failure.set(QZ_BAD_ARGUMENTS, "arguments", "the public key pins are malformed");
    else
        rc = transact(ex, authString, length, c, rec, cardCount, cardList, &failure);
    if (report != nullptr) {
        report->requestSent = failure.requestSent;
        snprintf(report->phase, sizeof report->phase, "%s", failure.phase);
        snprintf(report->cause, sizeof report->cause, "%s", failure.cause);
    }
    if (rec != nullptr)
        rec->ReturnCode = static_cast<int32_t>(rc);
    return rc;
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
    const Call c{nullptr, url, timeoutSeconds, key, keyLen, proxyHost, proxyPort, options};
    return run(kQZPay, authString, length, c, rec, cardCount, cardList, report);
}

unsigned int QZProcessPreAuthorizationEx(const char *authString, unsigned int length,
                                         const char *expiryDate, const char *url,
                                         TransactionRecord *rec, unsigned int *cardCount,
                                         char **cardList, int timeoutSeconds,
                                         const unsigned char *key, unsigned int keyLen,
                                         const char *proxyHost, unsigned int proxyPort,
                                         const QZCallOptions *options, QZCallReport *report)
{
    const Call c{expiryDate, url, timeoutSeconds, key, keyLen, proxyHost, proxyPort, options};
    return run(kQZPreAuth, authString, length, c, rec, cardCount, cardList, report);
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
