// Random bytes, SHA-256 and Base64 from the system's cryptography library.
#pragma once

#include <cstdint>

bool sys_random_bytes(uint8_t* out, uint64_t size);
void sys_sha256(const void* data, uint64_t size, uint8_t* digest);  // 32 bytes
// Standard Base64 of `size` bytes with padding and no line breaks; `out` has
// room for 4 * ((size + 2) / 3) + 1 bytes.
void sys_base64(const uint8_t* data, uint64_t size, char* out);
