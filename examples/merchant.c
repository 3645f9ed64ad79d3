/* SPDX-License-Identifier: Apache-2.0 */
/* A merchant's program in C (C99), linked against the shared library: checks that the buyer's
 * AuthString carries the order it expects, then pays, and on failure says where and whether the
 * request went out.
 *
 *   merchant_c AuthString URL keyFile MerchantID TransactionID CurrencyCode Amount Description PAN
 *
 * Prints the outcome and exits 0 when the payment was approved, 1 otherwise. */
#include <vemrick.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void setField(char *slot, size_t size, const char *value)
{
    snprintf(slot, size, "%s", value);
}

/* Stores through a volatile pointer, so the compiler cannot drop them as dead. */
static void wipe(void *p, size_t n)
{
    volatile unsigned char *v = p;
    while (n-- > 0)
        *v++ = 0;
}

int main(int argc, char **argv)
{
    if (argc != 10) {
        fprintf(stderr, "usage: %s AuthString URL keyFile MerchantID TransactionID CurrencyCode "
                        "Amount Description PAN\n", argv[0]);
        return 2;
    }
    const char *auth = argv[1], *url = argv[2];

    /* 1. Is this the order we are about to charge? */
    PayRequestFields expected;
    memset(&expected, 0, sizeof expected);
    setField(expected.MerchantID, sizeof expected.MerchantID, argv[4]);
    setField(expected.TransactionID, sizeof expected.TransactionID, argv[5]);
    setField(expected.CurrencyCode, sizeof expected.CurrencyCode, argv[6]);
    setField(expected.TransactionAmount, sizeof expected.TransactionAmount, argv[7]);
    setField(expected.Description, sizeof expected.Description, argv[8]);
    setField(expected.PAN, sizeof expected.PAN, argv[9]);
    const unsigned int valid = QZIsValidPayTransaction(auth, (unsigned int)strlen(auth), &expected);
    if (valid != QZ_VALID) {
        printf("order check failed (code %u)\n", valid);
        return 1;
    }

    /* 2. Our secret key: the file's content without its final line end. */
    unsigned char key[512];
    size_t keyLen = 0;
    FILE *f = fopen(argv[3], "rb");
    if (f != NULL) {
        keyLen = fread(key, 1, sizeof key - 1, f);
        fclose(f);
    }
    if (keyLen > 0 && key[keyLen - 1] == '\n')
        keyLen--;

    /* 3. Pay, with a report of where a failure happened. */
    TransactionRecord rec;
    unsigned int cardCount = 0;
    char *cards = NULL;
    QZCallReport report;
    const unsigned int rc = QZProcessPayTransactionEx(auth, (unsigned int)strlen(auth), url, &rec,
                                                      &cardCount, &cards, 30, key,
                                                      (unsigned int)keyLen, NULL, 0, NULL, &report);
    wipe(key, sizeof key);

    for (unsigned int i = 0; i < cardCount; i++)
        printf("card %u: %s\n", i + 1, cards + i * QZ_CARD_ENTRY_SIZE);
    free(cards);
    if (rc == QZ_OK) {
        printf("approved, authorization %s\n", rec.AuthorizationNumber);
        return 0;
    }
    printf("not approved, return code %u", rc);
    if (report.phase[0] != '\0')
        printf(" (%s: %s; request %s)", report.phase, report.cause,
               report.requestSent ? "sent" : "not sent");
    printf("\n");
    return 1;
}
