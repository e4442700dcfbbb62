// Projects for tests: heap records (they are large) closed and freed on scope exit.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include "project/project.h"

namespace kelvra_test {

struct ProjectDeleter {
  void operator()(Project* p) const {
    kelvra_project_close(p);
    std::free(p);
  }
};
using ProjectPtr = std::unique_ptr<Project, ProjectDeleter>;

// A project never read from a file, with the default score.
inline ProjectPtr empty_project() {
  ProjectPtr p(static_cast<Project*>(std::calloc(1, sizeof(Project))));
  kelvra_score_defaults(&p->score);
  return p;
}

// `text` opened as a project file; null when the reader refuses it.
inline ProjectPtr open_text(const std::string& text) {
  ProjectPtr p = empty_project();
  if (!kelvra_project_open_bytes(p.get(), text.data(), text.size())) return nullptr;
  return p;
}

}  // namespace kelvra_test
