// Small helpers shared by the test suites: temporary folders and file I/O.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>
#include <algorithm>

namespace kelvra_test {

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/kelvra-test-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A file of the test suite's own data, by its path under tests/.
inline std::string test_data(const std::string& name) { return std::string(KELVRA_TEST_DATA) + "/" + name; }

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Names in a folder, sorted.
inline std::string list_folder(const std::string& folder) {
  std::string names;
  std::vector<std::string> sorted;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) sorted.push_back(entry.path().filename());
  std::sort(sorted.begin(), sorted.end());
  for (const auto& name : sorted) names += name + ";";
  return names;
}

}  // namespace kelvra_test
