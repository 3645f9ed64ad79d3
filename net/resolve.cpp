/* SPDX-License-Identifier: Apache-2.0 */
#include "resolve.h"

#include "netutil.h"

#include <ares.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace netaddr {

namespace {

/* The resolver's functions this file calls, found in libcares.so.2 at run time: a program that
 * never looks up a name (literal addresses) does not pay for loading it. */
#define VEMRICK_ARES_FUNCTIONS(X)                                                                  \
    X(ares_library_init)                                                                           \
    X(ares_init_options)                                                                           \
    X(ares_destroy)                                                                                \
    X(ares_set_socket_functions)                                                                   \
    X(ares_getaddrinfo)                                                                            \
    X(ares_freeaddrinfo)                                                                           \
    X(ares_getsock)                                                                                \
    X(ares_process_fd)                                                                             \
    X(ares_timeout)                                                                                \
    X(ares_strerror)

struct Library {
#define VEMRICK_ARES_MEMBER(name) decltype(&::name) name = nullptr;
    VEMRICK_ARES_FUNCTIONS(VEMRICK_ARES_MEMBER)
#undef VEMRICK_ARES_MEMBER
    bool loaded = false;
    std::string error; /* why it is not loaded */
};

const char kLibraryName[] = "libcares.so.2";

/* Loaded and initialised once, by the first thread that asks (the initialisation of a function's
 * static is thread-safe); read-only after that. The library stays loaded until the process ends,
 * and nothing of it runs between lookups. */
const Library &library()
{
    static const Library lib = [] {
        Library l;
        void *handle = netutil::openLibrary(kLibraryName, " for name lookups", &l.error);
        if (handle == nullptr)
            return l;
#define VEMRICK_ARES_LOOKUP(name) netutil::findSymbol(handle, kLibraryName, #name, &l.name, &l.error);
        VEMRICK_ARES_FUNCTIONS(VEMRICK_ARES_LOOKUP)
#undef VEMRICK_ARES_LOOKUP
        if (l.error.empty() && l.ares_library_init(ARES_LIB_INIT_ALL) != ARES_SUCCESS)
            l.error = std::string(kLibraryName) + " failed to initialise";
        l.loaded = l.error.empty();
        return l;
    }();
    return lib;
}

/* The resolver's sockets: close-on-exec from the start (a fork in another thread of the host
 * process must not inherit them), non-blocking, and never raising SIGPIPE. */
ares_socket_t openSocket(int family, int type, int protocol, void *)
{
    return socket(family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
}
int closeSocket(ares_socket_t fd, void *) { return close(fd); }
int connectSocket(ares_socket_t fd, const struct sockaddr *to, ares_socklen_t len, void *)
{
    return connect(fd, to, len);
}
ares_ssize_t receiveFrom(ares_socket_t fd, void *buf, size_t len, int flags,
                         struct sockaddr *from, ares_socklen_t *fromLen, void *)
{
    return recvfrom(fd, buf, len, flags, from, fromLen);
}
ares_ssize_t sendVector(ares_socket_t fd, const struct iovec *parts, int count, void *)
{
    struct msghdr m;
    memset(&m, 0, sizeof m);
    m.msg_iov = const_cast<struct iovec *>(parts);
    m.msg_iovlen = static_cast<size_t>(count);
    return sendmsg(fd, &m, MSG_NOSIGNAL);
}
const struct ares_socket_functions kSockets = {openSocket, closeSocket, connectSocket, receiveFrom,
                                               sendVector};

/* One lookup's answer, filled by the resolver's callback on the calling thread. */
struct Answer {
    bool done = false;
    int status = ARES_SUCCESS;
    bool noMemory = false;
    AddressList addresses;
};

void answered(void *arg, int status, int, struct ares_addrinfo *result)
{
    Answer *a = static_cast<Answer *>(arg);
    a->done = true;
    a->status = status;
    /* Called from the resolver's C code: nothing may be thrown through it. */
    try {
        for (const struct ares_addrinfo_node *n = result != nullptr ? result->nodes : nullptr;
             n != nullptr && a->addresses.size() < kMaxAddresses; n = n->ai_next) {
            if ((n->ai_family != AF_INET && n->ai_family != AF_INET6) || n->ai_addr == nullptr ||
                n->ai_addrlen > sizeof(struct sockaddr_storage))
                continue;
            Address address;
            memset(&address, 0, sizeof address);
            memcpy(&address.storage, n->ai_addr, n->ai_addrlen);
            address.length = n->ai_addrlen;
            a->addresses.push_back(address);
        }
    } catch (const std::bad_alloc &) {
        a->noMemory = true;
    }
    if (result != nullptr)
        library().ares_freeaddrinfo(result);
}

/* Ends the channel whatever way the lookup ends: a pending query is cancelled (its callback runs
 * now, on this thread) and every socket of the channel is closed. */
struct Channel {
    const Library &lib;
    ares_channel channel = nullptr;
    explicit Channel(const Library &l) : lib(l) {}
    ~Channel()
    {
        if (channel != nullptr)
            lib.ares_destroy(channel);
    }
};

/* Drives the lookup of name until it answers or deadline passes. Returns RESOLVE_OK with the
 * answer in *answer (its status may still be a failure), RESOLVE_TIMEOUT, or RESOLVE_FAILED with
 * *error set. */
int lookUp(const Library &lib, const std::string &name, long long deadline, Answer *answer,
           std::string *error)
{
    Channel ch(lib);
    struct ares_options options;
    memset(&options, 0, sizeof options);
    const int init = lib.ares_init_options(&ch.channel, &options, 0);
    if (init != ARES_SUCCESS) {
        ch.channel = nullptr;
        *error = std::string("cannot start a name lookup: ") + lib.ares_strerror(init);
        return RESOLVE_FAILED;
    }
    lib.ares_set_socket_functions(ch.channel, &kSockets, nullptr);
    struct ares_addrinfo_hints hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    lib.ares_getaddrinfo(ch.channel, name.c_str(), nullptr, &hints, answered, answer);

    while (!answer->done) {
        long waitMs = netutil::msLeft(deadline);
        if (waitMs == 0)
            return RESOLVE_TIMEOUT; /* the channel's end cancels the query */
        struct timeval next, *until = lib.ares_timeout(ch.channel, nullptr, &next);
        if (until != nullptr) {
            const long long ms = static_cast<long long>(until->tv_sec) * 1000 +
                                 (until->tv_usec + 999) / 1000;
            if (waitMs < 0 || ms < waitMs)
                waitMs = static_cast<long>(ms);
        }
        ares_socket_t socks[ARES_GETSOCK_MAXNUM];
        struct pollfd waits[ARES_GETSOCK_MAXNUM];
        const int bits = lib.ares_getsock(ch.channel, socks, ARES_GETSOCK_MAXNUM);
        nfds_t count = 0;
        for (int i = 0; i < ARES_GETSOCK_MAXNUM; i++) {
            const short events = static_cast<short>((ARES_GETSOCK_READABLE(bits, i) ? POLLIN : 0) |
                                                    (ARES_GETSOCK_WRITABLE(bits, i) ? POLLOUT : 0));
            if (events == 0)
                continue;
            waits[count].fd = socks[i];
            waits[count].events = events;
            waits[count].revents = 0;
            count++;
        }
        if (count == 0 && until == nullptr) {
            *error = "the name lookup stalled";
            return RESOLVE_FAILED;
        }
        const int ready = poll(waits, count, static_cast<int>(waitMs));
        if (ready < 0 && errno != EINTR) {
            *error = "cannot wait for the name lookup: " + netutil::errorText(errno);
            return RESOLVE_FAILED;
        }
        if (ready <= 0) {
            lib.ares_process_fd(ch.channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD); /* its time-outs */
            continue;
        }
        for (nfds_t i = 0; i < count && !answer->done; i++) {
            const short r = waits[i].revents;
            if (r == 0)
                continue;
            const bool failed = (r & (POLLERR | POLLHUP | POLLNVAL)) != 0;
            lib.ares_process_fd(ch.channel,
                                (r & POLLIN) || failed ? waits[i].fd : ARES_SOCKET_BAD,
                                (r & POLLOUT) || failed ? waits[i].fd : ARES_SOCKET_BAD);
        }
    }
    return RESOLVE_OK;
}

void setPort(Address *a, unsigned short port)
{
    if (a->storage.ss_family == AF_INET6)
        reinterpret_cast<struct sockaddr_in6 *>(&a->storage)->sin6_port = htons(port);
    else
        reinterpret_cast<struct sockaddr_in *>(&a->storage)->sin_port = htons(port);
}

/* host without the brackets of an IPv6 literal ("[::1]" gives "::1"). */
std::string unbracketed(const char *host)
{
    const size_t n = strlen(host);
    if (n >= 2 && host[0] == '[' && host[n - 1] == ']')
        return std::string(host + 1, n - 2);
    return host;
}

} // namespace

int ParseLiteral(const char *host, unsigned short port, AddressList *out)
{
    if (host == nullptr)
        return 0;
    const std::string text = unbracketed(host);
    Address a;
    memset(&a, 0, sizeof a);
    auto *v4 = reinterpret_cast<struct sockaddr_in *>(&a.storage);
    auto *v6 = reinterpret_cast<struct sockaddr_in6 *>(&a.storage);
    if (text.size() == strlen(host) && inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        a.length = sizeof *v4;
    } else if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        a.length = sizeof *v6;
    } else {
        return 0;
    }
    setPort(&a, port);
    out->assign(1, a);
    return 1;
}

