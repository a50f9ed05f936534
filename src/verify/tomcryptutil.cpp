#include "tomcryptutil.h"

#define LTM_DESC
#include <tomcrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

static_assert(KEY_PUBLIC == PK_PUBLIC && KEY_PRIVATE == PK_PRIVATE);

int hash_idx = -1;
int prng_idx = -1;
int sha256_idx = -1;

namespace {
constexpr int PSS_SALT_LENGTH = 8;
// The digest's length, OpenSSL's usual choice for PSS over SHA-256.
constexpr int PSS_SHA256_SALT_LENGTH = 32;
constexpr long KEY_EXPONENT = 65537;

// Closes the stream on every way out, exceptions included.
struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

void writeAll(const char* filename, const unsigned char* buf, unsigned long len) {
    FILE* file = std::fopen(filename, "wb");
    if (!file)
        throw crypt_exception(std::string("Cannot open file for writing: ") + filename);
    const bool written = std::fwrite(buf, 1, len, file) == len;
    // A full disk often shows only when the buffer is flushed by fclose().
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed)
        throw crypt_exception(std::string("Cannot write file: ") + filename);
}
} // namespace

void crypt_init() {
    if (register_prng(&sprng_desc) == -1)
        throw crypt_exception("Error registering sprng");
    ltc_mp = ltm_desc;
    if (register_hash(&sha1_desc) == -1)
        throw crypt_exception("Error registering sha1");
    if (register_hash(&sha256_desc) == -1)
        throw crypt_exception("Error registering sha256");
    hash_idx = find_hash("sha1");
    prng_idx = find_prng("sprng");
    sha256_idx = find_hash("sha256");
}

void hash_msg(const unsigned char* msg, unsigned long len, unsigned char* out) {
    hash_state md;
    sha1_init(&md);
    sha1_process(&md, msg, len);
    sha1_done(&md, out);
}

void check_err(const char* function, int err) {
    if (err == CRYPT_OK)
        return;
    throw crypt_exception(std::string(function) + ": " + error_to_string(err));
}

bool verify_msg(Rsa_key* key, const unsigned char* msg, unsigned long msglen, unsigned char* sig,
                unsigned long siglen) {
    unsigned char digest[SHA1_SIZE];
    hash_msg(msg, msglen, digest);
    return verify_hash(key, digest, sig, siglen);
}

bool verify_hash(Rsa_key* key, const unsigned char* digest, unsigned char* sig,
                 unsigned long siglen) {
    int status = 0;
    check_err("rsa_verify_hash", rsa_verify_hash_ex(sig, siglen, digest, SHA1_SIZE, LTC_PKCS_1_PSS,
                                                    hash_idx, PSS_SALT_LENGTH, &status, key));
    return status == 1;
}

void sign_msg(Rsa_key* key, const unsigned char* msg, unsigned long msglen, unsigned char* out,
              unsigned long* outlen) {
    unsigned char digest[SHA1_SIZE];
    hash_msg(msg, msglen, digest);
    sign_hash(key, digest, out, outlen);
}

void sign_hash(Rsa_key* key, const unsigned char* digest, unsigned char* out,
               unsigned long* outlen) {
    check_err("rsa_sign_hash", rsa_sign_hash_ex(digest, SHA1_SIZE, out, outlen, LTC_PKCS_1_PSS,
                                                nullptr, prng_idx, hash_idx, PSS_SALT_LENGTH, key));
}

bool verify_sha256(Rsa_key* key, const unsigned char* digest, unsigned char* sig,
                   unsigned long siglen) {
    int status = 0;
    check_err("rsa_verify_hash",
              rsa_verify_hash_ex(sig, siglen, digest, SHA256_SIZE, LTC_PKCS_1_PSS, sha256_idx,
                                 PSS_SHA256_SALT_LENGTH, &status, key));
    return status == 1;
}

