/* SPDX-License-Identifier: Apache-2.0 */
// The base64 decoder on arbitrary bytes; whatever decodes must encode back to an equivalent text.
#include "qzutil.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    unsigned char *decoded = nullptr;
    const int n = QZUtil::base64_decode(data, static_cast<int>(size), &decoded);
    if (n > 0) {
        unsigned char *encoded = nullptr;
        const int m = QZUtil::base64_encode(decoded, n, &encoded);
        if (m <= 0)
            abort();
        unsigned char *again = nullptr;
        if (QZUtil::base64_decode(encoded, m, &again) != n || memcmp(again, decoded, n) != 0)
            abort();
        free(again);
        free(encoded);
    }
    free(decoded);
    return 0;
}
