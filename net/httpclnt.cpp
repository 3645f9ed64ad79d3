/* SPDX-License-Identifier: Apache-2.0 */
#include "httpclnt.h"

#include "csock.h"
#include "http_format.h"
#include "tls.h"
#include "wipe.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <string>

using httpformat::ConnectReply;
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

/* The most bytes of a response head read for its Content-Length; a longer head leaves the
 * response to end at the close of the connection. */
const size_t kMaxResponseHead = 64 * 1024;

/* The status with which a proxy asks for credentials. */
const int kProxyAuthRequired = 407;
const int kUnauthorized = 401;

/* Follows a response as it arrives and tells when it is complete by its head: once the head has
 * ended, after bodyLength more bytes (none for a HEAD request). Without a length it never is: the
 * response then ends with the connection. */
class ResponseLength {
public:
    /* Takes the next n bytes of the response; returns whether the response is now complete. */
    bool Complete(const unsigned char *bytes, size_t n, bool headOnly)
    {
        if (gaveUp_)
            return false;
        if (remaining_ < 0) {
            const size_t take = n < kMaxResponseHead - head_.size() ? n : kMaxResponseHead - head_.size();
            head_.append(reinterpret_cast<const char *>(bytes), take);
            httpformat::ResponseHead parsed;
            const int state = httpformat::ParseResponseHead(
                reinterpret_cast<const unsigned char *>(head_.data()), head_.size(),
                kMaxResponseHead, &parsed);
            if (state == httpformat::HEAD_INCOMPLETE)
                return false;
            const long long length = headOnly && parsed.status >= 200 ? 0 : parsed.bodyLength;
            gaveUp_ = state != httpformat::HEAD_COMPLETE || length < 0;
            if (gaveUp_)
                return false;
            /* Bytes of this chunk beyond the head already count towards the body. */
            const long long bodyHere =
                static_cast<long long>(head_.size() - parsed.headLen) + static_cast<long long>(n - take);
            remaining_ = length - bodyHere;
            head_.clear();
            return remaining_ <= 0;
        }
        remaining_ -= static_cast<long long>(n);
        return remaining_ <= 0;
    }

private:
    std::string head_;
    long long remaining_ = -1; /* body bytes still to come, once the head has ended */
    bool gaveUp_ = false;
};

void wipeString(std::string &s)
{
    secure_wipe(&s[0], s.size());
}

/* Unlike netutil::copyText, an empty text gives an empty copy: a URL may name an empty host. */
std::unique_ptr<char[]> copyString(const std::string &s)
{
    std::unique_ptr<char[]> copy(new char[s.size() + 1]);
    memcpy(copy.get(), s.c_str(), s.size() + 1);
    return copy;
}

/* host without the brackets of an IPv6 address. */
std::string unbracketed(const char *host)
{
    const size_t n = host != nullptr ? strlen(host) : 0;
    if (n >= 2 && host[0] == '[' && host[n - 1] == ']')
        return std::string(host + 1, n - 2);
    return host != nullptr ? host : "";
}

std::string urlProblem(int split)
{
    switch (split) {
    case httpformat::URL_NO_SCHEME:
        return "no URL, or no \"://\" in it";
    case httpformat::URL_BAD_SCHEME:
        return "the URL's scheme is neither http nor https";
    case httpformat::URL_BAD_PORT:
        return "the URL's port is not a number from 1 to 65535";
    default:
        return "the URL's host in brackets is no IPv6 address";
    }
}

} // namespace

/* ---- byte buffers ---- */

CHttpClnt::ByteBuffer::~ByteBuffer()
{
    secure_wipe(data.get(), data != nullptr ? held : 0);
}

void CHttpClnt::ByteBuffer::adopt(std::unique_ptr<unsigned char[]> fresh, unsigned int room)
{
    secure_wipe(data.get(), data != nullptr ? held : 0);
    data = std::move(fresh);
    held = data != nullptr ? room : 0;
}

