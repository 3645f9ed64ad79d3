/* SPDX-License-Identifier: Apache-2.0 */
#include "tool.h"

#include "wipe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

/* Fields the pay command shows when the library returns before filling the record. The currency
 * slot holds three characters, so it shows the preset cut to that width. */
const char kUnknown[] = "Unknown!";

/* The library's trace steps, written as the tool's own. Nothing may be thrown back into the
 * library: a line that finds no memory is dropped. */
void traceFromLibrary(void *, const char *step, const char *detail)
{
    try {
        traceStep(step, detail);
    } catch (const std::bad_alloc &) {
    }
}

/* The key and the proxy credentials, wiped however their scope is left (also when memory runs
 * out). */
struct CredentialBuffer {
    char bytes[PROXY_USER_BUFFER_SIZE] = {};
    ~CredentialBuffer() { secure_wipe(bytes, sizeof bytes); }
};
struct KeyBuffer {
    unsigned char bytes[QZ_KEY_BUFFER_SIZE];
    ~KeyBuffer() { secure_wipe(bytes, sizeof bytes); }
};
using Malloced = std::unique_ptr<char, decltype(&free)>;

/* What a transaction hands the library besides the AuthString. */
struct CallInputs {
    const unsigned char *key;
    unsigned int keyLen;
    const QZCallOptions *options;
    QZCallReport *report;
    unsigned int *cardCount;
    char **cardList;
};

/* What pay and pre-authorization share: the AuthString, the key, the journal, the call, the
 * result. `call` runs the library with the AuthString and the inputs. */
template <class Call>
unsigned int runTransaction(const Options &options, const char *mode, const TransactionArgs &args,
                            TransactionRecord &rec, Result *r, Call call)
{
    const int timeoutSeconds = timeoutFromText(args.timeout);
    std::string auth;
    QZCallReport why;
    if (const unsigned int code = readAuthString(args.authString, timeoutSeconds, &auth, &why)) {
        r->requestSent = 0;
        failRun(r, code, why);
    } else {
        if (const char *failure = checkTlsFiles(options))
            return toolFailure(r, failure);
        KeyBuffer key;
        unsigned int keyLen = 0;
        if (const char *failure = readMerchantKey(args.keyFile, options.keyFd, timeoutSeconds, key.bytes,
                                                    &keyLen))
            return toolFailure(r, failure);
        traceStep("key", ("read, " + std::to_string(keyLen) + " bytes").c_str());
        CredentialBuffer credentials;
        if (options.proxyUserFile != nullptr) {
            if (const char *failure = readProxyCredentials(options.proxyUserFile, credentials.bytes))
                return toolFailure(r, failure);
            traceStep("proxy user", "read"); /* never the user or the password */
        }

        PayRequestFields fields;
        memset(&fields, 0, sizeof fields);
        QZGetPayTransaction(auth.c_str(), static_cast<unsigned int>(auth.size()), &fields);
        const std::string pan = maskPan(fields.PAN);
        traceStep("request", ("TransactionID " + trimmed(fields.TransactionID) + ", amount " +
                              trimmed(fields.TransactionAmount) + " " + fields.CurrencyCode +
                              ", card " + pan)
                                 .c_str());
        Journal journal(options.journal);
        std::string journalError;
        if (!journal.append(mode,
                            jsonMember("MerchantID", fields.MerchantID) + "," +
                                jsonMember("TransactionID", fields.TransactionID) + "," +
                                jsonMember("TransactionAmount", fields.TransactionAmount) + "," +
                                jsonMember("PAN", pan.c_str()) + ",\"phase\":\"sending\"",
                            &journalError)) {
            secure_wipe(&fields, sizeof fields);
            fprintf(stderr, "vemrick: journal: %s\n", journalError.c_str());
            return toolFailure(r, "Unable to write journal");
        }

        const QZCallOptions callOptions = {options.caFile,      traceFromLibrary,
                                           nullptr,             credentials.bytes,
                                           options.certFile,    options.certKeyFile,
                                           options.pins};
        QZCallReport report;
        unsigned int cardCount = 0;
        char *cardList = nullptr;
        r->code = call(auth, CallInputs{key.bytes, keyLen, &callOptions, &report, &cardCount,
                                        &cardList});
        /* Before anything that may run out of memory: main() then tells whether it went out. */
        r->requestSent = report.requestSent != 0;
        const Malloced cards(cardList, free);
        for (unsigned int i = 0; cardList != nullptr && i < cardCount; i++)
            r->cards.emplace_back(cardList + static_cast<size_t>(i) * QZ_CARD_ENTRY_SIZE);
        if (isLibraryFailure(r->code))
            failRun(r, r->code, report);
        const bool preset = strcmp(rec.AuthorizationNumber, kUnknown) == 0;
        if (!journal.append(mode,
                            jsonMember("TransactionID", fields.TransactionID) +
                                ",\"phase\":\"result\",\"returnCode\":" +
                                std::to_string(r->code) + ",\"requestSent\":" +
                                (report.requestSent ? "true" : "false") + "," +
                                jsonMember("authorizationNumber",
                                           preset ? "" : rec.AuthorizationNumber),
                            &journalError))
            fprintf(stderr, "vemrick: journal: the result could not be recorded: %s\n",
                    journalError.c_str());
        secure_wipe(&fields, sizeof fields);
    }
    secure_wipe(&auth[0], auth.size());
    r->hasFields = r->hasAuthorization = true;
    memcpy(&r->fields, &rec, sizeof r->fields);
    r->dateTime = rec.AuthorizationDateTime;
    r->number = rec.AuthorizationNumber;
    /* The pay command's presets: the library returned before it read the AuthString. */
    r->authorizationPreset = strcmp(rec.AuthorizationNumber, kUnknown) == 0;
    secure_wipe(&rec, sizeof rec);
    return r->code;
}

