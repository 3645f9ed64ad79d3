/* SPDX-License-Identifier: Apache-2.0 */
#include "tool.h"

#include "qzutil.h"
#include "vemrick.h"
#include "wipe.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

/* The three forms of the command line and the options in one line, as a wrong command line
 * shows them on stderr. */
static std::string usageText(const char *prog)
{
    const std::string p = prog;
    return "Usage: " + p + " AuthString URL timeout proxyHost proxyPort merchantKeyFile\n" +
           "       " + p + " -{g}et AuthString\n" +
           "       " + p +
           " -preauth AuthString URL timeout proxyHost proxyPort merchantKeyFile expireSeconds\n"
           "Options, before the rest: --cacert FILE, --cert FILE, --cert-key FILE, "
           "--pin sha256//BASE64[;...], --json, --trace, --journal FILE,\n"
           "--key-fd N (merchantKeyFile then -), --proxy-user-file FILE (user:password), "
           "-- (ends the options);\n"
           "AuthString - reads it from standard input\n";
}

void usage(const char *prog)
{
    fputs(usageText(prog).c_str(), stderr);
}

/* A descriptor number: decimal digits only, at most INT_MAX; -1 otherwise. */
static int descriptorFromText(const char *text)
{
    if (text[0] == '\0' || strspn(text, "0123456789") != strlen(text) || strlen(text) > 9)
        return -1;
    return atoi(text);
}

/* Reads the options at the front of argv (each starts with "--"; "--" itself ends them) into
 * *options. Returns the index of the first word after them, or 0 for an unknown option or a
 * missing or bad value. */
static int readOptions(int argc, char **argv, Options *options)
{
    int i = 1;
    while (i < argc && strncmp(argv[i], "--", 2) == 0) {
        const char *option = argv[i++];
        const char *value = i < argc ? argv[i] : nullptr;
        if (strcmp(option, "--") == 0)
            break;
        if (strcmp(option, "--json") == 0) {
            options->json = true;
        } else if (strcmp(option, "--trace") == 0) {
            options->trace = true;
        } else if (value == nullptr) {
            return 0;
        } else if (strcmp(option, "--cacert") == 0) {
            options->caFile = value;
            i++;
        } else if (strcmp(option, "--cert") == 0) {
            options->certFile = value;
            i++;
        } else if (strcmp(option, "--cert-key") == 0) {
            options->certKeyFile = value;
            i++;
        } else if (strcmp(option, "--pin") == 0 && QZUtil::TlsPinsWellFormed(value)) {
            options->pins = value;
            i++;
        } else if (strcmp(option, "--proxy-user-file") == 0) {
            options->proxyUserFile = value;
            i++;
        } else if (strcmp(option, "--journal") == 0) {
            options->journal = value;
            i++;
        } else if (strcmp(option, "--key-fd") == 0 && descriptorFromText(value) >= 0) {
            options->keyFd = descriptorFromText(value);
            i++;
        } else {
            return 0;
        }
    }
    return i;
}

/* Whether --json stands among the leading options, so that even a wrong command line is answered
 * in JSON. */
static bool wantsJson(int argc, char **argv)
{
    for (int i = 1; i < argc && strncmp(argv[i], "--", 2) == 0 && strcmp(argv[i], "--") != 0; i++)
        if (strcmp(argv[i], "--json") == 0)
            return true;
    return false;
}

enum Mode { MODE_WRONG, MODE_PAY, MODE_INSPECT, MODE_PREAUTH };

/* The mode of the n words at w (the program name and the options left out). */
static Mode chooseMode(int n, char **w, const Options &options)
{
    if (n < 2)
        return MODE_WRONG;
    Mode mode = MODE_PAY;
    int words = 6, keyWord = 5;
    if (strcmp(w[0], "-g") == 0 || strcmp(w[0], "-get") == 0) {
        mode = MODE_INSPECT;
        words = 2;
        keyWord = -1;
    } else if (strcmp(w[0], "-preauth") == 0) {
        mode = MODE_PREAUTH;
        words = 8;
        keyWord = 6;
    }
    if (n != words)
        return MODE_WRONG;
    /* With --key-fd the key file is named "-". */
    if (options.keyFd >= 0 && (keyWord < 0 || strcmp(w[keyWord], "-") != 0))
        return MODE_WRONG;
    return mode;
}

