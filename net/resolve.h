/* Addresses for a host: literal IPv4 and IPv6 addresses are read without a lookup or a thread;
 * names are looked up in a helper thread that the caller waits for at most a given time. A lookup
 * that finishes late keeps its own state alive and releases it itself, so nothing it touches has
 * been freed. The lookup is replaceable per call (tests give one that never answers). No memory
 * in the helper thread fails the lookup ("out of memory"); on the calling thread it throws
 * std::bad_alloc.
 */
#ifndef VEMRICK_RESOLVE_H
#define VEMRICK_RESOLVE_H

#include <sys/socket.h>

#include <functional>
#include <string>
#include <vector>

namespace netaddr {

/* One IPv4 or IPv6 socket address, port included. */
struct Address {
    struct sockaddr_storage storage;
    socklen_t length;
};
using AddressList = std::vector<Address>;

/* At most this many addresses are kept from one lookup. */
const size_t kMaxAddresses = 16;

/* A blocking lookup of a name: appends the addresses found (their ports are set afterwards) and
 * returns 1, or returns 0 with *error saying why (without the name). Runs on a helper thread. */
using LookupFn = std::function<int(const std::string &name, AddressList *out, std::string *error)>;

/* The system's resolver (getaddrinfo, IPv4 and IPv6, in its order). */
int SystemLookup(const std::string &name, AddressList *out, std::string *error);

/* Results of Resolve. */
enum ResolveResult {
    RESOLVE_FAILED = 0, /* no such name, no address, or no thread for the lookup */
    RESOLVE_OK = 1,
    RESOLVE_TIMEOUT = 2 /* the lookup did not answer within waitMs */
};

/* Reads host ("127.0.0.1", "::1" or "[::1]") as a literal address. Returns 1 with *out holding
 * that one address with port; 0 with *out unchanged when host is no literal. */
int ParseLiteral(const char *host, unsigned short port, AddressList *out);

/* The addresses of host with port: a literal directly; a name through lookup (null: the system's)
 * in a helper thread, waiting at most waitMs (negative: the lookup runs on the calling thread
 * without limit). Returns RESOLVE_OK with *out replaced by 1 to kMaxAddresses addresses in the
 * lookup's order; otherwise *out is empty and *cause says why ("pay.example: Name or service not
 * known"; nothing for RESOLVE_TIMEOUT, whose wording the caller knows best). */
int Resolve(const char *host, unsigned short port, long waitMs, const LookupFn &lookup,
            AddressList *out, std::string *cause);

/* "127.0.0.1" or "::1". */
std::string AddressText(const Address &address);
/* "127.0.0.1:8443" or "[::1]:8443". */
std::string EndpointText(const Address &address);

} // namespace netaddr

#endif
