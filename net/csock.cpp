#include "csock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
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
 * reports). Returns 1 when ready, 0 on time-out, -1 on error. An interrupted wait is an error. */
int waitFor(int fd, short events, long ms)
{
    struct pollfd p;
    p.fd = fd;
    p.events = events;
    p.revents = 0;
    int limit = ms < 0 ? -1 : (ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
    int r = poll(&p, 1, limit);
    if (r < 0)
        return -1;
    if (r == 0)
        return 0;
    if (p.revents & POLLNVAL)
        return -1;
    return 1;
}

/* Dotted IPv4 text first, without a lookup; otherwise the first IPv4 address of the name. */
int resolveIPv4(const char *host, struct in_addr *out)
{
    if (inet_pton(AF_INET, host, out) == 1)
        return 1;
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr)
        return 0;
    int found = 0;
    for (struct addrinfo *a = list; a != nullptr && !found; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr != nullptr &&
            a->ai_addrlen >= static_cast<socklen_t>(sizeof(struct sockaddr_in))) {
            *out = reinterpret_cast<const struct sockaddr_in *>(a->ai_addr)->sin_addr;
            found = 1;
        }
    }
    freeaddrinfo(list);
    return found;
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
    if (fd_ != -1)
        return 0;
    if (host_ == nullptr || port_ == 0)
        return 0;

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    fd_ = fd;
    /* The library's socket is no business of a program this process may start. */
    int fdFlags = fcntl(fd_, F_GETFD);
    if (fdFlags >= 0)
        fcntl(fd_, F_SETFD, fdFlags | FD_CLOEXEC);

    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_);
    if (!resolveIPv4(host_.get(), &addr.sin_addr)) {
        SocketDisconnect();
        return 0;
    }

    if (!SetNonBlockConnect(1))
        return 0;

    int connected = 0;
    if (connect(fd_, reinterpret_cast<const struct sockaddr *>(&addr), sizeof addr) == 0) {
        connected = 1;
    } else if (errno == EINPROGRESS || errno == EINTR) {
        if (waitFor(fd_, POLLOUT, connectTimeoutMs_) == 1) {
            /* Writable also means "failed": the pending error tells which. */
            int pending = 0;
            socklen_t len = sizeof pending;
            if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &pending, &len) == 0 && pending == 0)
                connected = 1;
        }
    }
    SetNonBlockConnect(0);
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
    if (fd_ == -1 || buf == nullptr || count == 0)
        return CSOCK_SEND_ERROR;
#if LONG_MAX < UINT_MAX
    if (count > static_cast<unsigned long>(LONG_MAX))
        return CSOCK_SEND_ERROR;
#endif
    long waitMs = secondsToMs(timeoutSeconds);
    unsigned int total = 0;
    /* Each round either hands over at least one byte or waits (bounded) for room, so a peer that
     * stops reading cannot block the call beyond the time-out. */
    while (total < count) {
        unsigned int chunk = count - total;
        if (chunk > kMaxChunk)
            chunk = kMaxChunk;
        ssize_t n = send(fd_, buf + total, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            total += static_cast<unsigned int>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int ready = waitFor(fd_, POLLOUT, waitMs);
            if (ready < 0)
                return CSOCK_SEND_ERROR;
            if (ready == 0)
                return CSOCK_TIMEOUT;
            continue;
        }
        return CSOCK_SEND_ERROR;
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
    int ready = waitFor(fd_, POLLIN, timeoutMs);
    if (ready < 0)
        return CSOCK_RECV_ERROR;
    if (ready == 0)
        return CSOCK_TIMEOUT;
    unsigned int want = capacity > kMaxChunk ? kMaxChunk : capacity;
    ssize_t n = recv(fd_, buf, want, MSG_DONTWAIT);
    if (n > 0)
        return static_cast<long>(n);
    if (n == 0)
        return CSOCK_CLOSED;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return CSOCK_TIMEOUT;
    return CSOCK_RECV_ERROR;
}
