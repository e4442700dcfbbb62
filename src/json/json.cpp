// JSON reader, accessors and quoting.
//
// Index:
//   [scanning]   whitespace, strings, numbers
//   [parsing]    data_json_parse, data_json_value, token storage
//   [accessors]  field lookup, array count, sizes, booleans, child walking
//   [strings]    decoding of string tokens, quoting for output
#include "json/json.h"

#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// ---------------------------------------------------------------- [scanning]

// 1 for the four whitespace bytes JSON allows.
constexpr bool is_space(unsigned char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Bytes that stop the fast part of a string scan: quote, backslash and every
// byte below 32 (the NUL included).
struct StringStops {
  bool stop[256];
  constexpr StringStops() : stop() {
    for (int c = 0; c < 32; ++c) stop[c] = true;
    stop[static_cast<unsigned char>('"')] = true;
    stop[static_cast<unsigned char>('\\')] = true;
  }
};
constexpr StringStops kStringStops;

inline const char* skip_space(const char* p) {
  while (is_space(static_cast<unsigned char>(*p))) ++p;
  return p;
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline bool is_hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// ----------------------------------------------------------------- [parsing]

// Token storage a freed document leaves to the next parse on the same thread:
// parsing again (a project reopened, one response after another) then writes
// into memory already mapped and warm instead of growing a fresh array
// through every doubling. The larger of two is kept; the rest is freed.
struct SpareTokens {
  JsonToken* tokens = nullptr;
  uint64_t capacity = 0;
  ~SpareTokens() { std::free(tokens); }
};
thread_local SpareTokens spare_tokens;

// Makes room for one more token; refuses at the token limit or when memory runs out.
bool reserve_token(JsonDocument* document) {
  if (document->count < document->capacity) return true;
  if (document->count >= DATA_JSON_MAX_TOKENS) return false;
  uint64_t capacity = document->capacity == 0 ? 128 : document->capacity * 2;
  void* grown = std::realloc(document->tokens, capacity * sizeof(JsonToken));
  if (grown == nullptr) return false;
  document->tokens = static_cast<JsonToken*>(grown);
  document->capacity = capacity;
  return true;
}

// Parses the members or elements of a container whose opener is at `p`.
const char* parse_container(JsonDocument* document, const char* p, uint32_t depth, bool object) {
  const char closer = object ? '}' : ']';
  p = skip_space(p + 1);
  if (*p == closer) return p + 1;
  for (;;) {
    if (object) {
      if (*p != '"') return nullptr;
      p = data_json_value(document, p, depth + 1);
      if (p == nullptr) return nullptr;
      p = skip_space(p);
      if (*p != ':') return nullptr;
      ++p;
    }
    p = data_json_value(document, p, depth + 1);
    if (p == nullptr) return nullptr;
    p = skip_space(p);
    if (*p == closer) return p + 1;
    if (*p != ',') return nullptr;
    p = skip_space(p + 1);
  }
}

bool key_matches(const JsonDocument* document, uint64_t key, const char* name, size_t name_length) {
  const JsonToken& token = document->tokens[key];
  const char* raw = document->text + token.start + 1;
  size_t raw_length = token.end - token.start - 2;
  if (raw_length == name_length && std::memcmp(raw, name, name_length) == 0) return true;
  if (std::memchr(raw, '\\', raw_length) == nullptr) return false;
  char* decoded = data_json_string(document, key);
  if (decoded == nullptr) return false;
  bool equal = std::strcmp(decoded, name) == 0;
  std::free(decoded);
  return equal;
}

inline bool valid_index(const JsonDocument* document, uint64_t index) {
  return document != nullptr && index < document->count;
}

// Appends code point `c` (at most 0x10FFFF) as UTF-8.
char* put_utf8(char* out, uint32_t c) {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (c >> 18));
    *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// Reads the four hex digits after "\u" at `p` (already checked by the scanner).
uint32_t read_unit(const char* p) {
  return static_cast<uint32_t>(hex_value(p[0]) << 12 | hex_value(p[1]) << 8 | hex_value(p[2]) << 4 |
                               hex_value(p[3]));
}

}  // namespace

// ---------------------------------------------------------------- [scanning]

const char* data_json_string_end(const char* position) {
  if (position == nullptr) return nullptr;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(position) + 1;
  for (;;) {
    // The common case: plain bytes, four at a time.
    while (!kStringStops.stop[p[0]]) {
      if (kStringStops.stop[p[1]]) { p += 1; break; }
      if (kStringStops.stop[p[2]]) { p += 2; break; }
      if (kStringStops.stop[p[3]]) { p += 3; break; }
      p += 4;
    }
    unsigned char c = *p;
    if (c == '"') return reinterpret_cast<const char*>(p);
    if (c != '\\') return nullptr;  // NUL or a raw control byte
    unsigned char e = p[1];
    switch (e) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        p += 2;
        break;
      case 'u':
        if (!is_hex(static_cast<char>(p[2])) || !is_hex(static_cast<char>(p[3])) ||
            !is_hex(static_cast<char>(p[4])) || !is_hex(static_cast<char>(p[5])))
          return nullptr;
        p += 6;
        break;
      default:
        return nullptr;
    }
  }
}

