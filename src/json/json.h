// Strict JSON reader over a flat token array, its accessors, and string quoting.
//
// The reader never copies text: tokens are byte ranges of the caller's
// NUL-terminated text, stored in document order (pre-order). Every token knows
// the index of the first token after its whole subtree (`next`), so skipping an
// element is one step. Indexes are unsigned; JSON_NONE (all bits set) means
// absent and every accessor treats an index at or past `count` as absent, so
// lookups chain without checks.
#pragma once

#include <cstdint>

enum : uint32_t {
  JSON_OBJECT = 0,
  JSON_ARRAY = 1,
  JSON_STRING = 2,
  JSON_NUMBER = 3,
  JSON_TRUE = 4,
  JSON_FALSE = 5,
  JSON_NULL = 6,
};

constexpr uint64_t JSON_NONE = UINT64_MAX;
constexpr uint64_t DATA_JSON_MAX_TOKENS = 1048576;
constexpr uint32_t DATA_JSON_MAX_DEPTH = 33;

struct JsonToken {
  uint32_t kind;
  uint64_t start;  // offset of the first byte ({, [, opening quote, digit, minus, letter)
  uint64_t end;    // offset one past the last byte
  uint64_t next;   // index of the first token after this one and its descendants
};

struct JsonDocument {
  const char* text;   // borrowed; must outlive the document unchanged
  JsonToken* tokens;  // owned
  uint64_t count;
  uint64_t capacity;
};

// Parses the whole NUL-terminated text. On failure the document is all zero.
bool data_json_parse(JsonDocument* document, const char* text);
// Frees the tokens and zeroes the document; safe on an empty document.
void data_json_free(JsonDocument* document);

// Value index of the first member of `object` whose key equals `name`, or JSON_NONE.
uint64_t data_json_field(const JsonDocument* document, uint64_t object, const char* name);
bool data_json_array_count(const JsonDocument* document, uint64_t array, uint64_t* count);
// A number token made only of decimal digits that fits in 64 bits unsigned.
bool data_json_size(const JsonDocument* document, uint64_t index, uint64_t* value);
bool data_json_bool(const JsonDocument* document, uint64_t index, uint8_t* value);
// Decoded contents of a string token, malloc'ed; the caller frees it. Null on failure.
char* data_json_string(const JsonDocument* document, uint64_t index);
// The same as text to show: well-formed UTF-8 where U+FFFD stands for each
// escape data_json_string refuses (code unit 0, a surrogate half alone) and
// for each byte that is not UTF-8. Null for an absent index, a token that is
// not a string, or memory exhaustion.
char* data_json_text(const JsonDocument* document, uint64_t index);
// The text as a JSON string literal with its quotes, malloc'ed. Null on failure.
char* data_json_quote(const char* text);

// Parser steps, also used by the parse itself.
const char* data_json_value(JsonDocument* document, const char* position, uint32_t depth);
const char* data_json_string_end(const char* position);
const char* data_json_number_end(const char* position);

// Walking containers: the first child of a container (JSON_NONE when empty or
// not a container) and the token after an element's subtree.
uint64_t data_json_child(const JsonDocument* document, uint64_t container);
uint64_t data_json_after(const JsonDocument* document, uint64_t index, uint64_t container);
// The kind of a token, or JSON_NONE's low bits (0xFFFFFFFF) when absent.
uint32_t data_json_kind(const JsonDocument* document, uint64_t index);
