#include "httpclnt.h"

#include "csock.h"
#include "http_format.h"

#include <climits>
#include <cstring>
#include <string>

using httpformat::FormatRequest;
using httpformat::RequestParts;
using httpformat::SplitUrl;
using httpformat::URL_OK;
using httpformat::UrlParts;

namespace {

/* The longest single wait of the receive loop: short enough that the idle callbacks and the
 * abort flag are served promptly, long enough that a silent server costs no noticeable CPU. */
const long kPollSliceMs = 20;

/* Silence limits beyond this many seconds are treated as this many (about 31,700 years). */
const long long kMaxTimeoutSeconds = 1000000000000LL;

/* Unlike netutil::copyText, an empty text gives an empty copy: a URL may name an empty host. */
std::unique_ptr<char[]> copyString(const std::string &s)
{
    std::unique_ptr<char[]> copy(new char[s.size() + 1]);
    memcpy(copy.get(), s.c_str(), s.size() + 1);
    return copy;
}

} // namespace

/* ---- byte buffers ---- */

/* Makes b hold at least need bytes in [0, size), zeros after the bytes held so far. */
void CHttpClnt::coverLength(ByteBuffer &b, unsigned int need)
{
    if (need <= b.size)
        return;
    if (need > b.held) {
        std::unique_ptr<unsigned char[]> grown(new unsigned char[need]);
        memcpy(grown.get(), b.data.get(), b.size);
        b.data = std::move(grown);
        b.held = need;
    }
    memset(b.data.get() + b.size, 0, need - b.size);
    b.size = need;
}

int CHttpClnt::appendBytes(ByteBuffer &b, const unsigned char *data, unsigned int n, bool geometric)
{
    if (data == nullptr || n == 0 || n > UINT_MAX - b.len)
        return 0;
    const unsigned int total = b.len + n;
    if (b.data != nullptr && b.held >= total) {
        memmove(b.data.get() + b.len, data, n); /* data may lie inside the buffer */
    } else {
        unsigned int room = total;
        if (geometric && b.held > total / 2)
            room = b.held > UINT_MAX / 2 ? UINT_MAX : b.held * 2;
        /* Filled while data, which may lie inside the old buffer, is still valid. Without a
         * buffer, the first len bytes were only counted: they are zero. */
        std::unique_ptr<unsigned char[]> grown(new unsigned char[room]);
        if (b.data != nullptr)
            memcpy(grown.get(), b.data.get(), b.len);
        else
            memset(grown.get(), 0, b.len);
        memcpy(grown.get() + b.len, data, n);
        b.data = std::move(grown);
        b.held = room;
    }
    b.len = total;
    b.size = total;
    return 1;
}

void CHttpClnt::setBytes(ByteBuffer &b, const unsigned char *data, unsigned int n)
{
    std::unique_ptr<unsigned char[]> copy;
    if (data != nullptr && n > 0) {
        copy.reset(new unsigned char[n]);
        memcpy(copy.get(), data, n); /* before the old buffer goes: data may lie in it */
    }
    b.held = b.size = copy != nullptr ? n : 0;
    b.data = std::move(copy);
    b.len = n;
}

void CHttpClnt::setLength(ByteBuffer &b, unsigned int n)
{
    if (b.data != nullptr)
        coverLength(b, n);
    b.len = n;
}

void CHttpClnt::SetRcvData(const unsigned char *data, unsigned int len)
{
    if (len != 0)
        setBytes(rcv_, data, len);
}

/* ---- construction ---- */

CHttpClnt::CHttpClnt(unsigned int, unsigned int) {}

CHttpClnt::CHttpClnt(const char *url, unsigned int, unsigned int) : url_(netutil::copyText(url))
{
    _ParseURL();
}

CHttpClnt::CHttpClnt(const char *host, unsigned short port, unsigned int, unsigned int)
    : host_(netutil::copyText(host)), port_(port != 0 ? port : kDefaultPort)
{
}

CHttpClnt::~CHttpClnt() = default;

