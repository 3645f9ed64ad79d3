#include "qzutil.h"
#include "vemrick.h"

/* Placeholder until the HTTP client is built. */
int QZUtil::SendQZRequest(const unsigned char *, unsigned int, const char *, const char *,
                          unsigned char **, unsigned int *, int, const char *, unsigned int)
{
    return QZ_POST_FAILED;
}