const char* data_json_number_end(const char* position) {
  if (position == nullptr) return nullptr;
  const char* p = position;
  if (*p == '-') ++p;
  if (*p == '0') {
    ++p;
  } else if (*p >= '1' && *p <= '9') {
    ++p;
    while (is_digit(*p)) ++p;
  } else {
    return nullptr;
  }
  if (*p == '.') {
    ++p;
    if (!is_digit(*p)) return nullptr;
    while (is_digit(*p)) ++p;
  }
  if (*p == 'e' || *p == 'E') {
    ++p;
    if (*p == '+' || *p == '-') ++p;
    if (!is_digit(*p)) return nullptr;
    while (is_digit(*p)) ++p;
  }
  return p;
}

// ----------------------------------------------------------------- [parsing]

const char* data_json_value(JsonDocument* document, const char* position, uint32_t depth) {
  if (depth >= DATA_JSON_MAX_DEPTH) return nullptr;
  const char* p = skip_space(position);
  if (!reserve_token(document)) return nullptr;
  const uint64_t index = document->count++;
  JsonToken* token = &document->tokens[index];
  *token = JsonToken{};
  token->start = static_cast<uint64_t>(p - document->text);
  uint32_t kind;
  switch (*p) {
    case '{':
    case '[':
      kind = *p == '{' ? JSON_OBJECT : JSON_ARRAY;
      // Token storage may move while the children are parsed; keep the index only.
      p = parse_container(document, p, depth, kind == JSON_OBJECT);
      break;
    case '"':
      kind = JSON_STRING;
      p = data_json_string_end(p);
      if (p != nullptr) ++p;
      break;
    case 't':
      kind = JSON_TRUE;
      p = std::strncmp(p, "true", 4) == 0 ? p + 4 : nullptr;
      break;
    case 'f':
      kind = JSON_FALSE;
      p = std::strncmp(p, "false", 5) == 0 ? p + 5 : nullptr;
      break;
    case 'n':
      kind = JSON_NULL;
      p = std::strncmp(p, "null", 4) == 0 ? p + 4 : nullptr;
      break;
    default:
      kind = JSON_NUMBER;
      p = data_json_number_end(p);
      break;
  }
  if (p == nullptr) return nullptr;
  token = &document->tokens[index];
  token->kind = kind;
  token->end = static_cast<uint64_t>(p - document->text);
  token->next = document->count;
  return p;
}

