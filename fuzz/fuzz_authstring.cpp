/* SPDX-License-Identifier: Apache-2.0 */
// QZGetPayTransaction and QZIsValidPayTransaction on arbitrary AuthString bytes.
#include "qz_internal.h"
#include "vemrick.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

/* Whether the fields read back as the texts a merchant would expect: no text field holds a NUL
 * (the merchant's copy would end there) and the amount no "n" (a NaN equals nothing). */
bool selfComparable(const PayRequestFields &got)
{
    for (const QZField &f : kQZFields) {
        const char *slot = reinterpret_cast<const char *>(&got) + f.slot;
        if (f.slot == offsetof(PayRequestFields, TransactionAmount)
                ? memchr(slot, 'n', f.width) != nullptr || memchr(slot, 'N', f.width) != nullptr
                : memchr(slot, '\0', f.width) != nullptr)
            return false;
    }
    return true;
}

} // namespace

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
        const unsigned int self = QZIsValidPayTransaction(auth, len, &got);
        if (self != QZ_NOT_VALID && self != QZ_VALID)
            __builtin_trap();
        if (selfComparable(got) && self != QZ_VALID)
            __builtin_trap();
        expected = got;
        expected.TransactionID[0] ^= 1;
    }
    QZIsValidPayTransaction(auth, len, &expected);
    return 0;
}
