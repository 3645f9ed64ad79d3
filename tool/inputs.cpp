/* SPDX-License-Identifier: Apache-2.0 */
#include "tool.h"

#include "qz_internal.h"
#include "qzutil.h"
#include "wipe.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

/* An AuthString read from standard input: a pay request is at most about 14 KiB of base64. */
static const size_t kMaxStdinAuthString = 64 * 1024;
static const int kDefaultTimeout = 30;
static const long kMaxExpiryDays = 90;
/* A proxy port that no port can be: the transport refuses it (1002) instead of going direct. */
static const unsigned int kBadProxyPort = 65536;

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

int timeoutFromText(const char *text)
{
    const long long t = decimalClamped(text, INT_MIN, INT_MAX);
    return t < 1 ? kDefaultTimeout : static_cast<int>(t);
}

unsigned int portFromText(const char *text)
{
    const long long p = decimalClamped(text, -1, kBadProxyPort);
    return p < 0 ? kBadProxyPort : static_cast<unsigned int>(p);
}

const char *readMerchantKey(const char *path, int keyFd, int timeoutSeconds, unsigned char *key,
                            unsigned int *keyLen)
{
    int shared = 0;
    const int result = QZReadKeyFile(path, keyFd, key, keyLen, &shared, timeoutSeconds);
    if (shared)
        fprintf(stderr, "vemrick: warning: %s\n", QZKeyFileText(QZ_KEY_SHARED));
    if (result == QZ_KEY_READ && *keyLen == 0)
        fprintf(stderr, "vemrick: warning: no merchant key: the request is not signed and the "
                        "reply is not verified\n");
    return result == QZ_KEY_READ ? nullptr : QZKeyFileText(result);
}

const char *readProxyCredentials(const char *path, char *buffer)
{
    static const size_t kMaxLine = PROXY_USER_BUFFER_SIZE - 3;
    memset(buffer, 0, PROXY_USER_BUFFER_SIZE);
    FILE *f = fopen(path, "rb");
    if (f == nullptr)
        return "Unable to open proxy user file";
    /* Unbuffered: stdio's own buffer would keep a copy of the password that nothing wipes. */
    setvbuf(f, nullptr, _IONBF, 0);
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) &&
        (st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0)
        fprintf(stderr, "vemrick: warning: proxy user file is accessible by others (chmod 600)\n");
    const size_t n = fread(buffer, 1, PROXY_USER_BUFFER_SIZE - 1, f);
    const bool readFailed = ferror(f) != 0;
    fclose(f);
    const char *lf = static_cast<const char *>(memchr(buffer, '\n', n));
    size_t line = lf != nullptr ? static_cast<size_t>(lf - buffer) : n;
    const bool ended = lf != nullptr || n < PROXY_USER_BUFFER_SIZE - 1; /* the line is all there */
    if (line > 0 && buffer[line - 1] == '\r')
        line--;
    bool control = false; /* a NUL or a line end inside would cut or split the header */
    for (size_t i = 0; i < line; i++)
        control |= static_cast<unsigned char>(buffer[i]) < 0x20 || buffer[i] == 0x7f;
    const bool wellFormed = !readFailed && ended && line <= kMaxLine && !control &&
                            memchr(buffer, ':', line) != nullptr;
    secure_wipe(buffer + line, PROXY_USER_BUFFER_SIZE - line);
    if (wellFormed)
        return nullptr;
    secure_wipe(buffer, PROXY_USER_BUFFER_SIZE);
    return readFailed ? "Unable to read proxy user file"
                      : "Proxy user file holds no user:password line (at most 1024 bytes, no "
                        "control characters)";
}

const char *checkTlsFiles(const Options &options)
{
    nettls::Setup tls;
    tls.caFile = options.caFile;
    tls.certFile = options.certFile;
    tls.keyFile = options.certKeyFile;
    std::string cause;
    const int fault = QZUtil::CheckTlsFiles(tls, &cause);
    if (fault == nettls::FILES_OK) {
        const char *keyFile =
            options.certKeyFile != nullptr ? options.certKeyFile : options.certFile;
        struct stat st;
        if (keyFile != nullptr && stat(keyFile, &st) == 0 && S_ISREG(st.st_mode) &&
            (st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0)
            fprintf(stderr, "vemrick: warning: client certificate key file is accessible by "
                            "others (chmod 600)\n");
        return nullptr;
    }
    fprintf(stderr, "vemrick: %s\n", cause.c_str());
    return fault == nettls::FILES_CA ? "Unable to read CA file" : "Unable to read client certificate";
}

unsigned int readAuthString(const char *word, int timeoutSeconds, std::string *out,
                            QZCallReport *why)
{
    if (strcmp(word, "-") != 0) {
        *out = word;
        return QZ_OK;
    }
    /* One buffer of the largest size: growing it would leave copies behind in freed memory. */
    out->resize(kMaxStdinAuthString + 1);
    size_t n = 0;
    const ReadEnd end = ReadWithin(STDIN_FILENO, reinterpret_cast<unsigned char *>(&(*out)[0]),
                                   out->size(), timeoutSeconds, &n);
    const int readError = errno;
    out->resize(n);
    if (end != READ_ENDED) {
        *why = QZCallReport{0, "", ""};
        snprintf(why->phase, sizeof why->phase, "%s", end == READ_FULL ? "request" : "arguments");
        if (end == READ_FULL)
            snprintf(why->cause, sizeof why->cause,
                     "the AuthString on standard input is longer than 64 KiB");
        else if (end == READ_TIMED_OUT)
            snprintf(why->cause, sizeof why->cause, "standard input did not end within %d s",
                     timeoutSeconds);
        else
            snprintf(why->cause, sizeof why->cause, "standard input could not be read: %s",
                     strerror(readError));
        return end == READ_FULL ? QZ_BAD_REQUEST : QZ_BAD_ARGUMENTS;
    }
    const char *blanks = " \t\r\n\v\f";
    out->erase(0, out->find_first_not_of(blanks));
    out->erase(out->find_last_not_of(blanks) + 1);
    return QZ_OK;
}

const char *expiryDate(const char *expiryDays, char *date)
{
    if (expiryDays == nullptr || expiryDays[0] == '\0')
        return "Expire Days is NULL";
    const long days = static_cast<long>(decimalClamped(expiryDays, LONG_MIN, LONG_MAX));
    if (days > kMaxExpiryDays)
        return "Expire Days is two large (max 90 days)";
    if (QZExpiryDate(time(nullptr), days, date) != QZ_OK)
        return "Expire Days gives a date outside the years 0001 to 9999";
    return nullptr;
}
