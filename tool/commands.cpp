#include "tool.h"

#include "vemrick.h"
#include "wipe.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

static const char kKeyNoMemory[] = "Out of memory (reading Merchant Key File)";
static const char kKeyCannotOpen[] = "Unable to open Merchant Key File";
static const char kKeyCannotRead[] = "Unable to read Merchant Key File";
static const char kKeyHoldsNul[] = "Merchant Key File holds a NUL byte";
static const char kCACannotRead[] = "Unable to read CA file";
static const char kJournalCannotWrite[] = "Unable to write journal";
static const char kKeyShared[] =
    "vemrick: warning: Merchant Key File is accessible by others (chmod 600)";
static const char kExpiryMissing[] = "Expire Days is NULL";
static const char kExpiryTooFar[] = "Expire Days is two large (max 90 days)";
static const char kExpiryNoMemory[] = "Out of Memory. CalculateExpirationDate()";
static const char kExpiryOutOfRange[] =
    "Expire Days gives a date outside the years 0001 to 9999";

static const size_t kKeyBufferSize = 512;
/* An AuthString read from standard input: a pay request is at most about 14 KiB of base64. */
static const size_t kMaxStdinAuthString = 64 * 1024;
static const int kDefaultTimeout = 30;
static const long kMaxExpiryDays = 90;
/* A proxy port that no port can be: the transport refuses it (1002) instead of going direct. */
static const unsigned int kBadProxyPort = 65536;
/* Fields the pay command shows when the library returns before filling the record. The currency
 * slot holds three characters, so it shows the preset cut to that width. */
static const char kUnknown[] = "Unknown!";

/* Decimal text to a number in [lo, hi]: leading blanks and a sign are accepted, conversion stops at
 * the first non-digit, no digits gives 0, and values outside the range are clamped (no overflow). */
static long long decimalClamped(const char *text, long long lo, long long hi)
{
    if (text == nullptr)
        return 0;
    long long v = strtoll(text, nullptr, 10); /* saturates at LLONG_MIN/LLONG_MAX */
    if (v < lo)
        v = lo;
    if (v > hi)
        v = hi;
    return v;
}

static int timeoutFromText(const char *text)
{
    const long long t = decimalClamped(text, INT_MIN, INT_MAX);
    return t < 1 ? kDefaultTimeout : static_cast<int>(t);
}

/* 0 (also for text without digits) means no proxy; a number outside 0..65535 must not quietly
 * mean "no proxy" or another port, so it becomes a port the transport refuses. */
static unsigned int portFromText(const char *text)
{
    const long long p = decimalClamped(text, -1, kBadProxyPort);
    return p < 0 ? kBadProxyPort : static_cast<unsigned int>(p);
}

static void reportToolFailure(const char *message)
{
    errorString = message;
    fprintf(stderr, "%s\n", message);
}

char *GetMerchantKey(const char *path, int keyFd)
{
    char *key = static_cast<char *>(calloc(kKeyBufferSize, 1));
    FILE *f = key == nullptr ? nullptr : keyFd >= 0 ? fdopen(keyFd, "rb") : fopen(path, "rb");
    if (f == nullptr) {
        if (keyFd >= 0)
            close(keyFd);
        free(key);
        reportToolFailure(key == nullptr ? kKeyNoMemory : kKeyCannotOpen);
        return nullptr;
    }
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) &&
        (st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0)
        fprintf(stderr, "%s\n", kKeyShared);
    const size_t n = fread(key, 1, kKeyBufferSize - 1, f);
    /* A read error leaves part of the key, maybe only its first byte: an empty key, which turns
     * signing off, or a wrong one. */
    const bool readFailed = n == 0 || ferror(f) != 0;
    fclose(f);
    /* The file holds the key and one final byte (normally a line end), which is dropped. A NUL
     * inside the key would cut it short, down to an empty key that turns signing off. */
    const bool holdsNul = !readFailed && (key[n - 1] = '\0', strlen(key) != n - 1);
    if (readFailed || holdsNul) {
        secure_wipe(key, kKeyBufferSize);
        free(key);
        reportToolFailure(readFailed ? kKeyCannotRead : kKeyHoldsNul);
        return nullptr;
    }
    return key;
}

