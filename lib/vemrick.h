/* SPDX-License-Identifier: Apache-2.0 */
/* vemrick: merchant-side card payment library.
 *
 * The four QZ entry points read a buyer's AuthString (base64 of a fixed-layout pay request),
 * check it against what the merchant expected, and run a signed payment or pre-authorization
 * against the payment server. Every entry point returns a code (see enum QZReturnCode) and never
 * prints or throws. Memory running out is a code too: during the exchange QZ_POST_FAILED (the
 * report's cause "out of memory", its requestSent telling whether the request had gone out), for
 * the reply or the card list QZ_EMPTY_REPLY (QZ_BAD_REPLY when its signature cannot be checked),
 * for decoding the AuthString or building the message QZ_BAD_REQUEST. One case ends the process
 * instead, by design: the digest kernel that computes the HMAC-SHA-1 signatures (signing a
 * request, verifying a reply) prints "CRITICAL EXCEPTION: <why> exiting." on stderr and exits
 * with status 1 when it cannot allocate its few bytes.
 *
 * C and C++: this header is valid C99 and C++, and the entry points have C linkage, so C programs
 * and foreign-function interfaces (such as Python's ctypes over libvemrick.so) call them directly.
 *
 * Threads: every entry point (the four QZ calls, the extended ones and the shared rules) may be called from
 * any number of threads at once. Each call keeps its working state (digest, messages, buffers,
 * connection) to itself, and nothing on the way takes a lock; the few values the process shares
 * are set once and read without a data race. What a call is handed (its record, card list
 * pointer, report, options) belongs to that call until it returns: give each thread its own. A
 * trace function is called in the thread that made the call.
 */
#ifndef VEMRICK_H
#define VEMRICK_H

