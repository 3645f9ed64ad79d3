/* SPDX-License-Identifier: Apache-2.0 */
/* CHttpClnt: a small HTTP/1.0 client. It splits an http or https URL into host, port and path,
 * resolves the host (IPv4 and IPv6), connects directly or through an HTTP proxy (an https URL
 * through a CONNECT tunnel), speaks TLS for https, sends one GET, HEAD or POST request and
 * collects the raw response (status line, headers and body together) until the server closes the
 * connection or falls silent for the time-out. Every wait is bounded by the time-out and by an
 * optional limit on the whole exchange. For the last request it records whether any byte of it
 * was written and, when it failed, the phase and cause. Progress goes through virtual callbacks
 * that a derived class may override. Nothing is interpreted or printed. Requests throw nothing: a
 * step that finds no memory fails with the cause "out of memory"; constructors and setters, which
 * copy texts, throw std::bad_alloc when memory runs out. One thread per object.
 */
#ifndef VEMRICK_HTTPCLNT_H
#define VEMRICK_HTTPCLNT_H

#include "failure.h"
#include "http_format.h"
#include "netutil.h"
#include "resolve.h"

#include <memory>
#include <string>

class CSock;
namespace nettls {
class Session;
}

/* Results of Get, Head and Post (an overriding callback may add its own values). */
enum CHttpResult {
    HTTP_ABORTED = -1, /* a default callback saw AbortFlag set */
    HTTP_FAILED = 0,   /* no usable URL or request line, no address, no connection, the proxy
                          refused the tunnel, TLS failed, request not wholly sent, receive error
                          before any response byte, no memory for a step (see GetFailPhase and
                          GetFailCause) */
    HTTP_DONE = 1      /* the response is complete by its Content-Length, the server closed the
                          connection or reset it after sending bytes, fell silent for Timeout
                          seconds, or the exchange limit passed while receiving */
};

/* Texts given to setters are copied; getters hand out the stored copy (or null), owned by the
 * object and valid until that field next changes. A null or empty text clears a field.
 * Byte buffers carry no terminator: GetSndData/GetRcvData give null or a buffer holding at least
 * GetSndDataLen/GetRcvDataLen bytes; bytes that were counted by a length setter but never stored
 * read as zero. */
class CHttpClnt {
public:
    /* Defaults: version "1.0", port and proxy port 80, time-out 30 s, both maximum lengths 4096,
     * abort flag 0, no texts, no buffers, no connection. The two numbers are not used. */
    CHttpClnt(unsigned int maxSndDataLen, unsigned int maxRcvDataLen);
    /* Defaults, then, for a non-empty url: stores it and splits it as _ParseURL does (a URL that
     * does not split is kept but leaves host, port and path at their defaults). */
    CHttpClnt(const char *url, unsigned int maxSndDataLen, unsigned int maxRcvDataLen);
    /* Defaults, then the host (when non-empty) and the port (80 when 0); no URL. */
    CHttpClnt(const char *host, unsigned short port, unsigned int maxSndDataLen,
              unsigned int maxRcvDataLen);

    /* Closes a connection still held and releases every text and buffer. */
    virtual ~CHttpClnt();

    CHttpClnt(const CHttpClnt &) = delete;
    CHttpClnt &operator=(const CHttpClnt &) = delete;

    /* ---- where a request goes ---- */
    /* Only stores the URL; host, port and path are split from it by a request or the URL
     * constructor. */
    void SetURL(const char *url) { url_ = netutil::copyText(url); }
    const char *GetURL() const { return url_.get(); }
    /* The request-URI sent when no proxy is set. */
    void SetSubURL(const char *subURL) { subURL_ = netutil::copyText(subURL); }
    const char *GetSubURL() const { return subURL_.get(); }
    void SetHost(const char *host) { host_ = netutil::copyText(host); }
    const char *GetHost() const { return host_.get(); }
    /* When set, every request connects to ProxyHost:ProxyPort (an IPv6 address with or without
     * brackets): an http request names the absolute URL, an https request opens a tunnel. */
    void SetProxyHost(const char *host) { proxyHost_ = netutil::copyText(host); }
    const char *GetProxyHost() const { return proxyHost_.get(); }
    void SetPort(unsigned short port) { port_ = port; }
    unsigned short GetPort() const { return port_; }
    void SetProxyPort(unsigned short port) { proxyPort_ = port; }
    unsigned short GetProxyPort() const { return proxyPort_; }

