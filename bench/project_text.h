// Generated project files for the benchmarks: a full-capacity project and a
// large one padded with embedded media, both shaped like real saved projects.
#pragma once

#include <cstdio>
#include <string>

namespace kelvra_bench {

inline void append_format(std::string* out, const char* format, auto... values) {
  char line[512];
  int length = std::snprintf(line, sizeof line, format, values...);
  out->append(line, static_cast<size_t>(length));
}

// 256 sources with cuts, 256 clips, 256 titles, 128 regions and 4096 notes,
// followed by `media_entries` embedded media entries of `media_bytes` each.
inline std::string project_text(int media_entries = 0, size_t media_bytes = 0) {
  std::string text = "{\n  \"schemaVersion\": 1, \"title\": \"Benchmark project\", \"primaryCanvas\": \"fullhd\",\n  \"sources\": [";
  for (int i = 0; i < 256; ++i)
    append_format(&text, "%s\n    {\"id\": \"source-%d\", \"file\": \"clip-%04d.mp4\", \"title\": \"Clip %d from the shoot\", \"duration\": %d.25}",
                  i ? "," : "", i, i, i, 30 + i % 90);
  text += "],\n  \"cuts\": {";
  for (int i = 0; i < 256; ++i)
    append_format(&text, "%s\n    \"source-%d\": {\"in\": %d.5, \"out\": %d.75, \"video\": true, \"audio\": %s, \"mode\": \"%s\", \"loops\": %d}",
                  i ? "," : "", i, i % 10, 12 + i % 10, i % 3 ? "true" : "false", i % 2 ? "loop" : "cut", 1 + i % 4);
  text += "},\n  \"clips\": [";
  for (int i = 0; i < 256; ++i)
    append_format(&text,
                  "%s\n    {\"sourceId\": \"source-%d\", \"file\": \"clip-%04d.mp4\", \"id\": \"v3-%d-%d\", \"name\": \"Sample %d\", "
                  "\"at\": %d.125, \"in\": 1.5, \"out\": 4.25, \"lane\": %d, \"gain\": 0.85, \"video\": true, \"audio\": true, "
                  "\"mode\": \"cut\", \"loops\": 1, \"fadeIn\": 0.25, \"fadeOut\": 0.5, "
                  "\"transforms\": {\"fullhd\": {\"x\": 0.1, \"y\": -0.2, \"scale\": 0.5}, \"square\": {\"x\": 0, \"y\": 0, \"scale\": 1}}}",
                  i ? "," : "", i, i, 1000 + i, i, i + 1, i * 3, i % 4);
  text += "\n  ],\n  \"texts\": [";
  for (int i = 0; i < 256; ++i)
    append_format(&text, "%s\n    {\"text\": \"Title number %d\", \"at\": %d, \"duration\": 2.5, \"x\": 0.5, \"y\": 0.82, "
                  "\"style\": {\"background\": \"#101311\", \"color\": \"#e7efea\"}}",
                  i ? "," : "", i, i * 2);
  text += "\n  ],\n  \"audioScore\": { \"bpm\": 118, \"master\": 0.85, \"metronome\": true, \"rolls\": 8, \"regions\": [";
  for (int i = 0; i < 128; ++i)
    append_format(&text, "%s\n    { \"start\": %d, \"end\": %d, \"roll\": %d, \"low\": 24, \"high\": 96, \"volume\": 0.9, \"pan\": -0.25, "
                  "\"active\": 0, \"instruments\": [%d, 5] }",
                  i ? "," : "", i * 16, i * 16 + 16, i % 8, i % 5);
  text += "], \"notes\": [";
  for (int i = 0; i < 4096; ++i)
    append_format(&text, "%s\n    { \"beat\": %d.25, \"length\": 0.5, \"key\": %d, \"velocity\": 0.8, \"roll\": %d, \"region\": %d }",
                  i ? "," : "", (i / 32) * 16 + (i % 32) / 2, 36 + i % 48, (i / 32) % 8, i / 32);
  text += "] },\n  \"canvasSizes\": [\"fullhd\", \"square\", \"reels\"]";
  if (media_entries > 0) {
    text += ",\n  \"embeddedMedia\": [";
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < media_entries; ++i) {
      append_format(&text, "%s\n    {\"name\": \"take-%d.m4a\", \"mime\": \"audio/mp4\", \"bytes\": %zu, \"data\": \"",
                    i ? "," : "", i, media_bytes);
      for (size_t k = 0; k < media_bytes; ++k) text += alphabet[(k * 7 + static_cast<size_t>(i)) & 63];
      text += "\"}";
    }
    text += "]";
  }
  text += "\n}\n";
  return text;
}

// A token-dense document at the reader's token limit: clips and notes only.
inline std::string dense_text() {
  std::string text = "{\"notes\": [";
  for (int i = 0; i < 80000; ++i)
    append_format(&text, "%s{\"beat\": %d.25, \"length\": 0.5, \"key\": %d, \"velocity\": 0.8, \"roll\": %d, \"region\": -1}",
                  i ? "," : "", i, 36 + i % 48, i % 8);
  return text + "]}";
}

}  // namespace kelvra_bench
