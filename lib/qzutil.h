/* SPDX-License-Identifier: Apache-2.0 */
/* QZUtil: the library's utilities, as static members of one class: base64, HMAC-SHA-1 signatures,
 * the request transport over HTTP, and small string, date and log helpers.
 * Nothing here prints or exits. Buffers handed back are taken with malloc and released by the
 * caller with free. Every member may run in any number of threads at once: the only shared value,
 * QZUtil::LOGFILE, is read and set without a data race.
 */
#ifndef VEMRICK_QZUTIL_H
#define VEMRICK_QZUTIL_H

#include "failure.h"
#include "vemrick.h"
#include "tls.h"

#include <atomic>
#include <cstddef>
#include <string>

/* A log file name that any number of threads may read and set at once. Setting the name it
 * already holds writes nothing, so the transactions, which all set the same name, share the value
 * without contending for it. */
class QZLogFileName {
public:
    constexpr explicit QZLogFileName(const char *name) : name_(name) {}
    QZLogFileName(const QZLogFileName &) = delete;
    QZLogFileName &operator=(const QZLogFileName &) = delete;

    /* Makes name (a text that lives as long as the program) the log file's name. */
    QZLogFileName &operator=(const char *name);
    operator const char *() const { return name_.load(std::memory_order_acquire); }

private:
    std::atomic<const char *> name_;
};

class QZUtil {
public:
    /* ---- base64 (standard alphabet, "=" padding) ---- */

    /* Encodes count bytes as one unbroken line. *out is set to null first, then to a malloc'ed
     * buffer of the result length + 100 bytes (the spare bytes zero, no terminator).
     * Returns the number of characters; 0 for count <= 0 (*out null); -1 when out of memory. */
    static int base64_encode(const unsigned char *in, int count, unsigned char **out);

    /* Decodes exactly count bytes of text, skipping every byte <= 0x20 (blanks, line ends, NUL).
     * *out is set to null first. Returns the decoded length with *out a malloc'ed buffer of that
     * length + 100 bytes (spare bytes zero, no terminator); 0 for count <= 0 (*out null) or for an
     * input of blanks only (*out an empty buffer to free); -1 for a count of significant
     * characters that is not a multiple of 4 or a byte outside the alphabet (*out null); 0 with
     * *out null for count > 0 when memory runs out. */
    static int base64_decode(const unsigned char *in, int count, unsigned char **out);

    /* ---- HMAC-SHA-1 signatures (64-byte block; keys of 0 to 64 bytes, longer ones refused) ---- */

    /* HMAC-SHA-1 of message under key into out: with asText, 40 upper-case hex digits and a NUL
     * (outSize >= 41); otherwise the 20 raw bytes (outSize >= 20). Returns 1, or 0 when refused
     * (null pointer, messageLen 0, keyLen > 64, outSize too small, no memory): out untouched.
     * All key-dependent working storage is wiped before return. */
    static unsigned int HmacSha1(const unsigned char *message, unsigned int messageLen,
                                 const unsigned char *key, unsigned int keyLen, unsigned char *out,
                                 unsigned int outSize, int asText);

    /* HmacSha1(message, messageLen, key, keyLen, signature, signatureSize, 1). */
    static unsigned int CreateSignatureHMAC(const unsigned char *key, unsigned int keyLen,
                                            const unsigned char *message, unsigned int messageLen,
                                            unsigned char *signature, unsigned int signatureSize);

    /* Returns 1 when signature (signatureLen bytes, 40, or 41 with its NUL) equals the text form of
     * the HMAC-SHA-1 of message under key, byte for byte; 0 otherwise (also for any refusal). */
    static unsigned int VerifySignatureHMAC(const unsigned char *key, unsigned int keyLen,
                                            const unsigned char *message, unsigned int messageLen,
                                            const unsigned char *signature,
                                            unsigned int signatureLen);

    /* ---- request transport ---- */

