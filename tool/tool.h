/* The command-line front end: the only code that prints results or ends the process.
 * main() reads the options, checks the command line and runs one of three modes. A mode fills a
 * Result; main() renders it as key=value lines (or, with --json, one JSON object) and writes it
 * to standard output in one piece at the end, so that exactly one ReturnCode goes out and a
 * failed write is noticed. Diagnostics and the trace go to standard error, one line each.
 */
#ifndef VEMRICK_TOOL_H
#define VEMRICK_TOOL_H

#include "vemrick.h"

#include <string>
#include <vector>

/* The current front-end error description; "" means no front-end failure has happened. It always
 * points at a fixed message, never at text built at run time. */
extern const char *errorString;

/* Exit status when the result could not be written: the transaction may have run. */
enum { EXIT_WRITE_FAILED = 2 };

/* What the options before the mode words asked for. */
struct Options {
    const char *caFile = nullptr;  /* --cacert FILE: trusted certificates for https */
    bool json = false;             /* --json: one JSON object instead of key=value lines */
    bool trace = false;            /* --trace: one stderr line per step */
    const char *journal = nullptr; /* --journal FILE: a line before sending and one after */
    int keyFd = -1;                /* --key-fd N: the key comes from this descriptor */
};

/* The outcome of one run, as rendered on standard output. */
struct Result {
    const char *mode = nullptr;   /* "pay", "preauth", "inspect"; null: the command line was wrong */
    bool frontEndFailure = false; /* 999 from the tool itself (the library was not called) */
    bool hasFields = false;       /* the six field lines */
    PayRequestFields fields{};
    bool hasAuthorization = false; /* cards, date/time and number: a server transaction */
    const char *dateTimeKey = "";
    const char *numberKey = "";
    std::vector<std::string> cards;
    std::string dateTime;
    std::string number;
    unsigned int code = 0;
    std::string description; /* 999: the tool's own text; another failure: its cause */
    int requestSent = -1;    /* 0 or 1 for a server transaction; -1 otherwise */
};

/* Fills *r as a front-end failure (999) described by errorString; returns 999. */
unsigned int frontEndFailure(Result *r);

/* The key=value lines of r: every byte below 0x20 and the byte 0x7F of a value is written as '?'
 * (one for one, so fixed widths stay fixed), so no value can end its line or start another. The
 * 999 description is the tool's own text and goes out as it stands. */
std::string renderLines(const Result &r);

/* r as one JSON object on one line, ending in a line end. Field bytes go out as the record holds
 * them: control bytes and bytes that are not valid UTF-8 are escaped (the latter as \u00XX, their
 * Latin-1 value), so every output is valid JSON. */
std::string renderJson(const Result &r);

/* n bytes as a JSON string literal, quotes included, escaped as renderJson says. */
std::string jsonString(const char *bytes, size_t n);

/* The card number with all but its first six and last four characters (spaces trimmed) shown as
 * '*'; a number of 12 characters or fewer shows only its last four. */
std::string maskPan(const char *pan);

/* Starts the clock of the trace and turns it on or off. */
void startTrace(bool on);

/* With the trace on, writes "vemrick: trace <ms> ms: <step>: <detail>" to stderr (the detail
 * printed as outValue prints values). */
void traceStep(const char *step, const char *detail);

/* text without the spaces around it. */
std::string trimmed(const char *text);

/* Whether code is a failure of the library (1000 to 1005, 2010). */
bool isLibraryFailure(unsigned int code);

/* "<phase>: <cause>" of a failed call ("transaction: failed" where the report says nothing). */
std::string failureText(const QZCallReport &report);

/* Writes "vemrick: <phase>: <cause> (request not sent)", or the same ending in "(request sent:
 * the outcome is unknown; ...)", to stderr when code is a library failure (1000 to 1005, 2010). */
void reportFailure(unsigned int code, const QZCallReport &report);

/* Writes the usage lines for program name `prog` to stderr; sets errorString to "Bad Usage\n". */
void usage(const char *prog);

/* Inspect mode: the six fields of authString ("-": read from standard input) and the code. */
unsigned int getPayTransaction(const char *authString, Result *r);

/* Pay mode: reads the key, runs one payment, fills *r. Returns the return code (999: front-end
 * failure, the library was not called). */
unsigned int processPayTransaction(const Options &options, const char *authString,
                                   const char *url, const char *timeout, const char *proxyHost,
                                   const char *proxyPort, const char *keyFile, Result *r);

/* Pre-authorization mode: as processPayTransaction, with an expiry of `expiryDays` days from now
 * (at most 90). */
unsigned int processPreAuth(const Options &options, const char *authString, const char *url,
                            const char *timeout, const char *proxyHost, const char *proxyPort,
                            const char *keyFile, const char *expiryDays, Result *r);

/* Reads the merchant key file (or, for --key-fd, the descriptor keyFd, which is closed): at most
 * 511 bytes, the last byte read dropped. Writes a warning to stderr when the file is a regular
 * file that group or others may read or write. Returns a malloc'ed 512-byte zero-filled buffer
 * holding the key as NUL-terminated text (the caller wipes and frees it), or null after setting
 * errorString and writing it and a newline to stderr: the file cannot be opened or read, or its
 * key part holds a NUL byte (which would silently shorten the key, down to none). */
char *GetMerchantKey(const char *path, int keyFd = -1);

/* Returns a malloc'ed 9-byte text YYYYMMDD: the local calendar date `days` days from now. On
 * failure sets errorString and returns null: no memory, or a date that cannot be computed or
 * written with a year from 0001 to 9999. */
char *CalculateExpirationDate(long days);

#endif
