/* A scripted TCP server on 127.0.0.1 for the network tests: it listens on a free port, accepts a
 * given number of connections one after another on its own thread and runs a script on each.
 * Every wait is bounded, and the destructor stops and joins the thread.
 */
#ifndef VEMRICK_TESTS_LOOPBACK_SERVER_H
#define VEMRICK_TESTS_LOOPBACK_SERVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace loopback {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/* One accepted connection as seen by a script. */
struct Conn {
    int fd;
    const std::atomic<bool> &stop;
    std::string received;

    /* Reads one HTTP request: up to the blank line, plus the body its Content-length announces.
     * Stops early when the peer closes, on error, on stop or after maxMs. True when complete. */
    bool readRequest(int maxMs = 5000)
    {
        Clock::time_point end = Clock::now() + std::chrono::milliseconds(maxMs);
        while (!stop && Clock::now() < end) {
            size_t blank = received.find("\r\n\r\n");
            if (blank != std::string::npos) {
                size_t want = blank + 4;
                size_t cl = received.find("Content-length: ");
                if (cl != std::string::npos && cl < blank)
                    want += std::stoul(received.substr(cl + 16));
                if (received.size() >= want)
                    return true;
            }
            if (!readSome(10))
                return false;
        }
        return false;
    }

    /* Reads whatever arrives within waitMs. False when the peer closed or on error. */
    bool readSome(int waitMs)
    {
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, waitMs);
        if (r < 0)
            return false;
        if (r == 0)
            return true;
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        received.append(buf, static_cast<size_t>(n));
        return true;
    }

    void send(const std::string &text)
    {
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }

    /* Stays silent for ms milliseconds, or less when the server stops. */
    void pause(int ms)
    {
        Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
        while (!stop && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    /* Closes with a reset instead of an orderly close. */
    void reset()
    {
        struct linger lg = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
};

class Server {
public:
    using Script = std::function<void(Conn &)>;

    explicit Server(Script script, int connections = 1) : script_(std::move(script))
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        socklen_t len = sizeof addr;
        if (listener_ < 0 ||
            bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            listen(listener_, 8) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            return;
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this, connections] { run(connections); });
    }

    ~Server()
    {
        stop_ = true;
        join();
        if (listener_ >= 0)
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
    std::string received(size_t i = 0) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return i < received_.size() ? received_[i] : std::string();
    }

    size_t accepted() const { return accepted_; }

private:
    void run(int connections)
    {
        for (int i = 0; i < connections && !stop_; i++) {
            int fd = acceptOne(10000);
            if (fd < 0)
                return;
            accepted_++;
            Conn conn{fd, stop_, std::string()};
            script_(conn);
            close(fd);
            std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back(conn.received);
        }
    }

    int acceptOne(int maxMs)
    {
        Clock::time_point end = Clock::now() + std::chrono::milliseconds(maxMs);
        while (!stop_ && Clock::now() < end) {
            struct pollfd p = {listener_, POLLIN, 0};
            if (poll(&p, 1, 10) > 0)
                return accept(listener_, nullptr, nullptr);
        }
        return -1;
    }

    Script script_;
    int listener_ = -1;
    unsigned short port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> accepted_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
};

/* A port on 127.0.0.1 that was free a moment ago and has no listener: connections are refused. */
inline unsigned short closedPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

/* Scripts used by several tests. */

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
