#include "http_format.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <climits>
#include <cstring>

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
    split.authority.assign(rest, end);
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
    std::string bytes = std::string(r.method) + " " + target + " HTTP/" + r.version + "\r\n";
    if (!empty(r.host))
        bytes += std::string("Host: ") + r.host + "\r\n";
    if (hasBody)
        bytes += std::string("Content-type: ") +
                 (empty(r.contentType) ? kDefaultContentType : r.contentType) +
                 "\r\nContent-length: " + std::to_string(r.bodyLen) + "\r\n";
    bytes += "\r\n";
    const unsigned int bodyLen = hasBody ? r.bodyLen : 0;
    if (bytes.size() > UINT_MAX - bodyLen)
        return 0;
    if (hasBody)
        bytes.append(reinterpret_cast<const char *>(r.body), bodyLen);
    *out = std::move(bytes);
    return 1;
}

std::string HostPort(const std::string &host, unsigned short port)
{
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
           std::to_string(port);
}

std::string FormatConnect(const std::string &host, unsigned short port)
{
    const std::string target = HostPort(host, port);
    return "CONNECT " + target + " HTTP/1.0\r\nHost: " + target + "\r\n\r\n";
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

} // namespace

int ParseConnectReply(const unsigned char *data, size_t len, ConnectReply *out)
{
    const size_t n = len < kMaxConnectReply ? len : kMaxConnectReply;
    const unsigned char *lf = static_cast<const unsigned char *>(memchr(data, '\n', n));
    if (lf == nullptr) {
        if (!statusLineShape(data, n, false))
            return CONNECT_MALFORMED;
        return n == kMaxConnectReply ? CONNECT_TOO_LONG : CONNECT_INCOMPLETE;
    }
    size_t lineLen = static_cast<size_t>(lf - data);
    if (lineLen > 0 && data[lineLen - 1] == '\r')
        lineLen--;
    if (!statusLineShape(data, lineLen, true))
        return CONNECT_MALFORMED;
    out->status = (data[9] - '0') * 100 + (data[10] - '0') * 10 + (data[11] - '0');
    out->statusLine.clear();
    for (size_t i = 0; i < lineLen && i < kMaxStatusLine; i++)
        out->statusLine += data[i] < 0x20 || data[i] > 0x7e ? '?' : static_cast<char>(data[i]);
    if (out->status < 200 || out->status > 299)
        return CONNECT_REFUSED;

    /* The head ends at the first empty line (or one holding only CR) after the status line. */
    for (size_t at = static_cast<size_t>(lf - data) + 1; at < n;) {
        const unsigned char *next =
            static_cast<const unsigned char *>(memchr(data + at, '\n', n - at));
        if (next == nullptr)
            break;
        const size_t lineEnd = static_cast<size_t>(next - data);
        if (lineEnd == at || (lineEnd == at + 1 && data[at] == '\r')) {
            out->headLen = lineEnd + 1;
            return CONNECT_ESTABLISHED;
        }
        at = lineEnd + 1;
    }
    return n == kMaxConnectReply ? CONNECT_TOO_LONG : CONNECT_INCOMPLETE;
}

} // namespace httpformat
