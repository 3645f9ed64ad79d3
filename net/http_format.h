/* The pure half of the HTTP client: splitting a URL and building the bytes of one request. Both
 * work on texts alone (no sockets, no clock, no state), so their results can be checked exactly.
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
    URL_BAD_PORT = 3    /* a port that is empty, not all decimal digits, 0 or above 65535 */
};

/* A URL split into what a connection and a request line need. */
struct UrlParts {
    std::string scheme; /* in lower case */
    std::string host;   /* as written, possibly empty */
    unsigned short port = 0;
    std::string path; /* starts with "/" */
};

/* Splits url as scheme "://" host [":" port] [path]. The scheme is the text before the first
 * "://" and must be "http" in any case; the host runs to the first ":" or "/" after it; a ":"
 * before the first "/" starts the port (1 to 65535, decimal digits only, leading zeros allowed),
 * otherwise the port is 80; the path runs from the first "/" after "://" to the end, "/" when
 * there is none (a ":" in the path is no port). Returns URL_OK with *parts filled, or the reason
 * with *parts unchanged. */
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
};

/* Builds "<method> <target> HTTP/<version>\r\n", then for a body "Content-type: <type>\r\n" and
 * "Content-length: <bodyLen>\r\n", then "\r\n" and the body bytes (any values). The target is url
 * through a proxy, path otherwise. Returns 1 with *out holding the bytes; 0 with *out unchanged
 * when the method, the target or the version is null or empty, or the bytes would number more
 * than 4 GiB - 1. */
int FormatRequest(const RequestParts &request, std::string *out);

} // namespace httpformat

#endif
