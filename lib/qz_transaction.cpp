#include "vemrick.h"

#include "qz_internal.h"
#include "qz_messages.h"
#include "qzutil.h"
#include "wipe.h"

#include <cstddef>
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
void startTransaction(unsigned int *cardCount, char **cardList)
{
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

/* The common road of both transactions, once the arguments have been checked. Without a key
 * (payments only) the AuthString is posted unchanged and the reply's signature is not checked. */
unsigned int transact(const QZExchange &ex, const char *authString, unsigned int length,
                      const char *expiryDate, const char *url, TransactionRecord *rec,
                      unsigned int *cardCount, char **cardList, int timeoutSeconds,
                      const unsigned char *key, unsigned int keyLen, const char *proxyHost,
                      unsigned int proxyPort)
{
    QZUtil::LOGFILE = kLogFile;

    unsigned char *payRequest = nullptr;
    unsigned int prLen = 0;
    if (!DecodePayRequestMsg(authString, length, &payRequest, &prLen))
        return finish(rec, QZ_BAD_REQUEST);
    if (prLen < QZ_PAY_REQUEST_MIN_LEN) {
        releaseRequest(payRequest, prLen);
        return finish(rec, QZ_BAD_REQUEST);
    }

    memset(rec, 0, sizeof *rec);
    PayRequestFields fields;
    CopyPayRequestFields(payRequest, &fields);
    memcpy(rec, &fields, sizeof fields);

    const bool signing = key != nullptr && keyLen > 0;
    unsigned char *built = nullptr;
    unsigned int builtLen = 0;
    if (signing &&
        !BuildQZMessage(ex, payRequest, prLen, expiryDate, key, keyLen, &built, &builtLen)) {
        releaseRequest(payRequest, prLen);
        return finish(rec, QZ_BAD_REQUEST);
    }
    releaseRequest(payRequest, prLen);

    const unsigned char *message =
        signing ? built : reinterpret_cast<const unsigned char *>(authString);
    const unsigned int messageLen = signing ? builtLen : length;
    unsigned char *reply = nullptr;
    unsigned int replyLen = 0;
    const int sent = QZUtil::SendQZRequest(message, messageLen, url, kContentType, &reply,
                                           &replyLen, timeoutSeconds, proxyHost, proxyPort);
    free(built);

    unsigned int rc;
    bool accepted = false;
    if (sent != QZ_OK)
        rc = static_cast<unsigned int>(sent);
    else if (replyLen < ex.replyMinLen || !CheckQZReply(ex, reply, replyLen, rec))
        rc = QZ_BAD_REPLY;
    else if ((rc = ParseQZReply(ex, reply, replyLen, rec, cardCount, cardList)) != QZ_OK)
        ; /* QZ_EMPTY_REPLY or QZ_BAD_REPLY */
    else if (signing && !VerifyQZReply(ex, reply, replyLen, rec, *cardCount, key, keyLen))
        rc = QZ_BAD_REPLY;
    else
        accepted = true;
    if (reply != nullptr)
        secure_wipe(reply, replyLen); /* it echoes the buyer's PAN */
    free(reply);
    if (!accepted) {
        dropReply(rec, cardCount, cardList);
        return finish(rec, rc);
    }
    return finish(rec, static_cast<unsigned int>(rec->ReturnCode)); /* the server's own code */
}

} // namespace

unsigned int QZProcessPayTransaction(const char *authString, unsigned int length, const char *url,
                                     TransactionRecord *rec, unsigned int *cardCount,
                                     char **cardList, int timeoutSeconds, const unsigned char *key,
                                     unsigned int keyLen, const char *proxyHost,
                                     unsigned int proxyPort)
{
    startTransaction(cardCount, cardList);
    if (empty(authString) || length == 0 || empty(url) || rec == nullptr || cardCount == nullptr ||
        cardList == nullptr)
        return finish(rec, QZ_BAD_ARGUMENTS);
    return transact(kQZPay, authString, length, nullptr, url, rec, cardCount, cardList,
                    timeoutSeconds, key, keyLen, proxyHost, proxyPort);
}

unsigned int QZProcessPreAuthorization(const char *authString, unsigned int length,
                                       const char *expiryDate, const char *url,
                                       TransactionRecord *rec, unsigned int *cardCount,
                                       char **cardList, int timeoutSeconds,
                                       const unsigned char *key, unsigned int keyLen,
                                       const char *proxyHost, unsigned int proxyPort)
{
    startTransaction(cardCount, cardList);
    if (empty(authString) || length == 0 || empty(url) || rec == nullptr || key == nullptr ||
        keyLen == 0 || cardCount == nullptr || cardList == nullptr ||
        (!empty(expiryDate) && !QZUtil::CheckDateFormat(expiryDate)))
        return finish(rec, QZ_BAD_ARGUMENTS);
    return transact(kQZPreAuth, authString, length, expiryDate, url, rec, cardCount, cardList,
                    timeoutSeconds, key, keyLen, proxyHost, proxyPort);
}
