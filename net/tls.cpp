/* SPDX-License-Identifier: Apache-2.0 */
#include "tls.h"

#include "csock.h"
#include "netutil.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace nettls {

namespace {

const size_t kDigestSize = 32; /* SHA-256 */
using Digest = std::array<unsigned char, kDigestSize>;

/* The value of a standard base64 character, or -1. */
int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

/* Decodes the n characters at text, which must be exactly the padded standard base64 of a
 * digest (43 characters and "=", the unused low bits zero). */
bool decodeDigest(const char *text, size_t n, Digest *out)
{
    const size_t kChars = (kDigestSize + 2) / 3 * 4;
    if (n != kChars || text[kChars - 1] != '=')
        return false;
    unsigned int bits = 0, held = 0;
    size_t filled = 0;
    for (size_t i = 0; i + 1 < kChars; i++) {
        const int v = base64Value(text[i]);
        if (v < 0)
            return false;
        bits = (bits << 6) | static_cast<unsigned int>(v);
        held += 6;
        if (held >= 8) {
            held -= 8;
            (*out)[filled++] = static_cast<unsigned char>(bits >> held);
            bits &= (1u << held) - 1;
        }
    }
    return filled == kDigestSize && bits == 0;
}

/* Splits pins (see Setup) into digests. Returns false for a malformed text. */
bool parsePins(const char *pins, std::vector<Digest> *out)
{
    static const char kPrefix[] = "sha256//";
    const size_t prefixLen = sizeof kPrefix - 1;
    out->clear();
    if (pins == nullptr)
        return false;
    const char *p = pins;
    for (;;) {
        const char *end = strchr(p, ';');
        const size_t n = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
        Digest d;
        if (out->size() == kMaxPins || n < prefixLen || strncmp(p, kPrefix, prefixLen) != 0 ||
            !decodeDigest(p + prefixLen, n - prefixLen, &d))
            return false;
        out->push_back(d);
        if (end == nullptr)
            return true;
        p = end + 1;
    }
}

} // namespace

bool PinsWellFormed(const char *pins)
{
    std::vector<Digest> digests;
    return parsePins(pins, &digests);
}

} // namespace nettls

#if VEMRICK_HAVE_TLS

#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <dirent.h>
#include <dlfcn.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#if OPENSSL_VERSION_MAJOR < 3
#error "TLS support needs the headers of OpenSSL 3"
#endif