    /* Proxy credentials ("user:password", len bytes, copied; null or len 0: none) for Basic
     * authentication: sent as Proxy-Authorization on an http request through the proxy and on the
     * CONNECT of an https request, never to the server. Every copy the object makes of them is
     * wiped when it is released. */
    void SetProxyCredentials(const char *credentials, size_t len);
    bool HasProxyCredentials() const { return !proxyAuthorization_.empty(); }

    /* ---- what it says ---- */
    /* The text after "HTTP/" in the request line ("1.0" until changed). */
    void SetHttpVersion(const char *version) { httpVersion_ = netutil::copyText(version); }
    const char *GetHttpVersion() const { return httpVersion_.get(); }
    void SetContentLength(unsigned int length) { contentLength_ = length; }
    unsigned int GetContentLength() const { return contentLength_; }
    void SetRequestMethod(const char *method) { requestMethod_ = netutil::copyText(method); }
    const char *GetRequestMethod() const { return requestMethod_.get(); }
    /* Replaced by every Post from its own argument. */
    void SetContentType(const char *type) { contentType_ = netutil::copyText(type); }
    const char *GetContentType() const { return contentType_.get(); }

    /* ---- limits ---- */
    /* Seconds for each step: name resolution, connecting (all addresses together), the proxy's
     * answer to CONNECT, the TLS handshake, sending, and silence while the response is awaited
     * (measured on a monotonic clock: the exchange ends Timeout seconds, plus at most one 20 ms
     * poll, after the last data); 0: connecting and sending must not wait, the other steps have
     * no limit; negative: no limit anywhere. */
    void SetTimeout(long seconds) { timeout_ = seconds; }
    long GetTimeout() const { return timeout_; }
    /* Stored only. */
    void SetMaxSndDataLen(unsigned int length) { maxSndDataLen_ = length; }
    unsigned int GetMaxSndDataLen() const { return maxSndDataLen_; }
    /* Size of the scratch buffer for each read (not a limit on the total); a request with 0 fails
     * before connecting. */
    void SetMaxRcvDataLen(unsigned int length) { maxRcvDataLen_ = length; }
    unsigned int GetMaxRcvDataLen() const { return maxRcvDataLen_; }
    /* Milliseconds for a whole request, from its start (name resolution included) to the end of
     * the response; every step waits at most what is left. 0 or negative: no such limit (the
     * default). While receiving, the limit ends the request as silence does (HTTP_DONE, with what
     * arrived); before, it fails it. */
    void SetExchangeLimit(long ms) { exchangeLimitMs_ = ms; }
    long GetExchangeLimit() const { return exchangeLimitMs_; }

    /* ---- https and name lookup ---- */
    /* A PEM file whose certificates are trusted for https instead of the system's trust store;
     * null or "": the system's store. The server's chain and name are always checked. */
    void SetCAFile(const char *path) { caFile_ = netutil::copyText(path); }
    const char *GetCAFile() const { return caFile_.get(); }
    /* A PEM client certificate (with its chain) and its unencrypted PEM key (null or "": in the
     * certificate's file), presented when a server asks; certFile null or "": none. An https
     * request with files that cannot be used returns 0 before connecting. */
    void SetClientCertificate(const char *certFile, const char *keyFile)
    {
        certFile_ = netutil::copyText(certFile);
        keyFile_ = netutil::copyText(keyFile);
    }
    /* "sha256//BASE64[;sha256//BASE64...]" (see nettls::Setup): after the normal checks, some
     * certificate of the server's verified chain must have a pinned public key. Null or "": no
     * pins. A malformed text makes every https request return 0 before connecting. */
    void SetPins(const char *pins) { pins_ = netutil::copyText(pins); }

