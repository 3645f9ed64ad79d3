#include "resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace netaddr {

namespace {

/* What a helper thread and the caller that started it share. Held by both through shared_ptr:
 * a caller that stops waiting lets go, and the thread frees it when it is done. */
struct PendingLookup {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    int found = 0;
    AddressList addresses;
    std::string error;
};

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

int SystemLookup(const std::string &name, AddressList *out, std::string *error)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *list = nullptr;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        *error = gai_strerror(rc);
        return 0;
    }
    for (struct addrinfo *a = list; a != nullptr && out->size() < kMaxAddresses; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addr == nullptr ||
            a->ai_addrlen > sizeof(struct sockaddr_storage))
            continue;
        Address address;
        memset(&address, 0, sizeof address);
        memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
        address.length = a->ai_addrlen;
        out->push_back(address);
    }
    freeaddrinfo(list);
    if (out->empty())
        *error = "no IPv4 or IPv6 address";
    return out->empty() ? 0 : 1;
}

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

int Resolve(const char *host, unsigned short port, long waitMs, const LookupFn &lookup,
            AddressList *out, std::string *cause)
{
    out->clear();
    if (host == nullptr || host[0] == '\0') {
        *cause = "no host";
        return RESOLVE_FAILED;
    }
    if (ParseLiteral(host, port, out))
        return RESOLVE_OK;

    const std::string name = unbracketed(host);
    const LookupFn find = lookup ? lookup : LookupFn(SystemLookup);
    AddressList found;
    std::string error;
    int ok = 0;
    if (waitMs < 0) {
        ok = find(name, &found, &error);
    } else if (waitMs == 0) {
        return RESOLVE_TIMEOUT; /* no time left: no thread either */
    } else {
        auto pending = std::make_shared<PendingLookup>();
        try {
            std::thread([pending, find, name] {
                AddressList addresses;
                std::string why;
                int rc = 0;
                /* An exception must not leave the thread: that would end the process. */
                try {
                    rc = find(name, &addresses, &why);
                } catch (const std::bad_alloc &) {
                    addresses.clear();
                    why = "out of memory"; /* short enough to need no allocation */
                }
                std::lock_guard<std::mutex> hold(pending->lock);
                pending->found = rc;
                pending->addresses = std::move(addresses);
                pending->error = std::move(why);
                pending->done = true;
                pending->finished.notify_all();
            }).detach();
        } catch (const std::system_error &) {
            *cause = name + ": no thread for the name lookup";
            return RESOLVE_FAILED;
        }
        std::unique_lock<std::mutex> hold(pending->lock);
        if (!pending->finished.wait_for(hold, std::chrono::milliseconds(waitMs),
                                        [&pending] { return pending->done; }))
            return RESOLVE_TIMEOUT;
        ok = pending->found;
        found = std::move(pending->addresses);
        error = std::move(pending->error);
    }
    if (found.size() > kMaxAddresses)
        found.resize(kMaxAddresses);
    for (Address &a : found)
        setPort(&a, port);
    if (!ok || found.empty()) {
        *cause = name + ": " + (error.empty() ? "no address" : error);
        return RESOLVE_FAILED;
    }
    *out = std::move(found);
    return RESOLVE_OK;
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
