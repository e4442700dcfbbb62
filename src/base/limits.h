// Sizes and markers every module agrees on.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes of a file path with its terminating NUL; longer paths are refused.
constexpr size_t KELVRA_PATH_SIZE = 260;

// An absent table index: all bits set, so it fails every unsigned bound check.
constexpr uint64_t KELVRA_NONE = UINT64_MAX;
