// Memory for secrets (tokens, client secrets, sign-in verifiers): whole
// pages of their own that a core dump leaves out and a forked child does not
// see, kept out of swap where the system allows, and wiped before they are
// given back.
#pragma once

#include <cstdint>

// `size` bytes, zero-filled; null when the pages cannot be had.
void* sys_secret_alloc(uint64_t size);
// Wipes and returns a block from sys_secret_alloc of that size; null allowed.
void sys_secret_free(void* data, uint64_t size);
