// Random bytes, SHA-256 and Base64 on OpenSSL's libcrypto.
#include "platform/crypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

bool sys_random_bytes(uint8_t* out, uint64_t size) { return RAND_bytes(out, static_cast<int>(size)) == 1; }

void sys_sha256(const void* data, uint64_t size, uint8_t* digest) {
  SHA256(static_cast<const unsigned char*>(data), size, digest);
}

void sys_base64(const uint8_t* data, uint64_t size, char* out) {
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out), data, static_cast<int>(size));
}
