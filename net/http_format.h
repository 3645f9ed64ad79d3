/* SPDX-License-Identifier: Apache-2.0 */
/* The pure half of the HTTP client: splitting a URL, building the bytes of one request or of a
 * proxy tunnel's CONNECT, and reading the head of a response (a proxy's answer to CONNECT, a
 * server's status and body length). All work on bytes alone (no sockets, no clock, no state), so
 * their results can be checked exactly.
 */
#ifndef VEMRICK_HTTP_FORMAT_H
#define VEMRICK_HTTP_FORMAT_H

#include <string>

/* In a namespace of their own: the library is linked into merchants' programs. */
namespace httpformat {

/* Results of SplitUrl. */
enum UrlResult {
    URL_OK = 0,
    URL_NO_SCHEME = 1,  /* null, or no "://" */
    URL_BAD_SCHEME = 2, /* the text before the first "://" is no scheme this client speaks */
    URL_BAD_PORT = 3,   /* a port that is empty, not all decimal digits, 0 or above 65535 */
    URL_BAD_HOST = 4    /* a "[" host that is no IPv6 address in brackets */
};

/* A URL split into what a connection and a request line need. */
struct UrlParts {
    std::string scheme; /* in lower case: "http" or "https" */
    std::string host;   /* as written, without the brackets of an IPv6 address; possibly empty */
    unsigned short port = 0;
    std::string path; /* starts with "/" */
};

/* Splits url as scheme "://" host [":" port] [path]. The scheme is the text before the first
 * "://" and must be "http" (port 80) or "https" (port 443) in any case. The host is either an
 * IPv6 address in brackets ("[::1]") or runs to the first ":" or "/" after "://"; a ":" right
 * after it starts the port (1 to 65535, decimal digits only, leading zeros allowed), otherwise the
 * port is the scheme's; the path runs from the first "/" after the host to the end, "/" when there
 * is none (a ":" in the path is no port). Returns URL_OK with *parts filled, or the reason with
 * *parts unchanged. */
int SplitUrl(const char *url, UrlParts *parts);

/* The content type a request names when it has a body but was given none. */
extern const char kDefaultContentType[];

/* One request. A body goes out only when body is non-null and bodyLen is not 0. */
struct RequestParts {
    const char *method;      /* "GET", "HEAD", "POST" */
    const char *url;         /* the absolute URL, named through a proxy; may be null */
    const char *path;        /* the request-URI without a proxy; may be null */
    bool viaProxy;           /* whether the request goes to a proxy */
    const char *version;     /* the text after "HTTP/" */
    const char *contentType; /* null or "": kDefaultContentType */
    const unsigned char *body;
    unsigned int bodyLen;
    const char *host = nullptr;               /* null or "": no Host header */
    const char *proxyAuthorization = nullptr; /* null or "": no Proxy-Authorization header */
};

/* Builds "<method> <target> HTTP/<version>\r\n", then for a host "Host: <host>\r\n", then for
 * proxy credentials "Proxy-Authorization: <proxyAuthorization>\r\n", then for a body
 * "Content-type: <type>\r\n" and "Content-length: <bodyLen>\r\n", then "\r\n" and the body bytes
 * (any values). The target is url through a proxy, path otherwise. Returns 1 with *out holding
 * the bytes (built in place, so that no stray copy of the credentials is left behind); 0 with
 * *out unchanged when the method, the target or the version is null or empty, or the bytes would
 * number more than 4 GiB - 1. */
int FormatRequest(const RequestParts &request, std::string *out);

/* "host:port", with brackets around an IPv6 address ("[::1]:8443"). */
std::string HostPort(const std::string &host, unsigned short port);

/* The value of a Host header: host (brackets around an IPv6 address), then ":port" unless port
 * is the default of scheme ("http" 80, "https" 443). */
std::string HostHeader(const std::string &host, unsigned short port, const std::string &scheme);

/* The value of a Proxy-Authorization header for Basic authentication: "Basic " and the base64
 * of the len bytes of credentials ("user:password"). The caller wipes it after use. */
std::string BasicAuthorization(const char *credentials, size_t len);

/* The request that opens a tunnel through a proxy to host:port (host without brackets; an IPv6
 * address gets them): "CONNECT <host>:<port> HTTP/1.0\r\nHost: <host>:<port>\r\n", then for
 * proxy credentials "Proxy-Authorization: <proxyAuthorization>\r\n", then "\r\n". */
std::string FormatConnect(const std::string &host, unsigned short port,
                          const char *proxyAuthorization = nullptr);

/* Results of ParseConnectReply. */
enum ConnectReplyResult {
    CONNECT_INCOMPLETE = 0,  /* no verdict yet: more bytes may settle it */
    CONNECT_ESTABLISHED = 1, /* a 2xx status and the whole head */
    CONNECT_REFUSED = 2,     /* a status other than 2xx */
    CONNECT_MALFORMED = 3,   /* not an HTTP status line */
    CONNECT_TOO_LONG = 4     /* no end of the head within kMaxConnectReply bytes */
};

/* The most bytes of a proxy's answer to CONNECT that are read. */
const size_t kMaxConnectReply = 8192;
/* The most characters of the status line kept for a cause text. */
const size_t kMaxStatusLine = 100;

struct ConnectReply {
    int status = 0;         /* its three digits, once the status line was read */
    size_t headLen = 0;     /* CONNECT_ESTABLISHED: bytes of the head, blank line included; any
                               bytes after them belong to the tunnel */
    std::string statusLine; /* without its line end, every byte below 0x20 or above 0x7E shown as
                               "?", cut to kMaxStatusLine characters */
};

/* Reads the first len bytes of a proxy's answer to CONNECT (only the first kMaxConnectReply
 * count): "HTTP/" digit "." digit, a space, three digits, then a space or the line end, header
 * lines, and an empty line (line ends CR LF or LF alone). Returns one of ConnectReplyResult; *out
 * holds status and statusLine once the status line was read, headLen for CONNECT_ESTABLISHED. */
int ParseConnectReply(const unsigned char *data, size_t len, ConnectReply *out);

/* Results of ParseResponseHead. */
enum HeadResult {
    HEAD_INCOMPLETE = 0, /* no end of the head yet: more bytes may bring it */
    HEAD_COMPLETE = 1,   /* status line, headers and the empty line that ends them */
    HEAD_NOT_HTTP = 2,   /* the first line is no HTTP status line */
    HEAD_TOO_LONG = 3    /* no end of the head within the bytes it may take */
};

/* The most characters of a status line's reason phrase kept for a cause text. */
const size_t kMaxReason = 60;

/* What the head of a response says. */
struct ResponseHead {
    int status = 0;      /* its three digits, once the status line was read */
    std::string reason;  /* the reason phrase, every byte below 0x20 or above 0x7E shown as "?",
                            cut to kMaxReason characters; possibly empty */
    size_t headLen = 0;  /* HEAD_COMPLETE: bytes of the head, empty line included */
    long long bodyLength = -1; /* HEAD_COMPLETE: the body's length in bytes as the head gives it;
                                  -1 when it gives none that can be trusted (see below) */
};

/* Reads the head of a response from the first len bytes of data, of which at most maxHead may
 * belong to it; the status line is read as ParseConnectReply reads it. The body length is the
 * value of the Content-Length header when there is exactly one such value: one header, or several
 * that agree; decimal digits only (blanks around them allowed), at most 15 of them. Any other
 * Content-Length, a Transfer-Encoding header, or a status from 100 to 199 gives -1 (the body then
 * runs to the close of the connection). Statuses 204 and 304 have no body (0), whatever the
 * headers say. Returns one of HeadResult; *out holds status and reason once the status line was
 * read, headLen and bodyLength for HEAD_COMPLETE. data may be null when len is 0. */
int ParseResponseHead(const unsigned char *data, size_t len, size_t maxHead, ResponseHead *out);

} // namespace httpformat

#endif