namespace nettls {

namespace {

/* The library's functions this module calls, looked up by name: the headers give their types
 * only, so nothing links against libssl and a plain-HTTP run never maps it. Several of the
 * library's documented calls are macros over SSL_ctrl, SSL_CTX_ctrl and BIO_ctrl; those are
 * called instead. */
#define VEMRICK_TLS_FUNCTIONS(X)                                                                   \
    X(OPENSSL_init_ssl)                                                                            \
    X(TLS_client_method)                                                                           \
    X(SSL_CTX_new)                                                                                 \
    X(SSL_CTX_free)                                                                                \
    X(SSL_CTX_ctrl)                                                                                \
    X(SSL_CTX_set_options)                                                                         \
    X(SSL_CTX_set_verify)                                                                          \
    X(SSL_CTX_load_verify_file)                                                                    \
    X(SSL_CTX_load_verify_dir)                                                                     \
    X(SSL_CTX_get_security_level)                                                                  \
    X(SSL_CTX_set_security_level)                                                                  \
    X(SSL_CTX_get0_param)                                                                          \
    X(SSL_CTX_use_certificate)                                                                     \
    X(SSL_CTX_use_PrivateKey)                                                                      \
    X(SSL_new)                                                                                     \
    X(SSL_free)                                                                                    \
    X(SSL_set_bio)                                                                                 \
    X(SSL_ctrl)                                                                                    \
    X(SSL_get0_param)                                                                              \
    X(SSL_set_connect_state)                                                                       \
    X(SSL_do_handshake)                                                                            \
    X(SSL_get_error)                                                                               \
    X(SSL_read)                                                                                    \
    X(SSL_write)                                                                                   \
    X(SSL_get_verify_result)                                                                       \
    X(SSL_get_version)                                                                             \
    X(SSL_get_current_cipher)                                                                      \
    X(SSL_CIPHER_get_name)                                                                         \
    X(SSL_get1_peer_certificate)                                                                   \
    X(SSL_get0_verified_chain)                                                                     \
    X(OPENSSL_sk_num)                                                                              \
    X(OPENSSL_sk_value)                                                                            \
    X(OPENSSL_cleanse)                                                                             \
    X(CRYPTO_free)                                                                                 \
    X(PEM_read_bio)                                                                                \
    X(PEM_read_bio_X509)                                                                           \
    X(PEM_read_bio_PrivateKey)                                                                     \
    X(X509_check_private_key)                                                                      \
    X(EVP_PKEY_free)                                                                               \
    X(X509_get_X509_PUBKEY)                                                                        \
    X(i2d_X509_PUBKEY)                                                                             \
    X(EVP_Digest)                                                                                  \
    X(EVP_sha256)                                                                                  \
    X(X509_get_subject_name)                                                                       \
    X(X509_NAME_oneline)                                                                           \
    X(X509_free)                                                                                   \
    X(X509_verify_cert_error_string)                                                               \
    X(X509_get_default_cert_dir)                                                                   \
    X(X509_get_default_cert_file)                                                                  \
    X(X509_get_default_cert_dir_env)                                                               \
    X(X509_get_default_cert_file_env)                                                              \
    X(X509_VERIFY_PARAM_set1_host)                                                                 \
    X(X509_VERIFY_PARAM_set1_ip_asc)                                                               \
    X(X509_VERIFY_PARAM_set_hostflags)                                                             \
    X(X509_VERIFY_PARAM_set_flags)                                                                 \
    X(BIO_s_mem)                                                                                   \
    X(BIO_new_mem_buf)                                                                             \
    X(BIO_new)                                                                                     \
    X(BIO_free)                                                                                    \
    X(BIO_read)                                                                                    \
    X(BIO_write)                                                                                   \
    X(BIO_ctrl)                                                                                    \
    X(BIO_ctrl_pending)                                                                            \
    X(ERR_peek_last_error)                                                                         \
    X(ERR_reason_error_string)                                                                     \
    X(SSL_CTX_sess_set_new_cb)                                                                     \
    X(SSL_set_session)                                                                             \
    X(SSL_SESSION_free)                                                                            \
    X(SSL_session_reused)                                                                          \
    X(SSL_set_ex_data)                                                                             \
    X(SSL_get_ex_data)                                                                             \
    X(SSL_shutdown)                                                                                \
    X(ERR_clear_error)

struct Library {
#define VEMRICK_TLS_MEMBER(name) decltype(&::name) name = nullptr;
    VEMRICK_TLS_FUNCTIONS(VEMRICK_TLS_MEMBER)
#undef VEMRICK_TLS_MEMBER
    /* Declared as deprecated by the headers, so looked up apart: loads the TLS error texts. */
    int (*ERR_load_SSL_strings)() = nullptr;
    bool loaded = false;
    bool lean = false; /* started without error texts */
    std::string error; /* why it is not loaded */
};

std::atomic<bool> leanStart{false};

const char kLibraryName[] = "libssl.so.3";

/* Loaded once, by the first thread that asks (the initialisation of a function's static is
 * thread-safe); read-only after that. The library stays loaded until the process ends. */
const Library &library()
{
    static const Library lib = [] {
        Library l;
        void *handle = netutil::openLibrary(kLibraryName, "", &l.error);
        if (handle == nullptr)
            return l;
        /* dlsym on the handle also finds libcrypto's functions: libssl depends on it. */
#define VEMRICK_TLS_LOOKUP(name) netutil::findSymbol(handle, kLibraryName, #name, &l.name, &l.error);
        VEMRICK_TLS_FUNCTIONS(VEMRICK_TLS_LOOKUP)
#undef VEMRICK_TLS_LOOKUP
        l.ERR_load_SSL_strings = reinterpret_cast<int (*)()>(dlsym(handle, "ERR_load_SSL_strings"));
        l.lean = leanStart.load() && l.ERR_load_SSL_strings != nullptr;
        /* The configuration is read either way (OPENSSL_INIT_LOAD_CONFIG is the default). */
        const uint64_t texts =
            l.lean ? OPENSSL_INIT_NO_LOAD_SSL_STRINGS | OPENSSL_INIT_NO_ATEXIT
                   : OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS;
        if (l.error.empty() && l.OPENSSL_init_ssl(texts, nullptr) != 1)
            l.error = std::string(kLibraryName) + " failed to initialise";
        l.loaded = l.error.empty();
        return l;
    }();
    return lib;
}

/* Bytes moved between the engine and the socket at a time; more than one TLS record. */
const size_t kChunk = 17 * 1024;
/* Each handshake round moves at least one byte or ends the handshake; this bounds the rounds of
 * a server that trickles its handshake one byte at a time. */
const int kMaxHandshakeRounds = 65536;
const size_t kMaxSubject = 256;

bool isAddress(const char *host)
{
    unsigned char buf[sizeof(struct in6_addr)];
    return inet_pton(AF_INET, host, buf) == 1 || inet_pton(AF_INET6, host, buf) == 1;
}

/* The reason of the engine's last error; for a failed certificate check, with the check's own
 * verdict ("certificate verify failed (hostname mismatch)"). */
std::string engineError(const Library &lib, SSL *ssl, const char *fallback)
{
    if (lib.lean) { /* a failure is about to be reported: now its texts are worth loading */
        static std::once_flag once;
        std::call_once(once, [&lib] { lib.ERR_load_SSL_strings(); });
    }
    const unsigned long e = lib.ERR_peek_last_error();
    const char *reason = e != 0 ? lib.ERR_reason_error_string(e) : nullptr;
    std::string text = reason != nullptr ? reason : fallback;
    const long verify = ssl != nullptr ? lib.SSL_get_verify_result(ssl) : X509_V_OK;
    if (verify != X509_V_OK)
        text += std::string(" (") + lib.X509_verify_cert_error_string(verify) + ")";
    return text;
}

/* Certificate and key files are read whole, up to this size, into memory that is wiped. */
const size_t kMaxPemFile = 1024 * 1024;
/* PEM blocks looked at for a certificate: more than a 1 MiB file can hold. */
const size_t kMaxPemBlocks = 1024 * 1024;
/* The security level below which no configuration may go: RSA and DH keys of 2048 bits or more,
 * no SHA-1 signatures. */
const int kMinSecurityLevel = 2;

bool given(const char *text)
{
    return text != nullptr && text[0] != '\0';
}

/* A file's bytes in memory the engine reads from; every copy is wiped when done. The buffer
 * starts at the file's size (a few KiB for a certificate) and grows only for a file that grows
 * while it is read, or that has no size (a pipe): zero-filling 1 MiB for every file would cost
 * more than reading it. */
class PemFile {
public:
    PemFile(const Library &lib, const char *path) : lib_(lib)
    {
        FILE *f = fopen(path, "rb");
        if (f == nullptr) {
            error_ = netutil::errorText(errno);
            return;
        }
        struct stat st;
        size_t want = kFirstRead;
        if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
            want = static_cast<unsigned long long>(st.st_size) < kMaxPemFile
                       ? static_cast<size_t>(st.st_size) + 1 : kMaxPemFile + 1;
        bytes_.resize(want);
        for (;;) {
            size_ += fread(&bytes_[size_], 1, bytes_.size() - size_, f);
            if (size_ < bytes_.size() || bytes_.size() > kMaxPemFile)
                break; /* the end, an error, or past the limit */
            grow(bytes_.size() * 2 < kMaxPemFile + 1 ? bytes_.size() * 2 : kMaxPemFile + 1);
        }
        const bool failed = ferror(f) != 0;
        fclose(f);
        if (failed)
            error_ = "cannot read it";
        else if (size_ > kMaxPemFile)
            error_ = "larger than 1 MiB";
        else if (size_ == 0)
            error_ = "empty";
    }
    ~PemFile() { wipe(&bytes_); }
    PemFile(const PemFile &) = delete;
    PemFile &operator=(const PemFile &) = delete;

