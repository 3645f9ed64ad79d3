/* SPDX-License-Identifier: Apache-2.0 */
/* Addresses for a host: literal IPv4 and IPv6 addresses are read without a lookup; names are looked
 * up on the calling thread by an asynchronous resolver (libcares.so.2, loaded on the first lookup
 * and kept until the process ends) that /etc/resolv.conf and /etc/hosts configure. Its sockets are
 * waited for with poll() until the answer or the caller's deadline, whichever comes first; then
 * the lookup is cancelled and its sockets are closed, so a lookup that times out leaves no thread,
 * no descriptor and no callback behind. Every socket is created close-on-exec and non-blocking.
 */
#ifndef VEMRICK_RESOLVE_H
#define VEMRICK_RESOLVE_H

#include <sys/socket.h>

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

/* Results of Resolve. */
enum ResolveResult {
    RESOLVE_FAILED = 0, /* no such name, no address, no resolver, or no memory for the lookup */
    RESOLVE_OK = 1,
    RESOLVE_TIMEOUT = 2 /* the lookup did not answer within waitMs */
};

/* Reads host ("127.0.0.1", "::1" or "[::1]") as a literal address. Returns 1 with *out holding
 * that one address with port; 0 with *out unchanged when host is no literal. */
int ParseLiteral(const char *host, unsigned short port, AddressList *out);

/* The addresses of host with port: a literal directly; a name through the resolver, waiting at
 * most waitMs (negative: until the resolver's own time-outs and retries end; 0: no lookup, a
 * time-out at once). Returns RESOLVE_OK with *out replaced by 1 to kMaxAddresses addresses in the
 * resolver's order (preferred destinations first); otherwise *out is empty and *cause says why
 * ("pay.example: Domain name not found"; nothing for RESOLVE_TIMEOUT, whose wording the caller
 * knows best). Throws std::bad_alloc only from building *out or *cause. */
int Resolve(const char *host, unsigned short port, long waitMs, AddressList *out,
            std::string *cause);

/* The order in which to try addresses: the families alternate, starting with the family of the
 * first address, each family keeping its own order ([6a, 6b, 4a, 4b] gives [6a, 4a, 6b, 4b]).
 * At most kMaxAddresses are kept. */
AddressList Interleave(const AddressList &addresses);

/* "127.0.0.1" or "::1". */
std::string AddressText(const Address &address);
/* "127.0.0.1:8443" or "[::1]:8443". */
std::string EndpointText(const Address &address);

} // namespace netaddr

#endif
