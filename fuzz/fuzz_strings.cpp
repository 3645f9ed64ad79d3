// TrimStr and CheckDateFormat on arbitrary text.
#include "qzutil.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return 0;
    std::string text(reinterpret_cast<const char *>(data), size);
    const size_t before = strlen(text.c_str());
    QZUtil::TrimStr(&text[0]);
    const size_t after = strlen(text.c_str());
    if (after > before || (after > 0 && (text[0] == ' ' || text[after - 1] == ' ')))
        __builtin_trap();
    QZUtil::CheckDateFormat(text.c_str());
    return 0;
}
