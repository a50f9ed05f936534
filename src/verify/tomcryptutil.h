#pragma once

#include <exception>
#include <memory>
#include <string>

// A thin, throwing layer over LibTomCrypt: RSA-PSS signatures over SHA-1 with an 8-byte salt
// (product inis), over SHA-256 with a 32-byte salt (release manifests), and keys in the
// 2048-byte key-file form (the DER export of the key, then zero filler).

// LibTomCrypt's key structure (typedef'd there as rsa_key); owned by the caller.
struct Rsa_key;

// The only exception type of the updater; what() is the whole message.
class crypt_exception : public std::exception {
public:
    explicit crypt_exception(std::string message)
        : msg(std::move(message)) {}
    const char* what() const noexcept override { return msg.c_str(); }

private:
    std::string msg;
};

constexpr unsigned long KEY_FILE_SIZE = 2048;
constexpr unsigned long SHA1_SIZE = 20;
constexpr unsigned long SHA256_SIZE = 32;
// Key sizes that keygen makes: the private export of a larger key does not fit the key file.
constexpr int DEFAULT_KEY_BITS = 3072;
constexpr int MIN_KEY_BITS = 1024;
constexpr int MAX_KEY_BITS = 3072;

// LibTomCrypt's table indices, written once by crypt_init() and only read afterwards.
extern int hash_idx;
extern int prng_idx;
extern int sha256_idx;

// The verifying key compiled into the program, in the key-file form.
extern const unsigned char PUBLIC_KEY[KEY_FILE_SIZE];
// Whether PUBLIC_KEY is the development key from keys/, whose private half is public.
extern const bool PUBLIC_KEY_IS_DEVELOPMENT_KEY;

void crypt_init();
void hash_msg(const unsigned char* msg, unsigned long len, unsigned char* out);
void check_err(const char* function, int err);
bool verify_msg(Rsa_key* key, const unsigned char* msg, unsigned long msglen, unsigned char* sig,
                unsigned long siglen);
// The same check for a message whose SHA-1 was computed elsewhere (streamed through the hash).
bool verify_hash(Rsa_key* key, const unsigned char* digest, unsigned char* sig,
                 unsigned long siglen);
void sign_msg(Rsa_key* key, const unsigned char* msg, unsigned long msglen, unsigned char* out,
              unsigned long* outlen);
// Signs a SHA-1 digest computed elsewhere; the same signature sign_msg() makes for the message.
void sign_hash(Rsa_key* key, const unsigned char* digest, unsigned char* out,
               unsigned long* outlen);
// The same scheme over SHA-256 with a 32-byte salt, for a digest computed elsewhere.
bool verify_sha256(Rsa_key* key, const unsigned char* digest, unsigned char* sig,
                   unsigned long siglen);
void sign_sha256(Rsa_key* key, const unsigned char* digest, unsigned char* out,
                 unsigned long* outlen);
// bits: a multiple of 8 from MIN_KEY_BITS to MAX_KEY_BITS.
void create_key(Rsa_key* key, int bits = DEFAULT_KEY_BITS);
void load_key(Rsa_key* key, const unsigned char* buf, unsigned long len);
void load_key(Rsa_key* key, const char* filename);
// The key-file form without touching the disk: the DER export, then zero filler.
void export_key(Rsa_key* key, int type, unsigned char* out /* KEY_FILE_SIZE bytes */);
void save_key(Rsa_key* key, int type, const char* filename);
// Length of every signature the compiled-in key makes (its modulus length); registers the
// algorithms itself on first use.
unsigned long compiled_in_signature_size();
void read_file(const char* filename, unsigned char** buf, unsigned long* len);
void write_file(const char* filename, unsigned char* buf, unsigned long len);

// Export types of save_key() and export_key() (LibTomCrypt's PK_PUBLIC and PK_PRIVATE).
constexpr int KEY_PUBLIC = 0;
constexpr int KEY_PRIVATE = 1;

// Owns one key structure and frees it; the structure starts empty.
class RsaKey final {
public:
    RsaKey();
    ~RsaKey();
    RsaKey(const RsaKey&) = delete;
    RsaKey& operator=(const RsaKey&) = delete;

    Rsa_key* get() const { return key.get(); }
    bool isPrivate() const;
    // Modulus length in bytes, which is also the signature length.
    unsigned long size() const;

private:
    struct Deleter {
        void operator()(Rsa_key* key) const;
    };
    std::unique_ptr<Rsa_key, Deleter> key;
};
