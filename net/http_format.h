/* The pure half of the HTTP client: splitting a URL, building the bytes of one request or of a
 * proxy tunnel's CONNECT, and reading the proxy's answer to it. All work on bytes alone (no
 * sockets, no clock, no state), so their results can be checked exactly.
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
    std::string path;           /* starts with "/" */
    std::string authority = {}; /* host and port as written ("[::1]:8443", "h"): the Host header */
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
    const char *host = nullptr; /* null or "": no Host header */
};

/* Builds "<method> <target> HTTP/<version>\r\n", then for a host "Host: <host>\r\n", then for a
 * body "Content-type: <type>\r\n" and "Content-length: <bodyLen>\r\n", then "\r\n" and the body
 * bytes (any values). The target is url through a proxy, path otherwise. Returns 1 with *out
 * holding the bytes; 0 with *out unchanged when the method, the target or the version is null or
 * empty, or the bytes would number more than 4 GiB - 1. */
int FormatRequest(const RequestParts &request, std::string *out);

/* "host:port", with brackets around an IPv6 address ("[::1]:8443"). */
std::string HostPort(const std::string &host, unsigned short port);

/* The request that opens a tunnel through a proxy to host:port (host without brackets; an IPv6
 * address gets them): "CONNECT <host>:<port> HTTP/1.0\r\nHost: <host>:<port>\r\n\r\n". */
std::string FormatConnect(const std::string &host, unsigned short port);

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

} // namespace httpformat

#endif
