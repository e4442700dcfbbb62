// kelvra-render as a script runs it: a child process with its own output
// files, its exit status, the paths it prints, and what it leaves in the
// output folder after success, wrong arguments, Ctrl+C, a kill at any moment,
// a full disk and a read-only folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "project/project.h"
#include "test_util.h"

extern char** environ;

namespace {

using kelvra_test::TempDir;

std::string fixture(const char* name) { return std::string(KELVRA_FIXTURES) + "/" + name; }

void nap(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// One child process with stdout and stderr in files of `logs`. The tool is
// started with the leak checker told about the caches font configuration
// keeps for the life of the process (as the test program itself is).
class Child {
 public:
  Child(const std::vector<std::string>& argv, const TempDir& logs)
      : out_path_(logs.file("stdout-" + std::to_string(++serial_))),
        err_path_(logs.file("stderr-" + std::to_string(serial_))) {
    const std::string suppressions = logs.file("lsan-suppressions");
    kelvra_test::write_file(suppressions, "leak:libfontconfig.so\nleak:libpango-1.0.so\nleak:libpangoft2-1.0.so\n"
                                          "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libharfbuzz.so\n");
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
      if (std::strncmp(*e, "LSAN_OPTIONS=", 13) != 0) env.emplace_back(*e);
    env.push_back("LSAN_OPTIONS=suppressions=" + suppressions + ":print_suppressions=0");
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ > 0 && !ended_) {
      ::kill(pid_, SIGKILL);
      int ignored = 0;
      ::waitpid(pid_, &ignored, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  bool running() {
    if (ended_ || pid_ <= 0) return false;
    if (::waitpid(pid_, &status_, WNOHANG) == pid_) ended_ = true;
    return !ended_;
  }
  // Only while not yet reaped, so that the number still names this child.
  void signal(int number) {
    if (pid_ > 0 && !ended_) ::kill(pid_, number);
  }
  // The exit code, 128 + the signal that ended it, or -1 when it never ended
  // (after ten minutes it is killed and the test fails).
  int wait() {
    for (int i = 0; i < 60000 && running(); ++i) nap(10);
    if (running()) {
      ADD_FAILURE() << "the child process did not end; killed";
      signal(SIGKILL);
      ::waitpid(pid_, &status_, 0);
      ended_ = true;
      return -1;
    }
    if (pid_ <= 0) return -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  }
  std::string out() const { return kelvra_test::read_file(out_path_); }
  std::string err() const { return kelvra_test::read_file(err_path_); }

 private:
  static inline int serial_ = 0;
  std::string out_path_;
  std::string err_path_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool ended_ = false;
};

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

bool has_partial(const std::string& folder) {
  for (const std::string& name : names_in(folder))
    if (name.find(".partial.") != std::string::npos) return true;
  return false;
}

void empty_folder(const std::string& folder) {
  for (const auto& entry : std::filesystem::directory_iterator(folder)) std::filesystem::remove_all(entry.path());
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// ffprobe's "key=value" lines for `entries`, and whether it read the file without a complaint.
struct Probe {
  std::string text;
  bool clean = false;
  double number(const std::string& key) const {
    const size_t at = text.find(key + "=");
    return at == std::string::npos ? -1 : std::atof(text.c_str() + at + key.size() + 1);
  }
};

Probe probe(const std::string& path, const char* entries) {
  const std::string command = "ffprobe -v error -show_entries " + std::string(entries) +
                              " -of default=noprint_wrappers=1 '" + path + "' 2>&1";
  Probe result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) result.text += buffer;
  const int status = pclose(pipe);
  result.clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  for (const std::string& line : lines_of(result.text))
    if (line.find('=') == std::string::npos) result.clean = false;  // anything but a value is a complaint
  return result;
}

uint64_t wav_size(double seconds) { return 44 + static_cast<uint64_t>(std::ceil(seconds * 48000)) * 4; }

// One clip of the coded source with its sound, `pass` seconds played `loops` times.
std::string project_json(double pass, int loops, const char* canvases) {
  return R"({"schemaVersion": 1, "title": "Tool run", "sources": [{"id": "c", "file": "coded-with-sound.mp4"}],
    "clips": [{"sourceId": "c", "out": )" +
         std::to_string(pass) + R"(, "mode": "loop", "loops": )" + std::to_string(loops) +
         R"(}], "primaryCanvas": "hd", "canvasSizes": [)" + canvases + "]}";
}

class RenderTool : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::symlink(fixture("coded-with-sound.mp4").c_str(), media.file("coded-with-sound.mp4").c_str()), 0);
    out = media.file("out");
    std::filesystem::create_directory(out);
  }

  // Writes `json` as NAME in the media folder; its path.
  std::string write_project(const std::string& name, const std::string& json) {
    kelvra_test::write_file(media.file(name), json);
    return media.file(name);
  }

  std::vector<std::string> tool(std::vector<std::string> args) {
    args.insert(args.begin(), KELVRA_RENDER_TOOL);
    return args;
  }

  // Polls until `ready` holds or the child has ended; whether `ready` held.
  template <typename Ready>
  bool until(Child& child, Ready ready) {
    for (int i = 0; i < 30000; ++i) {
      if (ready()) return true;
      if (!child.running()) return ready();
      nap(10);
    }
    return false;
  }

  TempDir media;  // the project, its source, and "out"
  TempDir logs;   // the child's stdout and stderr
  std::string out;
};

// --------------------------------------------------------------- arguments

TEST_F(RenderTool, HelpListsTheOptionsAndEveryCanvas) {
  Child child(tool({"--help"}), logs);
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.wait(), 0);
  const std::string text = child.out();
  for (const char* option : {"--canvas", "--wav", "--out", "--media", "open"})
    EXPECT_NE(text.find(option), std::string::npos) << option;
  for (const CanvasPreset& preset : kelvra_canvases) {
    const std::string entry =
        std::string(preset.key) + " (" + std::to_string(preset.width) + " x " + std::to_string(preset.height) + ")";
    EXPECT_NE(text.find(entry), std::string::npos) << entry;
  }
  EXPECT_EQ(child.err(), "");
}

// Wrong arguments and projects that give nothing to render: status 2, a
// message naming the problem, and no file anywhere.
TEST_F(RenderTool, WrongArgumentsExitWithStatusTwo) {
  const std::string project = write_project("short.json", project_json(0.5, 1, R"("hd")"));
  const std::string not_project = write_project("notes.json", "shopping: eggs, flour\n");
  const std::string empty = write_project("empty.json", R"({"sources": [], "clips": []})");
  const std::string too_long = write_project("late.json", R"({"sources": [{"id": "c", "file": "coded-with-sound.mp4"}],
    "clips": [{"sourceId": "c", "out": 0.5, "at": 14399.9}], "canvasSizes": ["hd"]})");
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {"unknown canvas", {project, "--canvas", "cinema"}, "kelvra-render: unknown canvas: cinema\n"},
      {"unknown option", {project, "--fast"}, "kelvra-render: unknown option: --fast\n"},
      {"missing project", {"--wav", "--out", out}, "kelvra-render: no project given\n"},
      {"two projects", {project, project}, "kelvra-render: more than one project: "},
      {"option without value", {project, "--out"}, "kelvra-render: missing value after --out\n"},
      {"not a project", {not_project}, "kelvra-render: not a project this program can open: "},
      {"no such project", {media.file("absent.json")}, "kelvra-render: not a project this program can open: "},
      {"out folder missing", {project, "--out", media.file("nowhere/deeper")}, "kelvra-render: cannot write into "},
      {"media folder missing", {project, "--media", media.file("gone")},
       "kelvra-render: cannot use the media folder " + media.file("gone") + "\n"},
      {"empty timeline", {empty, "--wav", "--out", out}, "is empty; nothing to render.\n"},
      {"timeline over four hours", {too_long, "--out", out}, "is longer than four hours; nothing to render.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Child child(tool(c.args), logs);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(), 2);
    EXPECT_NE(child.err().find(c.message), std::string::npos) << child.err();
    EXPECT_EQ(child.out(), "");
    EXPECT_TRUE(names_in(out).empty());
    for (const std::string& name : names_in(media.path())) EXPECT_NE(name.rfind("kelvra-render-", 0), 0u) << name;
  }
}

