/* CHttpClnt: a small HTTP/1.0 client. It splits a URL into host, port and path, connects directly
 * or through an HTTP proxy, sends one GET, HEAD or POST request and collects the raw response
 * (status line, headers and body together) until the server closes the connection or falls
 * silent for the time-out. Progress goes through six virtual callbacks that a derived class may
 * override. Nothing is interpreted, printed or thrown; one thread per object.
 */
#ifndef VEMRICK_HTTPCLNT_H
#define VEMRICK_HTTPCLNT_H

class CSock;

/* Results of Get, Head and Post (an overriding callback may add its own values). */
enum CHttpResult {
    HTTP_ABORTED = -1, /* a default callback saw AbortFlag set */
    HTTP_FAILED = 0,   /* no usable URL or request line, no connection, request not wholly sent,
                          receive error */
    HTTP_DONE = 1      /* the server closed the connection, or fell silent for Timeout seconds */
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
    /* Defaults, then, for a non-empty url: stores it and splits it as _ParseURL does (a URL
     * without "://" is kept but leaves host, port and path at their defaults). */
    CHttpClnt(const char *url, unsigned int maxSndDataLen, unsigned int maxRcvDataLen);
    /* Defaults, then the host (when non-empty) and the port (80 when 0); no URL. */
    CHttpClnt(const char *host, unsigned short port, unsigned int maxSndDataLen,
              unsigned int maxRcvDataLen);

    /* Closes a connection still held and releases every text and buffer. */
    virtual ~CHttpClnt();

    CHttpClnt(const CHttpClnt &) = delete;
    CHttpClnt &operator=(const CHttpClnt &) = delete;

    /* ---- texts ---- */
    void SetHost(const char *host);
    const char *GetHost() const;
    /* When set, every request connects to ProxyHost:ProxyPort and names the absolute URL. */
    void SetProxyHost(const char *host);
    const char *GetProxyHost() const;
    /* The text after "HTTP/" in the request line ("1.0" until changed). */
    void SetHttpVersion(const char *version);
    const char *GetHttpVersion() const;
    /* Only stores the URL; host, port and path are split from it by a request or the URL
     * constructor. */
    void SetURL(const char *url);
    const char *GetURL() const;
    /* The request-URI sent when no proxy is set. */
    void SetSubURL(const char *subURL);
    const char *GetSubURL() const;
    /* Stored only; no request sends it. */
    void SetHeader(const char *header);
    const char *GetHeader() const;
    /* Replaced by every Post from its own argument. */
    void SetContentType(const char *contentType);
    const char *GetContentType() const;
    void SetRequestMethod(const char *method);
    const char *GetRequestMethod() const;
    /* Stored only; nothing reads it from a response. */
    void SetLocation(const char *location);
    const char *GetLocation() const;

    /* ---- numbers, stored as given ---- */
    void SetPort(unsigned short port);
    unsigned short GetPort() const;
    void SetProxyPort(unsigned short port);
    unsigned short GetProxyPort() const;
    /* Seconds for connecting, for each wait for room to send, and for silence while the response
     * is awaited (measured on a monotonic clock: the exchange ends Timeout seconds, plus at most
     * one 20 ms poll, after the last data); 0: connecting and sending must not wait, the response
     * wait has no limit; negative: no limit anywhere. */
    void SetTimeout(long seconds);
    long GetTimeout() const;
    void SetContentLength(unsigned int length);
    unsigned int GetContentLength() const;
    /* Stored only. */
    void SetMaxSndDataLen(unsigned int length);
    unsigned int GetMaxSndDataLen() const;
    /* Size of the scratch buffer for each read (not a limit on the total); a request with 0 fails
     * before connecting. */
    void SetMaxRcvDataLen(unsigned int length);
    unsigned int GetMaxRcvDataLen() const;
    /* Non-zero: the default callbacks stop the request under way with HTTP_ABORTED. Requests never
     * clear it. */
    void SetAbortFlag(short flag);
    short GetAbortFlag() const;

    /* ---- byte buffers ---- */
    /* The bytes of the last request as sent: request line, headers, body. */
    const unsigned char *GetSndData() const;
    /* Sets the length only; a buffer that is kept grows, zero-filled, to cover it. */
    void SetSndDataLen(unsigned int length);
    unsigned int GetSndDataLen() const;
    /* Every byte received, in order of arrival, across requests until reset. */
    const unsigned char *GetRcvData() const;
    /* Sets the length only (0 makes the next append start afresh); a buffer that is kept grows,
     * zero-filled, to cover it. */
    void SetRcvDataLen(unsigned int length);
    unsigned int GetRcvDataLen() const;

