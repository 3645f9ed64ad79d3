#include "httpclnt.h"

#include "csock.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <time.h>

namespace {

const char kDefaultVersion[] = "1.0";
const unsigned short kDefaultPort = 80;
const long kDefaultTimeout = 30;
const unsigned int kDefaultMaxLen = 4096;

/* The longest single wait of the receive loop: short enough that the idle callbacks and the
 * abort flag are served promptly, long enough that a silent server costs no noticeable CPU. */
const long kPollSliceMs = 20;

/* Silence limits beyond this many seconds are treated as this many (about 31,700 years). */
const long long kMaxTimeoutSeconds = 1000000000000LL;

char *copyText(const char *text)
{
    if (text == nullptr || text[0] == '\0')
        return nullptr;
    size_t n = strlen(text) + 1;
    char *copy = new char[n];
    memcpy(copy, text, n);
    return copy;
}

char *copyRange(const char *begin, const char *end)
{
    size_t n = static_cast<size_t>(end - begin);
    char *copy = new char[n + 1];
    memcpy(copy, begin, n);
    copy[n] = '\0';
    return copy;
}

/* Copy first, release after: the new text may be the old one (SetHost(GetHost())). */
void replaceText(char *&field, char *copy)
{
    delete[] field;
    field = copy;
}

/* atoi's reading (leading blanks, a sign, decimal digits, 0 when none), with the digits taken
 * modulo 2^32 so that no text can overflow; the caller keeps the low 16 bits. */
unsigned int portValue(const char *p)
{
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r')
        p++;
    int negative = 0;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        p++;
    }
    unsigned int value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10u + static_cast<unsigned int>(*p - '0');
        p++;
    }
    return negative ? 0u - value : value;
}

long long nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

/* ---- byte buffers ---- */

/* Makes b hold at least need bytes in [0, size), zeros after the bytes held so far. */
void CHttpClnt::coverLength(ByteBuffer &b, unsigned int need)
{
    if (need <= b.size)
        return;
    if (need > b.held) {
        unsigned char *grown = new unsigned char[need];
        memcpy(grown, b.data, b.size);
        delete[] b.data;
        b.data = grown;
        b.held = need;
    }
    memset(b.data + b.size, 0, need - b.size);
    b.size = need;
}

int CHttpClnt::appendBytes(ByteBuffer &b, const unsigned char *data, unsigned int n, int geometric)
{
    if (data == nullptr || n == 0 || n > UINT_MAX - b.len)
        return 0;
    const unsigned int total = b.len + n;
    if (b.data != nullptr && b.held >= total) {
        memmove(b.data + b.len, data, n); /* data may lie inside the buffer */
    } else {
        unsigned int room = total;
        if (geometric && b.held > total / 2)
            room = b.held > UINT_MAX / 2 ? UINT_MAX : b.held * 2;
        /* Filled while data, which may lie inside the old buffer, is still valid. Without a
         * buffer, the first len bytes were only counted: they are zero. */
        unsigned char *grown = new unsigned char[room];
        if (b.data != nullptr)
            memcpy(grown, b.data, b.len);
        else
            memset(grown, 0, b.len);
        memcpy(grown + b.len, data, n);
        delete[] b.data;
        b.data = grown;
        b.held = room;
    }
    b.len = total;
    b.size = total;
    return 1;
}

void CHttpClnt::setBytes(ByteBuffer &b, const unsigned char *data, unsigned int n)
{
    unsigned char *copy = nullptr;
    if (data != nullptr && n > 0) {
        copy = new unsigned char[n];
        memcpy(copy, data, n);
    }
    delete[] b.data;
    b.data = copy;
    b.held = b.size = copy != nullptr ? n : 0;
    b.len = n;
}

void CHttpClnt::setLength(ByteBuffer &b, unsigned int n)
{
    if (b.data != nullptr)
        coverLength(b, n);
    b.len = n;
}

/* ---- construction ---- */

void CHttpClnt::_Reset()
{
    connection_ = nullptr;
    httpVersion_ = kDefaultVersion;
    host_ = nullptr;
    port_ = kDefaultPort;
    proxyHost_ = nullptr;
    proxyPort_ = kDefaultPort;
    url_ = nullptr;
    subURL_ = nullptr;
    header_ = nullptr;
    contentType_ = nullptr;
    contentLength_ = 0;
    requestMethod_ = nullptr;
    location_ = nullptr;
    snd_ = ByteBuffer{nullptr, 0, 0, 0};
    maxSndDataLen_ = kDefaultMaxLen;
    rcv_ = ByteBuffer{nullptr, 0, 0, 0};
    maxRcvDataLen_ = kDefaultMaxLen;
    timeout_ = kDefaultTimeout;
    abortFlag_ = 0;
}