// A clip that names no source is left out with a warning; a job that fails
// at once always says why, since the listing waits until every job has been
// collected (it once printed a bare "Failed" when it ran first).
TEST_F(RenderTool, WarnsOfLostClipsAndAlwaysSaysWhyAJobFailed) {
  const std::string project = write_project("lost.json", R"({"sources": [{"id": "c", "file": "coded-with-sound.mp4"},
      {"id": "g", "file": "gone.wav"}],
    "clips": [{"sourceId": "c", "out": 0.2}, {"sourceId": "nowhere", "out": 1}, {"sourceId": "g", "out": 0.5}]})");
  for (int run = 0; run < 12; ++run) {
    SCOPED_TRACE(run);
    Child child(tool({project, "--wav", "--out", out}), logs);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(), 1);
    const std::string err = child.err();
    EXPECT_NE(err.find("kelvra-render: 1 clip names a source the project does not have; it was left out.\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("kelvra-render: WAV mix: Source file missing: gone.wav\n"), std::string::npos) << err;
    EXPECT_TRUE(names_in(out).empty());
  }
}

// ----------------------------------------------------------------- success

// Each run prints exactly the files it wrote, one a line, and they are
// whole: the canvases at their sizes, the WAV at its exact length.
TEST_F(RenderTool, PrintsEveryFileItWrote) {
  const std::string project = write_project("short.json", project_json(0.5, 1, R"("hd", "square")"));
  const std::string out2 = media.file("out2");
  std::filesystem::create_directory(out2);
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string folder;
    std::vector<std::string> endings;  // of the names written, in job order
  };
  const Case cases[] = {
      {"open canvases and the mix", {project, "--canvas", "open", "--wav", "--out", out}, out,
       {"-hd.mp4", "-square.mp4", "-mix.wav"}},
      {"one canvas by its label", {project, "--canvas", "Square", "--out", out2}, out2, {"-square.mp4"}},
      {"nothing named: the open canvases, beside the project", {project}, media.path(), {"-hd.mp4", "-square.mp4"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Child child(tool(c.args), logs);
    ASSERT_TRUE(child.started());
    ASSERT_EQ(child.wait(), 0) << child.err();
    const std::vector<std::string> printed = lines_of(child.out());
    ASSERT_EQ(printed.size(), c.endings.size()) << child.out();
    std::vector<std::string> written;
    for (const std::string& name : names_in(c.folder))
      if (name.rfind("kelvra-render-", 0) == 0) written.push_back(c.folder + "/" + name);
    EXPECT_EQ(std::set<std::string>(printed.begin(), printed.end()),
              std::set<std::string>(written.begin(), written.end()));
    EXPECT_FALSE(has_partial(c.folder));
    for (size_t k = 0; k < printed.size(); ++k) {
      const std::string& path = printed[k];
      EXPECT_TRUE(path.ends_with(c.endings[k])) << path;
      struct stat info {};
      ASSERT_EQ(::stat(path.c_str(), &info), 0) << path;
      if (path.ends_with(".wav")) {
        EXPECT_EQ(static_cast<uint64_t>(info.st_size), wav_size(0.5));
        continue;
      }
      const bool square = path.ends_with("-square.mp4");
      const Probe video = probe(path, "stream=width,height -select_streams v");
      EXPECT_TRUE(video.clean) << video.text;
      EXPECT_EQ(video.number("width"), square ? 1080 : 1280) << video.text;
      EXPECT_EQ(video.number("height"), square ? 1080 : 720) << video.text;
    }
  }
}

// ----------------------------------------------------------- interruptions

// Ctrl+C cancels the run: status 1, the reason on stderr, and nothing in
// the output folder, neither partial files nor files already finished.
TEST_F(RenderTool, CtrlCLeavesNoFileBehind) {
  const std::string project = write_project("long.json", project_json(3, 10, R"("hd", "fullhd")"));
  struct Case {
    const char* what;
    std::vector<std::string> args;
    bool after_a_finished_file;  // wait until one job's file is whole, another still partial
  };
  const Case cases[] = {
      // Two canvases running, the mix waiting its turn.
      {"jobs running and waiting", {project, "--canvas", "hd", "--canvas", "fullhd", "--wav", "--out", out}, false},
      // The mix finishes long before the canvas does.
      {"one job already finished", {project, "--canvas", "fullhd", "--wav", "--out", out}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    empty_folder(out);
    Child child(tool(c.args), logs);
    ASSERT_TRUE(child.started());
    const bool reached = until(child, [&] {
      bool partial = false;
      bool whole = false;
      for (const std::string& name : names_in(out)) {
        partial |= name.find(".partial.") != std::string::npos;
        whole |= name.find(".partial.") == std::string::npos;
      }
      return partial && (whole || !c.after_a_finished_file);
    });
    ASSERT_TRUE(reached) << names_in(out).size() << " files; " << child.err();
    child.signal(SIGINT);
    EXPECT_EQ(child.wait(), 1);
    EXPECT_NE(child.err().find("cancelled"), std::string::npos) << child.err();
    EXPECT_EQ(child.out(), "");
    for (const std::string& name : names_in(out)) ADD_FAILURE() << "left behind: " << name;
  }
}

// A kill can come at any moment: whatever carries a final name then is a
// whole file of the whole timeline. Partial files may stay behind.
TEST_F(RenderTool, AKillNeverLeavesATruncatedFinalFile) {
  const double seconds = 2;
  // Full HD takes about twice as long as HD, so that for a while finished
  // files (HD, then the mix) lie beside a partial one.
  const std::string project = write_project("two.json", project_json(seconds, 1, R"("hd", "fullhd")"));
  const std::vector<std::string> args = tool({project, "--canvas", "open", "--wav", "--out", out});
  // A whole run first, to spread the kills over the time one takes.
  const auto started = std::chrono::steady_clock::now();
  {
    Child child(args, logs);
    ASSERT_TRUE(child.started());
    ASSERT_EQ(child.wait(), 0) << child.err();
  }
  const double whole_run = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::mt19937 random(20261211);
  std::uniform_real_distribution<double> jitter(0.0, 1.0);
  constexpr int kTries = 6;
  for (int t = 0; t < kTries; ++t) {
    empty_folder(out);
    const double delay = 0.95 * whole_run * (t + jitter(random)) / kTries;
    SCOPED_TRACE("killed after " + std::to_string(delay) + " s of a " + std::to_string(whole_run) + " s run");
    Child child(args, logs);
    ASSERT_TRUE(child.started());
    const auto kill_at = std::chrono::steady_clock::now() + std::chrono::duration<double>(delay);
    while (std::chrono::steady_clock::now() < kill_at && child.running()) nap(2);
    child.signal(SIGKILL);
    const int status = child.wait();
    EXPECT_TRUE(status == 128 + SIGKILL || status == 0) << status;
    for (const std::string& name : names_in(out)) {
      if (name.find(".partial.") != std::string::npos) continue;
      SCOPED_TRACE(name);
      const std::string path = out + "/" + name;
      if (name.ends_with(".wav")) {
        EXPECT_EQ(std::filesystem::file_size(path), wav_size(seconds));
        continue;
      }
      const Probe format = probe(path, "format=duration");
      EXPECT_TRUE(format.clean) << format.text;
      EXPECT_NEAR(format.number("duration"), seconds, 1.0 / 30) << format.text;
    }
  }
}

// ---------------------------------------------------------- file systems

// An output folder that fills up, or that cannot be written at all: every
// job fails with its media error and the folder is left as it was. Each
// file alone is larger than the 400 KB the folder holds.
TEST_F(RenderTool, AFullOrReadOnlyFolderKeepsNoFile) {
  {
    Child probe_namespace({"unshare", "-Urm", "true"}, logs);
    if (!probe_namespace.started() || probe_namespace.wait() != 0)
      GTEST_SKIP() << "cannot mount a small file system here: 'unshare -Urm' (a user and mount namespace) failed";
  }
  const std::string project = write_project("eight.json", project_json(4, 2, R"("fullhd")"));
  struct Case {
    const char* what;
    const char* after_mount;
    const char* cause;  // what the failure says before its code
  };
  const Case cases[] = {
      {"full disk", "", "Export failed: the disk is full (media error "},
      {"read-only folder", "mount -o remount,ro '$OUT' || exit 98; ", "Export failed: the folder is read-only (media error "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string listing = logs.file("listing");
    std::remove(listing.c_str());
    // The mount lives only inside the namespace, so the shell lists the
    // folder itself before it goes.
    std::string script = std::string("mount -t tmpfs -o size=400k tmpfs '$OUT' || exit 99; ") + c.after_mount +
                         "'" KELVRA_RENDER_TOOL "' '" + project +
                         "' --canvas fullhd --wav --out '$OUT'; status=$?; ls -A '$OUT' > '" + listing +
                         "'; exit $status";
    for (size_t at; (at = script.find("$OUT")) != std::string::npos;) script.replace(at, 4, out);
    Child child({"unshare", "-Urm", "sh", "-c", script}, logs);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(), 1) << child.err();
    const std::string err = child.err();
    EXPECT_NE(err.find(std::string("Full HD  1920 × 1080: ") + c.cause), std::string::npos) << err;
    EXPECT_NE(err.find(std::string("WAV mix: ") + c.cause), std::string::npos) << err;
    EXPECT_EQ(child.out(), "");
    ASSERT_TRUE(std::filesystem::exists(listing));
    EXPECT_EQ(kelvra_test::read_file(listing), "");
    EXPECT_TRUE(names_in(out).empty());  // nothing reached the folder under the mount either
  }
}

}  // namespace
