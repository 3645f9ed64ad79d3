/* Two small helpers of the network layer, shared with the transport in lib/: private copies of
 * texts and a clock for time-outs that wall-clock changes cannot stretch or cut short.
 */
#ifndef VEMRICK_NETUTIL_H
#define VEMRICK_NETUTIL_H

#include <cstring>
#include <ctime>
#include <memory>

namespace netutil {

/* A copy of text with its terminator; null for a null or empty text. */
inline std::unique_ptr<char[]> copyText(const char *text)
{
    if (text == nullptr || text[0] == '\0')
        return nullptr;
    const size_t n = strlen(text) + 1;
    std::unique_ptr<char[]> copy(new char[n]);
    memcpy(copy.get(), text, n);
    return copy;
}

/* Milliseconds on the monotonic clock: only differences between two readings mean anything. */
inline long long monotonicMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace netutil

#endif
