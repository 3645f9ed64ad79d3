/* SPDX-License-Identifier: Apache-2.0 */
#include "csock.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <vector>

namespace {

const long kMaxMs = 2147483647L; /* the largest signed 32-bit millisecond count */
const long kMinMs = -kMaxMs - 1;

/* The most bytes handed to one send or recv call, so that the result fits every ssize_t. */
const unsigned int kMaxChunk = 0x7fffffffu;

long secondsToMs(long seconds)
{
    if (seconds > kMaxMs / 1000)
        return kMaxMs;
    if (seconds < kMinMs / 1000)
        return kMinMs;
    return seconds * 1000;
}

/* Waits until fd reports one of events (or an error condition, which the following call then
 * reports). Returns 1 when ready, 0 on time-out, -1 on error. A wait interrupted by a signal goes
 * on for the time left. */
int waitFor(int fd, short events, long ms)
{
    const long long deadline = netutil::deadlineIn(ms);
    for (;;) {
        struct pollfd p;
        p.fd = fd;
        p.events = events;
        p.revents = 0;
        const int r = poll(&p, 1, static_cast<int>(netutil::msLeft(deadline)));
        if (r < 0 && errno == EINTR && netutil::msLeft(deadline) != 0)
            continue;
        if (r < 0)
            return errno == EINTR ? 0 : -1;
        if (r == 0)
            return 0;
        return (p.revents & POLLNVAL) ? -1 : 1;
    }
}

} // namespace

CSock::CSock(int fd) : fd_(fd < 0 ? -1 : fd) {}

CSock::CSock(const char *host, unsigned short port) : host_(netutil::copyText(host)), port_(port) {}

void CSock::SetConnectTimeout(long seconds)
{
    connectTimeoutMs_ = static_cast<int>(secondsToMs(seconds));
}

int CSock::SocketConnect(const char *host, unsigned short port)
{
    if (host != nullptr && host[0] != '\0')
        SetHost(host);
    if (port != 0)
        port_ = port;
    if (fd_ != -1 || host_ == nullptr || port_ == 0)
        return 0;
    netaddr::AddressList addresses;
    std::string cause;
    const long long deadline = netutil::deadlineIn(connectTimeoutMs_);
    if (netaddr::Resolve(host_.get(), port_, connectTimeoutMs_ > 0 ? connectTimeoutMs_ : -1,
                         &addresses, &cause) != netaddr::RESOLVE_OK)
        return 0;
    return ConnectAddresses(addresses, netutil::msLeft(deadline));
}

namespace {

/* The sockets of the attempts of one connect step, closed when the step ends except the one it
 * keeps; an exception (no memory for a cause text) closes them all. */
class Attempts {
public:
    explicit Attempts(size_t count) : fds_(count, -1) {}
    ~Attempts()
    {
        for (int fd : fds_)
            if (fd != -1)
                close(fd);
    }
    Attempts(const Attempts &) = delete;
    Attempts &operator=(const Attempts &) = delete;

    int &operator[](size_t i) { return fds_[i]; }
    /* Hands over attempt i's socket, which then stays open. */
    int keep(size_t i)
    {
        const int fd = fds_[i];
        fds_[i] = -1;
        return fd;
    }

private:
    std::vector<int> fds_;
};

/* Starts a connection to address on a new non-blocking socket. Returns 1 when it connected at
 * once, 0 while it is under way, -1 when it failed (*err set). *fd is the socket, or -1. */
int startAttempt(const netaddr::Address &address, int *fd, int *err)
{
    *fd = socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (*fd < 0) {
        *err = errno;
        return -1;
    }
    if (connect(*fd, reinterpret_cast<const struct sockaddr *>(&address.storage),
                address.length) == 0)
        return 1;
    *err = errno;
    return *err == EINPROGRESS || *err == EINTR ? 0 : -1;
}

} // namespace

/* Attempts start in the interleaved order, the next one kAttemptDelayMs after the previous one or
 * as soon as every running attempt has failed; each is watched until the deadline, and the first
 * to connect wins. An address that never answers thus costs the others no more than the delay. */
int CSock::ConnectAddresses(const netaddr::AddressList &addresses, long timeoutMs,
                            std::string *cause, std::string *connectedTo)
{
    if (fd_ != -1 || addresses.empty())
        return 0;
    const long long deadline = netutil::deadlineIn(timeoutMs);
    const netaddr::AddressList order = netaddr::Interleave(addresses);
    Attempts fds(order.size());
    std::vector<std::string> why(order.size()); /* per attempt that failed */
    std::vector<size_t> running;                /* attempts under way, by index */
    size_t started = 0, winner = order.size();
    long long nextStart = 0;
    while (winner == order.size()) {
        /* Start the next attempt when it is due, or at once when nothing is under way. */
        while (started < order.size() &&
               (running.empty() || netutil::monotonicMs() >= nextStart) &&
               (started == 0 || netutil::msLeft(deadline) != 0)) {
            const size_t i = started++;
            int err = 0;
            const int r = startAttempt(order[i], &fds[i], &err);
            if (r == 1) {
                winner = i;
                break;
            }
            if (r < 0) {
                why[i] = netutil::errorText(err);
                continue;
            }
            running.push_back(i);
            nextStart = netutil::monotonicMs() + kAttemptDelayMs;
        }
        if (winner != order.size() || running.empty())
            break;
        long waitMs = netutil::msLeft(deadline);
        if (started < order.size()) {
            const long long toNext = nextStart - netutil::monotonicMs();
            const long untilNext = toNext < 0 ? 0 : static_cast<long>(toNext);
            if (waitMs < 0 || untilNext < waitMs)
                waitMs = untilNext;
        }
        std::vector<struct pollfd> waits(running.size());
        for (size_t k = 0; k < running.size(); k++)
            waits[k] = {fds[running[k]], POLLOUT, 0};
        const int ready = poll(waits.data(), waits.size(), static_cast<int>(waitMs));
        if (ready < 0 && errno != EINTR) {
            const std::string text = netutil::errorText(errno);
            for (size_t i : running)
                why[i] = text;
            running.clear();
            break;
        }
        std::vector<size_t> still;
        for (size_t k = 0; k < running.size(); k++) {
            const size_t i = running[k];
            if (ready <= 0 || waits[k].revents == 0) {
                still.push_back(i);
                continue;
            }
            /* Writable also means "failed": the pending error tells which. */
            int err = 0;
            socklen_t len = sizeof err;
            if (getsockopt(fds[i], SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
            if (err == 0 && winner == order.size())
                winner = i;
            else if (err != 0)
                why[i] = netutil::errorText(err);
            else
                still.push_back(i);
        }
        if (still.size() < running.size() && winner == order.size())
            nextStart = 0; /* an attempt failed: the next one need not wait */
        running.swap(still);
        if (winner == order.size() && netutil::msLeft(deadline) == 0)
            break;
    }

    if (winner != order.size()) {
        fd_ = fds.keep(winner);
        SetNonBlockConnect(0);
        if (connectedTo != nullptr)
            *connectedTo = netaddr::EndpointText(order[winner]);
        return 1;
    }
    if (cause != nullptr) {
        std::string text, silent;
        for (size_t i = 0; i < started; i++) {
            const std::string where = netaddr::EndpointText(order[i]);
            if (!why[i].empty())
                text += (text.empty() ? "" : "; ") + where + ": " + why[i];
            else
                silent += (silent.empty() ? "" : ", ") + where;
        }
        if (!silent.empty())
            text += (text.empty() ? "" : "; ") + silent + ": no answer within " +
                    netutil::secondsText(timeoutMs);
        if (started < order.size())
            text += "; " + std::to_string(order.size() - started) + " more not tried in time";
        *cause = text;
    }
    /* As with a single address, the last attempt's socket stays recorded until disconnected. */
    for (size_t i = started; i-- > 0;)
        if (fds[i] != -1) {
            fd_ = fds.keep(i);
            SetNonBlockConnect(0);
            break;
        }
    return 0;
}

int CSock::SetNonBlockConnect(int on)
{
    if (fd_ == -1)
        return 0;
    int flags = fcntl(fd_, F_GETFL);
    if (flags < 0)
        return 0;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(fd_, F_SETFL, flags) >= 0 ? 1 : 0;
}

int CSock::SocketDisconnect()
{
    if (fd_ == -1)
        return 0;
    close(fd_);
    fd_ = -1;
    return 1;
}

long CSock::Send(const unsigned char *buf, unsigned int count, long timeoutSeconds) const
{
    return sendWithin(buf, count, secondsToMs(timeoutSeconds), netutil::kNoDeadline, nullptr);
}

long CSock::SendMs(const unsigned char *buf, unsigned int count, long timeoutMs,
                   unsigned int *handedOver) const
{
    return sendWithin(buf, count, timeoutMs, netutil::deadlineIn(timeoutMs), handedOver);
}

long CSock::sendWithin(const unsigned char *buf, unsigned int count, long perWaitMs,
                       long long deadline, unsigned int *handedOver) const
{
    unsigned int total = 0;
    if (handedOver != nullptr)
        *handedOver = 0;
    if (fd_ == -1 || buf == nullptr || count == 0)
        return CSOCK_SEND_ERROR;
#if LONG_MAX < UINT_MAX
    if (count > static_cast<unsigned long>(LONG_MAX))
        return CSOCK_SEND_ERROR;
#endif
    /* Each round either hands over at least one byte or waits (bounded) for room, so a peer that
     * stops reading cannot block the call beyond the time-out. */
    long result = CSOCK_SEND_ERROR;
    while (total < count) {
        unsigned int chunk = count - total;
        if (chunk > kMaxChunk)
            chunk = kMaxChunk;
        const ssize_t n = send(fd_, buf + total, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            total += static_cast<unsigned int>(n);
            if (handedOver != nullptr)
                *handedOver = total;
            continue;
        }
        /* Interrupted before any byte went: again, as long as the deadline allows. */
        if (n < 0 && errno == EINTR) {
            if (netutil::msLeft(deadline) != 0)
                continue;
            return CSOCK_TIMEOUT;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            long waitMs = netutil::msLeft(deadline);
            if (waitMs < 0 || (perWaitMs >= 0 && perWaitMs < waitMs))
                waitMs = perWaitMs;
            const int ready = waitFor(fd_, POLLOUT, waitMs);
            if (ready > 0)
                continue;
            result = ready == 0 ? CSOCK_TIMEOUT : CSOCK_SEND_ERROR;
        }
        return result;
    }
    return static_cast<long>(total);
}

long CSock::Recv(unsigned char *buf, unsigned int capacity, long timeoutSeconds)
{
    return RecvMs(buf, capacity, secondsToMs(timeoutSeconds));
}

long CSock::RecvMs(unsigned char *buf, unsigned int capacity, long timeoutMs)
{
    if (fd_ == -1 || buf == nullptr || capacity == 0)
        return CSOCK_RECV_ERROR;
    const long long deadline = netutil::deadlineIn(timeoutMs);
    const unsigned int want = capacity > kMaxChunk ? kMaxChunk : capacity;
    /* A readiness that yields nothing (EAGAIN) or an interrupted read waits again for the time
     * left: only the deadline ends the wait. */
    for (;;) {
        const int ready = waitFor(fd_, POLLIN, netutil::msLeft(deadline));
        if (ready < 0)
            return CSOCK_RECV_ERROR;
        if (ready == 0)
            return CSOCK_TIMEOUT;
        const ssize_t n = recv(fd_, buf, want, MSG_DONTWAIT);
        if (n > 0)
            return static_cast<long>(n);
        if (n == 0)
            return CSOCK_CLOSED;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return CSOCK_RECV_ERROR;
        if (netutil::msLeft(deadline) == 0)
            return CSOCK_TIMEOUT;
    }
}