CHttpClnt::Plan::~Plan()
{
    secure_wipe(&bytes[0], bytes.size());
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
        b.adopt(std::move(grown), room);
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
    b.size = copy != nullptr ? n : 0;
    b.adopt(std::move(copy), n);
    b.len = n;
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

CHttpClnt::~CHttpClnt()
{
    wipeString(proxyAuthorization_); /* the buffers wipe themselves */
}

void CHttpClnt::SetProxyCredentials(const char *credentials, size_t len)
{
    wipeString(proxyAuthorization_);
    proxyAuthorization_.clear();
    if (credentials != nullptr && len != 0) {
        std::string value = httpformat::BasicAuthorization(credentials, len);
        proxyAuthorization_.swap(value);
    }
}

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

int CHttpClnt::fail(const char *phase, const std::string &cause)
{
    failure_.set(HTTP_FAILED, phase, cause.c_str());
    tls_.reset();
    return HTTP_FAILED;
}

/* The end of a step's waits: the time-out from now (0 counts as "do not wait" only where
 * zeroMeansNoWait), never beyond the end of the exchange. */
long long CHttpClnt::stepDeadline(bool zeroMeansNoWait) const
{
    if (timeout_ < 0 || (timeout_ == 0 && !zeroMeansNoWait))
        return exchangeEnd_;
    const long long seconds = timeout_ > kMaxTimeoutSeconds ? kMaxTimeoutSeconds : timeout_;
    const long long end = netutil::monotonicMs() + seconds * 1000;
    return end < exchangeEnd_ ? end : exchangeEnd_;
}

std::string CHttpClnt::timeoutCause(long long deadline) const
{
    if (deadline == exchangeEnd_)
        return "the exchange did not end within its limit of " +
               netutil::secondsText(exchangeLimitMs_);
    return "no answer within " + std::to_string(timeout_) + " s";
}

int CHttpClnt::request(Method method, const char *url, const unsigned char *data, unsigned int len,
                       const char *contentType)
{
    step_ = "URL";
    try {
        return exchange(method, url, data, len, contentType);
    } catch (const std::bad_alloc &) {
        /* Every step builds texts and buffers: one that finds no memory fails where it stood. */
        connection_.reset();
        return fail(step_, "out of memory");
    }
}

int CHttpClnt::exchange(Method method, const char *url, const unsigned char *data, unsigned int len,
                        const char *contentType)
{
    failure_ = Failure();
    tls_.reset();
    exchangeEnd_ =
        exchangeLimitMs_ > 0 ? netutil::deadlineIn(exchangeLimitMs_) : netutil::kNoDeadline;

    Plan plan;
    if (!planRequest(method, url, data, len, contentType, &plan) || !reach(plan)) {
        wipeString(plan.bytes);
        return HTTP_FAILED;
    }
    int result = HTTP_FAILED;
    if (secure(plan)) {
        step_ = "send";
        SetRequestMethod(plan.parts.method);
        if (method == METHOD_POST) {
            const bool hasBody = data != nullptr && len != 0;
            const bool typeGiven = contentType != nullptr && contentType[0] != '\0';
            SetContentType(hasBody && !typeGiven ? httpformat::kDefaultContentType : contentType);
            contentLength_ = len;
        }
        setBytes(snd_, reinterpret_cast<const unsigned char *>(plan.bytes.data()),
                 static_cast<unsigned int>(plan.bytes.size()));
        if (sendRequest())
            result = receive(method, plan.head);
        if (result == HTTP_DONE && tls_ != nullptr && connection_ != nullptr)
            tls_->Close(*connection_);
    }
    wipeString(plan.bytes);
    tls_.reset();
    connection_.reset();
    return result;
}

int CHttpClnt::planRequest(Method method, const char *url, const unsigned char *data,
                           unsigned int len, const char *contentType, Plan *plan)
{
    /* A stored URL must still name a scheme this client speaks, whatever host, port and path
     * were set by hand: nothing goes out in clear for a URL that asks for more. */
    const bool givenURL = url != nullptr && url[0] != '\0';
    if (givenURL)
        SetURL(url);
    UrlParts split;
    const int splitResult =
        url_ != nullptr ? SplitUrl(url_.get(), &split) : httpformat::URL_NO_SCHEME;
    if (splitResult != URL_OK)
        return fail("URL", urlProblem(splitResult));
    if (givenURL)
        _ParseURL();
    connection_.reset();
    plan->tls = split.scheme == "https";
    plan->viaProxy = proxyHost_ != nullptr;
    plan->origin = unbracketed(host_.get());
    plan->target = plan->viaProxy ? unbracketed(proxyHost_.get()) : plan->origin;
    plan->targetPort = plan->viaProxy ? proxyPort_ : port_;

    static const char *const methodNames[] = {"GET", "HEAD", "POST"};
    plan->head = method == METHOD_HEAD;
    if (!plan->origin.empty())
        plan->hostHeader = httpformat::HostHeader(plan->origin, port_, split.scheme);
    RequestParts &parts = plan->parts;
    parts.method = methodNames[method];
    parts.url = givenURL ? url_.get() : nullptr;
    parts.path = subURL_.get();
    parts.viaProxy = plan->viaProxy && !plan->tls; /* in a tunnel the origin sees a plain request */
    parts.version = httpVersion_.get();
    parts.contentType = contentType;
    parts.body = method == METHOD_POST ? data : nullptr;
    parts.bodyLen = method == METHOD_POST ? len : 0;
    parts.host = plan->hostHeader.c_str();
    /* Through a tunnel the credentials go with CONNECT only, never to the server. */
    parts.proxyAuthorization = parts.viaProxy ? proxyAuthorization_.c_str() : nullptr;
    /* Built before SndData is replaced (data may be it); without a request line or a read buffer
     * there is no exchange to attempt. */
    if (maxRcvDataLen_ == 0 || !FormatRequest(parts, &plan->bytes))
        return fail("URL", "no request can be built (request-URI, version or read buffer missing)");
    if (plan->target.empty() || (plan->tls && plan->origin.empty()))
        return fail("URL", "the URL names no host");
    if (plan->targetPort == 0)
        return fail("URL", "port 0");

    std::string why;
    if (plan->tls) { /* before any connection: a CA file that cannot be used sends nothing */
        step_ = "TLS";
        tls_.reset(new nettls::Session);
        nettls::Setup setup;
        setup.caFile = caFile_.get();
        setup.certFile = certFile_.get();
        setup.keyFile = keyFile_.get();
        setup.pins = pins_.get();
        if (!tls_->Prepare(setup, &why))
            return fail("TLS", why);
    }
    return 1;
}

int CHttpClnt::reach(const Plan &plan)
{
    step_ = "resolve";
    netaddr::AddressList addresses;
    std::string why;
    const long long resolveEnd = stepDeadline(false);
    const int found = netaddr::Resolve(plan.target.c_str(), plan.targetPort,
                                       netutil::msLeft(resolveEnd), &addresses, &why);
    if (found == netaddr::RESOLVE_TIMEOUT)
        return fail("resolve", plan.target + ": " + timeoutCause(resolveEnd));
    if (found != netaddr::RESOLVE_OK)
        return fail("resolve", why);
    std::string list;
    for (const netaddr::Address &a : addresses)
        list += (list.empty() ? "" : ", ") + netaddr::AddressText(a);
    OnEvent("resolve", list.c_str());

    /* A failed connect keeps its unconnected socket until the next request or destruction. */
    step_ = "connect";
    connection_.reset(new CSock(plan.target.c_str(), plan.targetPort));
    std::string where;
    if (!connection_->ConnectAddresses(addresses, netutil::msLeft(stepDeadline(true)), &why,
                                       &where))
        return fail("connect", why);
    OnEvent("connect", where.c_str());
    return 1;
}

int CHttpClnt::secure(const Plan &plan)
{
    if (!plan.tls)
        return 1;
    std::string early, why, summary;
    step_ = "proxy";
    if (plan.viaProxy && !openTunnel(plan.origin, &early))
        return 0;
    step_ = "TLS";
    const long long end = stepDeadline(false);
    const int shook =
        tls_->Handshake(*connection_, plan.origin.c_str(), port_, early, end, &why, &summary);
    if (shook != 1)
        return fail("TLS", shook == CSOCK_TIMEOUT ? timeoutCause(end) : why);
    OnEvent("TLS", summary.c_str());
    return 1;
}

int CHttpClnt::openTunnel(const std::string &origin, std::string *early)
{
    std::string connect =
        httpformat::FormatConnect(origin, port_, proxyAuthorization_.c_str());
    const long long end = stepDeadline(false);
    const long sent =
        connection_->SendMs(reinterpret_cast<const unsigned char *>(connect.data()),
                            static_cast<unsigned int>(connect.size()), netutil::msLeft(end));
    const bool whole = sent == static_cast<long>(connect.size());
    const int sendError = errno;
    wipeString(connect);
    if (sent == CSOCK_TIMEOUT)
        return fail("proxy", timeoutCause(end));
    if (!whole)
        return fail("proxy",
                    "the connection to the proxy failed: " + netutil::errorText(sendError));

    unsigned char answer[httpformat::kMaxConnectReply];
    size_t have = 0;
    /* Each round adds at least one byte (at most kMaxConnectReply in all) or ends. */
    for (;;) {
        ConnectReply reply;
        switch (httpformat::ParseConnectReply(answer, have, &reply)) {
        case httpformat::CONNECT_ESTABLISHED:
            early->assign(reinterpret_cast<const char *>(answer) + reply.headLen,
                          have - reply.headLen);
            OnEvent("proxy", ("tunnel to " + httpformat::HostPort(origin, port_) +
                              " open: " + reply.statusLine)
                                 .c_str());
            return 1;
        case httpformat::CONNECT_REFUSED:
            /* Only the proxy answers CONNECT: some answer wrong credentials with 401. */
            return fail("proxy", "proxy answered " + reply.statusLine +
                                     (reply.status == kProxyAuthRequired ||
                                              reply.status == kUnauthorized
                                          ? (proxyAuthorization_.empty()
                                                 ? ": it wants credentials"
                                                 : ": it did not accept the credentials")
                                          : ""));
        case httpformat::CONNECT_MALFORMED:
            return fail("proxy", "the proxy's answer to CONNECT is not HTTP");
        case httpformat::CONNECT_TOO_LONG:
            return fail("proxy", "the proxy's answer to CONNECT exceeds " +
                                     std::to_string(httpformat::kMaxConnectReply) + " bytes");
        default:
            break;
        }
        const long got = connection_->RecvMs(
            answer + have, static_cast<unsigned int>(sizeof answer - have), netutil::msLeft(end));
        if (got > 0)
            have += static_cast<size_t>(got);
        else if (got == CSOCK_TIMEOUT)
            return fail("proxy", timeoutCause(end));
        else if (got == CSOCK_CLOSED)
            return fail("proxy", "the proxy closed the connection without answering CONNECT");
        else
            return fail("proxy",
                        "the connection to the proxy failed: " + netutil::errorText(errno));
    }
}

int CHttpClnt::sendRequest()
{
    const long long end = stepDeadline(true);
    std::string why;
    int rc;
    if (tls_ != nullptr) {
        rc = tls_->Send(*connection_, snd_.data.get(), snd_.len, end, &failure_.requestSent, &why);
    } else {
        unsigned int handed = 0;
        const long sent =
            connection_->SendMs(snd_.data.get(), snd_.len, netutil::msLeft(end), &handed);
        failure_.requestSent = handed > 0;
        rc = sent >= 0 && static_cast<unsigned long>(sent) >= snd_.len ? 1 : sent;
        if (rc != 1 && rc != CSOCK_TIMEOUT)
            why = "the connection failed: " + netutil::errorText(errno);
    }
    if (rc == 1) {
        OnEvent("sent", (std::to_string(snd_.len) + " bytes").c_str());
        return 1;
    }
    return fail("send", rc == CSOCK_TIMEOUT ? timeoutCause(end) : why);
}

long CHttpClnt::recvSome(unsigned char *buf, unsigned int capacity, long waitMs)
{
    return tls_ != nullptr ? tls_->Recv(*connection_, buf, capacity, waitMs)
                           : connection_->RecvMs(buf, capacity, waitMs);
}

int CHttpClnt::receive(Method method, bool headOnly)
{
    step_ = "receive";
    const unsigned int capacity = maxRcvDataLen_; /* a callback may change the setting */
    ByteBuffer scratch; /* wiped when it goes: it holds the reply */
    scratch.adopt(std::unique_ptr<unsigned char[]>(new unsigned char[capacity]), capacity);
    const bool limited = timeout_ > 0;
    const long long silenceMs =
        (timeout_ > kMaxTimeoutSeconds ? kMaxTimeoutSeconds : static_cast<long long>(timeout_)) *
        1000;
    long long deadline = limited ? netutil::monotonicMs() + silenceMs : 0;
    unsigned long long total = 0; /* bytes of this request's response */
    ResponseLength length;
    for (;;) {
        const long got = recvSome(scratch.data.get(), capacity, kPollSliceMs);
        const int errorNumber = errno;
        const int verdict =
            got == CSOCK_TIMEOUT ? idle(method) : data(method, got, scratch.data.get());
        if (verdict != 1)
            return verdict;
        if (got > 0) {
            if (total == 0)
                OnEvent("first byte", "");
            total += static_cast<unsigned long>(got);
            if (limited)
                deadline = netutil::monotonicMs() + silenceMs;
            if (length.Complete(scratch.data.get(), static_cast<size_t>(got), headOnly))
                break;
        } else if (got == CSOCK_TIMEOUT) {
            if (limited && netutil::monotonicMs() >= deadline) {
                failure_.set(0, "receive", ((total == 0 ? "no answer within " : "no more data within ") +
                                            std::to_string(timeout_) + " s").c_str());
                break;
            }
        } else if (got == CSOCK_CLOSED) {
            if (total == 0) {
                failure_.set(0, "receive", "the server closed the connection without answering");
            }
            break;
        } else {
            /* A reset after the server has answered ends the exchange as a close does: the
             * reply decides, since a caller told "failed" may send a payment a second time. */
            failure_.set(0, "receive", (tls_ != nullptr ? tls_->LastError()
                                                         : netutil::errorText(errorNumber)).c_str());
            if (total == 0)
                return HTTP_FAILED;
            break;
        }
        if (netutil::monotonicMs() >= exchangeEnd_) {
            failure_.set(0, "receive", timeoutCause(exchangeEnd_).c_str());
            break;
        }
    }
    OnEvent("received", (std::to_string(total) + " bytes").c_str());
    return HTTP_DONE;
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