/* A CA file must hold something readable before anything is sent: a mistyped path should not
 * show up only as a failed handshake. Returns false after setting errorString. */
static bool caFileReadable(const char *path)
{
    if (path == nullptr)
        return true;
    FILE *f = fopen(path, "rb");
    char byte;
    const bool readable = f != nullptr && fread(&byte, 1, 1, f) == 1;
    if (f != nullptr)
        fclose(f);
    if (!readable)
        reportToolFailure(kCACannotRead);
    return readable;
}

/* The AuthString word, or for "-" standard input up to its end with blanks and line ends around
 * it dropped. Returns false when standard input holds more than kMaxStdinAuthString bytes. */
static bool readAuthString(const char *word, std::string *out)
{
    if (strcmp(word, "-") != 0) {
        *out = word;
        return true;
    }
    char buf[4096];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out->append(buf, static_cast<size_t>(n));
        if (out->size() > kMaxStdinAuthString)
            return false;
    }
    const char *blanks = " \t\r\n\v\f";
    out->erase(0, out->find_first_not_of(blanks));
    out->erase(out->find_last_not_of(blanks) + 1);
    return true;
}

char *CalculateExpirationDate(long days)
{
    const time_t now = time(nullptr);
    time_t offset = 0, when = 0;
    struct tm local;
    if (__builtin_mul_overflow(static_cast<time_t>(days), static_cast<time_t>(86400), &offset) ||
        __builtin_add_overflow(now, offset, &when) || localtime_r(&when, &local) == nullptr ||
        local.tm_year < 1 - 1900 || local.tm_year > 9999 - 1900) {
        errorString = kExpiryOutOfRange;
        return nullptr;
    }
    char *text = static_cast<char *>(malloc(9));
    if (text == nullptr) {
        errorString = kExpiryNoMemory;
        return nullptr;
    }
    /* The year is 1..9999 and localtime gives month and day in range, so this is 8 characters. */
    char formatted[32];
    snprintf(formatted, sizeof formatted, "%4.4d%2.2d%2.2d", local.tm_year + 1900,
             local.tm_mon + 1, local.tm_mday);
    memcpy(text, formatted, 8);
    text[8] = '\0';
    return text;
}

/* The result of an AuthString on standard input that is longer than it may be (2010). */
static unsigned int tooLong(Result *r)
{
    const QZCallReport report = {0, "request", "the AuthString on standard input is longer than 64 KiB"};
    reportFailure(QZ_BAD_REQUEST, report);
    r->description = failureText(report);
    return r->code = QZ_BAD_REQUEST;
}

unsigned int getPayTransaction(const char *authString, Result *r)
{
    r->mode = "inspect";
    r->hasFields = true;
    std::string auth;
    if (!readAuthString(authString, &auth))
        return tooLong(r);
    /* The library leaves the record alone on bad arguments; it is cleared (Result's fields
     * start zeroed), so an empty AuthString prints empty values. */
    r->code = QZGetPayTransaction(auth.c_str(), static_cast<unsigned int>(auth.size()), &r->fields);
    secure_wipe(&auth[0], auth.size());
    if (r->code != QZ_OK) {
        const QZCallReport report =
            r->code == QZ_BAD_ARGUMENTS
                ? QZCallReport{0, "arguments", "an empty AuthString"}
                : QZCallReport{0, "request",
                               "the AuthString is not base64 or too short for the pay request"};
        reportFailure(r->code, report);
        r->description = failureText(report);
    }
    return r->code;
}

