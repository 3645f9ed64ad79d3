#include "http_format.h"

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
} kSchemes[] = {{"http", 80}};

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
    const char *slash = strchr(rest, '/');
    const char *end = slash != nullptr ? slash : rest + strlen(rest);
    const char *colon =
        static_cast<const char *>(memchr(rest, ':', static_cast<size_t>(end - rest)));
    if (colon != nullptr && !readPort(colon + 1, end, &split.port))
        return URL_BAD_PORT;
    split.host.assign(rest, colon != nullptr ? colon : end);
    split.path = slash != nullptr ? slash : "/";
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

} // namespace httpformat