void sign_sha256(Rsa_key* key, const unsigned char* digest, unsigned char* out,
                 unsigned long* outlen) {
    check_err("rsa_sign_hash",
              rsa_sign_hash_ex(digest, SHA256_SIZE, out, outlen, LTC_PKCS_1_PSS, nullptr, prng_idx,
                               sha256_idx, PSS_SHA256_SALT_LENGTH, key));
}

// On failure LibTomCrypt has freed the numbers but left their pointers behind; clearing them
// keeps a later rsa_free() of the caller's key from freeing them twice.
static void checkKeyErr(const char* function, int err, Rsa_key* key) {
    if (err != CRYPT_OK)
        std::memset(key, 0, sizeof *key);
    check_err(function, err);
}

void create_key(Rsa_key* key, int bits) {
    if (bits < MIN_KEY_BITS || bits > MAX_KEY_BITS || bits % 8 != 0)
        throw crypt_exception("rsa_make_key: key size " + std::to_string(bits) +
                              " bits is not supported");
    checkKeyErr("rsa_make_key", rsa_make_key(nullptr, prng_idx, bits / 8, KEY_EXPONENT, key), key);
}

void load_key(Rsa_key* key, const unsigned char* buf, unsigned long len) {
    checkKeyErr("rsa_import", rsa_import(buf, len, key), key);
}

void load_key(Rsa_key* key, const char* filename) {
    unsigned char buf[KEY_FILE_SIZE] = {};
    // A file that cannot be opened leaves the buffer empty, and the import reports it.
    if (FilePtr file{std::fopen(filename, "rb")})
        (void)std::fread(buf, 1, KEY_FILE_SIZE, file.get());
    checkKeyErr("rsa_import", rsa_import(buf, KEY_FILE_SIZE, key), key);
}

void export_key(Rsa_key* key, int type, unsigned char* out) {
    std::memset(out, 0, KEY_FILE_SIZE);
    unsigned long len = KEY_FILE_SIZE;
    check_err("rsa_export", rsa_export(out, &len, type, key));
}

void save_key(Rsa_key* key, int type, const char* filename) {
    unsigned char buf[KEY_FILE_SIZE];
    export_key(key, type, buf);
    writeAll(filename, buf, KEY_FILE_SIZE);
}

unsigned long compiled_in_signature_size() {
    static std::once_flag once;
    static unsigned long size = 0;
    std::call_once(once, [] {
        crypt_init();
        Rsa_key key{};
        if (rsa_import(PUBLIC_KEY, KEY_FILE_SIZE, &key) == CRYPT_OK) {
            size = static_cast<unsigned long>(rsa_get_size(&key));
            rsa_free(&key);
        }
    });
    return size;
}

void read_file(const char* filename, unsigned char** buf, unsigned long* len) {
    *len = 0;
    FilePtr file{std::fopen(filename, "rb")};
    if (!file)
        throw crypt_exception(std::string("Cannot open file for reading: ") + filename);
    while (!std::feof(file.get()) && !std::ferror(file.get())) {
        auto* grown = static_cast<unsigned char*>(std::realloc(*buf, *len + KEY_FILE_SIZE));
        if (!grown)
            throw crypt_exception(std::string("Out of memory reading file: ") + filename);
        *buf = grown;
        *len += std::fread(*buf + *len, 1, KEY_FILE_SIZE, file.get());
    }
}

void write_file(const char* filename, unsigned char* buf, unsigned long len) {
    writeAll(filename, buf, len);
}

RsaKey::RsaKey()
    : key(new Rsa_key{}) {}

RsaKey::~RsaKey() = default;

void RsaKey::Deleter::operator()(Rsa_key* key) const {
    // Safe on a structure that was never filled: rsa_free() skips null numbers.
    rsa_free(key);
    delete key;
}

bool RsaKey::isPrivate() const {
    return key->N && key->type == PK_PRIVATE;
}

unsigned long RsaKey::size() const {
    return key->N ? static_cast<unsigned long>(rsa_get_size(key.get())) : 0;
}
