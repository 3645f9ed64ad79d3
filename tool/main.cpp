#include "tool.h"

#include "vemrick.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char *errorString = nullptr;

static const char kBadUsage[] = "Bad Usage\n";
static const size_t kErrorBufferSize = 1024;

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
    printf("ReturnCode=%u\n", rc);
    return rc;
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

    char *errorBuffer = static_cast<char *>(malloc(kErrorBufferSize));
    if (errorBuffer == nullptr) {
        printf("ReturnCode=%u\n", QZ_FRONTEND_ERROR);
        printf("ReturnDescription=Out of Memory\n");
        fprintf(stderr, "%s: Out of Memory", prog);
        return 1;
    }
    errorBuffer[0] = '\0';
    errorString = errorBuffer;

    const Mode mode = chooseMode(argc, argv);
    if (mode == MODE_WRONG)
        usage(prog);

    if (errorString[0] != '\0') {
        printf("ReturnCode=%u\n", QZ_FRONTEND_ERROR);
        printf("ReturnDescription=%s\n", errorString);
        fprintf(stderr, "%s\n", errorString);
        free(errorBuffer);
        return 1;
    }

    switch (mode) {
    case MODE_PAY:
        processPayTransaction(argv[1], argv[2], argv[3], argv[4], argv[5], argv[6]);
        break;
    case MODE_PREAUTH:
        processPreAuth(argv[2], argv[3], argv[4], argv[5], argv[6], argv[7], argv[8]);
        break;
    case MODE_INSPECT:
        getPayTransaction(argv[2]);
        break;
    case MODE_WRONG:
        break;
    }
    free(errorBuffer);
    return 0;
}
