// libFuzzer target: the JSON reader and every accessor over whatever parses.
// Invariants checked: no crash or leak, tokens nest properly, quoting then
// parsing then decoding gives the original text back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "json/json.h"

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
      if (char* decoded = data_json_string(&document, i)) {
        data_json_field(&document, 0, decoded);
        std::free(decoded);
      }
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
