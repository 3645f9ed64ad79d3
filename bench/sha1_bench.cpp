/* SPDX-License-Identifier: Apache-2.0 */
/* Throughput of our SHA-1 on 16 KiB buffers, on each compression path, beside libcrypto's SHA-1;
 * and of HMAC-SHA-1 over a 460-byte message in the text form that the message signatures use,
 * beside libcrypto's HMAC. libcrypto serves here as a yardstick only; nothing else links it.
 * Each case checks once that both sides compute the same value before it is timed.
 * Run with e.g. --benchmark_repetitions=20 --benchmark_report_aggregates_only=true. */
#include "bignum.h"
#include "qzutil.h"
#include "shs.h"
#include "shs_internal.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

const size_t DIGEST_BUFFER = 16 * 1024;
const size_t HMAC_MESSAGE = 460;
const size_t HMAC_KEY = 32;

/* Deterministic filler bytes: the high bytes of a linear congruential sequence. */
std::vector<unsigned char> filler(uint32_t seed, size_t n)
{
    std::vector<unsigned char> out(n);
    for (unsigned char &b : out) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<unsigned char>(seed >> 24);
    }
    return out;
}

std::string hexOf(const unsigned char *p, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

/* Our digest as upper-case hex of its standard byte form. */
std::string ourDigestHex(const std::vector<unsigned char> &data)
{
    uint32_t *h = shs(data.data(), static_cast<uint32_t>(data.size()));
    unsigned char bytes[20];
    for (int i = 0; i < 5; i++)
        for (int j = 0; j < 4; j++)
            bytes[4 * i + j] = static_cast<unsigned char>(h[i] >> (24 - 8 * j));
    clib_free(h);
    return hexOf(bytes, 20);
}

/* Puts the process on one compression path for the life of the object. */
class EngineScope {
public:
    explicit EngineScope(ShsEngine engine) : previous_(shsSelectedEngine())
    {
        ok_ = shsSelectEngine(engine) == 1;
    }
    ~EngineScope() { shsSelectEngine(previous_); }
    EngineScope(const EngineScope &) = delete;
    EngineScope &operator=(const EngineScope &) = delete;
    bool ok() const { return ok_; }

private:
    ShsEngine previous_;
    bool ok_ = false;
};

const char *unavailable = "this CPU has no SHA extensions";

void BM_Sha1_Ours(benchmark::State &state, ShsEngine engine)
{
    EngineScope scope(engine);
    if (!scope.ok()) {
        state.SkipWithError(unavailable);
        return;
    }
    const std::vector<unsigned char> data = filler(1, static_cast<size_t>(state.range(0)));
    unsigned char md[SHA_DIGEST_LENGTH];
    SHA1(data.data(), data.size(), md);
    if (ourDigestHex(data) != hexOf(md, sizeof(md))) {
        state.SkipWithError("our digest differs from libcrypto's");
        return;
    }
    for (auto _ : state) {
        uint32_t *h = shs(data.data(), static_cast<uint32_t>(data.size()));
        benchmark::DoNotOptimize(h[0]);
        clib_free(h);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(data.size()));
}

/* libcrypto's one-call SHA1(), which looks the algorithm up on every call. */
void BM_Sha1_OpenSSL(benchmark::State &state)
{
    const std::vector<unsigned char> data = filler(1, static_cast<size_t>(state.range(0)));
    unsigned char md[SHA_DIGEST_LENGTH];
    for (auto _ : state) {
        SHA1(data.data(), data.size(), md);
        benchmark::DoNotOptimize(md[0]);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(data.size()));
}

/* libcrypto with the algorithm fetched once and one context reused: its raw digest speed. */
void BM_Sha1_OpenSSL_EVP(benchmark::State &state)
{
    const std::vector<unsigned char> data = filler(1, static_cast<size_t>(state.range(0)));
    EVP_MD *md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    if (md == nullptr || ctx == nullptr) {
        state.SkipWithError("libcrypto has no SHA-1");
    } else {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int outLen = 0;
        for (auto _ : state) {
            EVP_DigestInit_ex(ctx, md, nullptr);
            EVP_DigestUpdate(ctx, data.data(), data.size());
            EVP_DigestFinal_ex(ctx, out, &outLen);
            benchmark::DoNotOptimize(out[0]);
        }
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                                static_cast<int64_t>(data.size()));
    }
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
}

/* HMAC-SHA-1 as 40 upper-case hex digits and a NUL, the form the signatures take. */
void BM_HmacSha1Text_Ours(benchmark::State &state, ShsEngine engine)
{
    EngineScope scope(engine);
    if (!scope.ok()) {
        state.SkipWithError(unavailable);
        return;
    }
    const std::vector<unsigned char> message = filler(2, static_cast<size_t>(state.range(0)));
    const std::vector<unsigned char> key = filler(3, HMAC_KEY);
    unsigned char text[41];
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int macLen = 0;
    HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), message.data(), message.size(), mac,
         &macLen);
    if (QZUtil::HmacSha1(message.data(), static_cast<unsigned int>(message.size()), key.data(),
                         static_cast<unsigned int>(key.size()), text, sizeof(text), 1) != 1 ||
        std::string(reinterpret_cast<char *>(text)) != hexOf(mac, macLen)) {
        state.SkipWithError("our HMAC differs from libcrypto's");
        return;
    }
    for (auto _ : state) {
        QZUtil::HmacSha1(message.data(), static_cast<unsigned int>(message.size()), key.data(),
                         static_cast<unsigned int>(key.size()), text, sizeof(text), 1);
        benchmark::DoNotOptimize(text[0]);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(message.size()));
}

/* libcrypto's one-call HMAC() with EVP_sha1(), turned into the same text. */
void BM_HmacSha1Text_OpenSSL(benchmark::State &state)
{
    const std::vector<unsigned char> message = filler(2, static_cast<size_t>(state.range(0)));
    const std::vector<unsigned char> key = filler(3, HMAC_KEY);
    static const char digits[] = "0123456789ABCDEF";
    char text[41];
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int macLen = 0;
    for (auto _ : state) {
        HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), message.data(), message.size(),
             mac, &macLen);
        for (unsigned int i = 0; i < 20; i++) {
            text[2 * i] = digits[mac[i] >> 4];
            text[2 * i + 1] = digits[mac[i] & 15];
        }
        text[40] = '\0';
        benchmark::DoNotOptimize(text[0]);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(message.size()));
}

} // namespace

BENCHMARK_CAPTURE(BM_Sha1_Ours, portable, SHS_ENGINE_PORTABLE)->Arg(DIGEST_BUFFER);
BENCHMARK_CAPTURE(BM_Sha1_Ours, sha_ni, SHS_ENGINE_SHA_NI)->Arg(DIGEST_BUFFER);
BENCHMARK(BM_Sha1_OpenSSL)->Arg(DIGEST_BUFFER);
BENCHMARK(BM_Sha1_OpenSSL_EVP)->Arg(DIGEST_BUFFER);
BENCHMARK_CAPTURE(BM_HmacSha1Text_Ours, portable, SHS_ENGINE_PORTABLE)->Arg(HMAC_MESSAGE);
BENCHMARK_CAPTURE(BM_HmacSha1Text_Ours, sha_ni, SHS_ENGINE_SHA_NI)->Arg(HMAC_MESSAGE);
BENCHMARK(BM_HmacSha1Text_OpenSSL)->Arg(HMAC_MESSAGE);

BENCHMARK_MAIN();
