#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/files.h"
#include "project/project.h"
#include "test_util.h"

namespace {

using kelvra_test::list_folder;
using kelvra_test::read_file;
using kelvra_test::TempDir;
using kelvra_test::write_file;

// Failure injection: which call fails, counted from 1 for each kind.
struct Faults {
  int write_call = 0;
  bool write_zero = false;
  bool fsync = false;
  bool close = false;
  bool rename = false;
  int writes_seen = 0;
};
Faults g_faults;

ssize_t faulty_write(int fd, const void* data, size_t length) {
  if (++g_faults.writes_seen == g_faults.write_call) {
    if (g_faults.write_zero) return 0;
    errno = ENOSPC;
    return -1;
  }
  // Short writes: the writer must loop until everything is written.
  return sys_file_real_calls()->write(fd, data, length > 7 ? length / 2 : length);
}
int faulty_fsync(int fd) {
  if (g_faults.fsync) {
    errno = EIO;
    return -1;
  }
  return sys_file_real_calls()->fsync(fd);
}
int faulty_close(int fd) {
  int result = sys_file_real_calls()->close(fd);
  if (g_faults.close) {
    errno = EIO;
    return -1;
  }
  return result;
}
int faulty_rename(const char* from, const char* to) {
  if (g_faults.rename) {
    errno = EXDEV;
    return -1;
  }
  return sys_file_real_calls()->rename(from, to);
}
const SysFileCalls kFaulty = {faulty_write, faulty_fsync, faulty_close, faulty_rename};

class AtomicWrite : public ::testing::Test {
 protected:
  void TearDown() override { sys_file_set_calls(nullptr); }
  TempDir dir;
};

TEST_F(AtomicWrite, ReplacesTheFileAndKeepsItsPermissions) {
  const std::string target = dir.file("project.json");
  write_file(target, "old contents");
  ::chmod(target.c_str(), 0640);
  const std::string data = "{\"new\": true}\n";
  ASSERT_TRUE(sys_file_write_atomic(target.c_str(), data.data(), data.size()));
  EXPECT_EQ(read_file(target), data);
  struct stat info;
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  EXPECT_EQ(list_folder(dir.path()), "project.json;");

  // Short writes are continued; an empty file can be written.
  sys_file_set_calls(&kFaulty);
  g_faults = Faults{};
  const std::string big(100000, 'z');
  ASSERT_TRUE(sys_file_write_atomic(target.c_str(), big.data(), big.size()));
  EXPECT_EQ(read_file(target), big);
  ASSERT_TRUE(sys_file_write_atomic(target.c_str(), nullptr, 0));
  EXPECT_EQ(read_file(target), "");
}

TEST_F(AtomicWrite, EveryFailureLeavesTheOldFileAndNoTemporary) {
  const std::string target = dir.file("project.json");
  const std::string old_contents = "{\"version\": \"old\"}";
  const std::string data(50000, 'n');
  struct Case {
    const char* name;
    Faults faults;
  } cases[] = {
      {"first write fails", [] { Faults f; f.write_call = 1; return f; }()},
      {"a later write fails", [] { Faults f; f.write_call = 3; return f; }()},
      {"a write moves nothing", [] { Faults f; f.write_call = 2; f.write_zero = true; return f; }()},
      {"fsync fails", [] { Faults f; f.fsync = true; return f; }()},
      {"close fails", [] { Faults f; f.close = true; return f; }()},
      {"rename fails", [] { Faults f; f.rename = true; return f; }()},
  };
  sys_file_set_calls(&kFaulty);
  for (const Case& c : cases) {
    write_file(target, old_contents);
    g_faults = c.faults;
    EXPECT_FALSE(sys_file_write_atomic(target.c_str(), data.data(), data.size())) << c.name;
    EXPECT_EQ(read_file(target), old_contents) << c.name;
    EXPECT_EQ(list_folder(dir.path()), "project.json;") << c.name;
  }
}

TEST_F(AtomicWrite, RefusesBadPathsAndTargets) {
  const std::string data = "x";
  EXPECT_FALSE(sys_file_write_atomic(nullptr, data.data(), 1));
  EXPECT_FALSE(sys_file_write_atomic(dir.file("a").c_str(), nullptr, 1));
  EXPECT_FALSE(sys_file_write_atomic(dir.file("missing/a").c_str(), data.data(), 1));
  EXPECT_FALSE(sys_file_write_atomic((dir.path() + "/").c_str(), data.data(), 1));
  const std::string long_name = dir.file(std::string(259 - dir.path().size(), 'l'));  // 260 characters
  EXPECT_FALSE(sys_file_write_atomic(long_name.c_str(), data.data(), 1));
  ::mkdir(dir.file("folder").c_str(), 0755);  // a folder where the file should go
  EXPECT_FALSE(sys_file_write_atomic(dir.file("folder").c_str(), data.data(), 1));
  EXPECT_EQ(list_folder(dir.path()), "folder;");

  // A relative path lands in the working folder.
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  EXPECT_TRUE(sys_file_write_atomic("relative.json", data.data(), 1));
  ASSERT_EQ(::chdir(cwd), 0);
  EXPECT_EQ(read_file(dir.file("relative.json")), "x");
}

TEST_F(AtomicWrite, ProjectSaveReportsFailureAndKeepsTheOldFile) {
  auto project = std::unique_ptr<Project, void (*)(Project*)>(
      static_cast<Project*>(std::calloc(1, sizeof(Project))), [](Project* p) {
        kelvra_project_close(p);
        std::free(p);
      });
  kelvra_score_defaults(&project->score);
  const std::string target = dir.file("demo.pjn");
  write_file(target, "previous");
  sys_file_set_calls(&kFaulty);
  g_faults = Faults{};
  g_faults.fsync = true;
  EXPECT_FALSE(kelvra_project_save(project.get(), target.c_str(), 0));
  EXPECT_EQ(read_file(target), "previous");
  g_faults = Faults{};
  EXPECT_TRUE(kelvra_project_save(project.get(), target.c_str(), 0));
  EXPECT_TRUE(kelvra_project_open(project.get(), target.c_str()));
}

// A child saves two versions in turn as fast as it can and is killed with
// SIGKILL at random moments: the file must always read as one whole version.
TEST_F(AtomicWrite, KilledSaverNeverLeavesAPartialFile) {
  auto make_version = [](const char* tag) {
    std::string text = std::string("{\"schemaVersion\": 1, \"tag\": \"") + tag + "\", \"clips\": [";
    for (int i = 0; i < 256; ++i) text += std::string(i ? "," : "") + "{\"id\": \"clip-" + std::to_string(i) + "\", \"name\": \"" + std::string(300, tag[0]) + "\"}";
    return text + "]}\n";
  };
  const std::string versions[2] = {make_version("a"), make_version("b")};
  const std::string target = dir.file("project.json");
  write_file(target, versions[0]);
  std::mt19937 random(12345);
  for (int round = 0; round < 40; ++round) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (unsigned i = 0;; ++i) {
        const std::string& v = versions[i & 1];
        if (!sys_file_write_atomic(target.c_str(), v.data(), v.size())) ::_exit(3);
      }
    }
    ::usleep(1000 + random() % 20000);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the saver stopped by itself, status " << status;
    const std::string now = read_file(target);
    ASSERT_TRUE(now == versions[0] || now == versions[1]) << "round " << round << ": " << now.size() << " bytes";
  }
}

}  // namespace
