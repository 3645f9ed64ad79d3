/* The command-line front end: the only code that prints results or ends the process.
 * main() checks the command line and dispatches to one of three modes; each mode prints key=value
 * lines whose last (or, for front-end failures, second-last) line is ReturnCode.
 */
#ifndef VEMRICK_TOOL_H
#define VEMRICK_TOOL_H

#include <cstdio>

/* The current front-end error description; "" means no front-end failure has happened. It always
 * points at a fixed message or at the empty start-up buffer, never at text built at run time. */
extern const char *errorString;

/* Prints the six pay-request field lines of a PayRequestFields or a TransactionRecord, untrimmed. */
template <class Fields> void printRequestFields(const Fields &f)
{
    printf("MerchantID=%s\n", f.MerchantID);
    printf("TransactionID=%s\n", f.TransactionID);
    printf("CurrencyCode=%s\n", f.CurrencyCode);
    printf("TransactionAmount=%s\n", f.TransactionAmount);
    printf("Description=%s\n", f.Description);
    printf("PAN=%s\n", f.PAN);
}

/* Writes the three usage lines for program name `prog` to stderr; sets errorString to "Bad Usage\n". */
void usage(const char *prog);

/* Inspect mode: prints the six fields of authString and ReturnCode; returns the library's code. */
unsigned int getPayTransaction(const char *authString);

/* Pay mode: reads the key file, runs one payment, prints the card and field lines and ReturnCode.
 * Returns the printed return code (999: front-end failure, the library was not called). */
unsigned int processPayTransaction(const char *authString, const char *url, const char *timeout,
                                   const char *proxyHost, const char *proxyPort,
                                   const char *keyFile);

/* Pre-authorization mode: as processPayTransaction, with an expiry of `expiryDays` days from now
 * (at most 90). */
unsigned int processPreAuth(const char *authString, const char *url, const char *timeout,
                            const char *proxyHost, const char *proxyPort, const char *keyFile,
                            const char *expiryDays);

/* Reads the merchant key file: at most 511 bytes, the last byte read dropped. Returns a malloc'ed
 * 512-byte zero-filled buffer holding the key as NUL-terminated text (the caller wipes and frees
 * it), or null after setting errorString and writing it and a newline to stderr. */
char *GetMerchantKey(const char *path);

/* Returns a malloc'ed 9-byte text YYYYMMDD: the local calendar date `days` days from now. On
 * failure sets errorString and returns null: no memory, or a date that cannot be computed or
 * written with a year from 0001 to 9999. */
char *CalculateExpirationDate(long days);

#endif
