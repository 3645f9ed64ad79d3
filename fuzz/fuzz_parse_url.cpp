// URL splitting of the HTTP client on arbitrary text.
#include "httpclnt.h"

#include <cstdint>
#include <string>

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
    UrlProbe client(url.c_str());
    client.Split(); // a second split of the same URL must be as safe as the first
    if (const char *sub = client.GetSubURL())
        if (sub[0] != '/')
            __builtin_trap();
    return 0;
}
