/* SPDX-License-Identifier: Apache-2.0 */
#include "qzutil.h"

#include "httpclnt.h"
#include "wipe.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

/* A genuine reply is under 20 KB; anything past this is not a reply and is not kept. */
const unsigned int kMaxResponseBytes = 1u << 20;
/* The client's time-out bounds each step; the whole exchange may take this many times it. */
const long long kTotalTimeFactor = 4;
const int kStopOversize = 2; /* a callback result that ends a Post; any value but 1 does */
const unsigned int kMaxPort = 65535;
const int kProxyAuthRequired = 407;

/* The HTTP client with bounded memory: it refuses to collect more than kMaxResponseBytes, through
 * the client's own overridable callback, and hands progress events to the caller's trace. */
class BoundedPost : public CHttpClnt {
public:
    explicit BoundedPost(const QZCallOptions *options) : CHttpClnt(4096, 4096), options_(options)
    {
    }

    bool Oversize() const { return oversize_; }

    int OnPostData(long count, unsigned char *data) override
    {
        if (count > 0 && static_cast<unsigned long long>(GetRcvDataLen()) +
                                 static_cast<unsigned long long>(count) >
                             kMaxResponseBytes) {
            oversize_ = true;
            return kStopOversize;
        }
        return CHttpClnt::OnPostData(count, data);
    }

    void OnEvent(const char *step, const char *detail) override
    {
        if (options_ != nullptr && options_->trace != nullptr)
            options_->trace(options_->traceContext, step, detail);
    }

private:
    const QZCallOptions *options_;
    bool oversize_ = false;
};

/* Who answered what, for a response whose status is not 2xx; *failure keeps it for the checks. */
void describeAnswer(const CHttpClnt &client, bool plainViaProxy, Failure *failure)
{
    httpformat::ResponseHead head;
    const int parsed = httpformat::ParseResponseHead(client.GetRcvData(), client.GetRcvDataLen(),
                                                     client.GetRcvDataLen(), &head);
    if (parsed == httpformat::HEAD_NOT_HTTP || head.status == 0 ||
        (head.status >= 200 && head.status <= 299))
        return;
    const bool proxyRefused = plainViaProxy && head.status == kProxyAuthRequired;
    const char *who = proxyRefused ? "proxy" : plainViaProxy ? "proxy or server" : "server";
    const char *what = !proxyRefused ? " instead of a reply"
                       : client.HasProxyCredentials() ? ": it did not accept the credentials"
                                                      : ": it wants credentials";
    failure->answerPhase = proxyRefused ? "proxy" : "reply";
    snprintf(failure->answer, sizeof failure->answer, "%s answered HTTP %d%s%s%s", who,
             head.status, head.reason.empty() ? "" : " ", head.reason.c_str(), what);
}

const char *findBody(const char *text)
{
    if (const char *p = strstr(text, "\r\n\r\n"))
        return p + 4;
    if (const char *p = strstr(text, "\n\n"))
        return p + 2;
    return nullptr;
}

} // namespace

int QZUtil::ReadHttpReply(const unsigned char *raw, unsigned int rawLen, unsigned char **reply,
                          unsigned int *replyLen)
{
    if (raw == nullptr)
        return QZ_NOTHING_RECEIVED;
    if (rawLen == 0 || rawLen > static_cast<unsigned int>(INT_MAX))
        return QZ_EMPTY_REPLY;
    char *text = static_cast<char *>(malloc(static_cast<size_t>(rawLen) + 1));
    if (text == nullptr)
        return QZ_EMPTY_REPLY;
    memcpy(text, raw, rawLen);
    text[rawLen] = '\0';

    int rc = QZ_BAD_REPLY;
    if (const char *body = findBody(text)) {
        const int n = base64_decode(reinterpret_cast<const unsigned char *>(body),
                                    static_cast<int>(strlen(body)), reply);
        if (n > 0) {
            *replyLen = static_cast<unsigned int>(n);
            rc = QZ_OK;
        } else if (n == 0 && *reply == nullptr && body[0] != '\0') {
            rc = QZ_EMPTY_REPLY; /* no memory to decode it */
        }
    }
    secure_wipe(text, rawLen); /* the reply echoes the buyer's PAN */
    free(text);
    return rc;
}

