#include "crypt.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

int crypt_hash_idx = -1;
int crypt_prng_idx = -1;

namespace {

std::once_flag initOnce;

// libtomcrypt aborts the process on a null pointer even when the length is
// zero; empty inputs point here instead.
const unsigned char emptyInput[1] = {0};

const unsigned char* nonNull(const unsigned char* p)
{
    return p ? p : emptyInput;
}

struct FileCloser
{
    void operator()(FILE* f) const
    {
        if (f)
            fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

void sha1Of(const unsigned char* data, unsigned long len, unsigned char digest[20])
{
    hash_state md;
    sha1_init(&md);
    crypt_check("sha1_process", sha1_process(&md, nonNull(data), len));
    crypt_check("sha1_done", sha1_done(&md, digest));
}

void doInit()
{
    if (register_prng(&sprng_desc) == -1)
        throw crypt_exception("Error registering sprng");
    ltc_mp = ltm_desc;
    if (register_hash(&sha1_desc) == -1)
        throw crypt_exception("Error registering sha1");
    crypt_hash_idx = find_hash("sha1");
    crypt_prng_idx = find_prng("sprng");
    if (crypt_hash_idx < 0 || crypt_prng_idx < 0)
        throw crypt_exception("Error registering sha1");
}

} // namespace

void crypt_init()
{
    // call_once makes the other callers wait until the tables are complete; a
    // throwing attempt leaves the flag unset so a later call tries again.
    std::call_once(initOnce, doInit);
}

void crypt_check(const char* name, int rc)
{
    if (rc != CRYPT_OK)
        throw crypt_exception(std::string(name) + ": " + error_to_string(rc));
}

crypt_key_holder::~crypt_key_holder()
{
    if (m_Loaded)
        rsa_free(&m_Key);
}

void crypt_import_key(rsa_key* key, const unsigned char* in, unsigned long len)
{
    crypt_init();
    if (!key)
        throw crypt_exception("rsa_import: no key");
    // The library aborts on empty input instead of reporting it.
    if (!in || len == 0)
        crypt_check("rsa_import", CRYPT_INVALID_PACKET);
    crypt_check("rsa_import", rsa_import(in, len, key));
}

void crypt_import_key(crypt_key_holder& key, const unsigned char* in, unsigned long len)
{
    if (key.loaded())
        throw crypt_exception("rsa_import: key already loaded");
    crypt_import_key(key.get(), in, len);
    key.setLoaded();
}

bool crypt_verify_hash(rsa_key* key, const unsigned char* hash, unsigned long hashLen, const unsigned char* sig,
                       unsigned long sigLen)
{
    crypt_init();
    if (!key)
        throw crypt_exception("rsa_verify_hash: no key");
    int stat = 0;
    const int rc =
        rsa_verify_hash_ex(nonNull(sig), sigLen, nonNull(hash), hashLen, LTC_PKCS_1_PSS, crypt_hash_idx, 8, &stat, key);
    crypt_check("rsa_verify_hash", rc);
    return stat == 1;
}

bool crypt_verify(rsa_key* key, const unsigned char* data, unsigned long len, const unsigned char* sig,
                  unsigned long sigLen)
{
    crypt_init();
    unsigned char digest[20];
    sha1Of(data, len, digest);
    return crypt_verify_hash(key, digest, sizeof digest, sig, sigLen);
}

void crypt_make_key(crypt_key_holder& key)
{
    crypt_init();
    if (key.loaded())
        throw crypt_exception("rsa_make_key: key already loaded");
    // The library frees the key itself when making it fails.
    crypt_check("rsa_make_key", rsa_make_key(nullptr, crypt_prng_idx, 128, 65537, key.get()));
    key.setLoaded();
}

void crypt_sign(rsa_key* key, const unsigned char* data, unsigned long len, unsigned char* out, unsigned long* outLen)
{
    crypt_init();
    if (!key || !out || !outLen)
        throw crypt_exception("rsa_sign_hash: no key or output");
    unsigned char digest[20];
    sha1Of(data, len, digest);
    crypt_check("rsa_sign_hash",
                rsa_sign_hash_ex(digest, sizeof digest, out, outLen, LTC_PKCS_1_PSS, nullptr, crypt_prng_idx,
                                 crypt_hash_idx, 8, key));
}

void crypt_export_key(rsa_key* key, int type, const std::string& path)
{
    crypt_init();
    if (!key)
        throw crypt_exception("rsa_export: no key");
    unsigned char buf[crypt_key_block_size];
    unsigned long len = sizeof buf;
    crypt_check("rsa_export", rsa_export(buf, &len, type, key));
    crypt_write_file(path, buf, len);
}

void crypt_import_key_file(crypt_key_holder& key, const std::string& path)
{
    unsigned char buf[crypt_key_block_size];
    size_t got = 0;
    {
        FilePtr f(fopen(path.c_str(), "rb"));
        if (f)
            got = fread(buf, 1, sizeof buf, f.get());
    }
    // Zero bytes (no file) make the import fail with the library's text.
    crypt_import_key(key, buf, static_cast<unsigned long>(got));
}

void crypt_read_file(const std::string& path, unsigned char** buf, unsigned long* len)
{
    if (!buf || !len)
        throw crypt_exception("Cannot open file for reading: " + path);
    *buf = nullptr;
    *len = 0;
    FilePtr f(fopen(path.c_str(), "rb"));
    if (!f)
        throw crypt_exception("Cannot open file for reading: " + path);
    unsigned char* data = nullptr;
    unsigned long size = 0;
    for (;;) {
        auto* grown = static_cast<unsigned char*>(realloc(data, size + 2048));
        if (!grown) {
            free(data);
            throw crypt_exception("Out of memory reading file: " + path);
        }
        data = grown;
        const size_t got = fread(data + size, 1, 2048, f.get());
        size += static_cast<unsigned long>(got);
        if (got < 2048) {
            if (ferror(f.get())) {
                free(data);
                throw crypt_exception("Cannot read file: " + path);
            }
            break;
        }
    }
    *buf = data;
    *len = size;
}

void crypt_write_file(const std::string& path, const unsigned char* buf, unsigned long len)
{
    if (!buf && len)
        throw crypt_exception("Cannot write file: " + path);
    FILE* raw = fopen(path.c_str(), "wb");
    if (!raw)
        throw crypt_exception("Cannot open file for writing: " + path);
    const size_t written = len ? fwrite(buf, 1, len, raw) : 0;
    // A full disk may only show at the final flush; a short key or signature
    // file must not pass as written.
    const bool closed = fclose(raw) == 0;
    if (written != len || !closed)
        throw crypt_exception("Cannot write file: " + path);
}
