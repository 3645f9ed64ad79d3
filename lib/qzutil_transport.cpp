#include "qzutil.h"

#include "httpclnt.h"
#include "netutil.h"
#include "vemrick.h"

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

/* The HTTP client with bounded memory: it refuses to collect more than kMaxResponseBytes, through
 * the client's own overridable callback, and hands progress events to the report's function. */
class BoundedPost : public CHttpClnt {
public:
    explicit BoundedPost(const QZTransportReport *report) : CHttpClnt(4096, 4096), report_(report)
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
        if (report_ != nullptr && report_->onEvent != nullptr)
            report_->onEvent(report_->eventContext, step, detail);
    }

private:
    const QZTransportReport *report_;
    bool oversize_ = false;
};

/* Records where and why the exchange ended, when a report is wanted; returns code. */
int finish(QZTransportReport *report, int code, const char *phase, const char *cause)
{
    if (report != nullptr && code != QZ_OK) {
        snprintf(report->phase, sizeof report->phase, "%s", phase);
        snprintf(report->cause, sizeof report->cause, "%s", cause);
    }
    return code;
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
    free(text);
    return rc;
}

int QZUtil::SendQZRequest(const unsigned char *message, unsigned int messageLen, const char *url,
                          const char *contentType, unsigned char **reply, unsigned int *replyLen,
                          int timeoutSeconds, const char *proxyHost, unsigned int proxyPort)
{
    return SendQZRequest(message, messageLen, url, contentType, reply, replyLen, timeoutSeconds,
                         proxyHost, proxyPort, nullptr, nullptr);
}

/* The client copies the URL, the proxy host and the CA file before it connects; only those
 * copies can throw (a request fails by itself when it finds no memory). */
int QZUtil::SendQZRequest(const unsigned char *message, unsigned int messageLen, const char *url,
                          const char *contentType, unsigned char **reply, unsigned int *replyLen,
                          int timeoutSeconds, const char *proxyHost, unsigned int proxyPort,
                          const char *caFile, QZTransportReport *report)
try {
    if (report != nullptr) {
        report->requestSent = false;
        report->phase[0] = report->cause[0] = '\0';
    }
    BoundedPost client(report);
    if (proxyHost != nullptr && proxyHost[0] != '\0' && proxyPort != 0) {
        /* Cut to 16 bits, such a port would name some other service, maybe not a proxy at all. */
        if (proxyPort > kMaxPort)
            return finish(report, QZ_POST_FAILED, "proxy", "the proxy port is above 65535");
        client.SetProxyHost(proxyHost);
        client.SetProxyPort(static_cast<unsigned short>(proxyPort));
    }
    client.SetMaxSndDataLen(2048);
    client.SetMaxRcvDataLen(2048);
    if (timeoutSeconds > 0)
        client.SetTimeout(timeoutSeconds);
    const long long limitMs = kTotalTimeFactor * static_cast<long long>(client.GetTimeout()) * 1000;
    client.SetExchangeLimit(limitMs > LONG_MAX ? LONG_MAX : static_cast<long>(limitMs));
    client.SetCAFile(caFile);

    const int rc = client.Post(url, message, messageLen, contentType);
    if (report != nullptr)
        report->requestSent = client.GetRequestSent();
    const char *phase = client.GetFailPhase(), *cause = client.GetFailCause();
    if (rc == HTTP_ABORTED)
        return finish(report, QZ_ABORTED, phase, cause);
    if (rc == HTTP_FAILED)
        return finish(report, QZ_POST_FAILED, phase, cause);
    if (client.Oversize())
        return finish(report, QZ_BAD_REPLY, "receive", "the reply exceeds 1 MiB");
    const int read = ReadHttpReply(client.GetRcvData(), client.GetRcvDataLen(), reply, replyLen);
    return finish(report, read, phase, cause);
} catch (const std::bad_alloc &) {
    return finish(report, QZ_POST_FAILED, "connect", "out of memory");
}
