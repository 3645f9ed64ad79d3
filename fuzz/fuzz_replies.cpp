/* SPDX-License-Identifier: Apache-2.0 */
// The reply checks, readers and signature checks of both exchanges on arbitrary decoded replies.
// The first input byte steers: bit 0 picks the pre-authorization, bit 1 makes the expected record
// echo the reply's own fields (so the readers are reached), bit 2 signs the reply correctly where
// its card count allows (so verification is reached, and must then succeed).
#include "qz_internal.h"
#include "qz_messages.h"
#include "qzutil.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

const unsigned char kKey[] = "fuzz-merchant-key";
const unsigned int kKeyLen = sizeof kKey - 1;

/* Writes a valid signature-length field and signature; returns false where the card count
 * forbids, or where the signed range would begin like one of the library's own messages (which
 * no reply may). */
bool sign(unsigned char *reply, size_t n, const QZExchange &ex)
{
    if (n < ex.replyCards)
        return false;
    const char *countField = reinterpret_cast<const char *>(reply + ex.replyCardCount);
    const long long count = QZUtil::ReadDecimal(countField, QZ_CARD_COUNT_LEN);
    if (count < 1 || count > QZ_MAX_CARDS)
        return false;
    const size_t sigOff = QZReplySignature(ex, static_cast<size_t>(count));
    const unsigned char *from = reply + ex.replySignedFrom;
    if (sigOff + QZ_SIG_TEXT_LEN > n || memcmp(from, kQZPay.messageType, QZ_TYPE_LEN) == 0 ||
        memcmp(from, kQZPreAuth.messageType, QZ_TYPE_LEN) == 0)
        return false;
    memcpy(reply + ex.replySigLen, "000000000040", QZ_SIG_LEN_FIELD);
    unsigned char sig[QZ_SIG_TEXT_LEN + 1];
    if (!QZUtil::CreateSignatureHMAC(kKey, kKeyLen, from,
                                     static_cast<unsigned int>(sigOff - ex.replySignedFrom), sig,
                                     sizeof sig))
        __builtin_trap();
    memcpy(reply + sigOff, sig, QZ_SIG_TEXT_LEN);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 64 * 1024)
        return 0;
    const unsigned flags = data[0];
    const QZExchange &ex = (flags & 1) ? kQZPreAuth : kQZPay;
    const size_t n = size - 1;
    std::unique_ptr<unsigned char[]> reply(new unsigned char[n ? n : 1]);
    if (n)
        memcpy(reply.get(), data + 1, n);

    TransactionRecord rec;
    memset(&rec, 0, sizeof rec);
    if ((flags & 2) && n >= QZ_PAY_REQUEST_MIN_LEN + ex.replyShift) {
        PayRequestFields fields;
        CopyPayRequestFields(reply.get() + ex.replyShift, &fields);
        memcpy(&rec, &fields, sizeof fields);
    }
    const bool signedOk = (flags & 4) && sign(reply.get(), n, ex);

    const unsigned int len = static_cast<unsigned int>(n);
    // The transactions read only replies that pass the check; the readers must be safe anyway.
    CheckQZReply(ex, reply.get(), len, &rec);

    unsigned int cardCount = 0;
    char *cardList = nullptr;
    if (ParseQZReply(ex, reply.get(), len, &rec, &cardCount, &cardList) == QZ_OK &&
        !VerifyQZReply(ex, reply.get(), len, &rec, cardCount, kKey, kKeyLen) && signedOk)
        __builtin_trap();
    free(cardList);
    return 0;
}
