/* SPDX-License-Identifier: Apache-2.0 */
/* Internal declarations of the transaction library, shared by its sources, its tests and its
 * fuzz targets. Not installed: merchants' programs use vemrick.h only.
 */
#ifndef VEMRICK_QZ_INTERNAL_H
#define VEMRICK_QZ_INTERNAL_H

#include "vemrick.h"

#include <cstddef>

/* Layout of the decoded pay request: a buyer's header, then the six fields back to back. */
enum {
    QZ_OFF_MERCHANT_ID = 8,        /* the first field */
    QZ_PAY_REQUEST_MIN_LEN = 378,  /* the six fields end here */
    QZ_PAY_REQUEST_MAX_LEN = 10622 /* the most the server messages carry */
};

/* One of the six fields: its offset in the pay request (a reply echoes it at the same offset plus
 * the reply's shift), its width, and the offset of its slot in PayRequestFields, which is also its
 * slot in a TransactionRecord. */
struct QZField {
    unsigned int offset;
    unsigned int width;
    size_t slot;
};
enum { QZ_FIELD_COUNT = 6 };
extern const QZField kQZFields[QZ_FIELD_COUNT]; /* in the order of the pay request */

/* Decodes an AuthString of `length` bytes. Returns 1 with *out a malloc'ed pay request of *outLen
 * bytes (the caller frees it) when the result has at least one byte; 0 otherwise with *out null,
 * and *noMemory (where given) telling whether memory ran out. */
int DecodePayRequestMsg(const char *authString, unsigned int length, unsigned char **out,
                        unsigned int *outLen, bool *noMemory = nullptr);

/* Copies the six fields of a pay request of at least QZ_PAY_REQUEST_MIN_LEN bytes, untrimmed and
 * NUL-terminated, into *out. */
void CopyPayRequestFields(const unsigned char *payRequest, PayRequestFields *out);

/* How ReadWithin ended. */
enum ReadEnd { READ_ENDED, READ_FULL, READ_TIMED_OUT, READ_FAILED };

/* Reads fd into buf until the input ends, limit bytes are held (READ_FULL), timeoutSeconds pass
 * (READ_TIMED_OUT; 0 or less: no limit) or a read fails (READ_FAILED, errno set); *have counts
 * the bytes. It waits in poll, so an input held open by a stuck writer costs the time-out, not
 * the run; a non-blocking descriptor works as well. */
ReadEnd ReadWithin(int fd, unsigned char *buf, size_t limit, int timeoutSeconds, size_t *have);

#endif