    /* "" when the file was read; otherwise why not. */
    const std::string &error() const { return error_; }
    /* A new read-only memory source over the bytes (null: no memory); the caller frees it. */
    BIO *open() const { return lib_.BIO_new_mem_buf(bytes_.data(), static_cast<int>(size_)); }

private:
    static const size_t kFirstRead = 16 * 1024;

    void wipe(std::vector<char> *v) const
    {
        if (!v->empty())
            lib_.OPENSSL_cleanse(v->data(), v->size());
    }
    /* A larger buffer holding what was read; the old one is wiped before it is freed. */
    void grow(size_t size)
    {
        std::vector<char> larger(size);
        memcpy(larger.data(), bytes_.data(), size_);
        wipe(&bytes_);
        bytes_.swap(larger);
    }

    const Library &lib_;
    std::vector<char> bytes_;
    size_t size_ = 0;
    std::string error_;
};

/* A password callback that gives none: an encrypted key is refused, never prompted for. */
int noPassword(char *, int, int, void *)
{
    return -1;
}

/* Whether a PEM file holds at least one certificate block. The blocks are not decoded (the CA
 * file is parsed again when the session is set up, and decoding is what costs); a certificate
 * block that does not decode then fails the set-up, still before anything is sent. */
bool holdsCertificate(const Library &lib, const char *path, std::string *why)
{
    PemFile file(lib, path);
    if (!file.error().empty()) {
        *why = file.error();
        return false;
    }
    BIO *in = file.open();
    bool found = false;
    char *name = nullptr, *header = nullptr;
    unsigned char *data = nullptr;
    long len = 0;
    for (size_t i = 0; in != nullptr && !found && i < kMaxPemBlocks &&
                       lib.PEM_read_bio(in, &name, &header, &data, &len) == 1;
         i++) {
        found = strcmp(name, PEM_STRING_X509) == 0 || strcmp(name, PEM_STRING_X509_OLD) == 0 ||
                strcmp(name, PEM_STRING_X509_TRUSTED) == 0;
        lib.CRYPTO_free(name, __FILE__, __LINE__);
        lib.CRYPTO_free(header, __FILE__, __LINE__);
        lib.CRYPTO_free(data, __FILE__, __LINE__);
    }
    if (in != nullptr)
        lib.BIO_free(in);
    if (!found)
        *why = "no certificate in it";
    return found;
}

/* A client certificate, its chain and its key, as read from their files. */
struct ClientIdentity {
    const Library &lib;
    X509 *cert = nullptr;
    std::vector<X509 *> chain;
    EVP_PKEY *key = nullptr;

    explicit ClientIdentity(const Library &l) : lib(l) {}
    ~ClientIdentity()
    {
        for (X509 *x : chain)
            lib.X509_free(x);
        if (cert != nullptr)
            lib.X509_free(cert);
        if (key != nullptr)
            lib.EVP_PKEY_free(key);
    }
    ClientIdentity(const ClientIdentity &) = delete;
    ClientIdentity &operator=(const ClientIdentity &) = delete;

