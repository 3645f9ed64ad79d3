/* SPDX-License-Identifier: Apache-2.0 */
/* Small helpers of the network layer, shared with the transport in lib/: private copies of texts,
 * a clock for time-outs that wall-clock changes cannot stretch or cut short, deadlines on that
 * clock, and system error texts that are safe to build from several threads at once.
 */
#ifndef VEMRICK_NETUTIL_H
#define VEMRICK_NETUTIL_H

#include <dlfcn.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

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

/* A deadline on the monotonic clock; kNoDeadline never comes. */
const long long kNoDeadline = LLONG_MAX;

/* The deadline ms milliseconds from now; kNoDeadline for a negative ms. */
inline long long deadlineIn(long long ms)
{
    return ms < 0 ? kNoDeadline : monotonicMs() + ms;
}

/* Milliseconds left until deadline: -1 for kNoDeadline (wait without limit), 0 once it has passed,
 * at most INT_MAX. */
inline long msLeft(long long deadline)
{
    if (deadline == kNoDeadline)
        return -1;
    const long long left = deadline - monotonicMs();
    return left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<long>(left));
}

/* A duration for cause texts: "2 s", "0.25 s". */
inline std::string secondsText(long ms)
{
    std::string s = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        const std::string frac = std::to_string(1000 + ms % 1000); /* "1250" for 250 ms */
        s += "." + frac.substr(1, frac.find_last_not_of('0'));
    }
    return s + " s";
}

/* "connection refused" for ECONNREFUSED: the system's text with a lower-case first letter. */
inline std::string errorText(int err)
{
    char buf[128] = "";
    /* strerror_r comes in two flavours; both are served, and neither shares a buffer. */
    struct Pick {
        static const char *text(int rc, const char *b) { return rc == 0 ? b : "unknown error"; }
        static const char *text(const char *r, const char *) { return r; }
    };
    std::string s = Pick::text(strerror_r(err, buf, sizeof buf), buf);
    if (!s.empty() && s[0] >= 'A' && s[0] <= 'Z' && (s.size() < 2 || s[1] < 'A' || s[1] > 'Z'))
        s[0] = static_cast<char>(s[0] - 'A' + 'a');
    return s;
}

/* Opens the shared library `name` (of the system, never unloaded). Returns its handle, or null
 * with *error "cannot load NAME<purpose>: why". */
inline void *openLibrary(const char *name, const char *purpose, std::string *error)
{
    void *handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        *error = std::string("cannot load ") + name + purpose + ": " +
                 (why != nullptr ? why : "not found");
    }
    return handle;
}

/* Looks symbol up in the library `handle` opened as `name` into *function; the first one missing
 * sets *error to "NAME lacks SYMBOL". */
template <class Function>
void findSymbol(void *handle, const char *name, const char *symbol, Function *function,
                std::string *error)
{
    *function = reinterpret_cast<Function>(dlsym(handle, symbol));
    if (*function == nullptr && error->empty())
        *error = std::string(name) + " lacks " + symbol;
}

} // namespace netutil

#endif
