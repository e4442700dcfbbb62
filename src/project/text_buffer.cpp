#include "project/text_buffer.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "json/json.h"

namespace {

// Grows the buffer so that `extra` more bytes and the terminator fit.
bool make_room(TextBuffer* buffer, uint64_t extra) {
  if (buffer->length > UINT64_MAX - 2 - extra) {
    buffer->failed = 1;
    return false;
  }
  uint64_t needed = buffer->length + extra + 1;
  if (buffer->capacity >= needed) return true;
  uint64_t capacity = buffer->capacity == 0 ? needed : buffer->capacity * 2;
  if (capacity < needed) capacity = needed;
  void* grown = std::realloc(buffer->data, capacity);
  if (grown == nullptr) {
    buffer->failed = 1;
    return false;
  }
  buffer->data = static_cast<char*>(grown);
  buffer->capacity = capacity;
  return true;
}

}  // namespace

void project_append(TextBuffer* buffer, const char* format, ...) {
  if (buffer->failed) return;
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length < 0) {
    buffer->failed = 1;
  } else if (make_room(buffer, static_cast<uint64_t>(length))) {
    std::vsnprintf(buffer->data + buffer->length, static_cast<size_t>(length) + 1, format, args);
    buffer->length += static_cast<uint64_t>(length);
  }
  va_end(args);
}

void project_append_raw(TextBuffer* buffer, const char* data, uint64_t length) {
  if (buffer->failed || !make_room(buffer, length)) return;
  std::memcpy(buffer->data + buffer->length, data, length);
  buffer->length += length;
  buffer->data[buffer->length] = '\0';
}

void project_append_quoted(TextBuffer* buffer, const char* text) {
  if (buffer->failed) return;
  char* quoted = data_json_quote(text);
  if (quoted == nullptr) {
    buffer->failed = 1;
    return;
  }
  project_append_raw(buffer, quoted, std::strlen(quoted));
  std::free(quoted);
}

void text_buffer_free(TextBuffer* buffer) {
  std::free(buffer->data);
  *buffer = TextBuffer{};
}
