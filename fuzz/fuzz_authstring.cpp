// QZGetPayTransaction and QZIsValidPayTransaction on arbitrary AuthString bytes.
#include "vemrick.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    const char *auth = reinterpret_cast<const char *>(data);
    const unsigned int len = static_cast<unsigned int>(size);

    PayRequestFields got;
    memset(&got, 0, sizeof got);
    const unsigned int rc = QZGetPayTransaction(auth, len, &got);
    if (rc != QZ_OK && rc != QZ_BAD_ARGUMENTS && rc != QZ_BAD_REQUEST)
        __builtin_trap();

    PayRequestFields expected;
    memset(&expected, 0, sizeof expected);
    if (rc == QZ_OK) {
        // What the AuthString carries must validate against itself.
        if (QZIsValidPayTransaction(auth, len, &got) != QZ_VALID)
            __builtin_trap();
        expected = got;
        expected.TransactionID[0] ^= 1;
    }
    QZIsValidPayTransaction(auth, len, &expected);
    return 0;
}
