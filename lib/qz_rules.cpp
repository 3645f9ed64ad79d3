#include "vemrick.h"

#include "wipe.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

int QZReadKeyFile(const char *path, int fd, unsigned char *key, unsigned int *keyLen, int *shared)
{
    if (shared != nullptr)
        *shared = 0;
    *keyLen = 0;
    memset(key, 0, QZ_KEY_BUFFER_SIZE);
    FILE *f = fd >= 0 ? fdopen(fd, "rb") : fopen(path, "rb");
    if (f == nullptr) {
        const int why = errno;
        if (fd >= 0)
            close(fd);
        errno = why;
        return QZ_KEY_CANNOT_OPEN;
    }
    struct stat st;
    if (shared != nullptr && fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) &&
        (st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0)
        *shared = 1;
    errno = 0;
    const size_t n = fread(key, 1, QZ_KEY_BUFFER_SIZE - 1, f);
    /* A read error leaves part of the key, maybe only its first byte: an empty key, which turns
     * signing off, or a wrong one. */
    const bool readFailed = n == 0 || ferror(f) != 0;
    const int why = errno;
    fclose(f);
    /* The file holds the key and one final byte (normally a line end), which is dropped. */
    const bool holdsNul = !readFailed && (key[n - 1] = '\0', strlen(reinterpret_cast<char *>(key)) != n - 1);
    if (readFailed || holdsNul) {
        secure_wipe(key, QZ_KEY_BUFFER_SIZE);
        errno = why;
        return readFailed ? QZ_KEY_CANNOT_READ : QZ_KEY_HOLDS_NUL;
    }
    *keyLen = static_cast<unsigned int>(n - 1);
    return QZ_KEY_READ;
}

const char *QZKeyFileText(int result)
{
    static const char *const texts[] = {
        "", "Unable to open Merchant Key File", "Unable to read Merchant Key File",
        "Merchant Key File holds a NUL byte",
        "Merchant Key File is accessible by others (chmod 600)"};
    return result >= 0 && result <= QZ_KEY_SHARED ? texts[result] : "";
}

unsigned int QZExpiryDate(int64_t now, long days, char *out)
{
    /* Whole days are added to the local date at noon in UTC arithmetic (timegm), where no
     * clock change can move the result into another day. */
    const time_t when = static_cast<time_t>(now);
    struct tm local, date;
    if (out == nullptr || localtime_r(&when, &local) == nullptr || days > INT_MAX - 31 ||
        days < INT_MIN + 31)
        return QZ_BAD_ARGUMENTS;
    memset(&date, 0, sizeof date);
    date.tm_year = local.tm_year;
    date.tm_mon = local.tm_mon;
    date.tm_mday = local.tm_mday + static_cast<int>(days);
    date.tm_hour = 12;
    const time_t moved = timegm(&date);
    if (moved == static_cast<time_t>(-1) || gmtime_r(&moved, &date) == nullptr || date.tm_year < 1 - 1900 || date.tm_year > 9999 - 1900)
        return QZ_BAD_ARGUMENTS;
    char text[32];
    snprintf(text, sizeof text, "%04d%02d%02d", date.tm_year + 1900, date.tm_mon + 1, date.tm_mday);
    memcpy(out, text, 9);
    return QZ_OK;
}
