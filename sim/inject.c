/* SPDX-License-Identifier: Apache-2.0 */
/* The torture run's fault injector: a library put in front of the C library with LD_PRELOAD, built
 * with the tests only and never installed. It counts the calls of each kind a process makes and
 * fails one of them, or every one from some point on, as VEMRICK_FAULT says:
 *
 *   VEMRICK_FAULT="KIND:N:MODE[:from]"   e.g. recv:3:ECONNRESET, malloc:120:ENOMEM:from, send:2:short
 *
 * KIND is malloc (malloc, calloc and realloc together), socket, connect, poll, send, recv,
 * getaddrinfo, fopen (fopen and fopen64), fread (fread and fgets, which the TLS library reads its
 * files with), write, tls-read or tls-write. The TLS library is loaded with dlopen and works on
 * memory buffers: every byte of a TLS session goes through the socket layer's send and recv, so
 * tls-write and tls-read are the send and recv calls on a socket whose first send was a TLS
 * record (they count as send and recv too). MODE is an errno name: the call returns -1, null or 0
 * with it (getaddrinfo turns ENOMEM into EAI_MEMORY, EAGAIN into EAI_AGAIN and others into
 * EAI_SYSTEM; fread and fgets also set the stream's error indicator). Or MODE is "short": send
 * and write hand over one byte, recv reads at most one, fread reads one item and fgets one byte,
 * then report an error. A connect failed with EINTR still starts the connection, as an
 * interrupted connect does.
 *
 * With VEMRICK_FAULT_ONLY=NAME set, only a program of that name is counted and failed.
 * VEMRICK_FAULT_REPORT=FILE appends lines to FILE: "peer ADDRESS:PORT" for the local end of each
 * connection (the test server logs its clients by it), "fired KIND N" when the fault strikes, and
 * at exit "count KIND N" for every kind. The injector itself never allocates: what dlsym asks for
 * before the C library's functions are found is served from a static buffer.
 *
 * VEMRICK_NOW=SECONDS fixes the clock that time() reads, for tests of calendar arithmetic.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum Kind { MALLOC, SOCKET, CONNECT, POLL, SEND, RECV, GETADDRINFO, FOPEN, FREAD, WRITE, TLS_READ,
            TLS_WRITE, KINDS };
static const char *const kKindName[KINDS] = {"malloc", "socket", "connect", "poll", "send", "recv",
                                             "getaddrinfo", "fopen", "fread", "write", "tls-read",
                                             "tls-write"};
static const struct { const char *name; int value; } kErrno[] = {
    {"ENOMEM", ENOMEM}, {"EINTR", EINTR}, {"EAGAIN", EAGAIN}, {"ECONNRESET", ECONNRESET},
    {"EPIPE", EPIPE}, {"ECONNREFUSED", ECONNREFUSED}, {"EIO", EIO}, {"EMFILE", EMFILE},
    {"EACCES", EACCES}};
enum { SHORT_COUNT = -1, MAX_TLS_FD = 4096 };

static struct {
    int kind;   /* -1: no fault, counting only */
    unsigned long n;
    int err;    /* an errno value or SHORT_COUNT */
    int from;   /* every call from the Nth on */
} fault = {-1, 0, 0, 0};
static unsigned long counts[KINDS];
/* Inside getaddrinfo: the resolver of the C library (glibc 2.36) dereferences null or fails an
 * assertion when its own allocations fail, which no caller can handle; there allocations are
 * neither counted nor failed, and the getaddrinfo kind fails the whole call instead. */
static __thread __attribute__((tls_model("initial-exec"))) int inResolver;
static unsigned char tlsSocket[MAX_TLS_FD];
static const char *reportPath;

static void *(*realMalloc)(size_t);
static void *(*realCalloc)(size_t, size_t);
static void *(*realRealloc)(void *, size_t);
static void (*realFree)(void *);
static int (*realSocket)(int, int, int);
static int (*realConnect)(int, const struct sockaddr *, socklen_t);
static int (*realPoll)(struct pollfd *, nfds_t, int);
static ssize_t (*realSend)(int, const void *, size_t, int);
static ssize_t (*realRecv)(int, void *, size_t, int);
static int (*realGetaddrinfo)(const char *, const char *, const struct addrinfo *,
                              struct addrinfo **);