bool data_json_parse(JsonDocument* document, const char* text) {
  if (document == nullptr) return false;
  *document = JsonDocument{};
  if (text == nullptr) return false;
  document->text = text;
  SpareTokens& spare = spare_tokens;
  document->tokens = spare.tokens;
  document->capacity = spare.capacity;
  spare.tokens = nullptr;
  spare.capacity = 0;
  const char* p = data_json_value(document, text, 0);
  if (p != nullptr) p = skip_space(p);
  if (p == nullptr || *p != '\0') {
    data_json_free(document);
    return false;
  }
  return true;
}

void data_json_free(JsonDocument* document) {
  if (document == nullptr) return;
  SpareTokens& spare = spare_tokens;
  if (document->capacity > spare.capacity) {
    std::free(spare.tokens);
    spare.tokens = document->tokens;
    spare.capacity = document->capacity;
  } else {
    std::free(document->tokens);
  }
  *document = JsonDocument{};
}

// --------------------------------------------------------------- [accessors]

uint32_t data_json_kind(const JsonDocument* document, uint64_t index) {
  return valid_index(document, index) ? document->tokens[index].kind : 0xFFFFFFFFu;
}

uint64_t data_json_child(const JsonDocument* document, uint64_t container) {
  if (!valid_index(document, container)) return JSON_NONE;
  const JsonToken& token = document->tokens[container];
  if (token.kind != JSON_OBJECT && token.kind != JSON_ARRAY) return JSON_NONE;
  return token.next > container + 1 ? container + 1 : JSON_NONE;
}

uint64_t data_json_after(const JsonDocument* document, uint64_t index, uint64_t container) {
  if (!valid_index(document, index) || !valid_index(document, container)) return JSON_NONE;
  uint64_t next = document->tokens[index].next;
  return next < document->tokens[container].next ? next : JSON_NONE;
}

uint64_t data_json_field(const JsonDocument* document, uint64_t object, const char* name) {
  if (!valid_index(document, object) || name == nullptr) return JSON_NONE;
  const JsonToken* tokens = document->tokens;
  if (tokens[object].kind != JSON_OBJECT) return JSON_NONE;
  const size_t name_length = std::strlen(name);
  const uint64_t end = tokens[object].next;
  for (uint64_t key = object + 1; key < end; key = tokens[key + 1].next) {
    if (key_matches(document, key, name, name_length)) return key + 1;
  }
  return JSON_NONE;
}

bool data_json_array_count(const JsonDocument* document, uint64_t array, uint64_t* count) {
  if (!valid_index(document, array) || document->tokens[array].kind != JSON_ARRAY) return false;
  uint64_t n = 0;
  const uint64_t end = document->tokens[array].next;
  for (uint64_t i = array + 1; i < end; i = document->tokens[i].next) ++n;
  *count = n;
  return true;
}

