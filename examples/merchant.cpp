/* SPDX-License-Identifier: Apache-2.0 */
// A merchant's program: checks that the buyer's AuthString carries the order it expects, then pays.
//
//   merchant AuthString URL keyFile MerchantID TransactionID CurrencyCode Amount Description PAN
//
// Prints the outcome and exits 0 when the payment was approved, 1 otherwise.
#include <vemrick.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

static void setField(char *slot, size_t size, const char *value)
{
    snprintf(slot, size, "%s", value);
}

int main(int argc, char **argv)
{
    if (argc != 10) {
        fprintf(stderr, "usage: %s AuthString URL keyFile MerchantID TransactionID CurrencyCode "
                        "Amount Description PAN\n", argv[0]);
        return 2;
    }
    const char *auth = argv[1], *url = argv[2];

    // 1. Is this the order we are about to charge?
    PayRequestFields expected;
    memset(&expected, 0, sizeof expected);
    setField(expected.MerchantID, sizeof expected.MerchantID, argv[4]);
    setField(expected.TransactionID, sizeof expected.TransactionID, argv[5]);
    setField(expected.CurrencyCode, sizeof expected.CurrencyCode, argv[6]);
    setField(expected.TransactionAmount, sizeof expected.TransactionAmount, argv[7]);
    setField(expected.Description, sizeof expected.Description, argv[8]);
    setField(expected.PAN, sizeof expected.PAN, argv[9]);
    const unsigned int valid = QZIsValidPayTransaction(auth, strlen(auth), &expected);
    if (valid != QZ_VALID) {
        printf("order check failed (code %u)\n", valid);
        return 1;
    }

    // 2. Our secret key: the file's content without its final line end.
    std::ifstream in(argv[3], std::ios::binary);
    std::string key((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!key.empty() && key.back() == '\n')
        key.pop_back();

    // 3. Pay.
    TransactionRecord rec;
    unsigned int cardCount = 0;
    char *cards = nullptr;
    const unsigned int rc = QZProcessPayTransaction(
        auth, strlen(auth), url, &rec, &cardCount, &cards, 30,
        reinterpret_cast<const unsigned char *>(key.data()), key.size(), nullptr, 0);
    std::fill(key.begin(), key.end(), '\0');

    for (unsigned int i = 0; i < cardCount; i++)
        printf("card %u: %s\n", i + 1, cards + i * QZ_CARD_ENTRY_SIZE);
    free(cards);
    if (rc == QZ_OK) {
        printf("approved, authorization %s\n", rec.AuthorizationNumber);
        return 0;
    }
    printf("not approved, return code %u\n", rc);
    return 1;
}