namespace {

/* The journal: one JSON line appended and flushed to disk before the request goes out, one
 * after the result, so that a payment whose process died shows as "sending" without a result. */
class Journal {
public:
    explicit Journal(const char *path)
        : fd_(path == nullptr ? -1 : open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600)),
          wanted_(path != nullptr)
    {
    }
    ~Journal()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    /* Appends {"time":...,"mode":...,<members>} and a line end, then fsync. Returns false when
     * the journal was asked for and the line could not be written whole. */
    bool append(const char *mode, const std::string &members)
    {
        if (!wanted_)
            return true;
        char when[32];
        const time_t now = time(nullptr);
        struct tm utc;
        strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&now, &utc));
        const std::string line = "{\"time\":\"" + std::string(when) + "\",\"mode\":\"" + mode +
                                 "\"," + members + "}\n";
        size_t done = 0;
        while (fd_ >= 0 && done < line.size()) {
            const ssize_t n = write(fd_, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return fd_ >= 0 && fsync(fd_) == 0;
    }

private:
    int fd_;
    bool wanted_;
};

std::string member(const char *name, const char *value)
{
    return jsonString(name, strlen(name)) + ":" + jsonString(value, strlen(value));
}

/* The library's trace steps, written as the tool's own. Nothing may be thrown back into the
 * library: a line that finds no memory is dropped. */
void traceFromLibrary(void *, const char *step, const char *detail)
{
    try {
        traceStep(step, detail);
    } catch (const std::bad_alloc &) {
    }
}

/* Buffers of the tool's own, released however their scope is left (also when memory runs out):
 * the key is wiped first. */
struct KeyBuffer {
    char *key;
    ~KeyBuffer()
    {
        secure_wipe(key, kKeyBufferSize);
        free(key);
    }
};
using Malloced = std::unique_ptr<char, decltype(&free)>;

/* What pay and pre-authorization share: the AuthString, the key, the journal, the call, the
 * result. `call` runs the library with the AuthString, the key and the call options. */
template <class Call>
unsigned int runTransaction(const Options &options, const char *mode, const char *authWord,
                            const char *keyFile, TransactionRecord &rec, Result *r, Call call)
{
    std::string auth;
    if (!readAuthString(authWord, &auth)) {
        r->requestSent = 0;
        tooLong(r);
    } else {
        if (!caFileReadable(options.caFile))
            return frontEndFailure(r);
        char *key = GetMerchantKey(keyFile, options.keyFd);
        if (key == nullptr)
            return frontEndFailure(r);
        const KeyBuffer keyBuffer{key};
        const unsigned int keyLen = static_cast<unsigned int>(strlen(key));
        traceStep("key", ("read, " + std::to_string(keyLen) + " bytes").c_str());

        PayRequestFields fields;
        memset(&fields, 0, sizeof fields);
        QZGetPayTransaction(auth.c_str(), static_cast<unsigned int>(auth.size()), &fields);
        const std::string pan = maskPan(fields.PAN);
        traceStep("request", ("TransactionID " + trimmed(fields.TransactionID) + ", amount " +
                              trimmed(fields.TransactionAmount) + " " + fields.CurrencyCode +
                              ", card " + pan)
                                 .c_str());
        Journal journal(options.journal);
        if (!journal.append(mode, member("MerchantID", fields.MerchantID) + "," +
                                      member("TransactionID", fields.TransactionID) + "," +
                                      member("TransactionAmount", fields.TransactionAmount) + "," +
                                      member("PAN", pan.c_str()) + ",\"phase\":\"sending\"")) {
            secure_wipe(&fields, sizeof fields);
            reportToolFailure(kJournalCannotWrite);
            return frontEndFailure(r);
        }

        const QZCallOptions callOptions = {options.caFile, traceFromLibrary, nullptr};
        QZCallReport report;
        unsigned int cardCount = 0;
        char *cardList = nullptr;
        r->code = call(auth, reinterpret_cast<const unsigned char *>(key), keyLen, &callOptions,
                       &report, &cardCount, &cardList);
        /* Before anything that may run out of memory: main() then tells whether it went out. */
        r->requestSent = report.requestSent != 0;
        const Malloced cards(cardList, free);
        for (unsigned int i = 0; cardList != nullptr && i < cardCount; i++)
            r->cards.emplace_back(cardList + static_cast<size_t>(i) * QZ_CARD_ENTRY_SIZE);
        reportFailure(r->code, report);
        if (isLibraryFailure(r->code))
            r->description = failureText(report);
        journal.append(mode, member("TransactionID", fields.TransactionID) +
                                 ",\"phase\":\"result\",\"returnCode\":" + std::to_string(r->code) +
                                 ",\"requestSent\":" + (report.requestSent ? "true" : "false") +
                                 "," + member("authorizationNumber", rec.AuthorizationNumber));
        secure_wipe(&fields, sizeof fields);
    }
    secure_wipe(&auth[0], auth.size());
    r->mode = mode;
    r->hasFields = r->hasAuthorization = true;
    memcpy(&r->fields, &rec, sizeof r->fields);
    r->dateTime = rec.AuthorizationDateTime;
    r->number = rec.AuthorizationNumber;
    secure_wipe(&rec, sizeof rec);
    return r->code;
}