static FILE *(*realFopen)(const char *, const char *);
static FILE *(*realFopen64)(const char *, const char *);
static size_t (*realFread)(void *, size_t, size_t, FILE *);
static char *(*realFgets)(char *, int, FILE *);
static ssize_t (*realWrite)(int, const void *, size_t);

/* dlsym may allocate before malloc itself is found: those blocks come from here, never freed. */
static _Alignas(16) char bootstrap[64 * 1024];
static size_t bootstrapUsed;

static int inBootstrap(const void *p)
{
    return (const char *)p >= bootstrap && (const char *)p < bootstrap + sizeof bootstrap;
}

static void *bootstrapAlloc(size_t n)
{
    const size_t need = 16 + ((n + 15) & ~(size_t)15);
    if (need > sizeof bootstrap - bootstrapUsed)
        return NULL;
    char *p = bootstrap + bootstrapUsed;
    bootstrapUsed += need;
    memcpy(p, &n, sizeof n); /* the size, for a realloc that moves the block out */
    return p + 16;
}

static unsigned long decimal(const char *s, const char **end)
{
    unsigned long v = 0;
    while (*s >= '0' && *s <= '9')
        v = v * 10 + (unsigned long)(*s++ - '0');
    *end = s;
    return v;
}

/* KIND:N:MODE[:from]; anything unreadable leaves the process without a fault. */
static void readFault(const char *text)
{
    const char *colon = text != NULL ? strchr(text, ':') : NULL;
    if (colon == NULL)
        return;
    int kind = -1;
    for (int k = 0; k < KINDS; k++)
        if (strlen(kKindName[k]) == (size_t)(colon - text) &&
            strncmp(text, kKindName[k], (size_t)(colon - text)) == 0)
            kind = k;
    const char *p;
    const unsigned long n = decimal(colon + 1, &p);
    if (kind < 0 || n == 0 || *p != ':')
        return;
    const char *mode = p + 1, *rest = strchr(mode, ':');
    const size_t len = rest != NULL ? (size_t)(rest - mode) : strlen(mode);
    int err = 0;
    if (len == 5 && strncmp(mode, "short", 5) == 0)
        err = SHORT_COUNT;
    for (size_t i = 0; i < sizeof kErrno / sizeof kErrno[0]; i++)
        if (strlen(kErrno[i].name) == len && strncmp(mode, kErrno[i].name, len) == 0)
            err = kErrno[i].value;
    if (err == 0)
        return;
    fault.from = rest != NULL && strcmp(rest, ":from") == 0;
    fault.err = err;
    fault.n = n;
    fault.kind = kind;
}

/* Finds the C library's functions, once, on the first call of any of them (the process has only
 * one thread then: the loader and the start-up code call malloc before anything else runs). */
static void setUp(void)
{
    static int state; /* 0 not yet, 1 under way, 2 done */
    if (state != 0)
        return;
    state = 1;
#define FIND(var, name) var = (__typeof__(var))dlsym(RTLD_NEXT, name)
    FIND(realMalloc, "malloc");
    FIND(realCalloc, "calloc");
    FIND(realRealloc, "realloc");
    FIND(realFree, "free");
    FIND(realSocket, "socket");
    FIND(realConnect, "connect");
    FIND(realPoll, "poll");
    FIND(realSend, "send");
    FIND(realRecv, "recv");
    FIND(realGetaddrinfo, "getaddrinfo");
    FIND(realFopen, "fopen");
    FIND(realFopen64, "fopen64");
    FIND(realFread, "fread");
    FIND(realFgets, "fgets");
    FIND(realWrite, "write");
#undef FIND
    /* Another program on the way to the tested one (valgrind's launcher) is left alone. */
    const char *only = getenv("VEMRICK_FAULT_ONLY");
    if (only == NULL || strcmp(only, program_invocation_short_name) == 0) {
        readFault(getenv("VEMRICK_FAULT"));
        reportPath = getenv("VEMRICK_FAULT_REPORT");
    }
    state = 2;
}