    /* Appends len bytes of data after the current SndDataLen bytes. Returns 1 when appended; 0
     * with nothing changed for null data, len 0, or a total beyond 4 GiB - 1. */
    int AppendSndData(const unsigned char *data, unsigned int len);
    /* Replaces the send data: SndDataLen becomes len; the buffer becomes a copy of len bytes of
     * data, or none when data is null (len 0 empties it). */
    void SetSndData(const unsigned char *data, unsigned int len);
    /* As AppendSndData, on the received data. */
    int AppendRcvData(const unsigned char *data, unsigned int len);
    /* As SetSndData on the received data, except that len 0 changes nothing at all. */
    void SetRcvData(const unsigned char *data, unsigned int len);

    /* ---- requests ----
     * Each request takes a non-empty url (stored and split; without "://" the call returns 0 with
     * the URL kept and host, port and path unchanged) or, given null or "", uses the stored URL,
     * host, port and path as they stand (none stored: 0). It closes a connection still held,
     * connects (a failed connect returns 0 and keeps the unconnected socket until the next request
     * or destruction), sends the request in one piece, then reads until the server closes (1), a
     * positive Timeout passes without data (1), a receive error (0) or a callback returns a value
     * other than 1 (that value; the defaults give -1 when AbortFlag is set). The connection is
     * closed on return. Through a proxy a url must be given; a missing request-URI or version, or
     * MaxRcvDataLen 0, returns 0 before connecting. Requests set RequestMethod, SndData and
     * SndDataLen; received bytes are appended to RcvData by the default data callbacks. */
    int Get(const char *url);
    int Head(const char *url);
    /* Sends "Content-type" (contentType, or "text/plain" when null or empty) and "Content-length"
     * headers followed by len bytes of data (any byte values) when data is non-null and len is not
     * 0; otherwise no body and no such headers. Sets ContentType to contentType (or none, or
     * "text/plain" for a body) and ContentLength to len. */
    int Post(const char *url, const unsigned char *data, unsigned int len, const char *contentType);

    /* ---- callbacks: 1 goes on, any other value ends the request and becomes its result ----
     * The idle callback of the request's method runs each time a poll (waiting up to a short
     * slice) finds no data. The data callback runs after each read with its result: a byte count
     * (1 or more) with the data in buf, which is reused for the next read; CSOCK_RECV_ERROR (-2);
     * or CSOCK_CLOSED (-4). The defaults return -1 when AbortFlag is set; otherwise the idle ones
     * return 1 and the data ones append count bytes to RcvData and return 1 (0 when RcvData
     * cannot grow beyond 4 GiB - 1). */
    virtual int OnGetIdle();
    virtual int OnHeadIdle();
    virtual int OnPostIdle();
    virtual int OnGetData(long count, unsigned char *buf);
    virtual int OnHeadData(long count, unsigned char *buf);
    virtual int OnPostData(long count, unsigned char *buf);

protected:
    /* Splits URL: host up to a port's ":" or the path's "/", port from the text after a ":" that
     * stands before the first "/" (read as atoi does, digits modulo 2^32, low 16 bits kept;
     * otherwise 80), path from the first "/" after "://" to the end (otherwise "/"). The host may
     * be empty. Returns 1; 0 with nothing changed when URL is none or has no "://". */
    int _ParseURL();

private:
    enum Method { METHOD_GET, METHOD_HEAD, METHOD_POST };

    /* data is null or holds held >= size >= len bytes; [0, size) is what the buffer holds in the
     * sense of the length rules (stored bytes, or zeros for bytes only counted), the bytes beyond
     * are spare room. len is the recorded length. */
    struct ByteBuffer {
        unsigned char *data;
        unsigned int len;
        unsigned int size;
        unsigned int held;
    };
    static void coverLength(ByteBuffer &b, unsigned int need);
    static int appendBytes(ByteBuffer &b, const unsigned char *data, unsigned int n, int geometric);
    static void setBytes(ByteBuffer &b, const unsigned char *data, unsigned int n);
    static void setLength(ByteBuffer &b, unsigned int n);

    /* Sets every field to its default without releasing anything (constructors only). */
    void _Reset();
    int request(Method method, const char *url, const unsigned char *data, unsigned int len,
                const char *contentType);
    int receive(Method method);
    int idle(Method method);
    int data(Method method, long count, unsigned char *buf);
    int defaultIdle() const;
    int defaultData(long count, const unsigned char *buf);

    CSock *connection_;
    const char *httpVersion_; /* the constant "1.0" (not owned), an owned copy, or null */
    char *host_;
    unsigned short port_;
    char *proxyHost_;
    unsigned short proxyPort_;
    char *url_;
    char *subURL_;
    char *header_;
    char *contentType_;
    unsigned int contentLength_;
    char *requestMethod_;
    char *location_;
    ByteBuffer snd_;
    unsigned int maxSndDataLen_;
    ByteBuffer rcv_;
    unsigned int maxRcvDataLen_;
    long timeout_;
    short abortFlag_;
};

#endif
