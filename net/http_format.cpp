/* SPDX-License-Identifier: Apache-2.0 */
#include "http_format.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <climits>
#include <cstring>
#include <strings.h>

namespace httpformat {

const char kDefaultContentType[] = "text/plain";

namespace {

const unsigned long kMaxPort = 65535;

/* The schemes this client speaks, with their default ports. Anything else is refused rather than
 * sent as plain HTTP: a URL asking for another transport must not carry card data in clear. */
const struct {
    const char *name;
    unsigned short defaultPort;
} kSchemes[] = {{"http", 80}, {"https", 443}};

std::string lowerAscii(const char *begin, const char *end)
{
    std::string s(begin, end);
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

/* Decimal digits only, 1 to 65535; the loop stops as soon as the value is out of range. */
bool readPort(const char *begin, const char *end, unsigned short *port)
{
    if (begin == end)
        return false;
    unsigned long value = 0;
    for (const char *p = begin; p < end; p++) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + static_cast<unsigned long>(*p - '0');
        if (value > kMaxPort)
            return false;
    }
    if (value == 0)
        return false;
    *port = static_cast<unsigned short>(value);
    return true;
}

bool empty(const char *text)
{
    return text == nullptr || text[0] == '\0';
}

} // namespace

int SplitUrl(const char *url, UrlParts *parts)
{
    const char *mark = url != nullptr ? strstr(url, "://") : nullptr;
    if (mark == nullptr)
        return URL_NO_SCHEME;
    UrlParts split;
    split.scheme = lowerAscii(url, mark);
    bool known = false;
    for (const auto &s : kSchemes) {
        if (split.scheme == s.name) {
            split.port = s.defaultPort;
            known = true;
        }
    }
    if (!known)
        return URL_BAD_SCHEME;

    const char *rest = mark + 3;
    const char *hostEnd;
    if (*rest == '[') {
        const char *close = strchr(rest, ']');
        const char *slash = strchr(rest, '/');
        if (close == nullptr || (slash != nullptr && slash < close))
            return URL_BAD_HOST;
        split.host.assign(rest + 1, close);
        struct in6_addr ignored;
        if (inet_pton(AF_INET6, split.host.c_str(), &ignored) != 1)
            return URL_BAD_HOST;
        hostEnd = close + 1;
        if (*hostEnd != '\0' && *hostEnd != ':' && *hostEnd != '/')
            return URL_BAD_HOST;
    } else {
        hostEnd = rest + strcspn(rest, ":/");
        split.host.assign(rest, hostEnd);
    }
    const char *end = hostEnd + strcspn(hostEnd, "/");
    if (*hostEnd == ':' && !readPort(hostEnd + 1, end, &split.port))
        return URL_BAD_PORT;
    split.path = *end == '/' ? end : "/";
    *parts = std::move(split);
    return URL_OK;
}

int FormatRequest(const RequestParts &r, std::string *out)
{
    const char *target = r.viaProxy ? r.url : r.path;
    if (empty(r.method) || empty(target) || empty(r.version))
        return 0;
    const bool hasBody = r.body != nullptr && r.bodyLen != 0;
    const std::string type = hasBody ? (empty(r.contentType) ? kDefaultContentType : r.contentType) : "";
    const std::string length = hasBody ? std::to_string(r.bodyLen) : "";
    const struct {
        const char *name, *value;
    } headers[] = {{"Host", r.host},
                   {"Proxy-Authorization", r.proxyAuthorization},
                   {"Content-type", hasBody ? type.c_str() : nullptr},
                   {"Content-length", hasBody ? length.c_str() : nullptr}};
    /* Sized first and built in one buffer: growing it would leave copies of the credentials in
     * released memory. */
    size_t size = strlen(r.method) + 1 + strlen(target) + 6 + strlen(r.version) + 2 + 2;
    for (const auto &h : headers)
        if (!empty(h.value))
            size += strlen(h.name) + 2 + strlen(h.value) + 2;
    const unsigned int bodyLen = hasBody ? r.bodyLen : 0;
    if (size > UINT_MAX - bodyLen)
        return 0;
    std::string bytes;
    bytes.reserve(size + bodyLen);
    bytes.append(r.method).append(" ").append(target).append(" HTTP/").append(r.version);
    bytes.append("\r\n");
    for (const auto &h : headers)
        if (!empty(h.value))
            bytes.append(h.name).append(": ").append(h.value).append("\r\n");
    bytes.append("\r\n");
    if (hasBody)
        bytes.append(reinterpret_cast<const char *>(r.body), bodyLen);
    out->swap(bytes); /* what *out held goes with bytes; the caller's request holds no secret */
    return 1;
}

std::string HostPort(const std::string &host, unsigned short port)
{
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
           std::to_string(port);
}

std::string HostHeader(const std::string &host, unsigned short port, const std::string &scheme)
{
    for (const auto &s : kSchemes)
        if (scheme == s.name && port == s.defaultPort)
            return host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return HostPort(host, port);
}

std::string BasicAuthorization(const char *credentials, size_t len)
{
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string value;
    value.reserve(6 + (len + 2) / 3 * 4);
    value = "Basic ";
    const unsigned char *p = reinterpret_cast<const unsigned char *>(credentials);
    for (size_t i = 0; i < len; i += 3) {
        const unsigned long n = static_cast<unsigned long>(p[i]) << 16 |
                                (i + 1 < len ? static_cast<unsigned long>(p[i + 1]) << 8 : 0) |
                                (i + 2 < len ? p[i + 2] : 0);
        value += alphabet[n >> 18 & 63];
        value += alphabet[n >> 12 & 63];
        value += i + 1 < len ? alphabet[n >> 6 & 63] : '=';
        value += i + 2 < len ? alphabet[n & 63] : '=';
    }
    return value;
}

std::string FormatConnect(const std::string &host, unsigned short port,
                          const char *proxyAuthorization)
{
    const std::string target = HostPort(host, port);
    std::string bytes;
    const size_t authLen = empty(proxyAuthorization) ? 0 : strlen(proxyAuthorization);
    bytes.reserve(2 * target.size() + authLen + 64);
    bytes.append("CONNECT ").append(target).append(" HTTP/1.0\r\nHost: ").append(target);
    bytes.append("\r\n");
    if (authLen != 0)
        bytes.append("Proxy-Authorization: ").append(proxyAuthorization).append("\r\n");
    bytes.append("\r\n");
    return bytes;
}

namespace {

bool isDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

/* Whether the first n bytes of line could still begin, or do begin, "HTTP/d.d ddd". */
bool statusLineShape(const unsigned char *line, size_t n, bool complete)
{
    static const char shape[] = "HTTP/9.9 999"; /* '9' stands for any digit */
    const size_t need = sizeof shape - 1;
    for (size_t i = 0; i < n && i < need; i++) {
        const bool ok = shape[i] == '9' ? isDigit(line[i]) : line[i] == shape[i];
        if (!ok)
            return false;
    }
    if (!complete)
        return true;
    return n == need || (n > need && line[need] == ' ');
}

/* The printable form of n bytes: every byte below 0x20 or above 0x7E as "?", at most max. */
std::string printable(const unsigned char *p, size_t n, size_t max)
{
    std::string s;
    for (size_t i = 0; i < n && i < max; i++)
        s += p[i] < 0x20 || p[i] > 0x7e ? '?' : static_cast<char>(p[i]);
    return s;
}

/* The status line at the start of the first n bytes of data. Returns HEAD_COMPLETE with *lineEnd
 * just past its LF and *lineLen its length without the line end, HEAD_INCOMPLETE, or
 * HEAD_NOT_HTTP. */
int readStatusLine(const unsigned char *data, size_t n, size_t *lineLen, size_t *lineEnd)
{
    if (n == 0) /* data may be null */
        return HEAD_INCOMPLETE;
    const unsigned char *lf = static_cast<const unsigned char *>(memchr(data, '\n', n));
    if (lf == nullptr)
        return statusLineShape(data, n, false) ? HEAD_INCOMPLETE : HEAD_NOT_HTTP;
    size_t len = static_cast<size_t>(lf - data);
    *lineEnd = len + 1;
    if (len > 0 && data[len - 1] == '\r')
        len--;
    *lineLen = len;
    return statusLineShape(data, len, true) ? HEAD_COMPLETE : HEAD_NOT_HTTP;
}

int statusOf(const unsigned char *line)
{
    return (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
}

bool nameIs(const unsigned char *line, size_t n, const char *name)
{
    const size_t len = strlen(name);
    return n > len && line[len] == ':' && strncasecmp(reinterpret_cast<const char *>(line), name, len) == 0;
}

/* The value of a Content-Length line of n bytes (its name included): -1 unless it is decimal
 * digits, blanks around them, at most kMaxLengthDigits of them. */
const size_t kMaxLengthDigits = 15;
long long lengthValue(const unsigned char *line, size_t n)
{
    size_t i = strlen("Content-Length:");
    while (i < n && (line[i] == ' ' || line[i] == '\t'))
        i++;
    size_t end = n;
    while (end > i && (line[end - 1] == ' ' || line[end - 1] == '\t'))
        end--;
    if (end == i || end - i > kMaxLengthDigits)
        return -1;
    long long value = 0;
    for (; i < end; i++) {
        if (!isDigit(line[i]))
            return -1;
        value = value * 10 + (line[i] - '0');
    }
    return value;
}

} // namespace

int ParseConnectReply(const unsigned char *data, size_t len, ConnectReply *out)
{
    const size_t n = len < kMaxConnectReply ? len : kMaxConnectReply;
    size_t lineLen = 0, lineEnd = 0;
    const int line = readStatusLine(data, n, &lineLen, &lineEnd);
    if (line == HEAD_NOT_HTTP)
        return CONNECT_MALFORMED;
    if (line == HEAD_INCOMPLETE)
        return n == kMaxConnectReply ? CONNECT_TOO_LONG : CONNECT_INCOMPLETE;
    out->status = statusOf(data);
    out->statusLine = printable(data, lineLen, kMaxStatusLine);
    if (out->status < 200 || out->status > 299)
        return CONNECT_REFUSED;
    ResponseHead head;
    switch (ParseResponseHead(data, n, kMaxConnectReply, &head)) {
    case HEAD_COMPLETE:
        out->headLen = head.headLen;
        return CONNECT_ESTABLISHED;
    case HEAD_TOO_LONG:
        return CONNECT_TOO_LONG;
    default:
        return CONNECT_INCOMPLETE;
    }
}

int ParseResponseHead(const unsigned char *data, size_t len, size_t maxHead, ResponseHead *out)
{
    const size_t n = len < maxHead ? len : maxHead;
    size_t lineLen = 0, at = 0;
    const int line = readStatusLine(data, n, &lineLen, &at);
    if (line == HEAD_NOT_HTTP)
        return HEAD_NOT_HTTP;
    if (line == HEAD_INCOMPLETE)
        return n == maxHead ? HEAD_TOO_LONG : HEAD_INCOMPLETE;
    out->status = statusOf(data);
    out->reason = lineLen > 13 ? printable(data + 13, lineLen - 13, kMaxReason) : "";

    /* The head ends at the first empty line (or one holding only CR) after the status line. */
    long long length = -1;
    bool lengthUsable = true;
    while (at < n) {
        const unsigned char *next =
            static_cast<const unsigned char *>(memchr(data + at, '\n', n - at));
        if (next == nullptr)
            break;
        const size_t lineEnd = static_cast<size_t>(next - data);
        size_t lineBytes = lineEnd - at;
        if (lineBytes > 0 && data[lineEnd - 1] == '\r')
            lineBytes--;
        if (lineBytes == 0) {
            out->headLen = lineEnd + 1;
            if (out->status == 204 || out->status == 304)
                out->bodyLength = 0;
            else if (out->status < 200 || !lengthUsable)
                out->bodyLength = -1;
            else
                out->bodyLength = length;
            return HEAD_COMPLETE;
        }
        if (nameIs(data + at, lineBytes, "Content-Length")) {
            const long long value = lengthValue(data + at, lineBytes);
            if (value < 0 || (length >= 0 && value != length))
                lengthUsable = false;
            length = value;
        } else if (nameIs(data + at, lineBytes, "Transfer-Encoding")) {
            lengthUsable = false;
        }
        at = lineEnd + 1;
    }
    return n == maxHead ? HEAD_TOO_LONG : HEAD_INCOMPLETE;
}

} // namespace httpformat
