/* SPDX-License-Identifier: Apache-2.0 */
/* TLS client sessions for the HTTP client, over a connected CSock. The TLS library (OpenSSL 3,
 * libssl.so.3) is loaded at the first use, once per process, so that plain HTTP never pays for
 * it; a build without TLS support, or a system without the library, fails every session with a
 * cause saying so. The engine only encrypts and decrypts: every byte goes through the CSock, so
 * each wait is bounded by the deadline the caller gives and no signal is raised. At least TLS 1.2
 * and security level 2 whatever the system's OpenSSL configuration says (a stricter setting there
 * is kept); the server's chain is checked against the system's trust store or a PEM file, its name
 * (or IP address) against the certificate's subjectAltName entries only, and its public keys
 * against pins when there are any. No check can be turned off. One thread per session.
 */
#ifndef VEMRICK_TLS_H
#define VEMRICK_TLS_H

#include <memory>
#include <string>

class CSock;

namespace nettls {

/* What an https connection trusts and presents; null or "" leaves an item out. */
struct Setup {
    /* A PEM file whose every certificate is a trust anchor (an intermediate CA too); none: the
     * system's trust store. */
    const char *caFile = nullptr;
    /* A PEM client certificate followed by its chain, if any, presented when the server asks. */
    const char *certFile = nullptr;
    /* The certificate's unencrypted PEM private key; none: read from certFile. */
    const char *keyFile = nullptr;
    /* "sha256//BASE64[;sha256//BASE64...]": the connection is kept only when a certificate of the
     * verified chain has one of these SHA-256 digests of its DER SubjectPublicKeyInfo. */
    const char *pins = nullptr;
};

/* For a process that uses the TLS library only through this module and ends after a few
 * requests (the command-line tool): when called before the first https request, the library
 * skips its clean-up at exit and loads its error texts only when a failure is about to be
 * reported. Its configuration is read all the same. */
void LeanStart();

/* Whether pins (see Setup) is well-formed: 1 to kMaxPins entries, each "sha256//" and the
 * standard base64 of 32 bytes, separated by ';'. Needs no TLS library. */
bool PinsWellFormed(const char *pins);
const unsigned int kMaxPins = 64;

/* What CheckFiles found wrong. */
enum FileFault { FILES_OK = 0, FILES_CA = 1, FILES_CLIENT_CERTIFICATE = 2 };

/* Reads the files of setup as Prepare does, without setting up a session: the CA file must hold
 * at least one certificate; the client certificate file a certificate and the key (its own file,
 * or else the certificate's) an unencrypted private key that matches it. Loads the TLS library
 * when a file is named. Returns FILES_OK (also when TLS cannot be used at all: https requests
 * then fail by themselves), or the first fault with *cause set (never key bytes). */
int CheckFiles(const Setup &setup, std::string *cause);

/* Whether TLS can be used: loads the library the first time (thread-safe). Returns 1, or 0 with
 * *cause set ("this build has no TLS support", "cannot load libssl.so.3: ..."). */
int Available(std::string *cause);

/* One TLS connection. Deadlines are readings of netutil::monotonicMs (netutil::kNoDeadline: no
 * limit). Sessions of the same process share one configured context per trust source (the system
 * store, or a CA file: a new one once the file changes) and client certificate, and resume the
 * TLS session a server gave for the same trust, client certificate, pins, host and port (at most
 * 256 kept, each used once). Any number of threads may run sessions at once. */
class Session {
public:
    Session();
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    /* Sets the session up as setup says (its texts are read here, not kept); loads the TLS
     * library first if need be. Returns 1, or 0 with *cause ("this build has no TLS support",
     * "cannot use the CA file ...: ...", "cannot use the client certificate ...: ...", "the
     * public key pins are malformed"). */
    int Prepare(const Setup &setup, std::string *cause);

    /* After Prepare, runs the handshake over sock for host (a name, sent as SNI and checked
     * against the certificate, or an IPv4/IPv6 address, checked as such and sent without SNI)
     * and port.
     * early holds bytes that already arrived for the session (after a proxy's answer). Returns 1
     * with *summary "TLSv1.3, TLS_AES_256_GCM_SHA384, /CN=pay.example, verify ok" (", pin ok"
     * after it with pins, then ", resumed" for a resumed session); CSOCK_TIMEOUT when the deadline passed first; 0 with *cause
     * ("certificate verify failed (hostname mismatch)", "wrong version number", "public key pin
     * did not match: ...", ...). After a failure the caller closes the connection. */
    int Handshake(CSock &sock, const char *host, unsigned short port, const std::string &early,
                  long long deadline, std::string *cause, std::string *summary);

    /* After an exchange that went well, closes TLS properly (without waiting), so that the
     * session can be resumed. */
    void Close(CSock &sock);

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

    struct Engine; /* the connection's state, in tls.cpp */

private:
    std::unique_ptr<Engine> engine_;
    bool peerClosed_ = false;
    std::string lastError_;
};

} // namespace nettls

#endif