    /* Reads certFile (certificate, then its chain) and the key (keyFile, or certFile when none).
     * Returns false with *why set; the text never holds bytes of the key. */
    bool read(const char *certFile, const char *keyFile, std::string *why)
    {
        const char *keyPath = given(keyFile) ? keyFile : certFile;
        PemFile certs(lib, certFile);
        if (!certs.error().empty()) {
            *why = certFile + std::string(": ") + certs.error();
            return false;
        }
        BIO *in = certs.open();
        if (in != nullptr) {
            cert = lib.PEM_read_bio_X509(in, nullptr, noPassword, nullptr);
            for (size_t i = 0; cert != nullptr && i < kMaxChain; i++) {
                X509 *next = lib.PEM_read_bio_X509(in, nullptr, noPassword, nullptr);
                if (next == nullptr)
                    break;
                chain.push_back(next);
            }
            lib.BIO_free(in);
        }
        if (cert == nullptr) {
            *why = certFile + std::string(": no certificate in it");
            return false;
        }
        PemFile keys(lib, keyPath);
        if (!keys.error().empty()) {
            *why = keyPath + std::string(": ") + keys.error();
            return false;
        }
        in = keys.open();
        if (in != nullptr) {
            key = lib.PEM_read_bio_PrivateKey(in, nullptr, noPassword, nullptr);
            lib.BIO_free(in);
        }
        if (key == nullptr) {
            *why = keyPath + std::string(": no unencrypted private key in it");
            return false;
        }
        if (lib.X509_check_private_key(cert, key) != 1) {
            *why = keyPath + std::string(": the private key does not match the certificate");
            return false;
        }
        return true;
    }

    /* The most certificates read after the client's own (its chain). */
    static const size_t kMaxChain = 16;
};

/* Whether directory holds a certificate hash link ("5ed36f99.0"); looks at a bounded number of
 * entries. */
bool holdsHashLinks(const std::string &directory)
{
    const int kMaxEntries = 100000;
    DIR *d = directory.empty() ? nullptr : opendir(directory.c_str());
    bool found = false;
    const struct dirent *entry;
    for (int i = 0; d != nullptr && !found && i < kMaxEntries && (entry = readdir(d)) != nullptr;
         i++) {
        const char *name = entry->d_name;
        size_t hex = 0;
        while (hex < 8 && isxdigit(static_cast<unsigned char>(name[hex])))
            hex++;
        found = hex == 8 && name[8] == '.' && name[9] != '\0' &&
                strspn(name + 9, "0123456789") == strlen(name + 9);
    }
    if (d != nullptr)
        closedir(d);
    return found;
}

/* Whether some certificate of the verified chain of ssl has a public key whose digest is among
 * pins. */
bool pinMatches(const Library &lib, SSL *ssl, const std::vector<Digest> &pins)
{
    OPENSSL_STACK *chain = reinterpret_cast<OPENSSL_STACK *>(lib.SSL_get0_verified_chain(ssl));
    const int n = chain != nullptr ? lib.OPENSSL_sk_num(chain) : 0;
    for (int i = 0; i < n; i++) {
        X509_PUBKEY *key =
            lib.X509_get_X509_PUBKEY(static_cast<X509 *>(lib.OPENSSL_sk_value(chain, i)));
        const int len = key != nullptr ? lib.i2d_X509_PUBKEY(key, nullptr) : -1;
        if (len <= 0)
            continue;
        std::vector<unsigned char> der(static_cast<size_t>(len));
        unsigned char *p = der.data();
        Digest digest;
        unsigned int digestLen = 0;
        if (lib.i2d_X509_PUBKEY(key, &p) != len ||
            lib.EVP_Digest(der.data(), der.size(), digest.data(), &digestLen, lib.EVP_sha256(),
                           nullptr) != 1 ||
            digestLen != kDigestSize)
            continue;
        for (const Digest &pin : pins)
            if (pin == digest)
                return true;
    }
    return false;
}

} // namespace

int CheckFiles(const Setup &setup, std::string *cause)
{
    if (!given(setup.caFile) && !given(setup.certFile) && !given(setup.keyFile))
        return FILES_OK;
    /* Without the TLS library no https request can be made, and it fails saying why; the
     * files do not matter to an http request. */
    std::string unavailable;
    if (!Available(&unavailable))
        return FILES_OK;
    const Library &lib = library();
    lib.ERR_clear_error();
    std::string why;
    if (given(setup.caFile) && !holdsCertificate(lib, setup.caFile, &why)) {
        *cause = std::string("cannot use the CA file ") + setup.caFile + ": " + why;
        return FILES_CA;
    }
    if (given(setup.certFile) || given(setup.keyFile)) {
        ClientIdentity identity(lib);
        if (!given(setup.certFile) || !identity.read(setup.certFile, setup.keyFile, &why)) {
            *cause = "cannot use the client certificate: " +
                     (given(setup.certFile) ? why : std::string("a key without a certificate"));
            return FILES_CLIENT_CERTIFICATE;
        }
    }
    return FILES_OK;
}

void LeanStart() { leanStart.store(true); }

namespace {

/* The system's trust store, looked up lazily: the hashed directory (SSL_CERT_DIR, else OpenSSL's
 * default) is searched for the issuers a chain needs only, while the bundle file (SSL_CERT_FILE,
 * else OpenSSL's default) is parsed whole, so it is read only when SSL_CERT_FILE names it or no
 * directory holds a hash link. The same certificates are trusted either way. */
int useSystemStore(const Library &lib, SSL_CTX *ctx)
{
    const char *dirs = secure_getenv(lib.X509_get_default_cert_dir_env());
    const char *file = secure_getenv(lib.X509_get_default_cert_file_env());
    if (dirs == nullptr)
        dirs = lib.X509_get_default_cert_dir();
    bool hashed = false;
    const std::string list = dirs;
    for (size_t start = 0; start <= list.size() && !hashed;) {
        size_t end = list.find(':', start);
        if (end == std::string::npos)
            end = list.size();
        hashed = holdsHashLinks(list.substr(start, end - start));
        start = end + 1;
    }
    if (hashed && lib.SSL_CTX_load_verify_dir(ctx, dirs) != 1)
        return 0;
    /* As with OpenSSL's own default paths, a bundle that is missing leaves the store as it is. */
    if (file != nullptr || !hashed)
        lib.SSL_CTX_load_verify_file(ctx, file != nullptr ? file : lib.X509_get_default_cert_file());
    lib.ERR_clear_error();
    return 1;
}

/* A configured context, shared by every session that trusts and presents the same. */
struct SharedContext {
    const Library &lib;
    SSL_CTX *ctx = nullptr;
    std::string key;
    explicit SharedContext(const Library &l) : lib(l) {}
    ~SharedContext()
    {
        if (ctx != nullptr)
            lib.SSL_CTX_free(ctx);
    }
    SharedContext(const SharedContext &) = delete;
    SharedContext &operator=(const SharedContext &) = delete;
};

/* Contexts and the sessions servers gave, kept for the process's life (never destroyed: nothing
 * may run after the TLS library's own clean-up at exit). The lock is held only to look up, add
 * and drop entries, never during a handshake. */
struct Cache {
    std::mutex lock;
    std::vector<std::shared_ptr<SharedContext>> contexts; /* the most recently used last */
    std::map<std::string, SSL_SESSION *> sessions;
};
const size_t kMaxContexts = 16;
const size_t kMaxSessions = 256;

Cache &cache()
{
    static Cache *c = new Cache;
    return *c;
}

/* What tells a file's content apart from an earlier one at the same path. */
std::string fileIdentity(const char *path)
{
    if (!given(path))
        return "-";
    struct stat st;
    if (stat(path, &st) != 0)
        return std::string(path) + ":missing";
    return std::string(path) + ":" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) +
           ":" + std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec) + ":" + std::to_string(st.st_ctim.tv_sec) + "." +
           std::to_string(st.st_ctim.tv_nsec);
}

