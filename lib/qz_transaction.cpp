#include "vemrick.h"

#include "qz_internal.h"
#include "qz_messages.h"
#include "qzutil.h"
#include "wipe.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

static_assert(offsetof(TransactionRecord, PAN) == offsetof(PayRequestFields, PAN) &&
                  offsetof(TransactionRecord, AuthorizationDateTime) == sizeof(PayRequestFields),
              "a TransactionRecord must begin with the slots of PayRequestFields");

namespace {

const char kContentType[] = "application/x-qz";
const char kLogFile[] = "vemrick.log";

/* A payment carries no expiry date; this gives both builders one shape. */
int buildPay(const unsigned char *payRequest, unsigned int len, const char *,
             const unsigned char *key, unsigned int keyLen, unsigned char **out,
             unsigned int *outLen)
{
    return BuildPayTransactionMsg(payRequest, len, key, keyLen, out, outLen);
}

/* What differs between a payment and a pre-authorization. */
struct Flavour {
    int (*build)(const unsigned char *, unsigned int, const char *, const unsigned char *,
                 unsigned int, unsigned char **, unsigned int *);
    unsigned int minReplyLen;
    int (*check)(const unsigned char *, unsigned int, const TransactionRecord *);
    unsigned int (*parse)(const unsigned char *, unsigned int, TransactionRecord *, unsigned int *,
                          char **);
    int (*verify)(const unsigned char *, unsigned int, const TransactionRecord *, unsigned int,
                  const unsigned char *, unsigned int);
};

const Flavour kPay = {buildPay, QZ_PAY_REPLY_MIN_LEN, CheckPayTransactionReply,
                      ParsePayTransactionReply, VerifyPayTransactionReply};
const Flavour kPreAuth = {BuildPreAuthorizationMsg, QZ_PREAUTH_REPLY_MIN_LEN,
                          CheckPreAuthorizationReply, ParsePreAuthorizationReply,
                          VerifyPreAuthorizationReply};

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

void releaseRequest(unsigned char *payRequest, unsigned int len)
{
    secure_wipe(payRequest, len); /* it holds the buyer's PAN */
    free(payRequest);
}

/* The common road of both transactions, once the arguments have been checked. Without a key
 * (payments only) the AuthString is posted unchanged and the reply's signature is not checked. */
unsigned int transact(const Flavour &f, const char *authString, unsigned int length,
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
    if (signing) {
        if (!f.build(payRequest, prLen, expiryDate, key, keyLen, &built, &builtLen)) {
            free(built);
            releaseRequest(payRequest, prLen);
            return finish(rec, QZ_BAD_REQUEST);
        }
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
    if (sent != QZ_OK)
        rc = static_cast<unsigned int>(sent);
    else if (replyLen < f.minReplyLen || !f.check(reply, replyLen, rec))
        rc = QZ_BAD_REPLY;
    else if ((rc = f.parse(reply, replyLen, rec, cardCount, cardList)) != 0)
        ; /* 1004 or 1005, already stored in the record */
    else if (signing && !f.verify(reply, replyLen, rec, *cardCount, key, keyLen))
        rc = QZ_BAD_REPLY;
    else
        rc = static_cast<unsigned int>(rec->ReturnCode); /* the server's own code */
    free(reply);
    return finish(rec, rc);
}

} // namespace

unsigned int QZProcessPayTransaction(const char *authString, unsigned int length, const char *url,
                                     TransactionRecord *rec, unsigned int *cardCount,
                                     char **cardList, int timeoutSeconds, const unsigned char *key,
                                     unsigned int keyLen, const char *proxyHost,
                                     unsigned int proxyPort)
{
    if (empty(authString) || length == 0 || empty(url) || rec == nullptr || cardCount == nullptr ||
        cardList == nullptr)
        return finish(rec, QZ_BAD_ARGUMENTS);
    return transact(kPay, authString, length, nullptr, url, rec, cardCount, cardList,
                    timeoutSeconds, key, keyLen, proxyHost, proxyPort);
}

unsigned int QZProcessPreAuthorization(const char *authString, unsigned int length,
                                       const char *expiryDate, const char *url,
                                       TransactionRecord *rec, unsigned int *cardCount,
                                       char **cardList, int timeoutSeconds,
                                       const unsigned char *key, unsigned int keyLen,
                                       const char *proxyHost, unsigned int proxyPort)
{
    if (empty(authString) || length == 0 || empty(url) || rec == nullptr || key == nullptr ||
        keyLen == 0 || cardCount == nullptr || cardList == nullptr ||
        (!empty(expiryDate) && !QZUtil::CheckDateFormat(expiryDate)))
        return finish(rec, QZ_BAD_ARGUMENTS);
    return transact(kPreAuth, authString, length, expiryDate, url, rec, cardCount, cardList,
                    timeoutSeconds, key, keyLen, proxyHost, proxyPort);
}
