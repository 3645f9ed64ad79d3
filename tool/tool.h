/* The command-line front end: the only code that prints results or ends the process.
 * main() checks the command line and dispatches to one of three modes. A mode gathers its result
 * lines with the out* functions below; main() writes them to standard output in one piece at the
 * end, so that exactly one ReturnCode line goes out and a failed write is noticed.
 */
#ifndef VEMRICK_TOOL_H
#define VEMRICK_TOOL_H

#include <string>

/* The current front-end error description; "" means no front-end failure has happened. It always
 * points at a fixed message, never at text built at run time. */
extern const char *errorString;

/* Exit status when the result could not be written: the transaction may have run. */
enum { EXIT_WRITE_FAILED = 2 };

/* Appends "key=value\n" to the result. Every byte of value below 0x20 and the byte 0x7F is written
 * as '?' (one for one, so fixed widths stay fixed): no value can end its line or start another. */
void outValue(const char *key, const char *value);

/* Appends "ReturnCode=<code>\n" to the result and returns code. */
unsigned int outReturnCode(unsigned int code);

/* Appends the front-end failure lines "ReturnCode=999" and "ReturnDescription=<errorString>"
 * (the tool's own text, written as it stands) and returns 999. */
unsigned int printFrontEndFailure();

/* The result gathered so far. */
const std::string &resultText();

/* Appends the six pay-request field lines of a PayRequestFields or a TransactionRecord, untrimmed. */
template <class Fields> void printRequestFields(const Fields &f)
{
    outValue("MerchantID", f.MerchantID);
    outValue("TransactionID", f.TransactionID);
    outValue("CurrencyCode", f.CurrencyCode);
    outValue("TransactionAmount", f.TransactionAmount);
    outValue("Description", f.Description);
    outValue("PAN", f.PAN);
}

/* Writes the three usage lines for program name `prog` to stderr; sets errorString to "Bad Usage\n". */
void usage(const char *prog);

/* Inspect mode: appends the six fields of authString and ReturnCode; returns the library's code. */
unsigned int getPayTransaction(const char *authString);

/* Pay mode: reads the key file, runs one payment, appends the card and field lines and ReturnCode.
 * Returns the return code (999: front-end failure, the library was not called). */
unsigned int processPayTransaction(const char *authString, const char *url, const char *timeout,
                                   const char *proxyHost, const char *proxyPort,
                                   const char *keyFile);

/* Pre-authorization mode: as processPayTransaction, with an expiry of `expiryDays` days from now
 * (at most 90). */
unsigned int processPreAuth(const char *authString, const char *url, const char *timeout,
                            const char *proxyHost, const char *proxyPort, const char *keyFile,
                            const char *expiryDays);

/* Reads the merchant key file: at most 511 bytes, the last byte read dropped. Writes a warning to
 * stderr when it is a regular file that group or others may read or write. Returns a malloc'ed 512-byte
 * zero-filled buffer holding the key as NUL-terminated text (the caller wipes and frees it), or
 * null after setting errorString and writing it and a newline to stderr: the file cannot be opened
 * or read, or its key part holds a NUL byte (which would silently shorten the key, down to none). */
char *GetMerchantKey(const char *path);

/* Returns a malloc'ed 9-byte text YYYYMMDD: the local calendar date `days` days from now. On
 * failure sets errorString and returns null: no memory, or a date that cannot be computed or
 * written with a year from 0001 to 9999. */
char *CalculateExpirationDate(long days);

#endif