std::string contextKey(const Library &lib, const Setup &setup)
{
    std::string key;
    if (given(setup.caFile)) {
        key = "file " + fileIdentity(setup.caFile);
    } else {
        const char *dirs = secure_getenv(lib.X509_get_default_cert_dir_env());
        const char *file = secure_getenv(lib.X509_get_default_cert_file_env());
        key = std::string("system ") + (dirs != nullptr ? dirs : "-") + " " +
              (file != nullptr ? file : "-");
    }
    return key + "|" + fileIdentity(setup.certFile) + "|" + fileIdentity(setup.keyFile);
}

std::shared_ptr<SharedContext> findContext(const std::string &key)
{
    Cache &c = cache();
    std::lock_guard<std::mutex> hold(c.lock);
    for (size_t i = c.contexts.size(); i-- > 0;)
        if (c.contexts[i]->key == key) {
            std::shared_ptr<SharedContext> found = c.contexts[i];
            c.contexts.erase(c.contexts.begin() + static_cast<long>(i));
            c.contexts.push_back(found);
            return found;
        }
    return nullptr;
}

/* Keeps made, or the context another thread kept for the same key meanwhile; returns it. */
std::shared_ptr<SharedContext> keepContext(const std::shared_ptr<SharedContext> &made)
{
    Cache &c = cache();
    std::lock_guard<std::mutex> hold(c.lock);
    for (const auto &kept : c.contexts)
        if (kept->key == made->key)
            return kept;
    c.contexts.push_back(made);
    if (c.contexts.size() > kMaxContexts)
        c.contexts.erase(c.contexts.begin()); /* sessions using it keep it alive */
    return made;
}

/* Takes over session (a reference) as the one to resume for key. */
void keepSession(const Library &lib, const std::string &key, SSL_SESSION *session)
{
    SSL_SESSION *old = nullptr;
    {
        Cache &c = cache();
        std::lock_guard<std::mutex> hold(c.lock);
        auto it = c.sessions.find(key);
        if (it != c.sessions.end()) {
            old = it->second;
            it->second = session;
        } else {
            if (c.sessions.size() >= kMaxSessions) {
                old = c.sessions.begin()->second;
                c.sessions.erase(c.sessions.begin());
            }
            c.sessions.emplace(key, session);
        }
    }
    if (old != nullptr)
        lib.SSL_SESSION_free(old);
}

/* The session kept for key, taken out of the cache (a ticket serves one connection: no two
 * connections ever share a session object, and servers send new tickets), or null. */
SSL_SESSION *takeSession(const std::string &key)
{
    Cache &c = cache();
    std::lock_guard<std::mutex> hold(c.lock);
    auto it = c.sessions.find(key);
    if (it == c.sessions.end())
        return nullptr;
    SSL_SESSION *taken = it->second;
    c.sessions.erase(it);
    return taken;
}

void dropSession(const Library &lib, const std::string &key)
{
    SSL_SESSION *old = nullptr;
    {
        Cache &c = cache();
        std::lock_guard<std::mutex> hold(c.lock);
        auto it = c.sessions.find(key);
        if (it == c.sessions.end())
            return;
        old = it->second;
        c.sessions.erase(it);
    }
    lib.SSL_SESSION_free(old);
}

} // namespace

int Available(std::string *cause)
{
    const Library &lib = library();
    if (!lib.loaded && cause != nullptr)
        *cause = lib.error;
    return lib.loaded ? 1 : 0;
}