    /* Posts message (base64 text, messageLen bytes) to url in one HTTP/1.0 POST with the given
     * content type, directly or through proxyHost:proxyPort, and decodes the body of the
     * response. The URL must be http://host[:port][/path] or https://host[:port][/path] (scheme in
     * any case, port 1 to 65535 in digits, host a name, a dotted IPv4 address or an IPv6 address
     * in brackets); any other scheme or port gives QZ_POST_FAILED with nothing sent. https checks
     * the server's certificate chain and name against options->caFile (null or "": the system's
     * trust store); options->trace (when set) is called at each step of the exchange (see
     * CHttpClnt::OnEvent). A null or empty proxyHost or a proxyPort of 0 means no proxy; a
     * proxyHost with a proxyPort above 65535 gives QZ_POST_FAILED with nothing sent.
     * timeoutSeconds <= 0 keeps the client's default (30): it bounds each step (name lookup,
     * connect, proxy tunnel, TLS handshake, send, silence while waiting for the reply), and four
     * times it bounds the whole exchange, which then ends with what arrived. Returns 0 with *reply
     * a malloc'ed decoded reply of *replyLen bytes, or QZ_ABORTED, QZ_POST_FAILED (nothing or not
     * all of the request went out, no reply byte came before a receive error, or memory ran out
     * during the exchange: cause "out of memory"), QZ_NOTHING_RECEIVED (the request went out,
     * nothing came back), QZ_EMPTY_REPLY or QZ_BAD_REPLY; after a failure *reply is untouched,
     * null, or a buffer the caller frees. *failure tells whether the request went out and, for a
     * result other than 0, where and why it ended. A connection reset after response bytes
     * arrived does not fail the exchange: what arrived is read as the reply. */
    static int SendQZRequest(const unsigned char *message, unsigned int messageLen, const char *url,
                             const char *contentType, unsigned char **reply, unsigned int *replyLen,
                             int timeoutSeconds, const char *proxyHost, unsigned int proxyPort,
                             const QZCallOptions *options, Failure *failure);

    /* Reads the files that tls names as an https request would (see nettls::CheckFiles), so
     * that a front end can refuse them before anything is sent. Returns nettls::FILES_OK,
     * FILES_CA or FILES_CLIENT_CERTIFICATE with *cause set. */
    static int CheckTlsFiles(const nettls::Setup &tls, std::string *cause);
    /* Makes the process's https lean (see nettls::LeanStart): for a short-lived front end. */
    static void TlsLeanStart();
    /* Whether pins is a well-formed list of public key pins (see nettls::Setup). */
    static bool TlsPinsWellFormed(const char *pins);

    /* The steps of SendQZRequest after the exchange: cuts the body out of a raw HTTP response of
     * rawLen bytes (after the first "\r\n\r\n", else after the first "\n\n"; a NUL byte ends
     * the text) and base64-decodes it. Returns 0 with *reply a malloc'ed reply of *replyLen bytes;
     * QZ_NOTHING_RECEIVED when raw is null; QZ_EMPTY_REPLY when rawLen is 0 or no memory;
     * QZ_BAD_REPLY when there is no blank line or the body does not decode to at least one byte
     * (then *reply is null or an empty buffer the caller frees). */
    static int ReadHttpReply(const unsigned char *raw, unsigned int rawLen, unsigned char **reply,
                             unsigned int *replyLen);

    /* ---- strings, dates, log ---- */

    /* Removes leading and trailing spaces (0x20 only) in place; null and "" are left alone. */
    static void TrimStr(char *text);

    /* Reads a decimal integer from exactly the width bytes at text (no terminator needed), the way
     * strtoll reads them as a text of their own in the C locale, whatever the program's locale:
     * blanks (space, \t \n \v \f \r), an optional sign, then digits up to the first other byte,
     * a NUL included. No digits give 0; a value beyond long long gives its nearest limit. */
    static long long ReadDecimal(const char *text, size_t width);

    /* Returns 1 when text is exactly 8 bytes YYYYMMDD naming a real calendar day that mktime can
     * represent, else 0 (null allowed). */
    static int CheckDateFormat(const char *text);

    /* Appends length bytes of text (length <= 0: up to its NUL) to the file at path; failures are
     * ignored and an empty text creates nothing. */
    static void SendToLogFile(const char *text, long length, const char *path);

    /* Name of the log file: "logfile.log" until the first transaction sets "vemrick.log". */
    static QZLogFileName LOGFILE;
};

#endif
