#include "tool.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

Journal::Journal(const char *path)
    : fd_(path == nullptr ? -1 : open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600)),
      wanted_(path != nullptr)
{
}

Journal::~Journal()
{
    if (fd_ >= 0)
        close(fd_);
}

bool Journal::append(const char *mode, const std::string &members)
{
    if (!wanted_)
        return true;
    char when[32];
    const time_t now = time(nullptr);
    struct tm utc;
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&now, &utc));
    const std::string line = "{\"time\":\"" + std::string(when) + "\",\"mode\":\"" + mode + "\"," +
                             members + "}\n";
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

std::string jsonMember(const char *name, const char *value)
{
    return jsonString(name, strlen(name)) + ":" + jsonString(value, strlen(value));
}