    /* ---- the last request ---- */
    /* Whether any of the request went out and, when it did not end normally, where it stopped:
     * phase "URL", "resolve", "connect", "proxy", "TLS", "send" or "receive" (also for a response
     * ended by silence, by the exchange limit, or by a close before any byte); cause why, in words
     * ("127.0.0.1:8443: connection refused", "certificate verify failed (hostname mismatch)",
     * "proxy answered HTTP/1.1 403 Forbidden", "no answer within 2 s"). */
    const Failure &GetFailure() const { return failure_; }
    bool GetRequestSent() const { return failure_.requestSent; }
    const char *GetFailPhase() const { return failure_.phase; }
    const char *GetFailCause() const { return failure_.cause; }

    /* ---- byte buffers ---- */
    /* The bytes of the last request as sent: request line, headers, body. */
    const unsigned char *GetSndData() const { return snd_.data.get(); }
    unsigned int GetSndDataLen() const { return snd_.len; }
    /* Every byte received, in order of arrival, across requests until reset. */
    const unsigned char *GetRcvData() const { return rcv_.data.get(); }
    unsigned int GetRcvDataLen() const { return rcv_.len; }

    /* Appends len bytes of data after the current SndDataLen bytes. Returns 1 when appended; 0
     * with nothing changed for null data, len 0, or a total beyond 4 GiB - 1. */
    int AppendSndData(const unsigned char *data, unsigned int len)
    {
        return appendBytes(snd_, data, len, false);
    }
    /* Replaces the send data: SndDataLen becomes len; the buffer becomes a copy of len bytes of
     * data, or none when data is null (len 0 empties it). */
    void SetSndData(const unsigned char *data, unsigned int len) { setBytes(snd_, data, len); }
    /* As AppendSndData, on the received data (which grows geometrically, so that a long
     * response is not copied over and over). */
    int AppendRcvData(const unsigned char *data, unsigned int len)
    {
        return appendBytes(rcv_, data, len, true);
    }

    /* ---- requests ----
     * Each request records its outcome for GetFailure, and
     * takes a non-empty url (stored and split; a URL that does not split, see _ParseURL, makes
     * the call return 0 before connecting, with the URL kept and host, port and path unchanged)
     * or, given null or "", uses the stored URL, host, port and path as they stand (none stored,
     * or a stored URL that does not split: 0). It closes a connection still held, resolves the
     * host, connects (a failed connect returns 0 and keeps the unconnected socket until the next
     * request or destruction), opens the tunnel and the TLS session of an https request, sends
     * the request in one piece, then reads until the response is complete (1: its head has ended
     * and the bytes its Content-Length names have followed, or at once for a HEAD request or a
     * 204 or 304; see httpformat::ParseResponseHead), the server closes (1), a positive Timeout
     * passes without data (1), the exchange limit passes (1), a receive error (0 when no byte of
     * the response had arrived; 1 after bytes arrived, which are kept: a reply followed by a
     * reset is still the reply) or a callback returns a value other than 1 (that value; the
     * defaults give -1 when AbortFlag is set). The connection is closed on return. An http
     * request through a proxy needs a url of its own; a missing request-URI or version,
     * MaxRcvDataLen 0, or a request that would exceed 4 GiB - 1 bytes returns 0 before
     * connecting. Every request names "Host: <host>[:<port>]" (the port only when it is not the
     * scheme's default, an IPv6 address in brackets; no such header for an empty host). An https
     * request returns 0 without connecting when TLS cannot be used or the CA file cannot be read.
     * Requests set RequestMethod, SndData and SndDataLen once the connection is ready; received
     * bytes are appended to RcvData by the default data callbacks. Get and Head are below. */
    /* Sends "Content-type" (contentType, or "text/plain" when null or empty) and "Content-length"
     * headers followed by len bytes of data (any byte values) when data is non-null and len is not
     * 0; otherwise no body and no such headers. Sets ContentType to contentType (or none, or
     * "text/plain" for a body) and ContentLength to len. */
    int Post(const char *url, const unsigned char *data, unsigned int len, const char *contentType)
    {
        return request(METHOD_POST, url, data, len, contentType);
    }