#ifdef __cplusplus
#include <cstdint>
extern "C" {
#else
#include <stdint.h>
#endif

/* Return codes shared by the whole system. For the two server transactions, any other value is
 * the server's own return code (0 approves). */
#ifdef __cplusplus
enum QZReturnCode : unsigned int {
#else
enum QZReturnCode { /* in C an enumeration's type is int: the values all fit */
#endif
    QZ_OK = 0,                  /* success; for transactions: the server approved */
    QZ_NOT_VALID = 0,           /* QZIsValidPayTransaction: the AuthString differs */
    QZ_VALID = 1,               /* QZIsValidPayTransaction: the AuthString matches */
    QZ_FRONTEND_ERROR = 999,    /* the command-line tool failed; the library was not called */
    QZ_BAD_ARGUMENTS = 1000,    /* bad arguments (also a malformed expiry date) */
    QZ_ABORTED = 1001,          /* the HTTP POST was stopped by its abort flag */
    QZ_POST_FAILED = 1002,      /* no connection, request not wholly sent, receive error, or no
                                   memory during the exchange */
    QZ_NOTHING_RECEIVED = 1003, /* the server sent nothing */
    QZ_EMPTY_REPLY = 1004,      /* received length 0, or no memory for the reply or card list */
    QZ_BAD_REPLY = 1005,        /* reply unusable: no body, undecodable, wrong type, not echoing
                                   the request, malformed, or its signature does not match */
    QZ_BAD_REQUEST = 2010       /* the AuthString cannot be decoded or is too short or too long,
                                   or the outgoing message cannot be built or signed */
};
typedef enum QZReturnCode QZReturnCode;

/* Widths of the pay request's text fields; each slot below is one byte wider for the NUL. */
enum {
    QZ_MERCHANT_ID_LEN = 10,
    QZ_TRANSACTION_ID_LEN = 50,
    QZ_CURRENCY_CODE_LEN = 3,
    QZ_TRANSACTION_AMOUNT_LEN = 12,
    QZ_DESCRIPTION_LEN = 255,
    QZ_PAN_LEN = 40,
    QZ_AUTH_DATE_TIME_LEN = 20,
    QZ_AUTH_NUMBER_LEN = 40,
    QZ_CARD_ENTRY_SIZE = 11 /* bytes per card-list entry: up to 10 characters and a NUL */
};

/* The six fields of a pay request, as NUL-terminated texts with their filling spaces kept: the
 * slots that begin both records below. */
#define QZ_PAY_REQUEST_SLOTS                                                                       \
    char MerchantID[QZ_MERCHANT_ID_LEN + 1];                                                       \
    char TransactionID[QZ_TRANSACTION_ID_LEN + 1];                                                 \
    char CurrencyCode[QZ_CURRENCY_CODE_LEN + 1];                                                   \
    char TransactionAmount[QZ_TRANSACTION_AMOUNT_LEN + 1];                                         \
    char Description[QZ_DESCRIPTION_LEN + 1];                                                      \
    char PAN[QZ_PAN_LEN + 1];

typedef struct PayRequestFields {
    QZ_PAY_REQUEST_SLOTS
} PayRequestFields;

/* The result of a server transaction. */
typedef struct TransactionRecord {
    QZ_PAY_REQUEST_SLOTS
    char AuthorizationDateTime[QZ_AUTH_DATE_TIME_LEN + 1]; /* from the reply, unchanged */
    char AuthorizationNumber[QZ_AUTH_NUMBER_LEN + 1];      /* the reply's signature text */
    int32_t ReturnCode;                                    /* same as the function result */
} TransactionRecord;

/* The library's version, "MAJOR.MINOR.PATCH" (such as "1.0.0"): a static text, never null, that
 * the caller must not modify or free. The shared library's SONAME carries MAJOR; within one MAJOR
 * a later version only adds. */
const char *QZVersion(void);

/* Reads the six fields of an AuthString of `length` bytes into *out, without contacting the server.
 * Returns QZ_OK; QZ_BAD_ARGUMENTS (authString null or empty, length 0, out null: *out untouched);
 * or QZ_BAD_REQUEST (not base64, or decodes to fewer than 378 bytes: *out all zero). */
unsigned int QZGetPayTransaction(const char *authString, unsigned int length, PayRequestFields *out);

/* Checks that an AuthString carries the expected transaction: MerchantID, TransactionID,
 * CurrencyCode, Description and PAN compared exactly after trimming spaces on both sides (the
 * AuthString's field over its whole width, so a NUL inside it makes a difference; the expected
 * field up to its NUL), TransactionAmount compared as numbers written with a "." whatever the
 * program's locale. *expected is not modified.
 * Returns QZ_VALID, QZ_NOT_VALID, QZ_BAD_ARGUMENTS or QZ_BAD_REQUEST (as QZGetPayTransaction). */
unsigned int QZIsValidPayTransaction(const char *authString, unsigned int length,
                                     const PayRequestFields *expected);

/* Runs one payment: posts a signed "2040" message to `url` and verifies the "1041" reply.
 * A key of length 0 (or null) posts the AuthString unchanged and skips the reply's signature check.
 * With a key, a pay request whose MerchantID begins with "2040" or "1093" is refused
 * (QZ_BAD_REQUEST, nothing sent): its reply could not be told from the message sent back.
 * timeoutSeconds <= 0 keeps the default of 30; a proxy is used when proxyHost is non-empty and
 * proxyPort is not 0 (a proxyPort above 65535 with a proxyHost gives QZ_POST_FAILED, nothing sent).
 * Returns the server's return code, or QZ_BAD_ARGUMENTS, QZ_ABORTED .. QZ_BAD_REPLY, QZ_BAD_REQUEST;
 * rec->ReturnCode holds the same value whenever rec is non-null.
 * With the server's return code (the reply was accepted: checked, read and, with a key, verified)
 * rec holds the request's six fields and the reply's date/time and signature, and *cardList is a
 * malloc'ed list of *cardCount entries of QZ_CARD_ENTRY_SIZE bytes, each a NUL-terminated card
 * text, which the caller releases with free(). With any other result nothing of a reply is
 * reported: *cardList is null and *cardCount 0 (each where its pointer is non-null), and once the
 * AuthString has been decoded, rec holds the request's six fields with an empty date/time and
 * authorization number. Before that (bad arguments, an AuthString that cannot be decoded) rec is
 * left as the caller filled it, but for ReturnCode. */
unsigned int QZProcessPayTransaction(const char *authString, unsigned int length, const char *url,
                                     TransactionRecord *rec, unsigned int *cardCount,
                                     char **cardList, int timeoutSeconds,
                                     const unsigned char *key, unsigned int keyLen,
                                     const char *proxyHost, unsigned int proxyPort);

/* Runs one pre-authorization: a signed "1093" message carrying expiryDate (YYYYMMDD; null or empty
 * sends eight spaces) and a verified "1094" reply. The key is mandatory. Otherwise as
 * QZProcessPayTransaction; a malformed expiry date gives QZ_BAD_ARGUMENTS before anything is sent. */
unsigned int QZProcessPreAuthorization(const char *authString, unsigned int length,
                                       const char *expiryDate, const char *url,
                                       TransactionRecord *rec, unsigned int *cardCount,
                                       char **cardList, int timeoutSeconds,
                                       const unsigned char *key, unsigned int keyLen,
                                       const char *proxyHost, unsigned int proxyPort);

/* ---- Extended calls: options in, a report out ----
 * QZProcessPayTransactionEx and QZProcessPreAuthorizationEx run the same transactions as the two
 * functions above, with the same arguments, results and records, and take two more: options
 * (null: the defaults) and report (null: none wanted). They keep no state between calls. */

/* Called during a call, in order, at each step of the exchange: "resolve" (the addresses found),
 * "connect" (the address connected to), "proxy" (the tunnel through a proxy), "TLS" (version,
 * cipher, the server certificate's subject and the verification result), "sent" (bytes),
 * "first byte", "received" (bytes) and "checks" (passed, or the check that failed). The detail
 * never holds card data, the key, a message or a signature. */
typedef void (*QZTraceFunction)(void *context, const char *step, const char *detail);

typedef struct QZCallOptions {
    /* A PEM file whose certificates are all trusted for https URLs instead of the system's trust
     * store, an intermediate CA as much as a root; null or "": the system store. The server's
     * chain and its name (subjectAltName entries only) are always checked. */
    const char *caFile;
    QZTraceFunction trace; /* null: no trace; it must not throw */
    void *traceContext;    /* handed to trace as it is */
    /* Credentials for the proxy, "user:password" (the user without ":"; no control characters;
     * at most 1024 bytes), sent with Basic authentication when a proxy is used: on an http
     * request through it and on the CONNECT of an https URL, never to the payment server. Basic
     * credentials cross the network to the proxy in clear: use them only with a proxy you trust,
     * on a network you trust. Null or "": none. Malformed: QZ_BAD_ARGUMENTS, nothing sent. The
     * library reads them during the call only and wipes every copy it makes. */
    const char *proxyCredentials;
    /* A PEM client certificate, followed by its chain if any, presented to an https server that
     * asks for one; null or "": none. A file that cannot be read, without a certificate, or with
     * a key that is encrypted or does not match gives QZ_POST_FAILED (phase "TLS") with nothing
     * sent. */
    const char *certFile;
    /* The certificate's unencrypted PEM private key; null or "": read from certFile. */
    const char *certKeyFile;
    /* Public key pins for https: "sha256//BASE64[;sha256//BASE64...]", BASE64 being the standard
     * base64 of the SHA-256 of a certificate's DER SubjectPublicKeyInfo. After the normal checks
     * pass, the connection is kept only when some certificate of the server's verified chain has
     * a pinned key (else QZ_POST_FAILED, phase "TLS", nothing sent); null or "": no pins. A
     * malformed text gives QZ_BAD_ARGUMENTS. */
    const char *pins;
} QZCallOptions;

enum { QZ_PHASE_SIZE = 16, QZ_CAUSE_SIZE = 256 };

typedef struct QZCallReport {
    /* 1 once any byte of the request was written to a connection: the server may have acted on
     * it, so a failed call is not simply repeated. 0: nothing went out. */
    int requestSent;
    /* Where a call failed: "arguments", "request", "URL", "resolve", "connect", "proxy", "TLS",
     * "send", "receive" or "reply"; "" when the result is the server's own code. */
    char phase[QZ_PHASE_SIZE];
    /* Why, in words ("127.0.0.1:8443: connection refused", "signature does not match"); never
     * card data, the key, proxy credentials or a signature; "" when the result is the server's own
     * code. A response that fails the checks and whose status is not 2xx is described by its
     * status instead ("server answered HTTP 502 Bad Gateway instead of a reply"; for an http URL
     * through a proxy "proxy or server answered ...", and a proxy's 407 in phase "proxy":
     * "proxy answered HTTP 407 Proxy Authentication Required: it wants credentials"). A reply
     * that passes the checks is accepted whatever the status. */
    char cause[QZ_CAUSE_SIZE];
} QZCallReport;

unsigned int QZProcessPayTransactionEx(const char *authString, unsigned int length,
                                       const char *url, TransactionRecord *rec,
                                       unsigned int *cardCount, char **cardList,
                                       int timeoutSeconds, const unsigned char *key,
                                       unsigned int keyLen, const char *proxyHost,
                                       unsigned int proxyPort, const QZCallOptions *options,
                                       QZCallReport *report);

unsigned int QZProcessPreAuthorizationEx(const char *authString, unsigned int length,
                                         const char *expiryDate, const char *url,
                                         TransactionRecord *rec, unsigned int *cardCount,
                                         char **cardList, int timeoutSeconds,
                                         const unsigned char *key, unsigned int keyLen,
                                         const char *proxyHost, unsigned int proxyPort,
                                         const QZCallOptions *options, QZCallReport *report);

/* QZGetPayTransaction with a report (null: none wanted): on failure its phase and cause say why
 * ("arguments: an empty AuthString", "request: ..."); requestSent is always 0. */
unsigned int QZGetPayTransactionEx(const char *authString, unsigned int length,
                                   PayRequestFields *out, QZCallReport *report);

/* ---- Rules of the merchant's side that the command-line tool and other front ends share ---- */

/* Results of QZReadKeyFile; QZKeyFileText gives each its text ("Unable to open Merchant Key
 * File", ...) and QZ_KEY_SHARED the warning that the file is open to others. */
enum QZKeyFileResult {
    QZ_KEY_READ = 0,
    QZ_KEY_CANNOT_OPEN = 1, /* errno tells why */
    QZ_KEY_CANNOT_READ = 2, /* empty, or a read error (errno set, else 0) */
    QZ_KEY_HOLDS_NUL = 3,   /* a NUL byte would cut the key short, down to none */
    QZ_KEY_SHARED = 4       /* never returned: the warning's text */
};
enum { QZ_KEY_BUFFER_SIZE = 512 };

/* Reads the merchant key from the file at path, or, when fd >= 0, from that descriptor (closed
 * whatever happens): at most 511 bytes, the last byte read (normally a line end) dropped. key
 * (QZ_KEY_BUFFER_SIZE bytes) receives the key and a NUL, *keyLen its length; on failure key is
 * zeroed and *keyLen is 0. *shared (when non-null) is 1 when the file is a regular file that group
 * or others may read or write, else 0. A path is opened without waiting (a FIFO without a writer
 * reads as empty); with timeoutSeconds > 0, input that has not ended (or reached 511 bytes) by
 * then fails as QZ_KEY_CANNOT_READ with errno ETIMEDOUT. Returns a QZKeyFileResult. */
int QZReadKeyFile(const char *path, int fd, unsigned char *key, unsigned int *keyLen, int *shared,
                  int timeoutSeconds);

/* The text of a QZKeyFileResult (a static string; "" for an unknown value). */
const char *QZKeyFileText(int result);

/* Writes to out (9 bytes) the local calendar date `days` days after the local date at `now`
 * (seconds since 1970), as YYYYMMDD and a NUL: whole calendar days, so a change of daylight-saving
 * time in between never moves the date. Returns QZ_OK, or QZ_BAD_ARGUMENTS with out untouched for
 * a null out or a date outside the years 0001 to 9999. */
unsigned int QZExpiryDate(int64_t now, long days, char *out);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif
