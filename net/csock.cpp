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
                         nullptr, &addresses, &cause) != netaddr::RESOLVE_OK)
        return 0;
    return ConnectAddresses(addresses, netutil::msLeft(deadline));
}

int CSock::ConnectAddresses(const netaddr::AddressList &addresses, long timeoutMs,
                            std::string *cause, std::string *connectedTo)
{
    if (fd_ != -1 || addresses.empty())
        return 0;
    const long long deadline = netutil::deadlineIn(timeoutMs);
    std::string why;
    for (size_t i = 0; i < addresses.size() && i < netaddr::kMaxAddresses; i++) {
        if (i > 0)
            SocketDisconnect(); /* only the last failed attempt keeps its socket */
        if (connectOne(addresses[i], deadline, timeoutMs, &why)) {
            if (connectedTo != nullptr)
                *connectedTo = netaddr::EndpointText(addresses[i]);
            return 1;
        }
    }
    if (cause != nullptr)
        *cause = why;
    return 0;
}

/* One attempt; the socket stays recorded whatever the outcome, so that the caller decides. */
int CSock::connectOne(const netaddr::Address &address, long long deadline, long stepMs,
                      std::string *why)
{
    const std::string where = netaddr::EndpointText(address);
    const int fd = socket(address.storage.ss_family, SOCK_STREAM, 0);
    if (fd < 0) {
        *why = where + ": " + netutil::errorText(errno);
        return 0;
    }
    fd_ = fd;
    /* The library's socket is no business of a program this process may start. */
    const int fdFlags = fcntl(fd_, F_GETFD);
    if (fdFlags >= 0)
        fcntl(fd_, F_SETFD, fdFlags | FD_CLOEXEC);
    if (!SetNonBlockConnect(1)) {
        *why = where + ": " + netutil::errorText(errno);
        return 0;
    }

    int connected = 0, err = 0;
    if (connect(fd_, reinterpret_cast<const struct sockaddr *>(&address.storage), address.length) ==
        0) {
        connected = 1;
    } else if (errno == EINPROGRESS || errno == EINTR) {
        const int ready = waitFor(fd_, POLLOUT, netutil::msLeft(deadline));
        if (ready == 1) {
            /* Writable also means "failed": the pending error tells which. */
            socklen_t len = sizeof err;
            if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
            connected = err == 0;
        } else if (ready == 0) {
            *why = where + ": no answer within " + netutil::secondsText(stepMs);
            SetNonBlockConnect(0);
            return 0;
        } else {
            err = errno;
        }
    } else {
        err = errno;
    }
    SetNonBlockConnect(0);
    if (!connected)
        *why = where + ": " + netutil::errorText(err);
    return connected;
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
