/* SPDX-License-Identifier: Apache-2.0 */
/* The log file: its name, which every transaction sets, and appending to it, which no payment
 * does. */
#include "qzutil.h"

#include <cstdio>
#include <cstring>

QZLogFileName QZUtil::LOGFILE("logfile.log");

QZLogFileName &QZLogFileName::operator=(const char *name)
{
    if (name_.load(std::memory_order_relaxed) != name)
        name_.store(name, std::memory_order_release);
    return *this;
}

void QZUtil::SendToLogFile(const char *text, long length, const char *path)
{
    if (text == nullptr || text[0] == '\0' || path == nullptr)
        return;
    FILE *f = fopen(path, "a");
    if (f == nullptr)
        return;
    const size_t count = length > 0 ? static_cast<size_t>(length) : strlen(text);
    fwrite(text, 1, count, f);
    fclose(f);
}
