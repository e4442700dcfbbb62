#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/files.h"
#include "project/project.h"
#include "project_fixture.h"
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
  int fsync_call = 0;  // fail only this fsync, counted from 1
  int fsyncs_seen = 0;
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
  if (g_faults.fsync || ++g_faults.fsyncs_seen == g_faults.fsync_call) {
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
  ASSERT_EQ(sys_file_write_atomic(target.c_str(), data.data(), data.size()), SYS_WRITE_DONE);
  EXPECT_EQ(read_file(target), data);
  struct stat info;
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  EXPECT_EQ(list_folder(dir.path()), "project.json;");

  // Short writes are continued; an empty file can be written.
  sys_file_set_calls(&kFaulty);
  g_faults = Faults{};
  const std::string big(100000, 'z');
  ASSERT_EQ(sys_file_write_atomic(target.c_str(), big.data(), big.size()), SYS_WRITE_DONE);
  EXPECT_EQ(read_file(target), big);
  ASSERT_EQ(sys_file_write_atomic(target.c_str(), nullptr, 0), SYS_WRITE_DONE);
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
    EXPECT_EQ(sys_file_write_atomic(target.c_str(), data.data(), data.size()), SYS_WRITE_FAILED) << c.name;
    EXPECT_EQ(read_file(target), old_contents) << c.name;
    EXPECT_EQ(list_folder(dir.path()), "project.json;") << c.name;
  }
}

TEST_F(AtomicWrite, RefusesBadPathsAndTargets) {
  const std::string data = "x";
  EXPECT_EQ(sys_file_write_atomic(nullptr, data.data(), 1), SYS_WRITE_FAILED);
  EXPECT_EQ(sys_file_write_atomic(dir.file("a").c_str(), nullptr, 1), SYS_WRITE_FAILED);
  EXPECT_EQ(sys_file_write_atomic(dir.file("missing/a").c_str(), data.data(), 1), SYS_WRITE_FAILED);
  EXPECT_EQ(sys_file_write_atomic((dir.path() + "/").c_str(), data.data(), 1), SYS_WRITE_FAILED);
  const std::string long_name = dir.file(std::string(KELVRA_PATH_SIZE - 1 - dir.path().size(), 'l'));  // too long
  EXPECT_EQ(sys_file_write_atomic(long_name.c_str(), data.data(), 1), SYS_WRITE_FAILED);
  ::mkdir(dir.file("folder").c_str(), 0755);  // a folder where the file should go
  EXPECT_EQ(sys_file_write_atomic(dir.file("folder").c_str(), data.data(), 1), SYS_WRITE_FAILED);
  EXPECT_EQ(list_folder(dir.path()), "folder;");

  // A relative path lands in the working folder.
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  EXPECT_EQ(sys_file_write_atomic("relative.json", data.data(), 1), SYS_WRITE_DONE);
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
  EXPECT_EQ(kelvra_project_save(project.get(), target.c_str(), 0), PROJECT_SAVE_FAILED);
  EXPECT_EQ(read_file(target), "previous");
  g_faults = Faults{};
  EXPECT_EQ(kelvra_project_save(project.get(), target.c_str(), 0), PROJECT_SAVED);
  EXPECT_TRUE(kelvra_project_open(project.get(), target.c_str()));
}

TEST_F(AtomicWrite, FolderFlushFailingAfterTheRenameStillReportsTheNewFile) {
  const std::string target = dir.file("project.json");
  write_file(target, "old");
  sys_file_set_calls(&kFaulty);
  g_faults = Faults{};
  g_faults.fsync_call = 2;  // the file's flush passes, the folder's fails
  const std::string data = "new";
  EXPECT_EQ(sys_file_write_atomic(target.c_str(), data.data(), data.size()), SYS_WRITE_NOT_FLUSHED);
  EXPECT_EQ(read_file(target), "new");
  EXPECT_EQ(list_folder(dir.path()), "project.json;");
}