    /* ---- callbacks: 1 goes on, any other value ends the request and becomes its result ----
     * The idle callback of the request's method runs each time a poll (waiting up to a short
     * slice) finds no data. The data callback runs after each read with its result: a byte count
     * (1 or more) with the data in buf, which is reused for the next read; CSOCK_RECV_ERROR (-2);
     * or CSOCK_CLOSED (-4). The defaults return -1 when AbortFlag is set; otherwise the idle ones
     * return 1 and the data ones append count bytes to RcvData and return 1 (0 when RcvData
     * cannot grow beyond 4 GiB - 1). */
    virtual int OnPostIdle() { return defaultIdle(); }
    virtual int OnPostData(long count, unsigned char *buf) { return defaultData(count, buf); }

    /* Progress for a trace, in order: "resolve" ("127.0.0.1, ::1"), "connect" ("127.0.0.1:8443",
     * the proxy's address through a proxy), "proxy" (the tunnel is open), "TLS" ("TLSv1.3,
     * <cipher>, <server certificate subject>, verify ok"), "sent" ("412 bytes"), "first byte",
     * "received" ("1234 bytes"). Details never hold request or response bytes. The default does
     * nothing. */
    virtual void OnEvent(const char *step, const char *detail)
    {
        (void)step;
        (void)detail;
    }

    /* ==== Beyond the payment: what no payment runs, kept for other callers (httpclnt_extra.cpp
     * holds the code behind it) ==== */
    /* Requests as Post without a body, with the method GET or HEAD and its own callbacks. */
    int Get(const char *url) { return request(METHOD_GET, url, nullptr, 0, nullptr); }
    int Head(const char *url) { return request(METHOD_HEAD, url, nullptr, 0, nullptr); }
    virtual int OnGetIdle() { return defaultIdle(); }
    virtual int OnHeadIdle() { return defaultIdle(); }
    virtual int OnGetData(long count, unsigned char *buf) { return defaultData(count, buf); }
    virtual int OnHeadData(long count, unsigned char *buf) { return defaultData(count, buf); }
    /* Non-zero: the default callbacks stop the request under way with HTTP_ABORTED. Requests never
     * clear it. */
    void SetAbortFlag(short flag) { abortFlag_ = flag; }
    short GetAbortFlag() const { return abortFlag_; }

    /* ---- stored only: no request sends them, nothing reads them from a response ---- */
    void SetHeader(const char *header) { header_ = netutil::copyText(header); }
    const char *GetHeader() const { return header_.get(); }
    void SetLocation(const char *location) { location_ = netutil::copyText(location); }
    const char *GetLocation() const { return location_.get(); }

    /* ---- length setters ---- */
    /* Sets the length only; a buffer that is kept grows, zero-filled, to cover it. */
    void SetSndDataLen(unsigned int length) { setLength(snd_, length); }
    /* Sets the length only (0 makes the next append start afresh); a buffer that is kept grows,
     * zero-filled, to cover it. */
    void SetRcvDataLen(unsigned int length) { setLength(rcv_, length); }
    /* As SetSndData on the received data, except that len 0 changes nothing at all. */
    void SetRcvData(const unsigned char *data, unsigned int len);

protected:
    /* Splits URL as SplitUrl (http_format.h) does: scheme "http" or "https" in any case, host
     * (without the brackets of an IPv6 address), port (80 or 443 unless given as 1 to 65535 in
     * digits only), path ("/" when none; the host may be empty). Returns 1 with host, port and
     * path replaced; 0 with nothing changed when URL is none or does not split (no "://", another
     * scheme, a bad port, a bad IPv6 address). */
    int _ParseURL();

private:
    enum Method { METHOD_GET, METHOD_HEAD, METHOD_POST };