/* Writes size bytes of text to standard output. Returns 0, or the errno of the failed write. */
static int writeAll(const char *text, size_t size)
{
    const char *p = text;
    size_t left = size;
    while (left > 0) {
        const ssize_t n = write(STDOUT_FILENO, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        /* A non-blocking standard output that is full: wait, as a blocking write would, until
         * the reader makes room. */
        struct pollfd out = {STDOUT_FILENO, POLLOUT, 0};
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            (poll(&out, 1, -1) >= 0 || errno == EINTR))
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return 0;
}

static const char kHelp[] =
    "\nPays (seven words), pre-authorizes (-preauth) or inspects offline (-g, -get) one buyer's\n"
    "AuthString and prints key=value lines ending in ReturnCode= on standard output.\n"
    "\n"
    "Options:\n"
    "  --cacert FILE   trust the certificates of this PEM file for https URLs instead of the\n"
    "                  system's trust store\n"
    "  --cert FILE     present this PEM client certificate (and its chain) to an https server\n"
    "  --cert-key FILE the client certificate's unencrypted PEM key (default: in --cert FILE)\n"
    "  --pin sha256//BASE64[;...]\n"
    "                  keep an https connection only if its verified chain holds a pinned key\n"
    "  --json          print the result as one JSON object on one line\n"
    "  --trace         print each step of the exchange on standard error (never the key)\n"
    "  --journal FILE  append a JSON line to FILE before the request is sent, and one after\n"
    "  --key-fd N      read the merchant key from open descriptor N; merchantKeyFile is then -\n"
    "  --proxy-user-file FILE\n"
    "                  send the proxy the user:password of FILE's first line (Basic)\n"
    "  --              end the options\n"
    "  --help          print this help and exit\n"
    "  --version       print the version and whether https is available, and exit\n"
    "\n"
    "The output, return codes and exit status are described in vemrick(1).\n";

/* --help or --version as the only argument: the answer on standard output, nothing else done
 * (no key read, no library call that could reach the network). Returns the exit status, or -1
 * for any other command line. */
static int answerInformation(int argc, char **argv, const char *prog)
{
    if (argc != 2 || (strcmp(argv[1], "--help") != 0 && strcmp(argv[1], "--version") != 0))
        return -1;
    std::string text;
    if (strcmp(argv[1], "--version") == 0) {
        text = std::string("vemrick ") + QZVersion() + "\n";
        text += VEMRICK_HAVE_TLS ? "https: yes (libssl.so.3 of OpenSSL 3, loaded on first use)\n"
                                 : "https: no (built without TLS support)\n";
    } else {
        text = usageText(prog);
        text += kHelp;
    }
    const int err = writeAll(text.data(), text.size());
    if (err != 0) {
        fprintf(stderr, "vemrick: cannot write the result: %s\n", strerror(err));
        return EXIT_WRITE_FAILED;
    }
    return 0;
}

/* Runs the mode that the words after the options (from argv[first]) ask for, filling *r.
 * Returns the exit status: 0, or 1 for a wrong command line. */
static int runMode(const char *prog, int argc, char **argv, int first, Options &options, Result *r)
{
    char **w = argv + first;
    switch (first == 0 ? MODE_WRONG : chooseMode(argc - first, w, options)) {
    case MODE_WRONG:
        options.json = wantsJson(argc, argv);
        usage(prog);
        toolFailure(r, "Bad Usage\n");
        return 1;
    case MODE_PAY:
        traceStep("options", "read");
        processPayTransaction(options, {w[0], w[1], w[2], w[3], w[4], w[5], nullptr}, r);
        break;
    case MODE_PREAUTH:
        traceStep("options", "read");
        processPreAuth(options, {w[1], w[2], w[3], w[4], w[5], w[6], w[7]}, r);
        break;
    case MODE_INSPECT:
        traceStep("options", "read");
        getPayTransaction(w[1], r);
        break;
    }
    return 0;
}

/* The result when memory ran out, built without memory: "ReturnCode=999", "ReturnDescription=Out
 * of Memory" (in JSON with the mode when one was chosen, and requestSent where a transaction was
 * called), and on stderr whether the request had gone out. Returns the exit status: 1, or
 * EXIT_WRITE_FAILED. */
static int outOfMemory(const Options &options, const char *mode, int requestSent)
{
    static const char kLines[] = "ReturnCode=999\nReturnDescription=Out of Memory\n";
    const char *sent = requestSent < 0  ? ""
                       : requestSent ? ",\"requestSent\":true"
                                     : ",\"requestSent\":false";
    char json[160];
    snprintf(json, sizeof json,
             "{%s%s%s\"returnCode\":999,\"returnDescription\":\"Out of Memory\"%s}\n",
             mode != nullptr ? "\"mode\":\"" : "", mode != nullptr ? mode : "",
             mode != nullptr ? "\"," : "", sent);
    fprintf(stderr, "vemrick: out of memory%s\n",
            requestSent > 0 ? " (request sent: the outcome is unknown; check with the payment "
                              "server before paying again)"
                            : "");
    const int err =
        options.json ? writeAll(json, strlen(json)) : writeAll(kLines, sizeof kLines - 1);
    if (err != 0) {
        fprintf(stderr, "vemrick: cannot write the result: %s\n", strerror(err));
        return EXIT_WRITE_FAILED;
    }
    return 1;
}

int main(int argc, char **argv)
{
    const char *prog = (argc > 0 && argv[0] != nullptr) ? argv[0] : "vemrick";
    /* The process holds the merchant key and the buyer's card number: keep them out of core
     * files (and out of reach of other users' debuggers). */
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    /* A reader of standard output that went away is a write error (exit status 2), not a signal. */
    signal(SIGPIPE, SIG_IGN);
    /* The process ends after one exchange: OpenSSL need not clean up after itself. */
    QZUtil::TlsLeanStart();

    try {
        const int status = answerInformation(argc, argv, prog);
        if (status >= 0)
            return status;
    } catch (const std::bad_alloc &) {
        fputs("vemrick: out of memory\n", stderr);
        return 1;
    }

    Options options;
    const int first = readOptions(argc, argv, &options);
    startTrace(options.trace);
    Result r;
    int status = 0;
    std::string out;
    try {
        status = runMode(prog, argc, argv, first, options, &r);
        traceStep("result", ("ReturnCode=" + std::to_string(r.code)).c_str());
        out = options.json ? renderJson(r) : renderLines(r);
    } catch (const std::bad_alloc &) {
        secure_wipe(&r.fields, sizeof r.fields);
        return outOfMemory(options, r.mode, r.requestSent);
    }
    const int err = writeAll(out.data(), out.size());
    /* The output holds the card number. */
    secure_wipe(&out[0], out.size());
    secure_wipe(&r.fields, sizeof r.fields);
    if (err != 0) {
        fprintf(stderr, "vemrick: cannot write the result: %s\n", strerror(err));
        return EXIT_WRITE_FAILED;
    }
    return status;
}
