/* SPDX-License-Identifier: Apache-2.0 */
/* CSock: one TCP client connection over IPv4 or IPv6 with time-outs on connecting, on waiting for
 * room to send and on waiting for data. Outcomes are small integers (named below); nothing prints
 * or raises SIGPIPE, and nothing throws but std::bad_alloc from copying a host or writing a cause.
 * Waits use poll(), so any descriptor number works. A wait, send or receive interrupted by a
 * signal, and a readiness that yields no data, go on for the time left. One thread per object.
 */
#ifndef VEMRICK_CSOCK_H
#define VEMRICK_CSOCK_H

#include "netutil.h"
#include "resolve.h"

#include <memory>
#include <string>

/* Results of Send and Recv besides a byte count. */
enum CSockResult {
    CSOCK_SEND_ERROR = -1, /* Send: no socket, bad arguments, or a send/poll error */
    CSOCK_RECV_ERROR = -2, /* Recv: no socket, bad arguments, or a recv/poll error */
    CSOCK_TIMEOUT = -3,    /* Send or Recv: the wait ended before the socket was ready */
    CSOCK_CLOSED = -4      /* Recv: the peer closed the connection and everything was read */
};

/* Time-outs of SocketConnect, Send and Recv: a negative value means no limit, 0 means do not wait.
 * Seconds are turned into milliseconds with saturation, so a huge time-out is merely very long
 * (at most 2,147,483 seconds). */
class CSock {
public:
    /* How long the connect step waits for an attempt before it starts the next one. */
    static const long kAttemptDelayMs = 250;

    /* Adopts an already open descriptor (closed by this object); host null, port 0, connect
     * time-out without limit. */
    explicit CSock(int fd);

    /* No socket yet; host and port as by SetHost and SetPort, connect time-out without limit. */
    CSock(const char *host, unsigned short port);

    /* Closes an open socket, then releases the host copy. */
    virtual ~CSock() { SocketDisconnect(); }

    CSock(const CSock &) = delete;
    CSock &operator=(const CSock &) = delete;

    /* Stores a private copy of host (a name, a dotted IPv4 address or an IPv6 address with or
     * without brackets); null or "" leaves none. */
    void SetHost(const char *host) { host_ = netutil::copyText(host); }
    /* The stored host, or null; owned by the object, valid until the host next changes. */
    const char *GetHost() const { return host_.get(); }

    void SetPort(unsigned short port) { port_ = port; }
    unsigned short GetPort() const { return port_; }

    /* Stores seconds x 1000 as milliseconds, saturated to the signed 32-bit range; negative means
     * no limit. */
    void SetConnectTimeout(long seconds);
    /* The stored milliseconds / 1000, truncated toward zero. */
    long GetConnectTimeout() const { return connectTimeoutMs_ / 1000; }

    /* The open descriptor, or -1. */
    int GetSocket() const { return fd_; }

    /* Replaces the stored host when host is non-null and non-empty and the stored port when port is
     * not 0 (both before any check), then connects to them. Returns 1 when connected, 0 otherwise:
     * a socket is open already (nothing else changes), no host or port 0, name resolution failed or
     * did not answer within the connect time-out (no socket is left open), or no address could be
     * connected to (see ConnectAddresses). Literal addresses are used without a lookup; a name is
     * looked up within the connect time-out (a negative or zero time-out: until the resolver
     * gives up), and the connect step gets what is left of it. */
    int SocketConnect(const char *host, unsigned short port);

    /* The connect step over addresses (ports included), bounded as a whole by timeoutMs (negative:
     * no limit; 0: only what connects at once). The families alternate (netaddr::Interleave); a
     * new attempt starts kAttemptDelayMs after the previous one, or at once when every earlier
     * one has failed, while earlier ones go on; the first to connect wins and the others are
     * closed. Returns 1 when connected, with *connectedTo (when non-null) set to
     * "127.0.0.1:8443" or "[::1]:8443"; 0 when a socket is open already, the list is empty, or
     * no address connected in time: then *cause (when non-null) names what happened to each
     * ("127.0.0.1:8443: connection refused; [2001:db8::7]:8443: no answer within 2 s; 3 more
     * not tried in time"), and the socket of the last attempt stays open and recorded until
     * SocketDisconnect or destruction (later connects return 0). */
    int ConnectAddresses(const netaddr::AddressList &addresses, long timeoutMs,
                         std::string *cause = nullptr, std::string *connectedTo = nullptr);

    /* Switches the socket to non-blocking (on != 0) or blocking (on == 0) mode. Returns 1 when the
     * mode was set, 0 otherwise (no socket included). */
    int SetNonBlockConnect(int on);

    /* Returns 1 when a socket was open and is now closed, 0 when none was open. */
    int SocketDisconnect();

    /* Hands count bytes of buf to the connection, waiting up to timeoutSeconds each time the
     * system cannot take more. Returns count when all were handed over; CSOCK_SEND_ERROR for no
     * socket, a null buf, count 0 or a system error (a peer that closed included, without
     * SIGPIPE); CSOCK_TIMEOUT when the socket did not accept more in time. Bytes handed over
     * before a failure stay sent. */
    long Send(const unsigned char *buf, unsigned int count, long timeoutSeconds) const;

    /* As Send, except that timeoutMs bounds the whole call (negative: no limit; 0: no waiting)
     * and *handedOver (when non-null) is set to the number of bytes handed over, also on
     * failure. */
    long SendMs(const unsigned char *buf, unsigned int count, long timeoutMs,
                unsigned int *handedOver = nullptr) const;

    /* Waits up to timeoutSeconds for data, then reads at most capacity bytes into buf. Returns the
     * number read (1 or more), CSOCK_RECV_ERROR (no socket, null buf, capacity 0, system error),
     * CSOCK_TIMEOUT (nothing arrived in time) or CSOCK_CLOSED (orderly close by the peer). The
     * socket stays open whatever the result. */
    long Recv(unsigned char *buf, unsigned int capacity, long timeoutSeconds);

    /* Recv with the wait given in milliseconds (negative: no limit; 0: do not wait). */
    long RecvMs(unsigned char *buf, unsigned int capacity, long timeoutMs);

private:
    long sendWithin(const unsigned char *buf, unsigned int count, long perWaitMs,
                    long long deadline, unsigned int *handedOver) const;

    int fd_ = -1;
    std::unique_ptr<char[]> host_;
    unsigned short port_ = 0;
    int connectTimeoutMs_ = -1000;
};

#endif
