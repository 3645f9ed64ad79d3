#include "vemrick.h"

/* Placeholder until request validation is built. */
unsigned int QZIsValidPayTransaction(const char *, unsigned int, const PayRequestFields *)
{
    return QZ_BAD_ARGUMENTS;
}
