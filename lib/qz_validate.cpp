/* SPDX-License-Identifier: Apache-2.0 */
#include "qz_internal.h"
#include "vemrick.h"
#include "wipe.h"

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <locale.h>

namespace {

/* Narrows the n bytes at p to leave out the spaces (0x20) at both ends. */
void trimSpaces(const char *&p, size_t &n)
{
    while (n > 0 && p[0] == ' ')
        p++, n--;
    while (n > 0 && p[n - 1] == ' ')
        n--;
}

/* The request's field over its whole width (bytes after a NUL count) and the merchant's text up
 * to its NUL, each without the spaces at both ends, must be the same bytes. */
bool sameText(const char *got, const char *want, size_t width)
{
    size_t gotLen = width, wantLen = strnlen(want, width);
    trimSpaces(got, gotLen);
    trimSpaces(want, wantLen);
    return gotLen == wantLen && memcmp(got, want, gotLen) == 0;
}

/* An amount slot read as strtod reads it in the C locale: under a comma-decimal locale strtod
 * would stop at the "." and take "10.00" and "10.99" for the same amount. */
double amount(const char *slot)
{
    char text[QZ_TRANSACTION_AMOUNT_LEN + 1];
    const size_t n = strnlen(slot, QZ_TRANSACTION_AMOUNT_LEN);
    memcpy(text, slot, n);
    text[n] = '\0';
    const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    if (c == static_cast<locale_t>(0))
        return NAN; /* equal to nothing: not valid */
    const double value = strtod_l(text, nullptr, c);
    freelocale(c);
    return value;
}

} // namespace

unsigned int QZIsValidPayTransaction(const char *authString, unsigned int length,
                                     const PayRequestFields *expected)
{
    if (expected == nullptr)
        return QZ_BAD_ARGUMENTS;
    PayRequestFields got;
    const unsigned int rc = QZGetPayTransaction(authString, length, &got);
    if (rc != QZ_OK)
        return rc;

    bool same = true;
    for (const QZField &f : kQZFields) {
        const char *g = reinterpret_cast<const char *>(&got) + f.slot;
        const char *w = reinterpret_cast<const char *>(expected) + f.slot;
        same = same && (f.slot == offsetof(PayRequestFields, TransactionAmount)
                            ? amount(g) == amount(w)
                            : sameText(g, w, f.width));
    }
    secure_wipe(&got, sizeof got); /* it holds the card number */
    return same ? QZ_VALID : QZ_NOT_VALID;
}
