/* SPDX-License-Identifier: Apache-2.0 */
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

/* Exit status when the result could not be written: the transaction may have run. */
enum { EXIT_WRITE_FAILED = 2 };

/* What the options before the mode words asked for. */
struct Options {
    const char *caFile = nullptr;      /* --cacert FILE: trusted certificates for https */
    const char *certFile = nullptr;    /* --cert FILE: client certificate (and chain) for https */
    const char *certKeyFile = nullptr; /* --cert-key FILE: its private key */
    const char *pins = nullptr;        /* --pin sha256//BASE64[;...]: pinned public keys */
    bool json = false;             /* --json: one JSON object instead of key=value lines */
    bool trace = false;            /* --trace: one stderr line per step */
    const char *journal = nullptr; /* --journal FILE: a line before sending and one after */
    int keyFd = -1;                /* --key-fd N: the key comes from this descriptor */
    const char *proxyUserFile = nullptr; /* --proxy-user-file FILE: user:password for the proxy */
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
    /* dateTime and number are the pay command's "Unknown!" presets (the library returned before
     * reading the AuthString): key=value shows them, JSON shows empty values. */
    bool authorizationPreset = false;
    unsigned int code = 0;
    std::string description; /* 999: the tool's own text; another failure: its cause */
    int requestSent = -1;    /* 0 or 1 for a server transaction; -1 otherwise */
};

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

/* The one way a run fails. Code 999 (the tool's own failure, the library not called): cause is
 * the tool's text, which becomes the ReturnDescription and, with toStderr, a line on stderr.
 * Another code: the report of the library's failure, written to stderr as "vemrick: <phase>:
 * <cause> (request not sent)" (or "(request sent: the outcome is unknown; ...)") and kept as the
 * description "<phase>: <cause>". Returns code. */
unsigned int failRun(Result *r, unsigned int code, const QZCallReport &report, bool toStderr = true);

/* failRun for the tool's own failure (999) described by text. */
unsigned int toolFailure(Result *r, const char *text, bool toStderr = true);

/* Whether code is a failure of the library (1000 to 1005, 2010). */
bool isLibraryFailure(unsigned int code);

/* Writes the usage lines for program name `prog` to stderr. */
void usage(const char *prog);

/* A transaction's words from the command line, as given. */
struct TransactionArgs {
    const char *authString;
    const char *url;
    const char *timeout;   /* seconds; below 1 or no digits: 30 */
    const char *proxyHost; /* "" or a port of 0: no proxy */
    const char *proxyPort;
    const char *keyFile; /* "-" with --key-fd */
    const char *expiryDays; /* pre-authorization only: days from today, at most 90 */
};

/* Inspect mode: the six fields of authString ("-": read from standard input) and the code. */
unsigned int getPayTransaction(const char *authString, Result *r);

/* Pay mode: reads the key, runs one payment, fills *r. Returns the return code (999: front-end
 * failure, the library was not called). */
unsigned int processPayTransaction(const Options &options, const TransactionArgs &args, Result *r);

/* Pre-authorization mode: as processPayTransaction, with the expiry date of args.expiryDays. */
unsigned int processPreAuth(const Options &options, const TransactionArgs &args, Result *r);

/* ---- inputs (inputs.cpp) ---- */

/* The AuthString word, or for "-" standard input up to its end, read within timeoutSeconds, with
 * blanks and line ends around it dropped. Returns QZ_OK, or with *why filled (request not sent):
 * QZ_BAD_REQUEST when standard input holds more than 64 KiB, QZ_BAD_ARGUMENTS when it does not
 * end in time or cannot be read. */
unsigned int readAuthString(const char *word, int timeoutSeconds, std::string *out,
                            QZCallReport *why);

/* Reads the merchant key (QZReadKeyFile, within timeoutSeconds) into key (QZ_KEY_BUFFER_SIZE
 * bytes), warning on stderr when the file is open to others and when the key is empty (nothing
 * is then signed or verified). Returns null, or the failure's text. */
const char *readMerchantKey(const char *path, int keyFd, int timeoutSeconds, unsigned char *key,
                            unsigned int *keyLen);

/* The bytes of a proxy user file's line that are kept: user:password, at most 1024 bytes, and room
 * for a CR, an LF and a NUL. */
enum { PROXY_USER_BUFFER_SIZE = 1027 };

/* Reads the first line of the proxy user file (up to an LF, a CR before it dropped) into buffer
 * (PROXY_USER_BUFFER_SIZE bytes, left zero-filled after the line; the caller wipes it): it must be
 * user:password, with a ":", at most 1024 bytes and no control characters. Warns on stderr when
 * the file is a regular file that group or others may read or write. Returns null, or the
 * failure's text (then buffer is all zero). Nothing of the file's content is ever printed. */
const char *readProxyCredentials(const char *path, char *buffer);

/* Null when the --cacert file (if any) holds a certificate and the --cert/--cert-key files (if
 * any) a usable certificate and unencrypted key, else the failure's text ("Unable to read CA
 * file", "Unable to read client certificate"), the reason written to stderr first: a mistyped
 * path should not show up only as a failed handshake. Warns when the file the client's key was
 * read from may be read by others. */
const char *checkTlsFiles(const Options &options);

/* The expiry date of expiryDays into date (9 bytes). Returns null, or the failure's text. */
const char *expiryDate(const char *expiryDays, char *date);

/* The timeout word as seconds for the library (30 for text below 1 or without digits). */
int timeoutFromText(const char *text);

/* The proxy port word: 0 for none; a number outside 0..65535 becomes a port the library refuses
 * instead of quietly meaning "no proxy" or another port. */
unsigned int portFromText(const char *text);

/* ---- the journal (journal.cpp) ---- */

/* The --journal file: one JSON line appended and flushed to disk before the request goes out, one
 * after the result, so that a payment whose process died shows as "sending" without a result.
 * It holds whole lines only: each goes out in one write, and one that does not go out whole is
 * cut off again, so the next line starts clean. */
class Journal {
public:
    /* null: no journal; appending always succeeds. Only a regular file will do: a symlink is not
     * followed, and a FIFO is refused without waiting for a reader. Warns on stderr when an
     * existing journal is open to group or others. */
    explicit Journal(const char *path);
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    /* Appends {"time":...,"mode":...,<members>} and a line end, then fsync. Returns false when
     * the journal was asked for and the line could not be written whole and flushed, with the
     * reason in *why. */
    bool append(const char *mode, const std::string &members, std::string *why);

private:
    int fd_ = -1;
    bool wanted_;
    std::string openError_;
};

/* "name":"value" for a journal line. */
std::string jsonMember(const char *name, const char *value);

#endif
