/* SPDX-License-Identifier: Apache-2.0 */
#include "vemrick.h"

#include "qz_internal.h"
#include "wipe.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

static long long monotonicMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

ReadEnd ReadWithin(int fd, unsigned char *buf, size_t limit, int timeoutSeconds, size_t *have)
{
    const long long end = timeoutSeconds > 0 ? monotonicMs() + timeoutSeconds * 1000LL : -1;
    *have = 0;
    while (*have < limit) {
        const long long left = end < 0 ? -1 : end - monotonicMs();
        if (end >= 0 && left <= 0)
            return READ_TIMED_OUT;
        struct pollfd in = {fd, POLLIN, 0};
        const int ready = poll(&in, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (ready < 0 && errno != EINTR)
            return READ_FAILED;
        if (ready <= 0)
            continue;
        const ssize_t n = read(fd, buf + *have, limit - *have);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0)
            return n < 0 ? READ_FAILED : READ_ENDED;
        *have += static_cast<size_t>(n);
    }
    return READ_FULL;
}

int QZReadKeyFile(const char *path, int fd, unsigned char *key, unsigned int *keyLen, int *shared,
                  int timeoutSeconds)
{
    if (shared != nullptr)
        *shared = 0;
    *keyLen = 0;
    memset(key, 0, QZ_KEY_BUFFER_SIZE);
    if (fd < 0)
        fd = path != nullptr ? open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    if (fd < 0)
        return QZ_KEY_CANNOT_OPEN;
    struct stat st;
    if (shared != nullptr && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        (st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0)
        *shared = 1;
    errno = 0;
    size_t n = 0;
    const ReadEnd end = ReadWithin(fd, key, QZ_KEY_BUFFER_SIZE - 1, timeoutSeconds, &n);
    /* A read error leaves part of the key, maybe only its first byte: an empty key, which turns
     * signing off, or a wrong one. */
    const bool readFailed = n == 0 || end == READ_TIMED_OUT || end == READ_FAILED;
    const int why = end == READ_TIMED_OUT ? ETIMEDOUT : end == READ_FAILED ? errno : 0;
    close(fd);
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