CHttpClnt::CHttpClnt(unsigned int, unsigned int)
{
    _Reset();
}

CHttpClnt::CHttpClnt(const char *url, unsigned int, unsigned int)
{
    _Reset();
    if (url != nullptr && url[0] != '\0') {
        url_ = copyText(url);
        _ParseURL();
    }
}

CHttpClnt::CHttpClnt(const char *host, unsigned short port, unsigned int, unsigned int)
{
    _Reset();
    host_ = copyText(host);
    port_ = port != 0 ? port : kDefaultPort;
}

CHttpClnt::~CHttpClnt()
{
    delete connection_;
    if (httpVersion_ != kDefaultVersion)
        delete[] httpVersion_;
    delete[] host_;
    delete[] proxyHost_;
    delete[] url_;
    delete[] subURL_;
    delete[] header_;
    delete[] contentType_;
    delete[] requestMethod_;
    delete[] location_;
    delete[] snd_.data;
    delete[] rcv_.data;
}

/* ---- texts ---- */

void CHttpClnt::SetHost(const char *host)
{
    replaceText(host_, copyText(host));
}

const char *CHttpClnt::GetHost() const
{
    return host_;
}

void CHttpClnt::SetProxyHost(const char *host)
{
    replaceText(proxyHost_, copyText(host));
}

const char *CHttpClnt::GetProxyHost() const
{
    return proxyHost_;
}

void CHttpClnt::SetHttpVersion(const char *version)
{
    char *copy = copyText(version);
    if (httpVersion_ != kDefaultVersion)
        delete[] httpVersion_;
    httpVersion_ = copy;
}

const char *CHttpClnt::GetHttpVersion() const
{
    return httpVersion_;
}

void CHttpClnt::SetURL(const char *url)
{
    replaceText(url_, copyText(url));
}

const char *CHttpClnt::GetURL() const
{
    return url_;
}

void CHttpClnt::SetSubURL(const char *subURL)
{
    replaceText(subURL_, copyText(subURL));
}

const char *CHttpClnt::GetSubURL() const
{
    return subURL_;
}

void CHttpClnt::SetHeader(const char *header)
{
    replaceText(header_, copyText(header));
}

const char *CHttpClnt::GetHeader() const
{
    return header_;
}

void CHttpClnt::SetContentType(const char *contentType)
{
    replaceText(contentType_, copyText(contentType));
}

const char *CHttpClnt::GetContentType() const
{
    return contentType_;
}

void CHttpClnt::SetRequestMethod(const char *method)
{
    replaceText(requestMethod_, copyText(method));
}

const char *CHttpClnt::GetRequestMethod() const
{
    return requestMethod_;
}

void CHttpClnt::SetLocation(const char *location)
{
    replaceText(location_, copyText(location));
}

const char *CHttpClnt::GetLocation() const
{
    return location_;
}

/* ---- numbers ---- */

void CHttpClnt::SetPort(unsigned short port)
{
    port_ = port;
}

unsigned short CHttpClnt::GetPort() const
{
    return port_;
}

void CHttpClnt::SetProxyPort(unsigned short port)
{
    proxyPort_ = port;
}

unsigned short CHttpClnt::GetProxyPort() const
{
    return proxyPort_;
}

void CHttpClnt::SetTimeout(long seconds)
{
    timeout_ = seconds;
}

long CHttpClnt::GetTimeout() const
{
    return timeout_;
}

void CHttpClnt::SetContentLength(unsigned int length)
{
    contentLength_ = length;
}

unsigned int CHttpClnt::GetContentLength() const
{
    return contentLength_;
}

void CHttpClnt::SetMaxSndDataLen(unsigned int length)
{
    maxSndDataLen_ = length;
}

unsigned int CHttpClnt::GetMaxSndDataLen() const
{
    return maxSndDataLen_;
}

void CHttpClnt::SetMaxRcvDataLen(unsigned int length)
{
    maxRcvDataLen_ = length;
}

unsigned int CHttpClnt::GetMaxRcvDataLen() const
{
    return maxRcvDataLen_;
}

void CHttpClnt::SetAbortFlag(short flag)
{
    abortFlag_ = flag;
}