struct Session::Engine {
    const Library &lib;
    std::shared_ptr<SharedContext> shared;
    SSL_CTX *ctx = nullptr; /* shared's */
    SSL *ssl = nullptr;
    BIO *in = nullptr;  /* bytes from the server, for the engine to read */
    BIO *out = nullptr; /* bytes the engine wrote, to go to the server */
    std::vector<Digest> pins;
    std::string sessionKey;       /* trust, client certificate, pins; host and port once known */
    bool checked = false;         /* the handshake passed every check */
    SSL_SESSION *early = nullptr; /* a session the server gave before the checks ended */

    explicit Engine(const Library &l) : lib(l) {}
    ~Engine()
    {
        if (early != nullptr)
            lib.SSL_SESSION_free(early);
        if (ssl != nullptr)
            lib.SSL_free(ssl); /* frees both BIOs */
    }

    /* Hands what the engine wrote to sock by deadline; *sent counts the bytes handed over.
     * Returns 1 when all went out, CSOCK_TIMEOUT, or 0 on a failure (*cause set). */
    int flush(CSock &sock, long long deadline, unsigned int *sent, std::string *cause)
    {
        unsigned char buf[kChunk];
        while (lib.BIO_ctrl_pending(out) > 0) {
            const int n = lib.BIO_read(out, buf, sizeof buf);
            if (n <= 0)
                break;
            unsigned int handed = 0;
            const long rc =
                sock.SendMs(buf, static_cast<unsigned int>(n), netutil::msLeft(deadline), &handed);
            if (sent != nullptr)
                *sent += handed;
            if (rc == CSOCK_TIMEOUT)
                return CSOCK_TIMEOUT;
            if (rc != n) {
                if (cause != nullptr)
                    *cause = "the connection failed while sending";
                return 0;
            }
        }
        return 1;
    }

    /* Reads what sock has within waitMs into the engine. Returns a byte count, or CSOCK_TIMEOUT,
     * CSOCK_CLOSED (then the engine sees the end of the stream), CSOCK_RECV_ERROR. */
    long fill(CSock &sock, long waitMs)
    {
        unsigned char buf[kChunk];
        const long n = sock.RecvMs(buf, sizeof buf, waitMs);
        if (n > 0 && lib.BIO_write(in, buf, static_cast<int>(n)) != n)
            return CSOCK_RECV_ERROR;
        if (n == CSOCK_CLOSED)
            lib.BIO_ctrl(in, BIO_C_SET_BUF_MEM_EOF_RETURN, 0, nullptr);
        return n;
    }
};

Session::Session() = default;
Session::~Session() = default;

namespace {

/* Called by the engine with each session a server gives (a reference it hands over): kept for
 * resumption once the connection passed every check, held until then. */
int onNewSession(SSL *ssl, SSL_SESSION *session)
{
    const Library &lib = library();
    auto *e = static_cast<Session::Engine *>(lib.SSL_get_ex_data(ssl, 0));
    if (e == nullptr)
        return 0;
    if (e->checked) {
        keepSession(lib, e->sessionKey, session);
    } else {
        if (e->early != nullptr)
            lib.SSL_SESSION_free(e->early);
        e->early = session;
    }
    return 1;
}

/* A new context configured from setup into *out. Returns 1, or 0 with *cause. */
int makeContext(const Library &lib, const Setup &setup, SSL_CTX **out, std::string *cause)
{
    SSL_CTX *ctx = lib.SSL_CTX_new(lib.TLS_client_method());
    *out = ctx;
    if (ctx == nullptr) {
        *cause = engineError(lib, nullptr, "cannot set up TLS");
        return 0;
    }
    /* The context now holds what the system's OpenSSL configuration says; it may make the
     * version or the security level stricter, never weaker than these floors. */
    if (lib.SSL_CTX_ctrl(ctx, SSL_CTRL_GET_MIN_PROTO_VERSION, 0, nullptr) < TLS1_2_VERSION)
        lib.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
    if (lib.SSL_CTX_get_security_level(ctx) < kMinSecurityLevel)
        lib.SSL_CTX_set_security_level(ctx, kMinSecurityLevel);
    /* HTTP/1.0 replies end where the connection does; the reply's own signature and layout
     * checks catch one cut short. The engine wipes each reply's plaintext once it is read: it
     * echoes the buyer's card number. */
    lib.SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION |
                                     SSL_OP_CLEANSE_PLAINTEXT);
    lib.SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    /* Sessions are kept by this module, per server and per what was checked. */
    lib.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_SESS_CACHE_MODE,
                     SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE, nullptr);
    lib.SSL_CTX_sess_set_new_cb(ctx, onNewSession);
    const bool ownFile = given(setup.caFile);
    if (ownFile ? lib.SSL_CTX_load_verify_file(ctx, setup.caFile) != 1
                : useSystemStore(lib, ctx) != 1) {
        *cause = (ownFile ? std::string("cannot use the CA file ") + setup.caFile
                          : std::string("cannot use the system's trust store")) +
                 ": " + engineError(lib, nullptr, "no certificates");
        return 0;
    }
    /* Every certificate of the merchant's own file is an anchor, an intermediate CA too. */
    if (ownFile)
        lib.X509_VERIFY_PARAM_set_flags(lib.SSL_CTX_get0_param(ctx), X509_V_FLAG_PARTIAL_CHAIN);
    if (given(setup.certFile) || given(setup.keyFile)) {
        ClientIdentity identity(lib);
        std::string why = "a key without a certificate";
        bool ok = given(setup.certFile) && identity.read(setup.certFile, setup.keyFile, &why);
        if (ok) {
            ok = lib.SSL_CTX_use_certificate(ctx, identity.cert) == 1 &&
                 lib.SSL_CTX_use_PrivateKey(ctx, identity.key) == 1;
            for (X509 *x : identity.chain)
                ok = ok && lib.SSL_CTX_ctrl(ctx, SSL_CTRL_CHAIN_CERT, 1, x) == 1;
            if (!ok)
                why = engineError(lib, nullptr, "refused");
        }
        if (!ok) {
            *cause = "cannot use the client certificate: " + why;
            return 0;
        }
    }
    return 1;
}

} // namespace