int Resolve(const char *host, unsigned short port, long waitMs, AddressList *out,
            std::string *cause)
{
    out->clear();
    if (host == nullptr || host[0] == '\0') {
        *cause = "no host";
        return RESOLVE_FAILED;
    }
    if (ParseLiteral(host, port, out))
        return RESOLVE_OK;
    const std::string name = unbracketed(host);
    if (waitMs == 0)
        return RESOLVE_TIMEOUT; /* no time left: no lookup either */
    const long long deadline = netutil::deadlineIn(waitMs);
    const Library &lib = library();
    if (!lib.loaded) {
        *cause = name + ": " + lib.error;
        return RESOLVE_FAILED;
    }
    Answer answer;
    std::string error;
    const int rc = lookUp(lib, name, deadline, &answer, &error);
    if (rc == RESOLVE_TIMEOUT)
        return RESOLVE_TIMEOUT;
    if (rc == RESOLVE_OK && answer.noMemory)
        error = "out of memory";
    else if (rc == RESOLVE_OK && answer.status != ARES_SUCCESS)
        error = answer.status == ARES_ENOMEM ? "out of memory" : lib.ares_strerror(answer.status);
    else if (rc == RESOLVE_OK && answer.addresses.empty())
        error = "no IPv4 or IPv6 address";
    if (!error.empty()) {
        *cause = name + ": " + error;
        return RESOLVE_FAILED;
    }
    for (Address &a : answer.addresses)
        setPort(&a, port);
    *out = std::move(answer.addresses);
    return RESOLVE_OK;
}