int CHttpClnt::_ParseURL()
{
    UrlParts parts;
    if (url_ == nullptr || SplitUrl(url_.get(), &parts) != URL_OK)
        return 0;
    host_ = copyString(parts.host);
    port_ = parts.port;
    subURL_ = copyString(parts.path);
    return 1;
}

/* ---- requests ---- */

int CHttpClnt::request(Method method, const char *url, const unsigned char *data, unsigned int len,
                       const char *contentType)
{
    const bool givenURL = url != nullptr && url[0] != '\0';
    if (givenURL) {
        SetURL(url);
        if (!_ParseURL())
            return HTTP_FAILED;
    } else {
        /* The stored host, port and path stand as they are, but the URL must still name a scheme
         * this client speaks: nothing goes out in clear for a URL that asks for more. */
        UrlParts ignored;
        if (url_ == nullptr || SplitUrl(url_.get(), &ignored) != URL_OK)
            return HTTP_FAILED;
    }
    connection_.reset();

    static const char *const methodNames[] = {"GET", "HEAD", "POST"};
    RequestParts parts;
    parts.method = methodNames[method];
    parts.url = givenURL ? url_.get() : nullptr;
    parts.path = subURL_.get();
    parts.viaProxy = proxyHost_ != nullptr;
    parts.version = httpVersion_.get();
    parts.contentType = contentType;
    parts.body = method == METHOD_POST ? data : nullptr;
    parts.bodyLen = method == METHOD_POST ? len : 0;
    /* Built before SndData is replaced (data may be it); without a request line or a read buffer
     * there is no exchange to attempt. */
    std::string bytes;
    if (maxRcvDataLen_ == 0 || !FormatRequest(parts, &bytes))
        return HTTP_FAILED;

    connection_.reset(parts.viaProxy ? new CSock(proxyHost_.get(), proxyPort_)
                                     : new CSock(host_.get(), port_));
    connection_->SetConnectTimeout(timeout_);
    if (!connection_->SocketConnect(nullptr, 0))
        return HTTP_FAILED; /* the unconnected socket stays held until the next request */

    SetRequestMethod(parts.method);
    if (method == METHOD_POST) {
        const bool hasBody = data != nullptr && len != 0;
        const bool typeGiven = contentType != nullptr && contentType[0] != '\0';
        SetContentType(hasBody && !typeGiven ? httpformat::kDefaultContentType : contentType);
        contentLength_ = len;
    }
    setBytes(snd_, reinterpret_cast<const unsigned char *>(bytes.data()),
             static_cast<unsigned int>(bytes.size()));

    int result = HTTP_FAILED;
    const long sent = connection_->Send(snd_.data.get(), snd_.len, timeout_);
    if (sent >= 0 && static_cast<unsigned long>(sent) >= snd_.len)
        result = receive(method);
    connection_.reset();
    return result;
}

int CHttpClnt::receive(Method method)
{
    const unsigned int capacity = maxRcvDataLen_; /* a callback may change the setting */
    std::unique_ptr<unsigned char[]> scratch(new unsigned char[capacity]);
    const bool limited = timeout_ > 0;
    const long long silenceMs =
        (timeout_ > kMaxTimeoutSeconds ? kMaxTimeoutSeconds : static_cast<long long>(timeout_)) *
        1000;
    long long deadline = limited ? netutil::monotonicMs() + silenceMs : 0;
    bool arrived = false; /* bytes of this request's response */
    for (;;) {
        const long got = connection_->RecvMs(scratch.get(), capacity, kPollSliceMs);
        const int verdict = got == CSOCK_TIMEOUT ? idle(method) : data(method, got, scratch.get());
        if (verdict != 1)
            return verdict;
        if (got > 0) {
            arrived = true;
            if (limited)
                deadline = netutil::monotonicMs() + silenceMs;
        } else if (got == CSOCK_TIMEOUT) {
            if (limited && netutil::monotonicMs() >= deadline)
                return HTTP_DONE;
        } else {
            /* A reset after the server has answered ends the exchange as a close does: the
             * reply decides, since a caller told "failed" may send a payment a second time. */
            return got == CSOCK_CLOSED || arrived ? HTTP_DONE : HTTP_FAILED;
        }
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
