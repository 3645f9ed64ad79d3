#include "qzutil.h"

#include "httpclnt.h"
#include "netutil.h"
#include "vemrick.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

/* A genuine reply is under 20 KB; anything past this is not a reply and is not kept. */
const unsigned int kMaxResponseBytes = 1u << 20;
/* The client's time-out measures silence only; the whole exchange may take this many times it. */
const long long kTotalTimeFactor = 4;
const int kStopOversize = 2; /* callback results that end a Post; any value but 1 does */
const int kStopOvertime = 3;
const unsigned int kMaxPort = 65535;

/* The HTTP client with bounded memory and time: it refuses to collect more than
 * kMaxResponseBytes, and ends an exchange that is still running at its deadline, keeping what
 * arrived. Both go through the client's own overridable callbacks. */
class BoundedPost : public CHttpClnt {
public:
    BoundedPost() : CHttpClnt(4096, 4096) {}

    void StartClock(long long totalMs) { deadlineMs_ = netutil::monotonicMs() + totalMs; }
    bool Oversize() const { return oversize_; }

    int OnPostIdle() override
    {
        const int rc = CHttpClnt::OnPostIdle();
        return rc != 1 ? rc : (Overtime() ? kStopOvertime : 1);
    }

    int OnPostData(long count, unsigned char *data) override
    {
        if (count > 0 && static_cast<unsigned long long>(GetRcvDataLen()) +
                                 static_cast<unsigned long long>(count) >
                             kMaxResponseBytes) {
            oversize_ = true;
            return kStopOversize;
        }
        const int rc = CHttpClnt::OnPostData(count, data);
        return rc != 1 ? rc : (Overtime() ? kStopOvertime : 1);
    }

private:
    bool Overtime() const { return netutil::monotonicMs() >= deadlineMs_; }

    long long deadlineMs_ = LLONG_MAX;
    bool oversize_ = false;
};

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
        }
    }
    free(text);
    return rc;
}

int QZUtil::SendQZRequest(const unsigned char *message, unsigned int messageLen, const char *url,
                          const char *contentType, unsigned char **reply, unsigned int *replyLen,
                          int timeoutSeconds, const char *proxyHost, unsigned int proxyPort)
{
    BoundedPost client;
    if (proxyHost != nullptr && proxyHost[0] != '\0' && proxyPort != 0) {
        /* Cut to 16 bits, such a port would name some other service, maybe not a proxy at all. */
        if (proxyPort > kMaxPort)
            return QZ_POST_FAILED;
        client.SetProxyHost(proxyHost);
        client.SetProxyPort(static_cast<unsigned short>(proxyPort));
    }
    client.SetMaxSndDataLen(2048);
    client.SetMaxRcvDataLen(2048);
    if (timeoutSeconds > 0)
        client.SetTimeout(timeoutSeconds);
    client.StartClock(kTotalTimeFactor * static_cast<long long>(client.GetTimeout()) * 1000);

    const int rc = client.Post(url, message, messageLen, contentType);
    if (rc == -1)
        return QZ_ABORTED;
    if (rc == 0)
        return QZ_POST_FAILED;
    if (client.Oversize())
        return QZ_BAD_REPLY;
    return ReadHttpReply(client.GetRcvData(), client.GetRcvDataLen(), reply, replyLen);
}
