// What publishing keeps to itself: the programs it starts (a browser, a file
// manager) get none of the program's secrets and none of its open
// connections, and the editor and renderer binaries have no hook through
// which a preloaded library could send the services elsewhere.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/process.h"
#include "app_fixture.h"
#include "test_util.h"

namespace {

using kelvra_test::ScopedEnv;

TEST(ChildProcesses, StartWithoutSecretsOrOpenDescriptors) {
  ScopedEnv secret("ZARNELK_YOUTUBE_CLIENT_SECRET", "child-must-not-see-1");
  ScopedEnv token("ZARNELK_LINKEDIN_ACCESS_TOKEN", "child-must-not-see-2");
  ScopedEnv page("ZARNELK_INSTAGRAM_PAGE_TOKEN", "child-must-not-see-3");
  ScopedEnv media("ZARNELK_MEDIA", "/kept/for/children");
  ScopedEnv other("KELVRA_TEST_TOKEN", "not-ours-kept");
  // Descriptors another thread could hold open during a start: a connection
  // socket and a pipe, neither close-on-exec.
  const int connection = socket(AF_INET, SOCK_STREAM, 0);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  ASSERT_GE(connection, 3);
  const char* const argv[] = {"sh", "-c", "ls /proc/$$/fd | tr '\\n' ' '; echo; env", nullptr};
  char out[65536];
  int code = -1;
  ASSERT_TRUE(sys_run(argv, out, sizeof out, &code));
  close(connection);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  EXPECT_EQ(code, 0);
  const std::string text = out;
  EXPECT_EQ(text.substr(0, text.find('\n')), "0 1 2 ") << text;
  EXPECT_EQ(text.find("child-must-not-see"), std::string::npos) << text;
  EXPECT_NE(text.find("ZARNELK_MEDIA=/kept/for/children"), std::string::npos);
  EXPECT_NE(text.find("KELVRA_TEST_TOKEN=not-ours-kept"), std::string::npos);
}

// `nm` of a built program; empty when it cannot be read.
std::string symbols(const std::string& program, bool dynamic) {
  const std::string command = std::string("nm ") + (dynamic ? "-D " : "") + "'" + program + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string text;
  char chunk[65536];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, n);
  pclose(pipe);
  return text;
}

TEST(ReleaseBinaries, CarryNoTestRouteHook) {
  for (const char* program : {KELVRA_EDITOR, KELVRA_RENDER_TOOL}) {
    for (const bool dynamic : {true, false}) {
      const std::string text = symbols(program, dynamic);
      ASSERT_NE(text.find(dynamic ? "GLIBC" : "main"), std::string::npos) << program;  // the symbols were read
      EXPECT_EQ(text.find("kelvra_http_test_routes"), std::string::npos) << program << (dynamic ? " (nm -D)" : " (nm)");
    }
  }
}

}  // namespace