    /* data is null or holds held >= size >= len bytes; [0, size) is what the buffer holds in the
     * sense of the length rules (stored bytes, or zeros for bytes only counted), the bytes beyond
     * are spare room. len is the recorded length. */
    struct ByteBuffer {
        std::unique_ptr<unsigned char[]> data;
        unsigned int len = 0;
        unsigned int size = 0;
        unsigned int held = 0;
        /* Requests and replies carry card data: a buffer is wiped before it is freed, whether
         * it is replaced (adopt) or destroyed. */
        ByteBuffer() = default;
        ByteBuffer(const ByteBuffer &) = delete;
        ByteBuffer &operator=(const ByteBuffer &) = delete;
        ~ByteBuffer();
        /* Makes fresh (room bytes) the buffer; len and size are the caller's to set. */
        void adopt(std::unique_ptr<unsigned char[]> fresh, unsigned int room);
    };
    static void coverLength(ByteBuffer &b, unsigned int need);
    static int appendBytes(ByteBuffer &b, const unsigned char *data, unsigned int n,
                           bool geometric);
    static void setBytes(ByteBuffer &b, const unsigned char *data, unsigned int n);
    static void setLength(ByteBuffer &b, unsigned int n);

    /* What a request needs once its URL is read. */
    struct Plan {
        bool tls = false, viaProxy = false;
        std::string origin; /* the URL's host, without brackets */
        std::string target; /* where to connect: origin or the proxy */
        unsigned short targetPort = 0;
        bool head = false;      /* a HEAD request: the response has no body */
        std::string hostHeader;
        httpformat::RequestParts parts = {};
        std::string bytes; /* the request as sent; wiped when the plan goes */
        ~Plan();
    };

    int request(Method method, const char *url, const unsigned char *data, unsigned int len,
                const char *contentType);
    int exchange(Method method, const char *url, const unsigned char *data, unsigned int len,
                 const char *contentType);
    int planRequest(Method method, const char *url, const unsigned char *data, unsigned int len,
                    const char *contentType, Plan *plan);
    int reach(const Plan &plan);
    int secure(const Plan &plan);
    int openTunnel(const std::string &origin, std::string *early);
    int sendRequest();
    int receive(Method method, bool headOnly);
    long recvSome(unsigned char *buf, unsigned int capacity, long waitMs);
    int fail(const char *phase, const std::string &cause);
    long long stepDeadline(bool zeroMeansNoWait) const;
    std::string timeoutCause(long long deadline) const;
    int idle(Method method);
    int data(Method method, long count, unsigned char *buf);
    int defaultIdle() const;
    int defaultData(long count, const unsigned char *buf);

    static constexpr unsigned short kDefaultPort = 80;

    std::unique_ptr<CSock> connection_;
    std::unique_ptr<nettls::Session> tls_;
    std::unique_ptr<char[]> httpVersion_ = netutil::copyText("1.0");
    std::unique_ptr<char[]> host_, proxyHost_, url_, subURL_, header_, contentType_;
    std::unique_ptr<char[]> requestMethod_, location_;
    std::unique_ptr<char[]> certFile_, keyFile_, pins_;
    unsigned short port_ = kDefaultPort;
    unsigned short proxyPort_ = kDefaultPort;
    unsigned int contentLength_ = 0;
    ByteBuffer snd_;
    unsigned int maxSndDataLen_ = 4096;
    ByteBuffer rcv_;
    unsigned int maxRcvDataLen_ = 4096;
    long timeout_ = 30;
    short abortFlag_ = 0;
    long exchangeLimitMs_ = 0;
    std::unique_ptr<char[]> caFile_;
    std::string proxyAuthorization_; /* "Basic ...", wiped when replaced and on destruction */

    /* The request under way, and the outcome of the last one. */
    long long exchangeEnd_ = netutil::kNoDeadline;
    const char *step_ = ""; /* the phase a failure now would be reported in */
    Failure failure_;
};

#endif