int Session::Prepare(const Setup &setup, std::string *cause)
{
    if (!Available(cause))
        return 0;
    const Library &lib = library();
    lib.ERR_clear_error();
    engine_.reset(new Engine(lib));
    Engine &e = *engine_;
    if (given(setup.pins) && !parsePins(setup.pins, &e.pins)) {
        *cause = "the public key pins are malformed";
        return 0;
    }
    const std::string key = contextKey(lib, setup);
    e.shared = findContext(key);
    if (e.shared == nullptr) {
        auto made = std::make_shared<SharedContext>(lib);
        made->key = key;
        if (!makeContext(lib, setup, &made->ctx, cause))
            return 0;
        e.shared = keepContext(made);
    }
    e.ctx = e.shared->ctx;
    e.sessionKey = key + "|" + (given(setup.pins) ? setup.pins : "");
    return 1;
}

int Session::Handshake(CSock &sock, const char *host, unsigned short port,
                       const std::string &early, long long deadline, std::string *cause,
                       std::string *summary)
{
    if (engine_ == nullptr || engine_->ctx == nullptr || engine_->ssl != nullptr) {
        *cause = "TLS is not set up";
        return 0;
    }
    Engine &e = *engine_;
    const Library &lib = e.lib;
    std::string why;
    e.ssl = lib.SSL_new(e.ctx);
    e.in = lib.BIO_new(lib.BIO_s_mem());
    e.out = lib.BIO_new(lib.BIO_s_mem());
    if (e.ssl == nullptr || e.in == nullptr || e.out == nullptr) {
        if (e.in != nullptr)
            lib.BIO_free(e.in);
        if (e.out != nullptr)
            lib.BIO_free(e.out);
        *cause = "out of memory for TLS";
        return 0;
    }
    lib.SSL_set_bio(e.ssl, e.in, e.out);
    lib.SSL_set_ex_data(e.ssl, 0, &e);
    e.sessionKey += "|" + std::string(host) + "|" + std::to_string(port);
    if (SSL_SESSION *kept = takeSession(e.sessionKey)) {
        lib.SSL_set_session(e.ssl, kept);
        lib.SSL_SESSION_free(kept);
    }
    /* An empty input means "wait for more", not the end of the stream. */
    lib.BIO_ctrl(e.in, BIO_C_SET_BUF_MEM_EOF_RETURN, -1, nullptr);

    X509_VERIFY_PARAM *param = lib.SSL_get0_param(e.ssl);
    /* Only subjectAltName entries name the server: a common name that looks like a host name
     * proves nothing. */
    lib.X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS |
                                                   X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    const bool address = isAddress(host);
    if (address ? lib.X509_VERIFY_PARAM_set1_ip_asc(param, host) != 1
                : (lib.X509_VERIFY_PARAM_set1_host(param, host, 0) != 1 ||
                   lib.SSL_ctrl(e.ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                                const_cast<char *>(host)) != 1)) {
        *cause = "cannot check the server's name: " + engineError(lib, nullptr, "bad host");
        return 0;
    }
    lib.SSL_set_connect_state(e.ssl);
    if (!early.empty() && lib.BIO_write(e.in, early.data(), static_cast<int>(early.size())) !=
                              static_cast<int>(early.size())) {
        *cause = "out of memory for TLS";
        return 0;
    }

    for (int round = 0; round < kMaxHandshakeRounds; round++) {
        lib.ERR_clear_error();
        const int rc = lib.SSL_do_handshake(e.ssl);
        const int err = rc == 1 ? SSL_ERROR_NONE : lib.SSL_get_error(e.ssl, rc);
        /* Whatever the engine wrote goes out, an alert after a failure too. */
        const int flushed = e.flush(sock, deadline, nullptr, &why);
        if (err != SSL_ERROR_NONE && err != SSL_ERROR_WANT_READ) {
            *cause = peerClosed_ ? "the server closed the connection during the handshake"
                                 : engineError(lib, e.ssl, "handshake failed");
            dropSession(lib, e.sessionKey);
            return 0;
        }
        if (flushed != 1) {
            *cause = why;
            return flushed;
        }
        if (rc == 1) {
            char subject[kMaxSubject] = "";
            X509 *cert = lib.SSL_get1_peer_certificate(e.ssl);
            if (cert != nullptr) {
                lib.X509_NAME_oneline(lib.X509_get_subject_name(cert), subject, sizeof subject);
                lib.X509_free(cert);
            }
            /* A cipher without authentication would finish without a certificate to check. */
            if (cert == nullptr || lib.SSL_get_verify_result(e.ssl) != X509_V_OK) {
                *cause = "the server presented no verified certificate";
                dropSession(lib, e.sessionKey);
                return 0;
            }
            /* A resumed session was kept only after this host's name and these pins passed
             * on the chain it was made with (both are part of its key). */
            const bool resumed = lib.SSL_session_reused(e.ssl) == 1;
            if (!resumed && !e.pins.empty() && !pinMatches(lib, e.ssl, e.pins)) {
                *cause = std::string("public key pin did not match: no certificate of the "
                                     "server's verified chain (") +
                         subject + ") has a pinned key";
                dropSession(lib, e.sessionKey);
                return 0;
            }
            e.checked = true;
            if (e.early != nullptr) {
                keepSession(lib, e.sessionKey, e.early);
                e.early = nullptr;
            }
            *summary = std::string(lib.SSL_get_version(e.ssl)) + ", " +
                       lib.SSL_CIPHER_get_name(lib.SSL_get_current_cipher(e.ssl)) + ", " + subject +
                       ", verify ok" + (e.pins.empty() ? "" : ", pin ok") +
                       (resumed ? ", resumed" : "");
            return 1;
        }
        const long got = e.fill(sock, netutil::msLeft(deadline));
        if (got == CSOCK_TIMEOUT)
            return CSOCK_TIMEOUT;
        if (got == CSOCK_RECV_ERROR) {
            *cause = "the connection failed during the handshake: " + netutil::errorText(errno);
            return 0;
        }
        peerClosed_ = got == CSOCK_CLOSED;
    }
    *cause = "the handshake did not end";
    return 0;
}

