#ifndef CRYPT_H
#define CRYPT_H

// Thin wrapper over libtomcrypt (libtommath as its math library). Library
// failures become crypt_exception; nothing here aborts on hostile input.

#ifndef LTM_DESC
#define LTM_DESC
#endif
#include <tomcrypt.h>

#include <exception>
#include <string>

class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(std::string message) : m_Message(std::move(message)) {}
    ~crypt_exception() override = default;
    const char* what() const noexcept override { return m_Message.c_str(); }

private:
    std::string m_Message;
};

// libtomcrypt table indexes of "sha1" and "sprng"; -1 until crypt_init ran.
extern int crypt_hash_idx;
extern int crypt_prng_idx;

// Size of the block the built-in public key sits at the start of.
constexpr unsigned long crypt_key_block_size = 2048;
// The built-in public key (DER PKCS#1 RSAPublicKey) padded with zeros; chosen
// at build time.
extern const unsigned char crypt_builtin_key[crypt_key_block_size];

// Registers the random source, the math library and SHA-1. Runs its work once
// per process however many threads call it; every function below calls it
// first, so no library call can meet an unset math descriptor. Throws
// crypt_exception when a registration fails (and tries again on the next call).
void crypt_init();

// Returns when rc is CRYPT_OK, else throws "<name>: <library text>".
void crypt_check(const char* name, int rc);

// Frees the key on destruction once something was imported into it.
class crypt_key_holder
{
public:
    crypt_key_holder() = default;
    ~crypt_key_holder();
    crypt_key_holder(const crypt_key_holder&) = delete;
    crypt_key_holder& operator=(const crypt_key_holder&) = delete;

    rsa_key* get() { return &m_Key; }
    bool loaded() const { return m_Loaded; }
    // Called by the functions that fill the key, once it holds numbers.
    void setLoaded() { m_Loaded = true; }

private:
    rsa_key m_Key{};
    bool m_Loaded = false;
};

// rsa_import; on failure the library has already released what it took.
void crypt_import_key(rsa_key* key, const unsigned char* in, unsigned long len);
void crypt_import_key(crypt_key_holder& key, const unsigned char* in, unsigned long len);

// RSA-PSS (MGF1-SHA-1, salt 8) over the SHA-1 of data. False for a signature
// that does not match; throws for one the library refuses (wrong length, ...).
bool crypt_verify(rsa_key* key, const unsigned char* data, unsigned long len, const unsigned char* sig,
                  unsigned long sigLen);
// The same over a SHA-1 digest computed elsewhere (files are hashed in chunks).
bool crypt_verify_hash(rsa_key* key, const unsigned char* hash, unsigned long hashLen, const unsigned char* sig,
                       unsigned long sigLen);

// Signer side: used by tests and publisher tooling, never by the updater.
void crypt_make_key(crypt_key_holder& key);
// out holds *outLen bytes on entry; on return *outLen is the signature length.
void crypt_sign(rsa_key* key, const unsigned char* data, unsigned long len, unsigned char* out, unsigned long* outLen);
// type is PK_PUBLIC (PKCS#1 RSAPublicKey) or PK_PRIVATE, both DER.
void crypt_export_key(rsa_key* key, int type, const std::string& path);
void crypt_import_key_file(crypt_key_holder& key, const std::string& path);
// *buf is malloc'd and owned by the caller (free it), also when it is empty.
void crypt_read_file(const std::string& path, unsigned char** buf, unsigned long* len);
void crypt_write_file(const std::string& path, const unsigned char* buf, unsigned long len);

#endif // CRYPT_H
