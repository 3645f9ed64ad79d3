/* SPDX-License-Identifier: Apache-2.0 */
/* vemrick.h from C: compiled as C99 with -Wall -Wextra -Werror -pedantic and linked against the
 * shared library, it reads and checks an AuthString and has bad calls refused, with no server.
 * With --layout it prints the records' sizes and member offsets as JSON instead, which the Python
 * tests compare with the package's ctypes records. */
#include <vemrick.h>

#include <stddef.h>
#include <stdio.h>
#include <string.h>

/* M42 / ORDER-7 / EUR / 19.90 / Blue mug / 4000000000000002, as sim/authstring.py makes it. */
static const char kAuth[] =
    "UFJFUTEuMDBNNDIgICAgICAgT1JERVItNyAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAg"
    "ICBFVVIxOS45MCAgICAgICBCbHVlIG11ZyAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAg"
    "ICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAg"
    "ICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAg"
    "ICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAg"
    "ICAgICAgICA0MDAwMDAwMDAwMDAwMDAyICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAg"
    "ICAgIA==";

static int passed, failed;

static void expect(int ok, const char *what)
{
    if (ok) {
        passed++;
        return;
    }
    failed++;
    fprintf(stderr, "FAILED: %s\n", what);
}

static void printLayout(void)
{
#define MEMBER(type, m) printf("\"%s.%s\": %u, ", #type, #m, (unsigned)offsetof(type, m))
#define SIZE(type) printf("\"%s\": %u, ", #type, (unsigned)sizeof(type))
    printf("{");
    SIZE(PayRequestFields);
    MEMBER(PayRequestFields, PAN);
    SIZE(TransactionRecord);
    MEMBER(TransactionRecord, AuthorizationNumber);
    MEMBER(TransactionRecord, ReturnCode);
    SIZE(QZCallOptions);
    MEMBER(QZCallOptions, traceContext);
    MEMBER(QZCallOptions, proxyCredentials);
    MEMBER(QZCallOptions, pins);
    SIZE(QZCallReport);
    MEMBER(QZCallReport, cause);
    printf("\"unsigned int\": %u}\n", (unsigned)sizeof(unsigned int));
}

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--layout") == 0) {
        printLayout();
        return 0;
    }
    const unsigned int len = (unsigned int)strlen(kAuth);
    PayRequestFields got, order = {"M42", "ORDER-7", "EUR", "19.9", "Blue mug", "4000000000000002"};
    expect(QZGetPayTransaction(kAuth, len, &got) == QZ_OK &&
               strlen(got.TransactionID) == QZ_TRANSACTION_ID_LEN &&
               strncmp(got.PAN, "4000000000000002 ", 17) == 0,
           "inspection gives the fields with their filling spaces");
    expect(QZIsValidPayTransaction(kAuth, len, &order) == QZ_VALID, "the order matches");
    expect(strcmp(QZVersion(), VEMRICK_VERSION) == 0 && QZVersion() == QZVersion(),
           "the version is the project's, as one static text");

    /* Refused before anything is sent: no URL; a pre-authorization's malformed expiry date. */
    TransactionRecord rec;
    unsigned int count = 7;
    char *cards = (char *)&rec;
    QZCallReport report;
    const unsigned char key[] = "k";
    expect(QZProcessPayTransactionEx(kAuth, len, "", &rec, &count, &cards, 5, key, 1, NULL, 0, NULL,
                                     &report) == QZ_BAD_ARGUMENTS &&
               rec.ReturnCode == QZ_BAD_ARGUMENTS && count == 0 && cards == NULL &&
               report.requestSent == 0 && strcmp(report.phase, "arguments") == 0,
           "a payment without a URL is refused with its report");
    expect(QZProcessPreAuthorization(kAuth, len, "20251340", "http://127.0.0.1:9/", &rec, &count,
                                     &cards, 5, key, 1, NULL, 0) == QZ_BAD_ARGUMENTS,
           "a malformed expiry date is refused");
    /* Proxy credentials that are no user:password, or would split the request head. */
    const char *const badCredentials[] = {"no colon", "user:pass\r\nX-Injected: 1"};
    for (size_t i = 0; i < sizeof badCredentials / sizeof badCredentials[0]; i++) {
        QZCallOptions options;
        memset(&options, 0, sizeof options);
        options.proxyCredentials = badCredentials[i];
        expect(QZProcessPayTransactionEx(kAuth, len, "http://127.0.0.1:9/", &rec, &count, &cards, 5,
                                         key, 1, "127.0.0.1", 9, &options,
                                         &report) == QZ_BAD_ARGUMENTS &&
                   report.requestSent == 0 && strcmp(report.phase, "arguments") == 0,
               "malformed proxy credentials are refused before anything is sent");
    }

    printf("c_api: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