AddressList Interleave(const AddressList &addresses)
{
    AddressList first, second, order;
    const int lead = addresses.empty() ? AF_INET6 : addresses[0].storage.ss_family;
    for (const Address &a : addresses)
        (a.storage.ss_family == lead ? first : second).push_back(a);
    for (size_t i = 0; order.size() < kMaxAddresses && (i < first.size() || i < second.size());
         i++) {
        if (i < first.size())
            order.push_back(first[i]);
        if (i < second.size() && order.size() < kMaxAddresses)
            order.push_back(second[i]);
    }
    return order;
}

std::string AddressText(const Address &address)
{
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.storage.ss_family == AF_INET6)
        inet_ntop(AF_INET6,
                  &reinterpret_cast<const struct sockaddr_in6 *>(&address.storage)->sin6_addr, text,
                  sizeof text);
    else
        inet_ntop(AF_INET,
                  &reinterpret_cast<const struct sockaddr_in *>(&address.storage)->sin_addr, text,
                  sizeof text);
    return text;
}

std::string EndpointText(const Address &address)
{
    const bool v6 = address.storage.ss_family == AF_INET6;
    const unsigned short port =
        ntohs(v6 ? reinterpret_cast<const struct sockaddr_in6 *>(&address.storage)->sin6_port
                 : reinterpret_cast<const struct sockaddr_in *>(&address.storage)->sin_port);
    const std::string host = AddressText(address);
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

} // namespace netaddr
