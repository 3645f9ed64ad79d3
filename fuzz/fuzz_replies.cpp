// The reply checks, readers and signature checks of "1041" and "1094" on arbitrary decoded
// replies. The first input byte steers: bit 0 picks "1094", bit 1 makes the expected record echo
// the reply's own fields (so the readers are reached), bit 2 signs the reply correctly where its
// card count allows (so verification is reached, and must then succeed).
#include "qz_internal.h"
#include "qz_messages.h"
#include "qzutil.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

const unsigned char kKey[] = "fuzz-merchant-key";
const unsigned int kKeyLen = sizeof kKey - 1;

int readNumber(const unsigned char *p, size_t width)
{
    std::string text(reinterpret_cast<const char *>(p), width);
    QZUtil::TrimStr(&text[0]);
    return atoi(text.c_str());
}

/* Writes a valid signature-length field and signature; returns false where the count forbids. */
bool sign(unsigned char *reply, size_t n, unsigned int shift, bool preauth)
{
    const size_t countOff = 414 + shift;
    if (n < countOff + 4)
        return false;
    const int count = readNumber(reply + countOff, 4);
    if (count < 1 || count > QZ_MAX_CARDS)
        return false;
    const size_t sigOff = 418 + shift + 10 * static_cast<size_t>(count);
    if (sigOff + 40 > n)
        return false;
    memcpy(reply + 398 + shift, "000000000040", 12);
    const size_t from = preauth ? 0 : 8;
    unsigned char sig[41];
    if (!QZUtil::CreateSignatureHMAC(kKey, kKeyLen, reply + from,
                                     static_cast<unsigned int>(sigOff - from), sig, sizeof sig))
        __builtin_trap();
    memcpy(reply + sigOff, sig, 40);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 64 * 1024)
        return 0;
    const unsigned flags = data[0];
    const bool preauth = flags & 1;
    const unsigned int shift = preauth ? 8 : 0;
    const size_t n = size - 1;
    std::unique_ptr<unsigned char[]> reply(new unsigned char[n ? n : 1]);
    if (n)
        memcpy(reply.get(), data + 1, n);

    TransactionRecord rec;
    memset(&rec, 0, sizeof rec);
    if ((flags & 2) && n >= QZ_PAY_REQUEST_MIN_LEN + shift) {
        PayRequestFields fields;
        CopyPayRequestFields(reply.get() + shift, &fields);
        memcpy(&rec, &fields, sizeof fields);
    }
    const bool signedOk = (flags & 4) && sign(reply.get(), n, shift, preauth);

    const unsigned int len = static_cast<unsigned int>(n);
    // The transactions read only replies that pass the check; the readers must be safe anyway.
    if (preauth)
        CheckPreAuthorizationReply(reply.get(), len, &rec);
    else
        CheckPayTransactionReply(reply.get(), len, &rec);

    unsigned int cardCount = 0;
    char *cardList = nullptr;
    const unsigned int rc =
        preauth ? ParsePreAuthorizationReply(reply.get(), len, &rec, &cardCount, &cardList)
                : ParsePayTransactionReply(reply.get(), len, &rec, &cardCount, &cardList);
    if (rc == 0) {
        const int verified =
            preauth ? VerifyPreAuthorizationReply(reply.get(), len, &rec, cardCount, kKey, kKeyLen)
                    : VerifyPayTransactionReply(reply.get(), len, &rec, cardCount, kKey, kKeyLen);
        if (signedOk && !verified)
            __builtin_trap();
    }
    free(cardList);
    return 0;
}
