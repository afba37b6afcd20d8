/* Built and run at configure time: imports the public key the updater is
 * built with exactly as the updater does (its bytes at the start of a
 * zero-filled 2048-byte block) and prints what it found. */
#include <stdio.h>
#include <string.h>
#include <tomcrypt.h>

int main(int argc, char** argv)
{
    unsigned char block[2048];
    memset(block, 0, sizeof block);
    if (argc != 2) {
        printf("usage: checkpublickey FILE");
        return 2;
    }
    FILE* f = fopen(argv[1], "rb");
    if (!f) {
        printf("cannot be opened");
        return 1;
    }
    const size_t got = fread(block, 1, sizeof block, f);
    const int more = fgetc(f) != EOF;
    fclose(f);
    if (got == 0 || more) {
        printf("must hold 1 to 2048 bytes");
        return 1;
    }
    ltc_mp = ltm_desc;
    rsa_key key;
    const int rc = rsa_import(block, sizeof block, &key);
    if (rc != CRYPT_OK) {
        printf("does not import as an RSA key (%s)", error_to_string(rc));
        return 1;
    }
    const int isPublic = key.type == PK_PUBLIC;
    const int bits = ltc_mp.count_bits(key.N);
    rsa_free(&key);
    if (!isPublic) {
        printf("holds a private key; the updater must be built with its public half only");
        return 1;
    }
    if (bits < 1024) {
        printf("holds a %d-bit key; RSA keys below 1024 bits are refused", bits);
        return 1;
    }
    printf("%d", bits);
    return 0;
}
