// Sizes and markers every module agrees on.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes of a file path with its terminating NUL (the system's PATH_MAX);
// longer paths are refused.
constexpr size_t KELVRA_PATH_SIZE = 4096;
// Bytes of a bare file name with its terminating NUL (the system's NAME_MAX + 1).
constexpr size_t KELVRA_NAME_SIZE = 256;

// An absent table index: all bits set, so it fails every unsigned bound check.
constexpr uint64_t KELVRA_NONE = UINT64_MAX;
