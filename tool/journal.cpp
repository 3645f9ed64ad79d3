/* SPDX-License-Identifier: Apache-2.0 */
#include "tool.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Journal::Journal(const char *path) : wanted_(path != nullptr)
{
    if (!wanted_)
        return;
    fd_ = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd_ < 0) {
        openError_ = strerror(errno);
        return;
    }
    struct stat st;
    const int flags = fcntl(fd_, F_GETFL);
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
        fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        openError_ = "not a regular file";
        close(fd_);
        fd_ = -1;
        return;
    }
    if ((st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0)
        fprintf(stderr, "vemrick: warning: journal is accessible by others (chmod 600)\n");
}

Journal::~Journal()
{
    if (fd_ >= 0)
        close(fd_);
}

bool Journal::append(const char *mode, const std::string &members, std::string *why)
{
    if (!wanted_)
        return true;
    if (fd_ < 0) {
        *why = openError_;
        return false;
    }
    char when[32];
    const time_t now = time(nullptr);
    struct tm utc;
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&now, &utc));
    const std::string line = "{\"time\":\"" + std::string(when) + "\",\"mode\":\"" + mode + "\"," +
                             members + "}\n";
    struct stat before;
    if (fstat(fd_, &before) != 0) {
        *why = strerror(errno);
        return false;
    }
    ssize_t n;
    do
        n = write(fd_, line.data(), line.size());
    while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(line.size())) {
        *why = n < 0 ? strerror(errno)
                     : "only " + std::to_string(n) + " of " + std::to_string(line.size()) +
                           " bytes could be written";
        if (n > 0 && ftruncate(fd_, before.st_size) != 0)
            *why += std::string(", and the part written stays: ") + strerror(errno);
        return false;
    }
    if (fsync(fd_) != 0) {
        *why = strerror(errno);
        return false;
    }
    return true;
}

std::string jsonMember(const char *name, const char *value)
{
    return jsonString(name, strlen(name)) + ":" + jsonString(value, strlen(value));
}
