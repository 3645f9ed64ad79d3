#include "tool.h"

#include "vemrick.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

const char *errorString = "";

static const char kBadUsage[] = "Bad Usage\n";
static std::string result;

void outValue(const char *key, const char *value)
{
    result += key;
    result += '=';
    for (const char *p = value; *p != '\0'; p++) {
        const unsigned char c = static_cast<unsigned char>(*p);
        result += (c < 0x20 || c == 0x7F) ? '?' : *p;
    }
    result += '\n';
}

unsigned int outReturnCode(unsigned int code)
{
    result += "ReturnCode=" + std::to_string(code) + "\n";
    return code;
}

unsigned int printFrontEndFailure()
{
    outReturnCode(QZ_FRONTEND_ERROR);
    result += "ReturnDescription=";
    result += errorString;
    result += '\n';
    return QZ_FRONTEND_ERROR;
}

const std::string &resultText()
{
    return result;
}

void usage(const char *prog)
{
    fprintf(stderr, "Usage: %s AuthString URL timeout proxyHost proxyPort merchantKeyFile\n", prog);
    fprintf(stderr, "       %s -{g}et AuthString\n", prog);
    fprintf(stderr,
            "       %s -preauth AuthString URL timeout proxyHost proxyPort merchantKeyFile "
            "expireSeconds\n",
            prog);
    errorString = kBadUsage;
}

unsigned int getPayTransaction(const char *authString)
{
    /* The library leaves the record alone on bad arguments, so clear it here: an empty AuthString
     * then prints empty values rather than uninitialised storage. */
    PayRequestFields rec;
    memset(&rec, 0, sizeof rec);
    const unsigned int rc =
        QZGetPayTransaction(authString, static_cast<unsigned int>(strlen(authString)), &rec);
    printRequestFields(rec);
    memset(&rec, 0, sizeof rec); /* it held the card number */
    return outReturnCode(rc);
}

/* Writes the gathered result to standard output. Returns 0, or the errno of the failed write. */
static int writeResult()
{
    const char *p = result.data();
    size_t left = result.size();
    while (left > 0) {
        const ssize_t n = write(STDOUT_FILENO, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return 0;
}

enum Mode { MODE_WRONG, MODE_PAY, MODE_INSPECT, MODE_PREAUTH };

static Mode chooseMode(int argc, char **argv)
{
    if (argc < 3)
        return MODE_WRONG;
    const char *first = argv[1];
    if (strcmp(first, "-g") == 0 || strcmp(first, "-get") == 0)
        return argc == 3 ? MODE_INSPECT : MODE_WRONG;
    if (strcmp(first, "-preauth") == 0)
        return argc == 9 ? MODE_PREAUTH : MODE_WRONG;
    return argc == 7 ? MODE_PAY : MODE_WRONG;
}

int main(int argc, char **argv)
{
    const char *prog = (argc > 0 && argv[0] != nullptr) ? argv[0] : "vemrick";
    /* The process holds the merchant key and the buyer's card number: keep them out of core
     * files (and out of reach of other users' debuggers). */
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    /* A reader of standard output that went away is a write error (exit status 2), not a signal. */
    signal(SIGPIPE, SIG_IGN);

    int status = 0;
    switch (chooseMode(argc, argv)) {
    case MODE_WRONG:
        usage(prog);
        printFrontEndFailure();
        fprintf(stderr, "%s\n", errorString);
        status = 1;
        break;
    case MODE_PAY:
        processPayTransaction(argv[1], argv[2], argv[3], argv[4], argv[5], argv[6]);
        break;
    case MODE_PREAUTH:
        processPreAuth(argv[2], argv[3], argv[4], argv[5], argv[6], argv[7], argv[8]);
        break;
    case MODE_INSPECT:
        getPayTransaction(argv[2]);
        break;
    }

    if (const int err = writeResult()) {
        fprintf(stderr, "vemrick: cannot write the result: %s\n", strerror(err));
        return EXIT_WRITE_FAILED;
    }
    return status;
}
