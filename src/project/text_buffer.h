// The growing text every JSON writer appends to. Once an append fails the
// buffer stays failed and later appends do nothing, so a writer checks once
// at the end.
#pragma once

#include <cstdint>

struct TextBuffer {
  char* data;  // owned, NUL-terminated after every append
  uint64_t length;
  uint64_t capacity;
  uint8_t failed;
};

void project_append(TextBuffer* buffer, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Appends `text` as a JSON string literal; a quoting failure fails the buffer.
void project_append_quoted(TextBuffer* buffer, const char* text);
// Appends `length` raw bytes.
void project_append_raw(TextBuffer* buffer, const char* data, uint64_t length);
void text_buffer_free(TextBuffer* buffer);

// Numbers leave the program finite: "%.9g" of an infinity or NaN is not JSON
// and would make the written file unreadable, so such a value is written as 0.
inline double text_finite(double value) { return value - value == 0.0 ? value : 0.0; }
