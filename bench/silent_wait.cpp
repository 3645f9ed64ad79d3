/* bench_silent_wait: how much processor time a POST costs while the server stays silent.
 * A thread listens on 127.0.0.1, accepts one connection, reads the request and never answers; the
 * main thread posts to it with a time-out of 3 seconds (or the seconds given as the first
 * argument) and prints the process's CPU time (user + system, getrusage) over the wall time of
 * the wait, as a percentage, and the wall time. Exit status 0 when the POST ended by time-out. */
#include "httpclnt.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::atomic<bool> stopServer{false};

/* Accepts one connection, drains whatever arrives, never writes; gives up after 60 s. */
void silentServer(int listener)
{
    int conn = -1;
    for (int i = 0; i < 6000 && conn < 0 && !stopServer; i++) {
        struct pollfd p = {listener, POLLIN, 0};
        if (poll(&p, 1, 10) > 0)
            conn = accept(listener, nullptr, nullptr);
    }
    char buf[4096];
    for (int i = 0; i < 6000 && conn >= 0 && !stopServer; i++) {
        struct pollfd p = {conn, POLLIN, 0};
        if (poll(&p, 1, 10) > 0 && recv(conn, buf, sizeof buf, 0) <= 0)
            break;
    }
    if (conn >= 0)
        close(conn);
}

double cpuSeconds()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    long timeout = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 3;
    if (timeout < 1 || timeout > 600) {
        std::fprintf(stderr, "usage: %s [timeout seconds, 1 to 600]\n", argv[0]);
        return 2;
    }

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        std::perror("listen on 127.0.0.1");
        return 2;
    }
    std::thread server(silentServer, listener);
    std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/silent";

    static const unsigned char body[] = "bench";
    CHttpClnt client(4096, 4096);
    client.SetTimeout(timeout);
    double cpuBefore = cpuSeconds();
    auto wallBefore = std::chrono::steady_clock::now();
    int result = client.Post(url.c_str(), body, sizeof body - 1, "application/x-qz");
    double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    double cpu = cpuSeconds() - cpuBefore;

    stopServer = true;
    server.join();
    close(listener);

    std::printf("result=%d\n", result);
    std::printf("wall_seconds=%.3f\n", wall);
    std::printf("cpu_seconds=%.4f\n", cpu);
    std::printf("cpu_percent=%.3f\n", wall > 0 ? 100.0 * cpu / wall : 0.0);
    return result == 1 ? 0 : 1;
}
