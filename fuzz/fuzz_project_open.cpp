// libFuzzer target: opening a project from bytes, and saving what opened.
// Invariants checked: no crash or leak, a refused file leaves the open project
// untouched, and the text the writer builds from an opened project opens again
// and is stable under a second save.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "project/project.h"
#include "project/text_buffer.h"

namespace {

std::string build(const Project* project) {
  TextBuffer text;
  if (!project_build_text(project, project->layout, &text)) std::abort();
  std::string result(text.data, text.length);
  text_buffer_free(&text);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Project* project = static_cast<Project*>(std::calloc(1, sizeof(Project)));
  static Project* reread = static_cast<Project*>(std::calloc(1, sizeof(Project)));
  static const char kKept[] = "{\"sources\": [{\"id\": \"kept\"}]}";
  kelvra_project_close(project);
  if (!kelvra_project_open_bytes(project, kKept, sizeof kKept - 1)) std::abort();
  const char* kept_text = project->file_text;

  if (!kelvra_project_open_bytes(project, reinterpret_cast<const char*>(data), size)) {
    if (project->file_text != kept_text || project->source_count != 1 || std::strcmp(project->sources[0].id, "kept"))
      std::abort();
    return 0;
  }
  const std::string first = build(project);
  kelvra_project_close(reread);
  if (!kelvra_project_open_bytes(reread, first.data(), first.size())) std::abort();
  if (reread->clip_count != project->clip_count || reread->source_count != project->source_count ||
      reread->score.note_count != project->score.note_count)
    std::abort();
  if (build(reread) != first) std::abort();
  return 0;
}
