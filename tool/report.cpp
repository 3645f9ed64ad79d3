/* SPDX-License-Identifier: Apache-2.0 */
#include "tool.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

/* Appends text with every byte below 0x20 and the byte 0x7F as '?'. */
void appendPrintable(std::string &to, const char *text)
{
    for (const char *p = text; *p != '\0'; p++) {
        const unsigned char c = static_cast<unsigned char>(*p);
        to += (c < 0x20 || c == 0x7F) ? '?' : *p;
    }
}

void line(std::string &out, const char *key, const char *value)
{
    out += key;
    out += '=';
    appendPrintable(out, value);
    out += '\n';
}

/* The length of the valid UTF-8 sequence at p (n bytes left), or 0 when there is none. */
size_t utf8Length(const unsigned char *p, size_t n)
{
    size_t len;
    unsigned int min;
    if (p[0] >= 0xC2 && p[0] <= 0xDF) {
        len = 2;
        min = 0x80;
    } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        len = 3;
        min = 0x800;
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        len = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (n < len)
        return 0;
    unsigned int cp = p[0] & (0x7F >> len);
    for (size_t i = 1; i < len; i++) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

void member(std::string &out, const char *name, const std::string &jsonValue)
{
    if (out.size() > 1)
        out += ',';
    out += jsonString(name, strlen(name));
    out += ':';
    out += jsonValue;
}

std::string text(const char *s)
{
    return jsonString(s, strlen(s));
}

const char *const kFieldNames[] = {"MerchantID", "TransactionID", "CurrencyCode",
                                   "TransactionAmount", "Description", "PAN"};

const char *fieldOf(const PayRequestFields &f, int i)
{
    const char *const all[] = {f.MerchantID,        f.TransactionID, f.CurrencyCode,
                               f.TransactionAmount, f.Description,   f.PAN};
    return all[i];
}

bool tracing = false;
struct timespec traceStart;

} // namespace

std::string jsonString(const char *bytes, size_t n)
{
    static const char hex[] = "0123456789abcdef";
    const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes);
    std::string out = "\"";
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        const size_t seq = c >= 0x80 ? utf8Length(p + i, n - i) : 1;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F || seq == 0) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out.append(bytes + i, seq);
            i += seq;
            continue;
        }
        i++;
    }
    out += '"';
    return out;
}

std::string trimmed(const char *text)
{
    std::string s(text);
    s.erase(0, s.find_first_not_of(' '));
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
}

std::string maskPan(const char *pan)
{
    std::string s = trimmed(pan);
    const size_t n = s.size();
    const size_t head = n > 12 ? 6 : 0;
    const size_t tail = n > 4 ? 4 : 0;
    for (size_t i = head; i + tail < n; i++)
        s[i] = '*';
    return s;
}

std::string renderLines(const Result &r)
{
    std::string out;
    if (r.frontEndFailure)
        return "ReturnCode=" + std::to_string(r.code) + "\nReturnDescription=" + r.description +
               "\n";
    for (const std::string &card : r.cards)
        line(out, "Card", card.c_str());
    for (int i = 0; r.hasFields && i < 6; i++)
        line(out, kFieldNames[i], fieldOf(r.fields, i));
    if (r.hasAuthorization) {
        line(out, r.dateTimeKey, r.dateTime.c_str());
        line(out, r.numberKey, r.number.c_str());
    }
    return out + "ReturnCode=" + std::to_string(r.code) + "\n";
}

std::string renderJson(const Result &r)
{
    std::string out = "{";
    if (r.mode != nullptr)
        member(out, "mode", text(r.mode));
    for (int i = 0; r.hasFields && i < 6; i++)
        member(out, kFieldNames[i], text(fieldOf(r.fields, i)));
    if (r.hasAuthorization) {
        std::string cards = "[";
        for (const std::string &card : r.cards)
            cards += (cards.size() > 1 ? "," : "") + text(card.c_str());
        member(out, "cards", cards + "]");
        member(out, "authorizationDateTime", text(r.authorizationPreset ? "" : r.dateTime.c_str()));
        member(out, "authorizationNumber", text(r.authorizationPreset ? "" : r.number.c_str()));
    }
    member(out, "returnCode", std::to_string(r.code));
    std::string description = r.description;
    while (!description.empty() && description.back() == '\n')
        description.pop_back();
    if (!description.empty())
        member(out, "returnDescription", text(description.c_str()));
    if (r.requestSent >= 0)
        member(out, "requestSent", r.requestSent ? "true" : "false");
    return out + "}\n";
}

void startTrace(bool on)
{
    tracing = on;
    clock_gettime(CLOCK_MONOTONIC, &traceStart);
}

/* The one formatter of stderr lines: "vemrick: <prefix><what>: <detail><suffix>", what and detail
 * printed as values are. */
static void stderrLine(const std::string &prefix, const char *what, const char *detail,
                       const char *suffix)
{
    std::string out = "vemrick: " + prefix;
    appendPrintable(out, what);
    out += ": ";
    appendPrintable(out, detail);
    out += suffix;
    out += '\n';
    fputs(out.c_str(), stderr);
}

void traceStep(const char *step, const char *detail)
{
    if (!tracing)
        return;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ms = (now.tv_sec - traceStart.tv_sec) * 1000LL +
                         (now.tv_nsec - traceStart.tv_nsec) / 1000000;
    stderrLine("trace " + std::to_string(ms) + " ms: ", step, detail, "");
}

bool isLibraryFailure(unsigned int code)
{
    return code == QZ_BAD_REQUEST || (code >= QZ_BAD_ARGUMENTS && code <= QZ_BAD_REPLY);
}

unsigned int failRun(Result *r, unsigned int code, const QZCallReport &report, bool toStderr)
{
    r->code = code;
    if (code == QZ_FRONTEND_ERROR) {
        r->frontEndFailure = true;
        r->hasFields = r->hasAuthorization = false;
        r->cards.clear();
        r->description = report.cause;
        if (toStderr)
            fprintf(stderr, "%s\n", report.cause);
        return code;
    }
    const char *phase = report.phase[0] != '\0' ? report.phase : "transaction";
    const char *cause = report.cause[0] != '\0' ? report.cause : "failed";
    r->description = std::string(phase) + ": " + cause;
    /* A proxy that refused a request it was handed should not have passed it on; as its answer
     * proves nothing, the payment server is still to be asked. */
    const bool proxyRefused = report.requestSent && strcmp(report.phase, "proxy") == 0;
    stderrLine("", phase, cause,
               proxyRefused ? " (request refused by the proxy, which should not have passed it "
                              "on; check with the payment server before paying again)"
               : report.requestSent ? " (request sent: the outcome is unknown; check with the "
                                      "payment server before paying again)"
                                    : " (request not sent)");
    return code;
}

unsigned int toolFailure(Result *r, const char *text, bool toStderr)
{
    QZCallReport report = {0, "", ""};
    snprintf(report.cause, sizeof report.cause, "%s", text);
    return failRun(r, QZ_FRONTEND_ERROR, report, toStderr);
}
