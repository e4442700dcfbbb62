// libFuzzer target: the JSON reader and every accessor over whatever parses.
// Invariants checked: no crash or leak, tokens nest properly, decoding as text
// gives well-formed UTF-8 (the strict decoding's own result when that is
// well-formed), quoting then parsing then decoding gives the original text back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "json/json.h"

namespace {

// Whether `text` is well-formed UTF-8: no stray or missing continuation byte,
// no overlong form, no encoded surrogate, nothing past U+10FFFF.
bool well_formed(const char* text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    const unsigned lead = *p;
    int length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                   : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0) return false;
    uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      c = c << 6 | (p[i] & 0x3F);
    }
    if ((length == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) || (length == 4 && (c < 0x10000 || c > 0x10FFFF)))
      return false;
    p += length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  JsonDocument document{};
  if (data_json_parse(&document, text.c_str())) {
    for (uint64_t i = 0; i < document.count; ++i) {
      const JsonToken& token = document.tokens[i];
      if (token.next <= i || token.next > document.count || token.end < token.start) std::abort();
      uint64_t count = 0;
      uint64_t size_value = 0;
      uint8_t flag = 0;
      data_json_array_count(&document, i, &count);
      data_json_size(&document, i, &size_value);
      data_json_bool(&document, i, &flag);
      char* decoded = data_json_string(&document, i);
      if (decoded != nullptr) data_json_field(&document, 0, decoded);
      if (char* shown = data_json_text(&document, i)) {
        if (!well_formed(shown) || (decoded != nullptr && well_formed(decoded) && std::strcmp(shown, decoded) != 0))
          std::abort();
        std::free(shown);
      } else if (decoded != nullptr) {
        std::abort();
      }
      std::free(decoded);
    }
  }
  data_json_free(&document);

  // Quoting round trip (the text up to its first NUL is what the writers quote).
  const std::string plain(text.c_str());
  char* quoted = data_json_quote(plain.c_str());
  if (quoted == nullptr) std::abort();
  JsonDocument again{};
  if (!data_json_parse(&again, quoted)) std::abort();
  char* decoded = data_json_string(&again, 0);
  // Only the escape of code unit 0 refuses, and quoting never writes one.
  if (decoded == nullptr || plain != decoded) std::abort();
  std::free(decoded);
  data_json_free(&again);
  std::free(quoted);
  return 0;
}