/* Appends "WORD WHAT<separator>N\n" to the report file; nothing that allocates. */
static void report(const char *word, const char *what, char separator, unsigned long n)
{
    if (reportPath == NULL || realWrite == NULL)
        return;
    char line[160], digits[24];
    size_t len = 0, d = 0;
    do
        digits[d++] = (char)('0' + n % 10);
    while ((n /= 10) > 0);
    const char *parts[] = {word, " ", what};
    for (size_t i = 0; i < 3; i++)
        for (const char *c = parts[i]; *c != '\0' && len < 100; c++)
            line[len++] = *c;
    line[len++] = separator;
    while (d > 0)
        line[len++] = digits[--d];
    line[len++] = '\n';
    const int fd = open(reportPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        realWrite(fd, line, len);
        close(fd);
    }
}

/* Counts one call of kind; returns whether it is to fail. */
static int strikes(int kind)
{
    if (kind == MALLOC && inResolver)
        return 0;
    const unsigned long n = __atomic_add_fetch(&counts[kind], 1, __ATOMIC_RELAXED);
    if (fault.kind != kind || n < fault.n || (n > fault.n && !fault.from))
        return 0;
    if (n == fault.n)
        report("fired", kKindName[kind], ' ', n);
    return 1;
}

/* The errno of a fault whose mode is not "short". */
static int failWith(void)
{
    errno = fault.err;
    return -1;
}

static int isTls(int fd)
{
    return fd >= 0 && fd < MAX_TLS_FD && tlsSocket[fd];
}

__attribute__((destructor)) static void reportCounts(void)
{
    for (int k = 0; k < KINDS; k++)
        report("count", kKindName[k], ' ', __atomic_load_n(&counts[k], __ATOMIC_RELAXED));
}

/* ---- memory ---- */

void *malloc(size_t n)
{
    setUp();
    if (realMalloc == NULL)
        return bootstrapAlloc(n);
    if (strikes(MALLOC)) {
        errno = ENOMEM;
        return NULL;
    }
    return realMalloc(n);
}

void *calloc(size_t count, size_t size)
{
    setUp();
    if (realCalloc == NULL)
        return count != 0 && size > (size_t)-1 / count ? NULL : bootstrapAlloc(count * size);
    if (strikes(MALLOC)) {
        errno = ENOMEM;
        return NULL;
    }
    return realCalloc(count, size);
}

void *realloc(void *p, size_t n)
{
    setUp();
    if (inBootstrap(p)) {
        size_t old;
        memcpy(&old, (char *)p - 16, sizeof old);
        void *moved = malloc(n);
        if (moved != NULL)
            memcpy(moved, p, old < n ? old : n);
        return moved;
    }
    if (realRealloc == NULL)
        return p == NULL ? bootstrapAlloc(n) : NULL;
    if (n > 0 && strikes(MALLOC)) {
        errno = ENOMEM;
        return NULL;
    }
    return realRealloc(p, n);
}

void free(void *p)
{
    setUp();
    if (p != NULL && !inBootstrap(p) && realFree != NULL)
        realFree(p);
}

/* ---- sockets ---- */

int socket(int domain, int type, int protocol)
{
    setUp();
    if (strikes(SOCKET))
        return failWith();
    const int fd = realSocket(domain, type, protocol);
    if (fd >= 0 && fd < MAX_TLS_FD)
        tlsSocket[fd] = 0;
    return fd;
}

int connect(int fd, const struct sockaddr *address, socklen_t length)
{
    setUp();
    const int failing = strikes(CONNECT);
    if (failing && fault.err != EINTR)
        return failWith();
    const int rc = realConnect(fd, address, length);
    const int err = errno;
    struct sockaddr_storage local;
    socklen_t localLength = sizeof local;
    char text[INET6_ADDRSTRLEN + 2] = "";
    if (getsockname(fd, (struct sockaddr *)&local, &localLength) == 0) {
        const int v6 = local.ss_family == AF_INET6;
        const void *host = v6 ? (const void *)&((struct sockaddr_in6 *)&local)->sin6_addr
                              : (const void *)&((struct sockaddr_in *)&local)->sin_addr;
        text[0] = '[';
        if (inet_ntop(local.ss_family, host, text + v6, INET6_ADDRSTRLEN) != NULL) {
            if (v6)
                strcat(text, "]");
            report("peer", text, ':', ntohs(v6 ? ((struct sockaddr_in6 *)&local)->sin6_port
                                               : ((struct sockaddr_in *)&local)->sin_port));
        }
    }
    if (failing)
        return failWith();
    errno = err;
    return rc;
}

