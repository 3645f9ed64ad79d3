/* SPDX-License-Identifier: Apache-2.0 */
// TrimStr, ReadDecimal and CheckDateFormat on arbitrary text.
#include "qzutil.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return 0;
    std::string text(reinterpret_cast<const char *>(data), size);
    // The reader takes exactly `size` bytes and must read them as strtoll reads the text up to
    // its first NUL (the fuzzer runs in the C locale).
    std::unique_ptr<char[]> exact(new char[size ? size : 1]);
    if (size)
        memcpy(exact.get(), data, size);
    if (QZUtil::ReadDecimal(exact.get(), size) != strtoll(text.c_str(), nullptr, 10))
        __builtin_trap();

    const size_t before = strlen(text.c_str());
    QZUtil::TrimStr(&text[0]);
    const size_t after = strlen(text.c_str());
    if (after > before || (after > 0 && (text[0] == ' ' || text[after - 1] == ' ')))
        __builtin_trap();
    QZUtil::CheckDateFormat(text.c_str());
    return 0;
}