int QZUtil::CheckTlsFiles(const nettls::Setup &tls, std::string *cause)
{
    return nettls::CheckFiles(tls, cause);
}

bool QZUtil::TlsPinsWellFormed(const char *pins)
{
    return nettls::PinsWellFormed(pins);
}

void QZUtil::TlsLeanStart() { nettls::LeanStart(); }

/* The client copies the URL, the proxy host and the TLS texts before it connects; only those
 * copies can throw (a request fails by itself when it finds no memory). */
int QZUtil::SendQZRequest(const unsigned char *message, unsigned int messageLen, const char *url,
                          const char *contentType, unsigned char **reply, unsigned int *replyLen,
                          int timeoutSeconds, const char *proxyHost, unsigned int proxyPort,
                          const QZCallOptions *options, Failure *failure)
try {
    *failure = Failure();
    BoundedPost client(options);
    const bool viaProxy = proxyHost != nullptr && proxyHost[0] != '\0' && proxyPort != 0;
    if (viaProxy) {
        /* Cut to 16 bits, such a port would name some other service, maybe not a proxy at all. */
        if (proxyPort > kMaxPort)
            return failure->set(QZ_POST_FAILED, "proxy", "the proxy port is above 65535");
        client.SetProxyHost(proxyHost);
        client.SetProxyPort(static_cast<unsigned short>(proxyPort));
        const char *credentials = options != nullptr ? options->proxyCredentials : nullptr;
        if (credentials != nullptr)
            client.SetProxyCredentials(credentials, strlen(credentials));
    }
    client.SetMaxSndDataLen(2048);
    client.SetMaxRcvDataLen(2048);
    if (timeoutSeconds > 0)
        client.SetTimeout(timeoutSeconds);
    const long long limitMs = kTotalTimeFactor * static_cast<long long>(client.GetTimeout()) * 1000;
    client.SetExchangeLimit(limitMs > LONG_MAX ? LONG_MAX : static_cast<long>(limitMs));
    if (options != nullptr) {
        client.SetCAFile(options->caFile);
        client.SetClientCertificate(options->certFile, options->certKeyFile);
        client.SetPins(options->pins);
    }

    const int rc = client.Post(url, message, messageLen, contentType);
    const Failure &ended = client.GetFailure();
    failure->requestSent = ended.requestSent;
    if (rc == HTTP_ABORTED || rc == HTTP_FAILED) {
        *failure = ended;
        return rc == HTTP_ABORTED ? QZ_ABORTED : QZ_POST_FAILED;
    }
    int read = QZ_BAD_REPLY;
    if (client.Oversize())
        failure->set(read, "receive", "the reply exceeds 1 MiB");
    else
        read = ReadHttpReply(client.GetRcvData(), client.GetRcvDataLen(), reply, replyLen);
    if (read != QZ_OK && !client.Oversize()) {
        if (ended.phase[0] != '\0') /* the response ended early: that is why it is unusable */
            *failure = ended;
        else if (read == QZ_NOTHING_RECEIVED)
            failure->set(read, "receive", "nothing received");
        else if (read == QZ_EMPTY_REPLY)
            failure->set(read, "reply", "an empty response, or no memory for it");
        else
            failure->set(read, "reply", "the response has no body, or its body is not base64");
    }
    httpformat::UrlParts parts;
    const bool plain =
        httpformat::SplitUrl(url, &parts) == httpformat::URL_OK && parts.scheme == "http";
    describeAnswer(client, viaProxy && plain, failure);
    return read;
} catch (const std::bad_alloc &) {
    return failure->set(QZ_POST_FAILED, "connect", "out of memory");
}