template <size_t N> void presetUnknown(char (&slot)[N])
{
    const size_t n = (N - 1 < sizeof kUnknown - 1) ? N - 1 : sizeof kUnknown - 1;
    memcpy(slot, kUnknown, n);
    slot[n] = '\0';
}

} // namespace

unsigned int getPayTransaction(const char *authString, Result *r)
{
    r->mode = "inspect";
    r->hasFields = true;
    std::string auth;
    QZCallReport why;
    if (const unsigned int code = readAuthString(authString, timeoutFromText(nullptr), &auth, &why))
        return failRun(r, code, why);
    /* The library leaves the record alone on bad arguments; it is cleared (Result's fields
     * start zeroed), so an empty AuthString prints empty values. */
    QZCallReport report;
    r->code = QZGetPayTransactionEx(auth.c_str(), static_cast<unsigned int>(auth.size()),
                                    &r->fields, &report);
    secure_wipe(&auth[0], auth.size());
    return r->code != QZ_OK ? failRun(r, r->code, report) : r->code;
}

unsigned int processPayTransaction(const Options &options, const TransactionArgs &args, Result *r)
{
    r->mode = "pay";
    r->dateTimeKey = "PayAuthorizationDateTime";
    r->numberKey = "PayAuthorizationNumber";
    TransactionRecord rec;
    memset(&rec, 0, sizeof rec);
    presetUnknown(rec.MerchantID);
    presetUnknown(rec.TransactionID);
    presetUnknown(rec.CurrencyCode);
    presetUnknown(rec.TransactionAmount);
    presetUnknown(rec.Description);
    presetUnknown(rec.PAN);
    presetUnknown(rec.AuthorizationDateTime);
    presetUnknown(rec.AuthorizationNumber);
    return runTransaction(options, "pay", args, rec, r, [&](const std::string &auth, const CallInputs &in) {
        return QZProcessPayTransactionEx(auth.c_str(), static_cast<unsigned int>(auth.size()),
                                         args.url, &rec, in.cardCount, in.cardList,
                                         timeoutFromText(args.timeout), in.key, in.keyLen,
                                         args.proxyHost, portFromText(args.proxyPort), in.options,
                                         in.report);
    });
}

unsigned int processPreAuth(const Options &options, const TransactionArgs &args, Result *r)
{
    r->mode = "preauth";
    r->dateTimeKey = "PreAuthDateTime";
    r->numberKey = "QZAuthorizationNumber";
    /* Like the other expiry checks, a date that cannot be computed is reported before the key
     * file is looked at. */
    char expiry[9];
    if (const char *failure = expiryDate(args.expiryDays, expiry))
        return toolFailure(r, failure, false);
    TransactionRecord rec;
    memset(&rec, 0, sizeof rec);
    return runTransaction(options, "preauth", args, rec, r, [&](const std::string &auth, const CallInputs &in) {
        return QZProcessPreAuthorizationEx(auth.c_str(), static_cast<unsigned int>(auth.size()),
                                           expiry, args.url, &rec, in.cardCount, in.cardList,
                                           timeoutFromText(args.timeout), in.key, in.keyLen,
                                           args.proxyHost, portFromText(args.proxyPort),
                                           in.options, in.report);
    });
}
