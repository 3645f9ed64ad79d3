/* SPDX-License-Identifier: Apache-2.0 */
// The transport's handling of a raw HTTP response: cutting out the body and decoding it.
#include "qzutil.h"
#include "vemrick.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    unsigned char *reply = nullptr;
    unsigned int replyLen = 0;
    const int rc = QZUtil::ReadHttpReply(size ? data : nullptr, static_cast<unsigned int>(size),
                                         &reply, &replyLen);
    if (rc == QZ_OK && (reply == nullptr || replyLen == 0))
        __builtin_trap();
    if (rc == QZ_OK) {
        volatile unsigned char last = reply[replyLen - 1]; // must be inside the buffer
        (void)last;
    }
    free(reply);
    return 0;
}
