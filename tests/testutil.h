/* SPDX-License-Identifier: Apache-2.0 */
/* Helpers shared by the unit tests: hex text, vector data files, exact-size heap copies, and pay
 * requests, AuthStrings and replies for the transaction library's tests. */
#ifndef VEMRICK_TESTUTIL_H
#define VEMRICK_TESTUTIL_H

#include "qz_internal.h"
#include "qz_messages.h"
#include "qzutil.h"
#include "vemrick.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace testutil {

using Bytes = std::vector<unsigned char>;

inline Bytes fromHex(const std::string &hex)
{
    if (hex.size() % 2 != 0)
        throw std::invalid_argument("odd hex length: " + hex);
    Bytes out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string toHex(const unsigned char *p, size_t n, bool upper = false)
{
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

inline Bytes toBytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

/* Reads tests/vectors/<name>: one case a line, fields separated by blanks; lines that are empty or
 * start with '#' (the source line among them) are skipped. A field "-" stands for the empty
 * string. */
inline std::vector<std::vector<std::string>> readVectors(const std::string &name)
{
    std::ifstream in(std::string(VEMRICK_TEST_VECTORS) + "/" + name);
    if (!in)
        throw std::runtime_error("cannot open vector file " + name);
    std::vector<std::vector<std::string>> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || line[0] == '\r')
            continue;
        std::istringstream fields(line);
        std::vector<std::string> row;
        std::string f;
        while (fields >> f)
            row.push_back(f == "-" ? std::string() : f);
        rows.push_back(row);
    }
    return rows;
}

/* A heap buffer of exactly n bytes holding a copy of data, so that AddressSanitizer reports any
 * read past its end. */
struct ExactBuffer {
    std::unique_ptr<unsigned char[]> p;
    size_t n;
    ExactBuffer(const void *data, size_t len) : p(new unsigned char[len ? len : 1]), n(len)
    {
        if (len)
            memcpy(p.get(), data, len);
    }
    explicit ExactBuffer(const Bytes &b) : ExactBuffer(b.data(), b.size()) {}
    unsigned char *get() { return p.get(); }
    char *chars() { return reinterpret_cast<char *>(p.get()); }
};

/* ---- pay requests ---- */

/* The six fields of a pay request as texts; laid out, each is filled with spaces to its width. */
struct PayFields {
    std::string merchant = "M1", transaction = "T-42", currency = "EUR", amount = "12.50",
                description = "Two tickets", pan = "4111111111111111";
};

inline std::string field(std::string value, size_t width)
{
    value.resize(width, ' ');
    return value;
}

/* A pay request: an 8-byte header, the six fields, then `tail`. */
inline std::string payRequest(const PayFields &f = PayFields(), const std::string &tail = "")
{
    return "PREQ1.00" + field(f.merchant, QZ_MERCHANT_ID_LEN) +
           field(f.transaction, QZ_TRANSACTION_ID_LEN) + field(f.currency, QZ_CURRENCY_CODE_LEN) +
           field(f.amount, QZ_TRANSACTION_AMOUNT_LEN) + field(f.description, QZ_DESCRIPTION_LEN) +
           field(f.pan, QZ_PAN_LEN) + tail;
}

/* A pay request of len (>= 378) bytes whose bytes after the fields run through every value. */
inline std::string payRequestOfLength(size_t len, const PayFields &f = PayFields())
{
    std::string s = payRequest(f);
    for (size_t i = 0; s.size() < len; i++)
        s += static_cast<char>(i % 256);
    return s;
}

/* The output of one of QZUtil's base64 functions ("" when it fails). */
inline std::string base64Codec(int (*codec)(const unsigned char *, int, unsigned char **),
                               const std::string &in)
{
    unsigned char *out = nullptr;
    const int n = codec(reinterpret_cast<const unsigned char *>(in.data()),
                        static_cast<int>(in.size()), &out);
    std::string s = n > 0 ? std::string(reinterpret_cast<char *>(out), static_cast<size_t>(n)) : "";
    free(out);
    return s;
}
inline std::string base64(const std::string &raw) { return base64Codec(QZUtil::base64_encode, raw); }
inline std::string unbase64(const std::string &t) { return base64Codec(QZUtil::base64_decode, t); }

/* The record as a transaction fills it before sending: the request's six fields, full width. */
inline TransactionRecord recordFor(const std::string &request)
{
    TransactionRecord rec;
    memset(&rec, 0, sizeof rec);
    PayRequestFields fields;
    CopyPayRequestFields(reinterpret_cast<const unsigned char *>(request.data()), &fields);
    memcpy(&rec, &fields, sizeof fields);
    return rec;
}

const std::string kKey = "merchant-secret-key"; /* the key the library's tests sign with */

/* The signature text of data under key; 40 '?' when signing is refused. */
inline std::string sign(const std::string &data, const std::string &key = kKey)
{
    unsigned char sig[41];
    if (!QZUtil::CreateSignatureHMAC(reinterpret_cast<const unsigned char *>(key.data()),
                                     static_cast<unsigned int>(key.size()),
                                     reinterpret_cast<const unsigned char *>(data.data()),
                                     static_cast<unsigned int>(data.size()), sig, sizeof sig))
        return std::string(40, '?');
    return std::string(reinterpret_cast<char *>(sig), 40);
}

/* The parts of a reply; each default is that of an honest one. */
struct ReplyParts {
    std::string request = payRequestOfLength(400); /* whose fields the reply echoes */
    std::string type;                              /* default: the exchange's */
    std::string version = "1.00";
    std::string dateTime = "20240105123000";
    std::string sigLen = "000000000040";
    std::string returnCode = "   0";
    std::string cardCount;                         /* default: the number of cards */
    std::vector<std::string> cards = {"1234"};
    long signedFrom = -1;                          /* default: the exchange's */
    std::string key = kKey;
    std::string signature;                         /* default: the signature under key */
};

/* A reply laid out field after field, independently of the exchange's offsets. */
inline std::string makeReply(const QZExchange &ex, const ReplyParts &r = ReplyParts())
{
    const size_t echo = QZ_PAY_REQUEST_MIN_LEN - QZ_OFF_MERCHANT_ID;
    std::string s = (r.type.empty() ? ex.replyType : r.type) + r.version;
    s += std::string("EXP-DATE", ex.replyShift) + r.request.substr(QZ_OFF_MERCHANT_ID, echo);
    s += field(r.dateTime, QZ_AUTH_DATE_TIME_LEN) + r.sigLen + r.returnCode;
    const std::string n = std::to_string(r.cards.size());
    s += r.cardCount.empty() ? std::string(4 - n.size(), ' ') + n : r.cardCount;
    for (const auto &c : r.cards)
        s += field(c, QZ_CARD_LEN);
    if (!r.signature.empty())
        return s + r.signature;
    return s + sign(s.substr(r.signedFrom < 0 ? ex.replySignedFrom : size_t(r.signedFrom)), r.key);
}

} // namespace testutil

#endif