short CHttpClnt::GetAbortFlag() const
{
    return abortFlag_;
}

const unsigned char *CHttpClnt::GetSndData() const
{
    return snd_.data;
}

void CHttpClnt::SetSndDataLen(unsigned int length)
{
    setLength(snd_, length);
}

unsigned int CHttpClnt::GetSndDataLen() const
{
    return snd_.len;
}

const unsigned char *CHttpClnt::GetRcvData() const
{
    return rcv_.data;
}

void CHttpClnt::SetRcvDataLen(unsigned int length)
{
    setLength(rcv_, length);
}

unsigned int CHttpClnt::GetRcvDataLen() const
{
    return rcv_.len;
}

int CHttpClnt::AppendSndData(const unsigned char *data, unsigned int len)
{
    return appendBytes(snd_, data, len, 0);
}

void CHttpClnt::SetSndData(const unsigned char *data, unsigned int len)
{
    setBytes(snd_, data, len);
}

int CHttpClnt::AppendRcvData(const unsigned char *data, unsigned int len)
{
    /* Geometric growth: a long response is not copied over and over, chunk after chunk. */
    return appendBytes(rcv_, data, len, 1);
}

void CHttpClnt::SetRcvData(const unsigned char *data, unsigned int len)
{
    if (len == 0)
        return;
    setBytes(rcv_, data, len);
}

/* ---- URL ---- */

int CHttpClnt::_ParseURL()
{
    if (url_ == nullptr || url_[0] == '\0')
        return 0;
    const char *scheme = strstr(url_, "://");
    if (scheme == nullptr)
        return 0;
    const char *rest = scheme + 3;
    const char *slash = strchr(rest, '/');
    const char *colon = strchr(rest, ':');
    if (colon != nullptr && slash != nullptr && colon > slash)
        colon = nullptr; /* a ":" in the path is no port */

    const char *hostEnd =
        colon != nullptr ? colon : (slash != nullptr ? slash : rest + strlen(rest));
    replaceText(subURL_, copyText(slash != nullptr ? slash : "/"));
    port_ = colon != nullptr ? static_cast<unsigned short>(portValue(colon + 1) & 0xFFFFu)
                             : kDefaultPort;
    replaceText(host_, copyRange(rest, hostEnd));
    return 1;
}

/* ---- requests ---- */

int CHttpClnt::Get(const char *url)
{
    return request(METHOD_GET, url, nullptr, 0, nullptr);
}

int CHttpClnt::Head(const char *url)
{
    return request(METHOD_HEAD, url, nullptr, 0, nullptr);
}

int CHttpClnt::Post(const char *url, const unsigned char *data, unsigned int len,
                    const char *contentType)
{
    return request(METHOD_POST, url, data, len, contentType);
}

int CHttpClnt::request(Method method, const char *url, const unsigned char *data, unsigned int len,
                       const char *contentType)
{
    const int givenURL = url != nullptr && url[0] != '\0';
    if (givenURL) {
        SetURL(url);
        if (!_ParseURL())
            return HTTP_FAILED;
    } else if (url_ == nullptr || url_[0] == '\0') {
        return HTTP_FAILED;
    }

    delete connection_;
    connection_ = nullptr;

    const char *targetHost = host_;
    unsigned short targetPort = port_;
    const char *requestURI = subURL_;
    if (proxyHost_ != nullptr) {
        targetHost = proxyHost_;
        targetPort = proxyPort_;
        requestURI = givenURL ? url_ : nullptr;
    }
    /* Without a request line or a read buffer there is no exchange to attempt. */
    if (requestURI == nullptr || httpVersion_ == nullptr || maxRcvDataLen_ == 0)
        return HTTP_FAILED;

    connection_ = new CSock(targetHost, targetPort);
    connection_->SetConnectTimeout(timeout_);
    if (!connection_->SocketConnect(nullptr, 0))
        return HTTP_FAILED; /* the unconnected socket stays held until the next request */

    static const char *const methodNames[] = {"GET", "HEAD", "POST"};
    const char *methodName = methodNames[method];
    SetRequestMethod(methodName);

    const int hasBody = method == METHOD_POST && data != nullptr && len != 0;
    if (method == METHOD_POST) {
        SetContentType(contentType);
        contentLength_ = len;
        if (hasBody && contentType_ == nullptr)
            contentType_ = copyText("text/plain");
    }

    /* requestURI points into url_ or subURL_, which stay unchanged from here on. */
    auto format = [&](char *out, size_t room) {
        if (hasBody)
            return snprintf(out, room,
                            "%s %s HTTP/%s\r\nContent-type: %s\r\nContent-length: %u\r\n\r\n",
                            methodName, requestURI, httpVersion_, contentType_, contentLength_);
        return snprintf(out, room, "%s %s HTTP/%s\r\n\r\n", methodName, requestURI, httpVersion_);
    };
    const int headLen = format(nullptr, 0);
    if (headLen < 0 || static_cast<unsigned int>(headLen) > UINT_MAX - (hasBody ? len : 0)) {
        delete connection_;
        connection_ = nullptr;
        return HTTP_FAILED;
    }
    std::unique_ptr<char[]> head(new char[static_cast<size_t>(headLen) + 1]);
    format(head.get(), static_cast<size_t>(headLen) + 1);
    const unsigned int headBytes = static_cast<unsigned int>(headLen);
    const unsigned int total = headBytes + (hasBody ? len : 0);
    unsigned char *request = new unsigned char[total];
    memcpy(request, head.get(), headBytes);
    if (hasBody)
        memcpy(request + headBytes, data, len); /* before SndData is replaced: data may be it */
    delete[] snd_.data;
    snd_ = ByteBuffer{request, total, total, total};

    int result = HTTP_FAILED;
    long sent = connection_->Send(snd_.data, snd_.len, timeout_);
    if (sent >= 0 && static_cast<unsigned long>(sent) >= snd_.len)
        result = receive(method);
    delete connection_;
    connection_ = nullptr;
    return result;
}