template <size_t N> void presetUnknown(char (&slot)[N])
{
    const size_t n = (N - 1 < sizeof kUnknown - 1) ? N - 1 : sizeof kUnknown - 1;
    memcpy(slot, kUnknown, n);
    slot[n] = '\0';
}

} // namespace

unsigned int processPayTransaction(const Options &options, const char *authString,
                                   const char *url, const char *timeout, const char *proxyHost,
                                   const char *proxyPort, const char *keyFile, Result *r)
{
    r->dateTimeKey = "PayAuthorizationDateTime";
    r->numberKey = "PayAuthorizationNumber";
    TransactionRecord rec;
    memset(&rec, 0, sizeof rec);
    presetUnknown(rec.MerchantID);
    presetUnknown(rec.TransactionID);
    presetUnknown(rec.CurrencyCode);
    presetUnknown(rec.TransactionAmount);
    presetUnknown(rec.Description);
    presetUnknown(rec.PAN);
    presetUnknown(rec.AuthorizationDateTime);
    presetUnknown(rec.AuthorizationNumber);
    return runTransaction(options, "pay", authString, keyFile, rec, r,
                          [&](const std::string &auth, const unsigned char *key, unsigned int keyLen,
                              const QZCallOptions *o, QZCallReport *report, unsigned int *cardCount,
                              char **cardList) {
                              return QZProcessPayTransactionEx(
                                  auth.c_str(), static_cast<unsigned int>(auth.size()), url, &rec,
                                  cardCount, cardList, timeoutFromText(timeout), key, keyLen,
                                  proxyHost, portFromText(proxyPort), o, report);
                          });
}

unsigned int processPreAuth(const Options &options, const char *authString, const char *url,
                            const char *timeout, const char *proxyHost, const char *proxyPort,
                            const char *keyFile, const char *expiryDays, Result *r)
{
    r->dateTimeKey = "PreAuthDateTime";
    r->numberKey = "QZAuthorizationNumber";
    if (expiryDays == nullptr || expiryDays[0] == '\0') {
        errorString = kExpiryMissing;
        return frontEndFailure(r);
    }
    const long days = static_cast<long>(decimalClamped(expiryDays, LONG_MIN, LONG_MAX));
    if (days > kMaxExpiryDays) {
        errorString = kExpiryTooFar;
        return frontEndFailure(r);
    }
    /* Like the other expiry checks, a date that cannot be computed is reported before the key
     * file is looked at. */
    const Malloced expiry(CalculateExpirationDate(days), free);
    if (expiry == nullptr)
        return frontEndFailure(r);

    TransactionRecord rec;
    memset(&rec, 0, sizeof rec);
    return runTransaction(
        options, "preauth", authString, keyFile, rec, r,
        [&](const std::string &auth, const unsigned char *key, unsigned int keyLen,
            const QZCallOptions *o, QZCallReport *report, unsigned int *cardCount,
            char **cardList) {
            return QZProcessPreAuthorizationEx(auth.c_str(), static_cast<unsigned int>(auth.size()),
                                               expiry.get(), url, &rec, cardCount, cardList,
                                               timeoutFromText(timeout), key, keyLen, proxyHost,
                                               portFromText(proxyPort), o, report);
        });
}