bool data_json_size(const JsonDocument* document, uint64_t index, uint64_t* value) {
  if (!valid_index(document, index)) return false;
  const JsonToken& token = document->tokens[index];
  if (token.kind != JSON_NUMBER || token.end == token.start) return false;
  uint64_t result = 0;
  for (uint64_t i = token.start; i < token.end; ++i) {
    char c = document->text[i];
    if (!is_digit(c)) return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (result > (UINT64_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

bool data_json_bool(const JsonDocument* document, uint64_t index, uint8_t* value) {
  if (!valid_index(document, index)) return false;
  uint32_t kind = document->tokens[index].kind;
  if (kind != JSON_TRUE && kind != JSON_FALSE) return false;
  *value = kind == JSON_TRUE ? 1 : 0;
  return true;
}

// ----------------------------------------------------------------- [strings]

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

// Length of the well-formed UTF-8 character at `p` (before `end`): 1 to 4, or
// 0 when the bytes there are not one (a stray continuation byte, a cut or
// overlong sequence, an encoded surrogate, a code point past 0x10FFFF).
size_t utf8_length(const unsigned char* p, const unsigned char* end) {
  const unsigned char lead = p[0];
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint32_t c = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    c = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    c = lead & 0x07;
  } else {
    return 0;
  }
  if (end - p < static_cast<ptrdiff_t>(length)) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    c = c << 6 | (p[i] & 0x3F);
  }
  if (length == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) return 0;
  if (length == 4 && (c < 0x10000 || c > 0x10FFFF)) return 0;
  return length;
}

// Decodes a string token. Strict: null for the escape of code unit 0 and a
// surrogate half alone. As text: those, and bytes that are not UTF-8, each
// give U+FFFD, so the result is always well-formed UTF-8.
char* decode_string(const JsonDocument* document, uint64_t index, bool as_text) {
  if (!valid_index(document, index)) return nullptr;
  const JsonToken& token = document->tokens[index];
  if (token.kind != JSON_STRING) return nullptr;
  const char* p = document->text + token.start + 1;
  const char* end = document->text + token.end - 1;  // the closing quote
  // As text a byte may grow to the three of U+FFFD; an escape never grows.
  const size_t room = static_cast<size_t>(end - p) * (as_text ? 3 : 1) + 1;
  char* result = static_cast<char*>(std::malloc(room));
  if (result == nullptr) return nullptr;
  char* out = result;
  while (p < end) {
    if (*p != '\\') {
      if (!as_text) {
        *out++ = *p++;
        continue;
      }
      const size_t length =
          utf8_length(reinterpret_cast<const unsigned char*>(p), reinterpret_cast<const unsigned char*>(end));
      if (length == 0) {
        out = put_utf8(out, kReplacement);
        ++p;
        continue;
      }
      std::memcpy(out, p, length);
      out += length;
      p += length;
      continue;
    }
    char e = p[1];
    p += 2;
    switch (e) {
      case 'b': *out++ = 8; break;
      case 'f': *out++ = 12; break;
      case 'n': *out++ = 10; break;
      case 'r': *out++ = 13; break;
      case 't': *out++ = 9; break;
      case 'u': {
        uint32_t c = read_unit(p);
        p += 4;
        bool lone = c == 0 || (c >= 0xDC00 && c <= 0xDFFF);
        if (c >= 0xD800 && c <= 0xDBFF) {
          const uint32_t low = end - p >= 6 && p[0] == '\\' && p[1] == 'u' && is_hex(p[2]) && is_hex(p[3]) &&
                                       is_hex(p[4]) && is_hex(p[5])
                                   ? read_unit(p + 2)
                                   : 0;
          if (low >= 0xDC00 && low <= 0xDFFF) {
            p += 6;
            c = 0x10000 + (c - 0xD800) * 1024 + (low - 0xDC00);
          } else {
            lone = true;  // what follows the half is read on its own
          }
        }
        if (lone && !as_text) {
          std::free(result);
          return nullptr;
        }
        out = put_utf8(out, lone ? kReplacement : c);
        break;
      }
      default:  // the quote, the backslash and the slash stand for themselves
        *out++ = e;
        break;
    }
  }
  *out = '\0';
  return result;
}

}  // namespace

char* data_json_string(const JsonDocument* document, uint64_t index) { return decode_string(document, index, false); }

char* data_json_text(const JsonDocument* document, uint64_t index) { return decode_string(document, index, true); }

char* data_json_quote(const char* text) {
  if (text == nullptr) return nullptr;
  const size_t length = std::strlen(text);
  if (length > 3074457345618258602ull) return nullptr;
  char* result = static_cast<char*>(std::malloc(6 * length + 3));
  if (result == nullptr) return nullptr;
  static const char digits[] = "0123456789abcdef";
  char* out = result;
  *out++ = '"';
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      *out++ = '\\';
      *out++ = static_cast<char>(c);
    } else if (c >= 1 && c <= 31) {
      *out++ = '\\';
      *out++ = 'u';
      *out++ = '0';
      *out++ = '0';
      *out++ = digits[c >> 4];
      *out++ = digits[c & 15];
    } else {
      *out++ = static_cast<char>(c);
    }
  }
  *out++ = '"';
  *out = '\0';
  return result;
}