int poll(struct pollfd *fds, nfds_t count, int timeoutMs)
{
    setUp();
    if (strikes(POLL))
        return failWith();
    return realPoll(fds, count, timeoutMs);
}

ssize_t send(int fd, const void *buf, size_t len, int flags)
{
    setUp();
    const unsigned char *bytes = buf;
    /* A TLS handshake record: 0x16, then the major version 3. */
    if (fd >= 0 && fd < MAX_TLS_FD && len >= 3 && bytes[0] == 0x16 && bytes[1] == 0x03)
        tlsSocket[fd] = 1;
    const int failing = strikes(SEND) | (isTls(fd) && strikes(TLS_WRITE));
    if (failing && fault.err != SHORT_COUNT)
        return failWith();
    return realSend(fd, buf, failing && len > 1 ? 1 : len, flags);
}

ssize_t recv(int fd, void *buf, size_t len, int flags)
{
    setUp();
    const int failing = strikes(RECV) | (isTls(fd) && strikes(TLS_READ));
    if (failing && fault.err != SHORT_COUNT)
        return failWith();
    return realRecv(fd, buf, failing && len > 1 ? 1 : len, flags);
}

ssize_t write(int fd, const void *buf, size_t len)
{
    setUp();
    const int failing = strikes(WRITE);
    if (failing && fault.err != SHORT_COUNT)
        return failWith();
    return realWrite(fd, buf, failing && len > 1 ? 1 : len);
}

/* ---- names and files ---- */

int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                struct addrinfo **result)
{
    setUp();
    if (!strikes(GETADDRINFO)) {
        inResolver++;
        const int rc = realGetaddrinfo(node, service, hints, result);
        inResolver--;
        return rc;
    }
    if (fault.err == ENOMEM)
        return EAI_MEMORY;
    if (fault.err == EAGAIN)
        return EAI_AGAIN;
    errno = fault.err == SHORT_COUNT ? EIO : fault.err;
    return EAI_SYSTEM;
}

static FILE *openFile(FILE *(*real)(const char *, const char *), const char *path,
                      const char *mode)
{
    if (strikes(FOPEN)) {
        errno = fault.err == SHORT_COUNT ? EIO : fault.err;
        return NULL;
    }
    return real(path, mode);
}

time_t time(time_t *out)
{
    const char *fixed = getenv("VEMRICK_NOW");
    struct timespec now;
    if (fixed != NULL)
        now.tv_sec = (time_t)strtoll(fixed, NULL, 10);
    else
        clock_gettime(CLOCK_REALTIME, &now);
    if (out != NULL)
        *out = now.tv_sec;
    return now.tv_sec;
}

FILE *fopen(const char *path, const char *mode)
{
    setUp();
    return openFile(realFopen, path, mode);
}

/* The TLS library opens its files through this name. */
FILE *fopen64(const char *path, const char *mode)
{
    setUp();
    return openFile(realFopen64, path, mode);
}

size_t fread(void *buf, size_t size, size_t count, FILE *stream)
{
    setUp();
    if (!strikes(FREAD))
        return realFread(buf, size, count, stream);
    const size_t got = fault.err == SHORT_COUNT && count > 0 ? realFread(buf, size, 1, stream) : 0;
    /* glibc's flag behind ferror(): a failed read leaves it set, as a real read error does. */
    stream->_flags |= _IO_ERR_SEEN;
    errno = fault.err == SHORT_COUNT ? EIO : fault.err;
    return got;
}

char *fgets(char *buf, int size, FILE *stream)
{
    setUp();
    if (!strikes(FREAD))
        return realFgets(buf, size, stream);
    /* "short": the line's first byte, then the error. */
    char *got = fault.err == SHORT_COUNT && size > 1 ? realFgets(buf, 2, stream) : NULL;
    stream->_flags |= _IO_ERR_SEEN;
    errno = fault.err == SHORT_COUNT ? EIO : fault.err;
    return got;
}
