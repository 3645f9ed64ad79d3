#include "vemrick.h"

/* Placeholders until the transport and the transactions are built. */
unsigned int QZProcessPayTransaction(const char *, unsigned int, const char *, TransactionRecord *rec,
                                     unsigned int *, char **, int, const unsigned char *,
                                     unsigned int, const char *, unsigned int)
{
    if (rec != nullptr)
        rec->ReturnCode = QZ_POST_FAILED;
    return QZ_POST_FAILED;
}

unsigned int QZProcessPreAuthorization(const char *, unsigned int, const char *, const char *,
                                       TransactionRecord *rec, unsigned int *, char **, int,
                                       const unsigned char *, unsigned int, const char *,
                                       unsigned int)
{
    if (rec != nullptr)
        rec->ReturnCode = QZ_POST_FAILED;
    return QZ_POST_FAILED;
}