int CHttpClnt::receive(Method method)
{
    std::unique_ptr<unsigned char[]> scratch(new unsigned char[maxRcvDataLen_]);
    const unsigned int capacity = maxRcvDataLen_; /* a callback may change the setting */
    const int limited = timeout_ > 0;
    const long long silenceMs =
        (timeout_ > kMaxTimeoutSeconds ? kMaxTimeoutSeconds : static_cast<long long>(timeout_)) *
        1000;
    long long deadline = limited ? nowMs() + silenceMs : 0;
    for (;;) {
        long got = connection_->RecvMs(scratch.get(), capacity, kPollSliceMs);
        if (got == CSOCK_TIMEOUT) {
            int verdict = idle(method);
            if (verdict != 1)
                return verdict;
            if (limited && nowMs() >= deadline)
                return HTTP_DONE;
            continue;
        }
        int verdict = data(method, got, scratch.get());
        if (verdict != 1)
            return verdict;
        if (got > 0) {
            if (limited)
                deadline = nowMs() + silenceMs;
            continue;
        }
        return got == CSOCK_CLOSED ? HTTP_DONE : HTTP_FAILED;
    }
}

int CHttpClnt::idle(Method method)
{
    switch (method) {
    case METHOD_GET:
        return OnGetIdle();
    case METHOD_HEAD:
        return OnHeadIdle();
    default:
        return OnPostIdle();
    }
}

int CHttpClnt::data(Method method, long count, unsigned char *buf)
{
    switch (method) {
    case METHOD_GET:
        return OnGetData(count, buf);
    case METHOD_HEAD:
        return OnHeadData(count, buf);
    default:
        return OnPostData(count, buf);
    }
}

/* ---- default callbacks ---- */

int CHttpClnt::defaultIdle() const
{
    return abortFlag_ != 0 ? HTTP_ABORTED : 1;
}

int CHttpClnt::defaultData(long count, const unsigned char *buf)
{
    if (abortFlag_ != 0)
        return HTTP_ABORTED;
    if (count < 1)
        return 1;
    if (static_cast<unsigned long>(count) > UINT_MAX ||
        !AppendRcvData(buf, static_cast<unsigned int>(count)))
        return HTTP_FAILED; /* RcvData cannot count beyond 4 GiB - 1: fail rather than drop data */
    return 1;
}

int CHttpClnt::OnGetIdle()
{
    return defaultIdle();
}

int CHttpClnt::OnHeadIdle()
{
    return defaultIdle();
}

int CHttpClnt::OnPostIdle()
{
    return defaultIdle();
}

int CHttpClnt::OnGetData(long count, unsigned char *buf)
{
    return defaultData(count, buf);
}

int CHttpClnt::OnHeadData(long count, unsigned char *buf)
{
    return defaultData(count, buf);
}

int CHttpClnt::OnPostData(long count, unsigned char *buf)
{
    return defaultData(count, buf);
}
