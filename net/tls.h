/* TLS client sessions for the HTTP client, over a connected CSock. The TLS library (OpenSSL 3,
 * libssl.so.3) is loaded at the first use, once per process, so that plain HTTP never pays for
 * it; a build without TLS support, or a system without the library, fails every session with a
 * cause saying so. The engine only encrypts and decrypts: every byte goes through the CSock, so
 * each wait is bounded by the deadline the caller gives and no signal is raised. At least TLS 1.2;
 * the server's chain is checked against the system's trust store or a PEM file, and its name (or
 * IP address) against the host asked for. No check can be turned off. One thread per session.
 */
#ifndef VEMRICK_TLS_H
#define VEMRICK_TLS_H

#include <memory>
#include <string>

class CSock;

namespace nettls {

/* Whether TLS can be used: loads the library the first time (thread-safe). Returns 1, or 0 with
 * *cause set ("this build has no TLS support", "cannot load libssl.so.3: ..."). */
int Available(std::string *cause);

/* One TLS connection. Deadlines are readings of netutil::monotonicMs (netutil::kNoDeadline: no
 * limit). */
class Session {
public:
    Session();
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    /* Sets the session up, trusting the certificates of caFile (a PEM file) or, when caFile is
     * null or "", the system's store; loads the TLS library first if need be. Returns 1, or 0
     * with *cause ("this build has no TLS support", "cannot use the CA file ...: ..."). */
    int Prepare(const char *caFile, std::string *cause);

    /* After Prepare, runs the handshake over sock for host (a name, sent as SNI and checked
     * against the certificate, or an IPv4/IPv6 address, checked as such and sent without SNI).
     * early holds bytes that already arrived for the session (after a proxy's answer). Returns 1
     * with *summary "TLSv1.3, TLS_AES_256_GCM_SHA384, /CN=pay.example, verify ok";
     * CSOCK_TIMEOUT when the deadline passed first; 0 with *cause ("certificate verify failed
     * (hostname mismatch)", "wrong version number", ...). After a failure the caller closes the
     * connection. */
    int Handshake(CSock &sock, const char *host, const std::string &early, long long deadline,
                  std::string *cause, std::string *summary);

    /* Encrypts count bytes and hands them to sock by deadline. Returns 1 when all went out,
     * CSOCK_TIMEOUT when the deadline passed first, 0 on a failure (*cause set). *handedOver is
     * set to whether any byte reached the connection. */
    int Send(CSock &sock, const unsigned char *buf, unsigned int count, long long deadline,
             bool *handedOver, std::string *cause);

    /* Waits up to waitMs for data and decrypts at most capacity bytes of it into buf. Returns a
     * byte count (1 or more), CSOCK_TIMEOUT (nothing decrypted yet: no bytes, or only part of a
     * record, arrived), CSOCK_CLOSED (the server closed the connection, with or without a TLS
     * close) or CSOCK_RECV_ERROR (the cause is then in LastError). */
    long Recv(CSock &sock, unsigned char *buf, unsigned int capacity, long waitMs);
    const std::string &LastError() const { return lastError_; }

private:
    struct Engine;
    std::unique_ptr<Engine> engine_;
    bool peerClosed_ = false;
    std::string lastError_;
};

} // namespace nettls

#endif
