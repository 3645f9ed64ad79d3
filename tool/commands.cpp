#include "tool.h"

#include "vemrick.h"
#include "wipe.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

static const char kKeyNoMemory[] = "Out of memory (reading Merchant Key File)";
static const char kKeyCannotOpen[] = "Unable to open Merchant Key File";
static const char kKeyCannotRead[] = "Unable to read Merchant Key File";
static const char kKeyHoldsNul[] = "Merchant Key File holds a NUL byte";
static const char kKeyShared[] =
    "vemrick: warning: Merchant Key File is accessible by others (chmod 600)";
static const char kExpiryMissing[] = "Expire Days is NULL";
static const char kExpiryTooFar[] = "Expire Days is two large (max 90 days)";
static const char kExpiryNoMemory[] = "Out of Memory. CalculateExpirationDate()";
static const char kExpiryOutOfRange[] =
    "Expire Days gives a date outside the years 0001 to 9999";

static const size_t kKeyBufferSize = 512;
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

static void reportKeyFailure(const char *message)
{
    errorString = message;
    fprintf(stderr, "%s\n", message);
}

char *GetMerchantKey(const char *path)
{
    char *key = static_cast<char *>(calloc(kKeyBufferSize, 1));
    if (key == nullptr) {
        reportKeyFailure(kKeyNoMemory);
        return nullptr;
    }
    FILE *f = fopen(path, "rb");
    if (f == nullptr) {
        free(key);
        reportKeyFailure(kKeyCannotOpen);
        return nullptr;
    }
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) &&
        (st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0)
        fprintf(stderr, "%s\n", kKeyShared);
    const size_t n = fread(key, 1, kKeyBufferSize - 1, f);
    fclose(f);
    if (n == 0) {
        free(key);
        reportKeyFailure(kKeyCannotRead);
        return nullptr;
    }
    /* The file holds the key and one final byte (normally a line end), which is dropped. A NUL
     * inside the key would cut it short, down to an empty key that turns signing off. */
    key[n - 1] = '\0';
    const bool holdsNul = strlen(key) != n - 1;
    if (holdsNul) {
        secure_wipe(key, kKeyBufferSize);
        free(key);
        reportKeyFailure(kKeyHoldsNul);
        return nullptr;
    }
    return key;
}

/* Reads the merchant key, hands it to `transaction`, then wipes it. Returns false when the key
 * file cannot be used (errorString says why). */
template <class Transaction> static bool withMerchantKey(const char *keyFile, Transaction transaction)
{
    char *key = GetMerchantKey(keyFile);
    if (key == nullptr)
        return false;
    transaction(reinterpret_cast<const unsigned char *>(key), static_cast<unsigned int>(strlen(key)));
    secure_wipe(key, kKeyBufferSize);
    free(key);
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

/* The lines of a transaction the library ran: cards, fields, the two authorization lines under
 * the mode's own keys, and the return code. Releases the card list. */
static unsigned int printTransaction(char *cardList, unsigned int cardCount,
                                     const TransactionRecord &rec, const char *dateTimeKey,
                                     const char *numberKey, unsigned int rc)
{
    for (unsigned int i = 0; cardList != nullptr && i < cardCount; i++)
        outValue("Card", cardList + static_cast<size_t>(i) * QZ_CARD_ENTRY_SIZE);
    printRequestFields(rec);
    outValue(dateTimeKey, rec.AuthorizationDateTime);
    outValue(numberKey, rec.AuthorizationNumber);
    free(cardList);
    return outReturnCode(rc);
}

template <size_t N> static void presetUnknown(char (&slot)[N])
{
    const size_t n = (N - 1 < sizeof kUnknown - 1) ? N - 1 : sizeof kUnknown - 1;
    memcpy(slot, kUnknown, n);
    slot[n] = '\0';
}

unsigned int processPayTransaction(const char *authString, const char *url, const char *timeout,
                                   const char *proxyHost, const char *proxyPort,
                                   const char *keyFile)
{
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

    unsigned int cardCount = 0;
    char *cardList = nullptr;
    unsigned int rc = 0;
    const bool ran = withMerchantKey(keyFile, [&](const unsigned char *key, unsigned int keyLen) {
        rc = QZProcessPayTransaction(authString, static_cast<unsigned int>(strlen(authString)), url,
                                     &rec, &cardCount, &cardList, timeoutFromText(timeout), key,
                                     keyLen, proxyHost, portFromText(proxyPort));
    });
    if (!ran)
        return printFrontEndFailure();
    return printTransaction(cardList, cardCount, rec, "PayAuthorizationDateTime",
                            "PayAuthorizationNumber", rc);
}

unsigned int processPreAuth(const char *authString, const char *url, const char *timeout,
                            const char *proxyHost, const char *proxyPort, const char *keyFile,
                            const char *expiryDays)
{
    if (expiryDays == nullptr || expiryDays[0] == '\0') {
        errorString = kExpiryMissing;
        return printFrontEndFailure();
    }
    const long days = static_cast<long>(decimalClamped(expiryDays, LONG_MIN, LONG_MAX));
    if (days > kMaxExpiryDays) {
        errorString = kExpiryTooFar;
        return printFrontEndFailure();
    }
    /* Like the other expiry checks, a date that cannot be computed is reported before the key
     * file is looked at. */
    char *expiry = CalculateExpirationDate(days);
    if (expiry == nullptr)
        return printFrontEndFailure();

    TransactionRecord rec;
    memset(&rec, 0, sizeof rec);
    unsigned int cardCount = 0;
    char *cardList = nullptr;
    unsigned int rc = 0;
    const bool ran = withMerchantKey(keyFile, [&](const unsigned char *key, unsigned int keyLen) {
        rc = QZProcessPreAuthorization(authString, static_cast<unsigned int>(strlen(authString)),
                                       expiry, url, &rec, &cardCount, &cardList,
                                       timeoutFromText(timeout), key, keyLen, proxyHost,
                                       portFromText(proxyPort));
    });
    free(expiry);
    if (!ran)
        return printFrontEndFailure();
    return printTransaction(cardList, cardCount, rec, "PreAuthDateTime", "QZAuthorizationNumber",
                            rc);
}
