/* SPDX-License-Identifier: Apache-2.0 */
/* A scripted TCP server on 127.0.0.1 for the network tests: it listens on a free port, accepts a
 * given number of connections one after another on its own thread and runs a script on each.
 * Every wait is bounded, and the destructor stops and joins the thread.
 */
#ifndef VEMRICK_TESTS_LOOPBACK_SERVER_H
#define VEMRICK_TESTS_LOOPBACK_SERVER_H

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace loopback {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/* How many times slower than natively this test runs: VEMRICK_TIME_SCALE, which
 * scripts/memcheck.sh sets for the programs it runs under valgrind, else 1. Time-outs and upper
 * time bounds are multiplied by it. */
inline int timeScale()
{
    const char *text = std::getenv("VEMRICK_TIME_SCALE");
    const int scale = text ? std::atoi(text) : 1;
    return scale >= 1 && scale <= 100 ? scale : 1;
}

/* Whether the name localhost resolves to an IPv4 loopback address here; a freshly bootstrapped root
 * without /etc/hosts may not resolve it at all. Tests that connect by that name skip those cases
 * when it does not, saying so in one line. */
inline bool localhostResolves()
{
    struct addrinfo hints = {}, *found = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo("localhost", nullptr, &hints, &found) != 0)
        return false;
    bool loopback = false;
    for (const struct addrinfo *a = found; a != nullptr; a = a->ai_next)
        loopback = loopback || (ntohl(reinterpret_cast<const sockaddr_in *>(a->ai_addr)
                                          ->sin_addr.s_addr) >> 24) == 127;
    freeaddrinfo(found);
    return loopback;
}

/* One accepted connection as seen by a script. */
struct Conn {
    int fd;
    const std::atomic<bool> &stop;
    std::string received;

    /* Reads one HTTP request: up to the blank line, plus the body its Content-length announces.
     * Stops early when the peer closes, on error, on stop or after 5 s. */
    void readRequest()
    {
        for (int round = 0; round < 500 && !stop && readSome(10); round++) {
            const size_t blank = received.find("\r\n\r\n"),
                         length = received.find("Content-length: ");
            if (blank != std::string::npos &&
                received.size() >=
                    blank + 4 + (length < blank ? std::stoul(received.substr(length + 16)) : 0))
                return;
        }
    }

    /* Reads whatever arrives within waitMs. False when the peer closed or on error. */
    bool readSome(int waitMs)
    {
        struct pollfd p = {fd, POLLIN, 0};
        const int r = poll(&p, 1, waitMs);
        char buf[65536];
        const ssize_t n = r > 0 ? recv(fd, buf, sizeof buf, 0) : r;
        if (n > 0)
            received.append(buf, static_cast<size_t>(n));
        return n > 0 || r == 0;
    }

    void send(const std::string &text)
    {
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }

    /* Stays silent for ms milliseconds, or less when the server stops. */
    void pause(int ms)
    {
        for (const auto end = Clock::now() + std::chrono::milliseconds(ms);
             !stop && Clock::now() < end;)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    /* Makes the coming close a reset (SO_LINGER 0) instead of an orderly close. */
    void reset()
    {
        const struct linger lg = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
};

/* A TCP socket bound to a free port on 127.0.0.1 (*port), listening when asked; -1 on failure. */
inline int boundSocket(bool listening, unsigned short *port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        (!listening || listen(fd, 8) == 0) &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
        *port = ntohs(addr.sin_port);
        return fd;
    }
    if (fd >= 0)
        close(fd);
    return -1;
}

/* How many descriptors this process holds open. */
inline size_t openDescriptors()
{
    size_t n = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        n += entry.is_symlink() ? 1 : 0;
    return n;
}

/* A port on 127.0.0.1 that was free a moment ago and has no listener: connections are refused. */
inline unsigned short closedPort()
{
    unsigned short port = 0;
    close(boundSocket(false, &port));
    return port;
}

/* Serves a number of connections one after another, each with the script. */
class Server {
public:
    using Script = std::function<void(Conn &)>;

    explicit Server(Script script, int connections = 1) : listener_(boundSocket(true, &port_))
    {
        thread_ = std::thread([this, script, connections] {
            for (int i = 0; i < connections && listener_ >= 0; i++) {
                struct pollfd p = {listener_, POLLIN, 0};
                for (int round = 0; round < 1000 && !stop_ && poll(&p, 1, 10) == 0; round++) {
                }
                const int fd = p.revents & POLLIN ? accept(listener_, nullptr, nullptr) : -1;
                if (fd < 0)
                    return;
                accepted_++;
                Conn conn{fd, stop_, std::string()};
                script(conn);
                close(fd);
                received_.push_back(conn.received);
            }
        });
    }

    ~Server()
    {
        stop_ = true;
        join();
        close(listener_);
    }

    unsigned short port() const { return port_; }
    std::string url(const std::string &path = "/") const
    {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    /* Waits for the scripts to finish (each bounds its own waits). */
    void join()
    {
        if (thread_.joinable())
            thread_.join();
    }
    /* What connection i delivered to readRequest/readSome; call after join(). */
    std::string received(size_t i = 0) const { return i < received_.size() ? received_[i] : ""; }
    size_t accepted() const { return accepted_; }

private:
    unsigned short port_ = 0;
    int listener_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> accepted_{0};
    std::vector<std::string> received_;
};

/* Reads the request, answers with response, closes. */
inline Server::Script answer(const std::string &response)
{
    return [response](Conn &c) {
        c.readRequest();
        c.send(response);
    };
}

/* Reads the request and never answers (until the server is stopped or 10 s pass). */
inline Server::Script silent()
{
    return [](Conn &c) {
        c.readRequest();
        c.pause(10000);
    };
}

} // namespace loopback

#endif
