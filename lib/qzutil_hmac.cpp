#include "qzutil.h"

/* Placeholders until the digest kernel is built. */
unsigned int QZUtil::HmacSha1(const unsigned char *, unsigned int, const unsigned char *,
                              unsigned int, unsigned char *, unsigned int, int)
{
    return 0;
}

unsigned int QZUtil::CreateSignatureHMAC(const unsigned char *, unsigned int,
                                         const unsigned char *, unsigned int, unsigned char *,
                                         unsigned int)
{
    return 0;
}

unsigned int QZUtil::VerifySignatureHMAC(const unsigned char *, unsigned int,
                                         const unsigned char *, unsigned int,
                                         const unsigned char *, unsigned int)
{
    return 0;
}