TEST_F(AtomicWrite, WritesThroughSymbolicLinksAndKeepsThem) {
  ::mkdir(dir.file("real").c_str(), 0755);
  const std::string data = "saved";
  struct Case {
    const char* link;
    const char* names;     // what the link says
    const char* real;      // the file that must get the data
  } cases[] = {
      {"relative.pjn", "real/a.pjn", "real/a.pjn"},
      {"absolute.pjn", nullptr, "real/b.pjn"},  // an absolute path to real/b.pjn
      {"chain.pjn", "relative.pjn", "real/a.pjn"},
      {"dangling.pjn", "real/new.pjn", "real/new.pjn"},  // the named file is made
  };
  write_file(dir.file("real/a.pjn"), "old a");
  write_file(dir.file("real/b.pjn"), "old b");
  for (const Case& c : cases) {
    const std::string named = c.names != nullptr ? c.names : dir.file(c.real);
    ASSERT_EQ(::symlink(named.c_str(), dir.file(c.link).c_str()), 0);
    EXPECT_EQ(sys_file_write_atomic(dir.file(c.link).c_str(), data.data(), data.size()), SYS_WRITE_DONE) << c.link;
    EXPECT_EQ(read_file(dir.file(c.real)), data) << c.link;
    struct stat info;
    ASSERT_EQ(::lstat(dir.file(c.link).c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode)) << c.link << " was replaced by a regular file";
    write_file(dir.file(c.real), "old");
  }
  EXPECT_EQ(list_folder(dir.file("real")), "a.pjn;b.pjn;new.pjn;");

  // A loop of links has no file to write: refused, the links stay.
  ASSERT_EQ(::symlink("loop-b.pjn", dir.file("loop-a.pjn").c_str()), 0);
  ASSERT_EQ(::symlink("loop-a.pjn", dir.file("loop-b.pjn").c_str()), 0);
  EXPECT_EQ(sys_file_write_atomic(dir.file("loop-a.pjn").c_str(), data.data(), data.size()), SYS_WRITE_FAILED);
  struct stat info;
  ASSERT_EQ(::lstat(dir.file("loop-a.pjn").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
}

TEST_F(AtomicWrite, RefusesAReadOnlyTarget) {
  const std::string target = dir.file("locked.pjn");
  write_file(target, "kept");
  ::chmod(target.c_str(), 0444);
  const std::string data = "new";
  EXPECT_EQ(sys_file_write_atomic(target.c_str(), data.data(), data.size()), SYS_WRITE_READ_ONLY);
  EXPECT_EQ(read_file(target), "kept");
  ASSERT_EQ(::symlink("locked.pjn", dir.file("link.pjn").c_str()), 0);  // also through a link
  EXPECT_EQ(sys_file_write_atomic(dir.file("link.pjn").c_str(), data.data(), data.size()), SYS_WRITE_READ_ONLY);
  EXPECT_EQ(list_folder(dir.path()), "link.pjn;locked.pjn;");
}

TEST_F(AtomicWrite, RemovesStaleTemporariesOfThisWriterBeforeASave) {
  const time_t two_hours_ago = std::time(nullptr) - 7200;
  for (const char* name : {"zkeAb3De9", "zkeRecent", "zkeAb3De", "zkeAb3-e9"}) {
    write_file(dir.file(name), std::string(1000, 'p'));
    if (std::string(name) == "zkeRecent") continue;
    const struct timespec old[2] = {{two_hours_ago, 0}, {two_hours_ago, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, dir.file(name).c_str(), old, 0), 0);
  }
  const std::string data = "x";
  EXPECT_EQ(sys_file_write_atomic(dir.file("p.pjn").c_str(), data.data(), 1), SYS_WRITE_DONE);
  EXPECT_EQ(list_folder(dir.path()), "p.pjn;zkeAb3-e9;zkeAb3De;zkeRecent;");
}

TEST_F(AtomicWrite, ProjectSaveRefusesATextTheReaderWouldRefuse) {
  // 4096 notes written as {} and a large carried member open within the reader's
  // token limit; saved with every note's members filled in they would not.
  std::string text = "{\"schemaVersion\": 1, \"carried\": [";
  for (int i = 0; i < 1048576 - 4096 * 2 - 40; ++i) text += i ? ",0" : "0";
  text += "], \"audioScore\": {\"regions\": [{\"start\": 0, \"end\": 64}], \"notes\": [";
  for (int i = 0; i < 4096; ++i) text += i ? ",{}" : "{}";
  text += "]}}";
  auto project = kelvra_test::open_text(text);
  ASSERT_TRUE(project) << "the file itself opens";
  ASSERT_EQ(project->score.note_count, 4096u);
  const std::string target = dir.file("big.pjn");
  write_file(target, "previous");
  EXPECT_EQ(kelvra_project_save(project.get(), target.c_str(), 0), PROJECT_SAVE_TOO_LARGE);
  EXPECT_EQ(read_file(target), "previous");
  EXPECT_EQ(list_folder(dir.path()), "big.pjn;");
  project->score.note_count = 100;  // fewer notes: the text fits again
  EXPECT_EQ(kelvra_project_save(project.get(), target.c_str(), 0), PROJECT_SAVED);
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
        if (sys_file_write_atomic(target.c_str(), v.data(), v.size()) != SYS_WRITE_DONE) ::_exit(3);
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