void Session::Close(CSock &sock)
{
    if (engine_ == nullptr || engine_->ssl == nullptr || !engine_->checked)
        return;
    Engine &e = *engine_;
    e.lib.ERR_clear_error();
    e.lib.SSL_shutdown(e.ssl);
    e.flush(sock, netutil::deadlineIn(0), nullptr, nullptr);
    e.lib.ERR_clear_error();
}

int Session::Send(CSock &sock, const unsigned char *buf, unsigned int count, long long deadline,
                  bool *handedOver, std::string *cause)
{
    *handedOver = false;
    if (engine_ == nullptr || engine_->ssl == nullptr || count == 0 || count > INT_MAX) {
        *cause = "no TLS connection";
        return 0;
    }
    Engine &e = *engine_;
    e.lib.ERR_clear_error();
    /* The memory output takes a whole write, so the engine writes every byte at once. */
    if (e.lib.SSL_write(e.ssl, buf, static_cast<int>(count)) != static_cast<int>(count)) {
        *cause = engineError(e.lib, nullptr, "encryption failed");
        return 0;
    }
    unsigned int sent = 0;
    const int ok = e.flush(sock, deadline, &sent, cause);
    *handedOver = sent > 0;
    return ok;
}

long Session::Recv(CSock &sock, unsigned char *buf, unsigned int capacity, long waitMs)
{
    if (engine_ == nullptr || engine_->ssl == nullptr || buf == nullptr || capacity == 0)
        return CSOCK_RECV_ERROR;
    Engine &e = *engine_;
    const int want = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
    bool filled = false;
    for (;;) {
        e.lib.ERR_clear_error();
        const int n = e.lib.SSL_read(e.ssl, buf, want);
        if (n > 0)
            return n;
        const int err = e.lib.SSL_get_error(e.ssl, n);
        e.flush(sock, netutil::deadlineIn(0), nullptr, nullptr); /* e.g. a key update's answer */
        if (err == SSL_ERROR_ZERO_RETURN)
            return CSOCK_CLOSED;
        if (err != SSL_ERROR_WANT_READ || peerClosed_) {
            lastError_ = engineError(e.lib, nullptr, "decryption failed");
            return CSOCK_RECV_ERROR;
        }
        /* One wait per call: bytes that do not complete a record count as no data yet. */
        if (filled)
            return CSOCK_TIMEOUT;
        const long got = e.fill(sock, waitMs);
        if (got == CSOCK_TIMEOUT || got == CSOCK_RECV_ERROR) {
            if (got == CSOCK_RECV_ERROR)
                lastError_ = netutil::errorText(errno);
            return got;
        }
        peerClosed_ = got == CSOCK_CLOSED;
        filled = true;
    }
}

} // namespace nettls

#else /* no TLS support in this build */

namespace nettls {

namespace {
const char kNoTls[] = "this build has no TLS support";
}

int Available(std::string *cause)
{
    if (cause != nullptr)
        *cause = kNoTls;
    return 0;
}

struct Session::Engine {};
Session::Session() = default;
Session::~Session() = default;

void LeanStart() {}

int CheckFiles(const Setup &, std::string *) { return FILES_OK; }

int Session::Prepare(const Setup &, std::string *cause)
{
    *cause = kNoTls;
    return 0;
}

void Session::Close(CSock &) {}

int Session::Handshake(CSock &, const char *, unsigned short, const std::string &, long long,
                       std::string *cause, std::string *)
{
    *cause = kNoTls;
    return 0;
}

int Session::Send(CSock &, const unsigned char *, unsigned int, long long, bool *handedOver,
                  std::string *cause)
{
    *handedOver = false;
    *cause = kNoTls;
    return 0;
}

long Session::Recv(CSock &, unsigned char *, unsigned int, long)
{
    lastError_ = kNoTls;
    return CSOCK_RECV_ERROR;
}

} // namespace nettls

#endif
