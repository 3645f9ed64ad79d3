/* SPDX-License-Identifier: Apache-2.0 */
// URL splitting on arbitrary text: the pure splitter and the HTTP client that stores its result.
#include "http_format.h"
#include "httpclnt.h"

#include <cstdint>
#include <cstring>
#include <string>

using namespace httpformat;

namespace {
/* Reaches the client's URL splitting, which is not part of its public face. */
struct UrlProbe : CHttpClnt {
    explicit UrlProbe(const char *url) : CHttpClnt(url, 4096, 4096) {}
    int Split() { return _ParseURL(); }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return 0;
    const std::string url(reinterpret_cast<const char *>(data), size); // ends at the first NUL
    UrlParts parts{"-", "-", 7, "-"};
    const int rc = SplitUrl(url.c_str(), &parts);
    if (rc == URL_OK) {
        // Only http and https go out; a port is never 0; the path starts with "/"; the host
        // holds no "/", and a ":" only as an IPv6 address (written in brackets); the host is what
        // follows "://", and after it comes the end, a port or the path.
        const bool v6 = parts.host.find(':') != std::string::npos;
        const std::string text(url.c_str()); // what SplitUrl saw
        const std::string written = text.substr(text.find("://") + 3);
        const std::string host = v6 ? "[" + parts.host + "]" : parts.host;
        if ((parts.scheme != "http" && parts.scheme != "https") || parts.port == 0 ||
            parts.path.empty() || parts.path[0] != '/' ||
            parts.host.find('/') != std::string::npos ||
            written.compare(0, host.size(), host) != 0 ||
            (written.size() > host.size() && written[host.size()] != '/' &&
             written[host.size()] != ':'))
            __builtin_trap();
    } else if (rc < URL_NO_SCHEME || rc > URL_BAD_HOST || parts.scheme != "-" ||
               parts.host != "-" || parts.port != 7 || parts.path != "-") {
        __builtin_trap();
    }

    UrlProbe client(url.c_str());
    if (client.Split() != (rc == URL_OK ? 1 : 0)) // a second split of the same URL agrees
        __builtin_trap();
    if (rc == URL_OK &&
        (client.GetPort() != parts.port || strcmp(client.GetHost(), parts.host.c_str()) != 0 ||
         strcmp(client.GetSubURL(), parts.path.c_str()) != 0))
        __builtin_trap();
    return 0;
}
