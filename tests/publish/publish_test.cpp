// The publishing flows against loopback fakes that play each service and
// check its requests: the sign-in with a stand-in browser calling the
// listener back, the YouTube upload (and its resume after a dropped
// connection), SoundCloud's multipart form, LinkedIn's parts and post,
// Instagram's reel, and the helpers they share.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <cstring>
#include <memory>
#include <string>
#include <algorithm>
#include <sstream>
#include <thread>
#include <vector>

#include "app_fixture.h"
#include "export/render.h"
#include "fake_services.h"
#include "json/json.h"
#include "platform/clock.h"
#include "platform/crypto.h"
#include "publish/publish.h"
#include "test_util.h"

namespace {

using kelvra_test::sha256_hex;

using kelvra_test::FakeServices;
using kelvra_test::Received;
using kelvra_test::ScopedEnv;
using kelvra_test::TempDir;

std::unique_ptr<PublishTask> new_task(uint32_t target, const char* token = "tok-123") {
  auto task = std::make_unique<PublishTask>();
  task->target = target;
  std::snprintf(task->token, sizeof task->token, "%s", token);
  std::snprintf(task->title, sizeof task->title, "Harbour \"dawn\" \\ cut");
  return task;
}

// A file of `size` bytes that differ from place to place; its open descriptor.
int media_file(const TempDir& dir, uint64_t size, std::string* bytes = nullptr) {
  std::string data(size, '\0');
  for (uint64_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 31 + i / 4099);
  kelvra_test::write_file(dir.file("export.mp4"), data);
  if (bytes != nullptr) *bytes = data;
  return open(dir.file("export.mp4").c_str(), O_RDONLY);
}

TEST(PublishHelpers, FormEnvFieldAndQuery) {
  char form[64] = "";
  EXPECT_TRUE(publish_form(form, sizeof form, "v", "a b/c~"));
  EXPECT_TRUE(publish_form(form, sizeof form, "k", "é&="));
  EXPECT_STREQ(form, "v=a%20b%2Fc~&k=%C3%A9%26%3D");
  char small[8] = "";
  EXPECT_FALSE(publish_form(small, sizeof small, "key", "value"));
  EXPECT_STREQ(small, "");

  char value[16];
  {
    ScopedEnv broken("KELVRA_TEST_VALUE", "two\nlines");
    EXPECT_FALSE(publish_env("KELVRA_TEST_VALUE", value, sizeof value));
    EXPECT_STREQ(value, "");
  }
  {
    ScopedEnv long_one("KELVRA_TEST_VALUE", "0123456789abcdef");
    EXPECT_FALSE(publish_env("KELVRA_TEST_VALUE", value, sizeof value));
  }
  EXPECT_TRUE(publish_field(R"({"id": "abc", "n": 3, "e": ""})", "id", value, sizeof value));
  EXPECT_STREQ(value, "abc");
  for (const char* key : {"n", "e", "missing"}) EXPECT_FALSE(publish_field(R"({"id": "abc", "n": 3, "e": ""})", key, value, sizeof value));

  struct Case {
    const char* query;
    const char* name;
    const char* value;  // null: refused
  };
  const Case cases[] = {
      {"code=a%2Fb&state=s HTTP/1.1", "code", "a/b"},
      {"state=s&code=x+y", "code", "x y"},
      {"code=a%0Ab", "code", nullptr},    // a line break
      {"code=a%zz", "code", nullptr},     // a malformed escape
      {"code=", "code", nullptr},
      {"codex=1&code=2", "code", "2"},
      {"state=s HTTP/1.1&code=late", "code", nullptr},  // past the request target
  };
  for (const Case& c : cases) {
    char out[32];
    const bool found = callback_query(c.query, c.name, out, sizeof out);
    EXPECT_EQ(found, c.value != nullptr) << c.query;
    if (found && c.value != nullptr) {
      EXPECT_STREQ(out, c.value) << c.query;
    }
  }
  uint8_t bytes[32];
  for (int i = 0; i < 32; ++i) bytes[i] = static_cast<uint8_t>(0xF8 + i);
  char text[64];
  base64_url(bytes, text);
  EXPECT_EQ(std::strlen(text), 43u);
  EXPECT_EQ(std::strpbrk(text, "+/="), nullptr);
}

// ------------------------------------------------------------------ sign-in

class SignIn : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string browser = std::string(KELVRA_FAKE_SERVICES).substr(0, std::string(KELVRA_FAKE_SERVICES).rfind('/')) +
                                "/fake_browser.py";
    std::filesystem::create_directory(dir.file("bin"));
    ASSERT_EQ(::symlink(browser.c_str(), dir.file("bin/xdg-open").c_str()), 0);
    path = std::make_unique<ScopedEnv>("PATH", (dir.file("bin") + ":" + std::getenv("PATH")).c_str());
    log = std::make_unique<ScopedEnv>("FAKE_BROWSER_LOG", dir.file("browser.log").c_str());
  }

  // The browser's log once it has recorded an answer, waiting a little for its background half.
  std::string browser_log() {
    for (int i = 0; i < 200; ++i) {
      const std::string text = kelvra_test::read_file(dir.file("browser.log"));
      if (text.find("answer ") != std::string::npos) return text;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return kelvra_test::read_file(dir.file("browser.log"));
  }

  TempDir dir;
  std::unique_ptr<ScopedEnv> path;
  std::unique_ptr<ScopedEnv> log;
};

TEST_F(SignIn, YouTubeCodeForTokenWithPkce) {
  FakeServices services(R"([{"method": "POST", "path": "/token", "status": 200, "check": "oauth", "secret": "s3cret",
      "codes_file": ")" + dir.file("browser.log.codes") + R"(",
      "body": "{\"access_token\": \"fresh-token\", \"refresh_token\": \"r-1\", \"expires_in\": 99999999}"},
    {"method": "GET", "path": "/youtube/v3/channels?part=snippet&mine=true", "status": 200,
     "body": "{\"items\": [{\"id\": \"UC1\", \"snippet\": {\"title\": \"Harbour\\u0007 Films\"}}]}"}])");
  ScopedEnv id("ZARNELK_YOUTUBE_CLIENT_ID", "client-1");
  ScopedEnv secret("ZARNELK_YOUTUBE_CLIENT_SECRET", "s3cret");
  ScopedEnv port("ZARNELK_YOUTUBE_CALLBACK_PORT", nullptr);
  ScopedEnv code("FAKE_BROWSER_CODE", "4/0A%2Fx");
  ScopedEnv before("FAKE_BROWSER_BEFORE", "wrong-state,wrong-host,silent");
  auto task = new_task(PUBLISH_YOUTUBE, "");
  const uint64_t started = ui_time_ms();
  ASSERT_TRUE(publish_oauth(task.get())) << task->status_text;
  EXPECT_STREQ(task->token, "fresh-token");
  EXPECT_STREQ(task->refresh_token, "r-1");
  // The status line names the channel the service says was connected (control characters dropped).
  EXPECT_EQ(std::string(task->status_text).rfind("Connected as Harbour Films", 0), 0u) << task->status_text;
  EXPECT_STREQ(task->account_id, "UC1");
  const uint64_t lifetime = task->expires_ms - started;
  EXPECT_GE(lifetime, 15552000ull * 1000 - 60000);
  EXPECT_LE(lifetime, 15552000ull * 1000 + 60000);

  // The browser was handed a one-time loopback address and nothing secret;
  // the listener's redirect gave it the authorization address, query in order.
  const std::string text = browser_log();
  const size_t open = text.find("open ");
  ASSERT_NE(open, std::string::npos) << text;
  const std::string opened = text.substr(open + 5, text.find('\n', open) - open - 5);
  const size_t word = opened.find("/start/");
  ASSERT_EQ(opened.rfind("http://127.0.0.1:", 0), 0u) << opened;
  ASSERT_NE(word, std::string::npos) << opened;
  EXPECT_EQ(opened.find_first_not_of("0123456789", 17), word) << opened;
  EXPECT_EQ(opened.size() - word - 7, 43u) << opened;
  EXPECT_EQ(opened.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-", word + 7),
            std::string::npos)
      << opened;
  const size_t authorize = text.find("authorize https://accounts.google.com/o/oauth2/v2/auth?client_id=client-1&redirect_uri="
                                     "http%3A%2F%2F127.0.0.1%3A");
  ASSERT_NE(authorize, std::string::npos) << text;
  const std::string url = text.substr(authorize + 10, text.find('\n', authorize) - authorize - 10);
  EXPECT_NE(url.find("%2Fcallback&response_type=code&state="), std::string::npos) << url;
  EXPECT_NE(url.find("&code_challenge_method=S256&scope=https%3A%2F%2Fwww.googleapis.com%2Fauth%2Fyoutube.upload"),
            std::string::npos)
      << url;
  // Wrong state and wrong Host were answered 400 and the wait went on; a silent client did not hold it.
  EXPECT_NE(text.find("answer HTTP/1.1 400 Bad Request"), std::string::npos) << text;
  EXPECT_NE(text.find("answer HTTP/1.1 200 OK|Content-Type: text/plain; charset=utf-8|Cache-Control: no-store|"
                      "Connection: close|Content-Length: 45||Return to Zarnel Kelvra to finish connecting."),
            std::string::npos)
      << text;

  // The token request (the fake checked the code, its verifier against the
  // challenge and the client secret), then the channel asked with the new token.
  const auto requests = services.requests();
  ASSERT_EQ(requests.size(), 2u);
  const Received& token = requests[0];
  EXPECT_EQ(token.path, "/token");
  EXPECT_EQ(token.header("content-type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(token.header("authorization"), "");
  const size_t verifier_at = token.body.find("&code_verifier=");
  ASSERT_NE(verifier_at, std::string::npos) << token.body;
  EXPECT_EQ(token.body.rfind("client_id=client-1&redirect_uri=http%3A%2F%2F127.0.0.1%3A", 0), 0u) << token.body;
  EXPECT_NE(token.body.find("&grant_type=authorization_code&code=4%2F0A%2Fx&code_verifier="), std::string::npos)
      << token.body;
  const std::string verifier = token.body.substr(verifier_at + 15, 43);
  EXPECT_EQ(token.body.substr(verifier_at + 15 + 43), "&client_secret=s3cret");
  uint8_t digest[32];
  sys_sha256(verifier.data(), verifier.size(), digest);
  char challenge[64];
  base64_url(digest, challenge);
  EXPECT_NE(url.find(std::string("&code_challenge=") + challenge + "&"), std::string::npos);
  EXPECT_EQ(requests[1].header("authorization"), "Bearer fresh-token");
  EXPECT_EQ(std::string(task->status_text).find("fresh-token"), std::string::npos);
  EXPECT_EQ(opened.find(challenge), std::string::npos);
}

// Another client (another local user who read the address from the
// process list) opened the one-time address first: the user's browser is
// refused and the sign-in fails, saying so, instead of connecting the
// other user's account.
TEST_F(SignIn, OneTimeAddressOpenedElsewhereFirst) {
  FakeServices services(R"([{"method": "POST", "status": 200, "body": "{\"access_token\": \"theirs\"}"}])");
  ScopedEnv id("ZARNELK_YOUTUBE_CLIENT_ID", "client-1");
  ScopedEnv secret("ZARNELK_YOUTUBE_CLIENT_SECRET", "s3cret");
  ScopedEnv code("FAKE_BROWSER_CODE", "c");
  ScopedEnv before("FAKE_BROWSER_BEFORE", "beaten");
  auto task = new_task(PUBLISH_YOUTUBE, "");
  EXPECT_FALSE(publish_oauth(task.get()));
  EXPECT_STREQ(task->status_text, "Sign-in was opened in another browser first; nothing was connected. Try again.");
  EXPECT_STREQ(task->token, "");
  const std::string text = browser_log();
  EXPECT_NE(text.find("answer HTTP/1.1 302 Found|Location: https://accounts.google.com/"), std::string::npos) << text;
  EXPECT_NE(text.find("answer HTTP/1.1 410 Gone"), std::string::npos) << text;
  EXPECT_TRUE(services.requests().empty());
}

TEST_F(SignIn, FailuresAndTheirTexts) {
  struct Case {
    const char* what;
    uint32_t target;
    const char* token_reply;  // the token endpoint's answer
    const char* port;         // the target's callback port variable
    const char* secret;       // the target's client secret
    const char* code;
    const char* status;  // the task's text after the worker
    bool browser;        // whether the browser was asked to sign in
  };
  const Case cases[] = {
      {"token with a line break", PUBLISH_YOUTUBE, R"({"access_token": "a\r\nInjected: 1"})", nullptr, "s3cret",
       "c", "Token exchange failed (HTTP 200).", true},
      {"token longer than 3071 bytes", PUBLISH_YOUTUBE, nullptr, nullptr, "s3cret", "c",
       "Token exchange failed (HTTP 200).", true},
      {"token endpoint refuses", PUBLISH_YOUTUBE, R"({"error": "invalid_grant"})", nullptr, "s3cret", "c",
       "Token exchange failed (HTTP 200).", true},
      {"declined in the browser", PUBLISH_YOUTUBE, R"({"access_token": "t"})", nullptr, "s3cret", "",
       "Could not connect the account.", true},
      {"the service does not say who signed in", PUBLISH_YOUTUBE, R"({"access_token": "t"})", nullptr, "s3cret", "c",
       "Signed in, but the service did not say which account (HTTP 404).", true},
      {"port variable not a number", PUBLISH_YOUTUBE, R"({"access_token": "t"})", "80a", "s3cret", "c",
       "Could not connect the account.", false},
      {"port variable out of range", PUBLISH_YOUTUBE, R"({"access_token": "t"})", "70000", "s3cret", "c",
       "Could not connect the account.", false},
      {"YouTube without its secret", PUBLISH_YOUTUBE, R"({"access_token": "t"})", nullptr, nullptr, "c",
       "YouTube sign-in needs ZARNELK_YOUTUBE_CLIENT_SECRET.", false},
      {"port variable zero", PUBLISH_SOUNDCLOUD, R"({"access_token": "t"})", "0", "s3cret", "c",
       "Could not connect the account.", false},
      {"SoundCloud without its secret", PUBLISH_SOUNDCLOUD, R"({"access_token": "t"})", nullptr, nullptr, "c",
       "SoundCloud sign-in needs ZARNELK_SOUNDCLOUD_CLIENT_SECRET.", false},
      {"SoundCloud with an empty secret", PUBLISH_SOUNDCLOUD, R"({"access_token": "t"})", nullptr, "", "c",
       "SoundCloud sign-in needs ZARNELK_SOUNDCLOUD_CLIENT_SECRET.", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string long_token = R"({"access_token": ")" + std::string(3072, 'a') + "\"}";
    char* body = data_json_quote(c.token_reply != nullptr ? c.token_reply : long_token.c_str());
    FakeServices services(std::string(R"([{"method": "POST", "path": "/", "status": 200, "body": )") + body + "}]");
    kelvra_test::write_file(dir.file("browser.log.codes"), "");
    std::free(body);
    kelvra_test::write_file(dir.file("browser.log"), "");
    ScopedEnv youtube("ZARNELK_YOUTUBE_CLIENT_ID", "client-1");
    ScopedEnv soundcloud("ZARNELK_SOUNDCLOUD_CLIENT_ID", "client-2");
    ScopedEnv youtube_port("ZARNELK_YOUTUBE_CALLBACK_PORT", c.target == PUBLISH_YOUTUBE ? c.port : nullptr);
    ScopedEnv soundcloud_port("ZARNELK_SOUNDCLOUD_CALLBACK_PORT", c.target == PUBLISH_SOUNDCLOUD ? c.port : nullptr);
    ScopedEnv secret("ZARNELK_SOUNDCLOUD_CLIENT_SECRET", c.target == PUBLISH_SOUNDCLOUD ? c.secret : nullptr);
    ScopedEnv youtube_secret("ZARNELK_YOUTUBE_CLIENT_SECRET", c.target == PUBLISH_YOUTUBE ? c.secret : nullptr);
    ScopedEnv code("FAKE_BROWSER_CODE", c.code);
    ScopedEnv before("FAKE_BROWSER_BEFORE", "");
    auto task = new_task(c.target, "");
    publish_task_start(task.get(), true);
    for (int i = 0; i < 3000 && task->busy.load() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(publish_task_ready(task.get()));
    EXPECT_STREQ(task->status_text, c.status);
    EXPECT_STREQ(task->token, "");
    const std::string opened = kelvra_test::read_file(dir.file("browser.log"));
    EXPECT_EQ(opened.find("open ") != std::string::npos, c.browser) << opened;
    if (!c.browser) {
      EXPECT_TRUE(services.requests().empty());
    }
  }
}

TEST(SignInListener, LoopbackOnly) {
  uint16_t port = 0;
  const int listener = publish_listen(0, &port);
  ASSERT_GE(listener, 0);
  EXPECT_GT(port, 0);
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  EXPECT_EQ(ntohl(address.sin_addr.s_addr), INADDR_LOOPBACK);
  // A cancel ends the wait at once, with no code.
  std::atomic<int32_t> cancel{1};
  char code[16];
  bool taken = true;
  EXPECT_FALSE(publish_callback(listener, "start", "https://x", "state", code, sizeof code, &cancel, &taken));
  EXPECT_FALSE(taken);
  close(listener);
}

// The one-time address: nothing but "/start/" and the exact word, with the
// listener's Host, is redirected, only once; no callback counts before it;
// a second opening ends the sign-in.
TEST(SignInListener, OneTimeStartAddress) {
  uint16_t port = 0;
  const int listener = publish_listen(0, &port);
  ASSERT_GE(listener, 0);
  std::atomic<int32_t> cancel{0};
  char code[16] = "";
  bool taken = false;
  bool found = true;
  std::thread waiting([&] {
    found = publish_callback(listener, "w0rd", "https://accounts.google.com/auth?state=st", "st", code, sizeof code,
                             &cancel, &taken);
  });
  const std::string host = "127.0.0.1:" + std::to_string(port);
  const auto ask = [&](const std::string& target, const std::string& host_name) {
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      const std::string request = "GET " + target + " HTTP/1.1\r\nHost: " + host_name + "\r\n\r\n";
      send(client, request.data(), request.size(), MSG_NOSIGNAL);
      char chunk[1024];
      for (ssize_t n; (n = recv(client, chunk, sizeof chunk, 0)) > 0;) reply.append(chunk, static_cast<size_t>(n));
    }
    close(client);
    return reply.substr(0, reply.find("\r\n"));
  };
  struct Step {
    const char* target;
    bool our_host;
    const char* answer;
  };
  const Step steps[] = {
      {"/callback?state=st&code=early", true, "HTTP/1.1 400 Bad Request"},  // nothing started yet
      {"/start/w0rd", false, "HTTP/1.1 400 Bad Request"},
      {"/start/w0rdx", true, "HTTP/1.1 400 Bad Request"},
      {"/start/", true, "HTTP/1.1 400 Bad Request"},
      {"/start/w0rd", true, "HTTP/1.1 302 Found"},
      {"/start/w0rd", true, "HTTP/1.1 410 Gone"},
  };
  for (const Step& step : steps)
    EXPECT_EQ(ask(step.target, step.our_host ? host : "evil.example"), step.answer) << step.target;
  waiting.join();
  EXPECT_FALSE(found);
  EXPECT_TRUE(taken);
  close(listener);
}

// A signed-in token is used until its lifetime ends; then the environment's is.
TEST(PublishTasks, TokenExpiryFallsBackToTheEnvironment) {
  auto task = new_task(PUBLISH_YOUTUBE, "signed-in");
  task->expires_ms = ui_time_ms() + 60000;
  ScopedEnv token("ZARNELK_YOUTUBE_ACCESS_TOKEN", "from-env");
  EXPECT_TRUE(publish_task_ready(task.get()));
  EXPECT_STREQ(task->token, "signed-in");
  task->expires_ms = ui_time_ms() - 1;
  EXPECT_TRUE(publish_task_ready(task.get()));
  EXPECT_STREQ(task->token, "from-env");
  EXPECT_EQ(task->expires_ms, UINT64_MAX);
  // LinkedIn counts as connected only with its member id too.
  auto linkedin = new_task(PUBLISH_LINKEDIN, "");
  ScopedEnv linkedin_token("ZARNELK_LINKEDIN_ACCESS_TOKEN", "li");
  ScopedEnv member("ZARNELK_LINKEDIN_MEMBER_ID", nullptr);
  EXPECT_TRUE(publish_task_ready(linkedin.get()));
  EXPECT_STREQ(linkedin->token, "");
}

// ------------------------------------------------------------------ uploads

TEST(PublishUpload, YouTubeSessionThenFile) {
  FakeServices services(R"([
    {"method": "POST", "path": "/upload/youtube/v3/videos?uploadType=resumable&part=snippet%2Cstatus&notifySubscribers=false",
     "status": 200, "check": "youtube_title", "headers": {"Location": "https://www.googleapis.com/upload/session/1"}},
    {"method": "PUT", "path": "/upload/session/1", "status": 200, "body": "{\"id\": \"vid42\"}"}])");
  TempDir dir;
  std::string bytes;
  const int file = media_file(dir, 300000, &bytes);
  auto task = new_task(PUBLISH_YOUTUBE);
  EXPECT_TRUE(publish_youtube(task.get(), file, bytes.size()));
  close(file);
  EXPECT_STREQ(task->status_text, "Uploaded privately · vid42");
  const auto requests = services.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].header("authorization"), "Bearer tok-123");
  EXPECT_EQ(requests[0].header("x-upload-content-type"), "video/mp4");
  EXPECT_EQ(requests[0].header("x-upload-content-length"), "300000");
  EXPECT_EQ(requests[0].body,
            R"({"snippet":{"title":"Harbour \"dawn\" \\ cut","categoryId":"22"},"status":{"privacyStatus":"private"}})");
  EXPECT_EQ(requests[1].header("content-type"), "video/mp4");
  EXPECT_EQ(requests[1].sha256, sha256_hex(bytes));
}

// videos.insert refuses titles over 100 characters or with "<" or ">".
TEST(PublishUpload, YouTubeTitleAsTheServiceTakesIt) {
  std::string accented;
  for (int i = 0; i < 120; ++i) accented += "\xC3\xA9";
  struct Case {
    std::string title;
    std::string sent;
  };
  const Case cases[] = {
      {"Harbour <b>dawn</b> > dusk", "Harbour bdawn/b  dusk"},
      {accented, accented.substr(0, 200)},
      {std::string(150, 'a'), std::string(100, 'a')},
      {"<<>>", "Zarnel Kelvra export"},
  };
  for (const Case& c : cases) {
    char out[512];
    publish_youtube_title(c.title.c_str(), out, sizeof out);
    EXPECT_EQ(out, c.sent) << c.title;
  }
  FakeServices services(R"([
    {"method": "POST", "status": 200, "check": "youtube_title", "headers": {"Location": "https://www.googleapis.com/upload/session/t"}},
    {"method": "PUT", "status": 200, "body": "{\"id\": \"vid-t\"}"}])");
  TempDir dir;
  const int file = media_file(dir, 1000);
  auto task = new_task(PUBLISH_YOUTUBE);
  std::snprintf(task->title, sizeof task->title, "%s", ("<" + accented.substr(0, 156)).c_str());
  EXPECT_TRUE(publish_youtube(task.get(), file, 1000)) << task->status_text;
  close(file);
  EXPECT_STREQ(task->status_text, "Uploaded privately · vid-t");
}

// A 5xx reply to the file: wait as Google's resumable-upload guide says, ask
// the session what it holds and send the rest.
TEST(PublishUpload, YouTubeResumesAfterAServerError) {
  FakeServices services(R"([
    {"method": "POST", "status": 200, "headers": {"Location": "https://www.googleapis.com/upload/session/5"}},
    {"method": "PUT", "path": "/upload/session/5", "times": 1, "status": 503},
    {"method": "PUT", "path": "/upload/session/5", "times": 1, "status": 308},
    {"method": "PUT", "path": "/upload/session/5", "status": 201, "body": "{\"id\": \"after-503\"}"}])");
  TempDir dir;
  std::string bytes;
  const int file = media_file(dir, 200000, &bytes);
  auto task = new_task(PUBLISH_YOUTUBE);
  EXPECT_TRUE(publish_youtube(task.get(), file, bytes.size())) << task->status_text;
  close(file);
  EXPECT_STREQ(task->status_text, "Uploaded privately · after-503");
  const auto requests = services.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[2].header("content-range"), "bytes */200000");
  EXPECT_EQ(requests[3].header("content-range"), "bytes 0-199999/200000");
  EXPECT_EQ(requests[3].sha256, sha256_hex(bytes));
}

TEST(PublishUpload, YouTubeFailures) {
  struct Case {
    const char* rules;
    const char* status;
  };
  const Case cases[] = {
      {R"([{"method": "POST", "status": 200}])", "YouTube session failed (HTTP 200)."},  // no Location
      {R"([{"method": "POST", "status": 403}])", "YouTube session failed (HTTP 403)."},
      {R"([{"method": "POST", "status": 200, "headers": {"Location": "https://elsewhere.example/up"}}])",
       "YouTube upload failed (HTTP 0)."},
      {R"([{"method": "POST", "status": 200, "headers": {"Location": "https://www.googleapis.com:8443/up"}}])",
       "YouTube upload failed (HTTP 0)."},
      {R"([{"method": "POST", "status": 200, "headers": {"Location": "https://www.googleapis.com/up"}},
           {"method": "PUT", "status": 200, "body": "{}"}])",
       "YouTube upload failed (HTTP 200)."},
  };
  TempDir dir;
  for (const Case& c : cases) {
    FakeServices services(c.rules);
    const int file = media_file(dir, 1000);
    auto task = new_task(PUBLISH_YOUTUBE);
    EXPECT_FALSE(publish_youtube(task.get(), file, 1000)) << c.rules;
    close(file);
    EXPECT_STREQ(task->status_text, c.status) << c.rules;
  }
}

// The connection drops part-way through the file: the upload asks the session
// how much arrived and sends only the rest.
TEST(PublishUpload, YouTubeResumesADroppedUpload) {
  FakeServices services(R"([
    {"method": "POST", "status": 200, "headers": {"Location": "https://www.googleapis.com/upload/session/7"}},
    {"method": "PUT", "path": "/upload/session/7", "times": 1, "drop_after": 131072},
    {"method": "PUT", "path": "/upload/session/7", "times": 1, "status": 308, "range": true},
    {"method": "PUT", "path": "/upload/session/7", "status": 201, "body": "{\"id\": \"resumed\"}"}])");
  TempDir dir;
  std::string bytes;
  const int file = media_file(dir, 1 << 20, &bytes);
  auto task = new_task(PUBLISH_YOUTUBE);
  EXPECT_TRUE(publish_youtube(task.get(), file, bytes.size())) << task->status_text;
  close(file);
  EXPECT_STREQ(task->status_text, "Uploaded privately · resumed");
  const auto requests = services.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[1].length, 131072u);
  EXPECT_EQ(requests[2].header("content-range"), "bytes */1048576");
  EXPECT_EQ(requests[2].length, 0u);
  EXPECT_EQ(requests[3].header("content-range"), "bytes 131072-1048575/1048576");
  EXPECT_EQ(requests[3].sha256, sha256_hex(bytes.substr(131072)));
}

TEST(PublishUpload, SoundCloudMultipartForm) {
  FakeServices services(R"([{"method": "POST", "path": "/tracks", "status": 201, "times": 1}])");
  TempDir dir;
  std::string bytes;
  const int file = media_file(dir, 5000, &bytes);
  auto task = new_task(PUBLISH_SOUNDCLOUD);
  EXPECT_TRUE(publish_soundcloud(task.get(), file, bytes.size()));
  EXPECT_STREQ(task->status_text, "Private track accepted for processing.");
  const auto first = services.requests();
  ASSERT_EQ(first.size(), 1u);
  const Received& r = first[0];
  EXPECT_EQ(r.header("authorization"), "OAuth tok-123");
  const std::string type = r.header("content-type");
  ASSERT_EQ(type.rfind("multipart/form-data; boundary=ZarnelKelvra", 0), 0u) << type;
  const std::string boundary = type.substr(type.find('=') + 1);
  EXPECT_EQ(boundary.size(), 12u + 8 + 16);
  const std::string prefix = "--" + boundary +
                             "\r\nContent-Disposition: form-data; name=\"track[title]\"\r\n\r\n" + task->title +
                             "\r\n--" + boundary +
                             "\r\nContent-Disposition: form-data; name=\"track[sharing]\"\r\n\r\nprivate\r\n--" +
                             boundary +
                             "\r\nContent-Disposition: form-data; name=\"track[asset_data]\"; filename=\"mix.wav\""
                             "\r\nContent-Type: audio/wav\r\n\r\n";
  EXPECT_EQ(r.sha256, sha256_hex(prefix + bytes + "\r\n--" + boundary + "--\r\n"));
  // A second upload takes another boundary; a refusal reports its status.
  EXPECT_FALSE(publish_soundcloud(task.get(), file, bytes.size()));
  EXPECT_STREQ(task->status_text, "SoundCloud upload failed (HTTP 404).");
  close(file);
  const auto both = services.requests();
  ASSERT_EQ(both.size(), 2u);
  EXPECT_NE(both[1].header("content-type"), type);
}

TEST(PublishUpload, LinkedInPartsFinaliseWaitAndPost) {
  FakeServices services(R"([
    {"method": "POST", "path": "/rest/videos?action=initializeUpload", "status": 200, "body":
     "{\"value\": {\"video\": \"urn:li:video:C1\", \"uploadToken\": \"up\", \"uploadInstructions\": [{\"uploadUrl\": \"https://www.linkedin.com/dms/p2\", \"firstByte\": 4000, \"lastByte\": 9999}, {\"uploadUrl\": \"https://upload.licdn.com/dms/p1\", \"firstByte\": 0, \"lastByte\": 3999}]}}"},
    {"method": "PUT", "path": "/dms/p1", "status": 200, "headers": {"ETag": "\"e-one\""}},
    {"method": "PUT", "path": "/dms/p2", "status": 200, "headers": {"ETag": "e-two"}},
    {"method": "POST", "path": "/rest/videos?action=finalizeUpload", "status": 200, "body": "{}"},
    {"method": "GET", "path": "/rest/videos/urn%3Ali%3Avideo%3AC1", "times": 1, "status": 200, "body": "{\"status\": \"PROCESSING\"}"},
    {"method": "GET", "path": "/rest/videos/urn%3Ali%3Avideo%3AC1", "status": 200, "body": "{\"status\": \"AVAILABLE\"}"},
    {"method": "POST", "path": "/rest/posts", "status": 201, "check": "little_text", "body": "{}"}])");
  TempDir dir;
  std::string bytes;
  const int file = media_file(dir, 7000, &bytes);
  auto task = new_task(PUBLISH_LINKEDIN);
  std::snprintf(task->account_id, sizeof task->account_id, "member_1");
  ScopedEnv version("ZARNELK_LINKEDIN_VERSION", nullptr);
  EXPECT_TRUE(publish_linkedin(task.get(), file, bytes.size())) << task->status_text;
  EXPECT_STREQ(task->status_text, "LinkedIn post published.");
  const auto requests = services.requests();
  ASSERT_EQ(requests.size(), 7u);  // the video was still processing at the first look
  EXPECT_EQ(requests[0].header("linkedin-version"), "202611");
  EXPECT_EQ(requests[0].header("x-restli-protocol-version"), "2.0.0");
  EXPECT_NE(requests[0].body.find("\"owner\":\"urn:li:person:member_1\",\"fileSizeBytes\":7000"), std::string::npos);
  // The parts in byte order, the last one cut at the end of the file, from a licdn.com host too.
  EXPECT_EQ(requests[1].path, "/dms/p1");
  EXPECT_EQ(requests[1].sha256, sha256_hex(bytes.substr(0, 4000)));
  EXPECT_EQ(requests[2].sha256, sha256_hex(bytes.substr(4000)));
  EXPECT_EQ(requests[1].header("authorization"), "");
  EXPECT_EQ(requests[3].body,
            R"({"finalizeUploadRequest":{"video":"urn:li:video:C1","uploadToken":"up","uploadedPartIds":["e-one","e-two"]}})");
  EXPECT_NE(requests[6].body.find(R"("content":{"media":{"id":"urn:li:video:C1","title":"Harbour \"dawn\" \\ cut"}})"),
            std::string::npos);
  // The commentary in the little format: the backslash escaped (once for little, once for JSON).
  EXPECT_NE(requests[6].body.find(R"("commentary":"Harbour \"dawn\" \\\\ cut")"), std::string::npos)
      << requests[6].body;
  // A member id with other characters, or a version with a dash, fails before any request.
  std::snprintf(task->account_id, sizeof task->account_id, "member 1");
  EXPECT_FALSE(publish_linkedin(task.get(), file, bytes.size()));
  std::snprintf(task->account_id, sizeof task->account_id, "member_1");
  ScopedEnv dashed("ZARNELK_LINKEDIN_VERSION", "2026-07");
  EXPECT_FALSE(publish_linkedin(task.get(), file, bytes.size()));
  close(file);
  EXPECT_EQ(services.requests().size(), 7u);
}

TEST(PublishHelpers, LittleText) {
  struct Case {
    const char* text;
    const char* little;  // null: does not fit 24 bytes
  };
  const Case cases[] = {
      {"plain words, fine.", "plain words, fine."},
      {"a(b)_c#d", "a\\(b\\)\\_c\\#d"},
      {"\\|{}@[]", "\\\\\\|\\{\\}\\@\\[\\]"},
      {"<>*~", "\\<\\>\\*\\~"},
      {"############", nullptr},
  };
  for (const Case& c : cases) {
    char out[24];
    EXPECT_EQ(publish_little_text(c.text, out, sizeof out), c.little != nullptr) << c.text;
    if (c.little != nullptr) {
      EXPECT_STREQ(out, c.little);
    }
  }
}

TEST(PublishUpload, InstagramReel) {
  FakeServices services(R"([
    {"method": "POST", "path": "/v27.0/17841/media_publish", "status": 200, "body": "{\"id\": \"999\"}"},
    {"method": "POST", "path": "/v27.0/17841/media", "status": 200, "body": "{\"id\": \"555\"}"},
    {"method": "POST", "path": "/ig-api-upload/v27.0/555", "status": 200, "check": "file_size", "body": "{\"success\": true}"},
    {"method": "GET", "path": "/v27.0/555?fields=status_code", "status": 200, "body": "{\"status_code\": \"FINISHED\"}"}])");
  TempDir dir;
  std::string bytes;
  const int file = media_file(dir, 9000, &bytes);
  auto task = new_task(PUBLISH_INSTAGRAM);
  std::snprintf(task->account_id, sizeof task->account_id, "17841");
  ScopedEnv version("ZARNELK_INSTAGRAM_API_VERSION", nullptr);
  EXPECT_TRUE(publish_instagram(task.get(), file, bytes.size())) << task->status_text;
  EXPECT_STREQ(task->status_text, "Reel published · 999");
  const auto requests = services.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].body, R"({"media_type":"REELS","upload_type":"resumable","caption":"Harbour \"dawn\" \\ cut"})");
  EXPECT_EQ(requests[1].header("authorization"), "OAuth tok-123");
  EXPECT_EQ(requests[1].header("offset"), "0");
  EXPECT_EQ(requests[1].header("file_size"), "9000");
  EXPECT_EQ(requests[1].sha256, sha256_hex(bytes));
  EXPECT_EQ(requests[3].path, "/v27.0/17841/media_publish?creation_id=555");
  ScopedEnv bad("ZARNELK_INSTAGRAM_API_VERSION", "27.0");
  EXPECT_FALSE(publish_instagram(task.get(), file, bytes.size()));
  close(file);
  EXPECT_EQ(services.requests().size(), 4u);
}

// A running upload shows how far it got and can be cancelled; the status
// line says so and the token never shows.
TEST(PublishTasks, ProgressAndCancelOfAnUpload) {
  FakeServices services(R"([
    {"method": "POST", "status": 200, "headers": {"Location": "https://www.googleapis.com/upload/session/9"}},
    {"method": "PUT", "status": 200, "body": "{\"id\": \"never\"}"}])");
  TempDir dir;
  kelvra_test::write_file(dir.file("big.mp4"), std::string(256u << 20, 'v'));
  PublishContext* context = kelvra_publish_create();
  ASSERT_NE(context, nullptr);
  PublishTask& task = context->tasks[PUBLISH_YOUTUBE];
  ScopedEnv token("ZARNELK_YOUTUBE_ACCESS_TOKEN", "secret-token-value");
  ASSERT_TRUE(publish_task_ready(&task));
  std::snprintf(task.file_path, sizeof task.file_path, "%s", dir.file("big.mp4").c_str());
  publish_task_start(&task, false);
  bool connected = false;
  std::string seen;
  for (int i = 0; i < 20000 && task.sent.load() == 0 && task.busy.load() != 0; ++i)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  seen = kelvra_publish_status(context, PUBLISH_YOUTUBE, &connected);
  EXPECT_TRUE(seen.rfind("Uploading ", 0) == 0) << seen;
  EXPECT_TRUE(kelvra_publish_cancel(context, PUBLISH_YOUTUBE));
  for (int i = 0; i < 3000 && task.busy.load() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const std::string status = kelvra_publish_status(context, PUBLISH_YOUTUBE, &connected);
  EXPECT_EQ(status, "Upload cancelled.");
  EXPECT_TRUE(connected);
  EXPECT_FALSE(kelvra_publish_cancel(context, PUBLISH_YOUTUBE));  // nothing runs now
  EXPECT_EQ(status.find("secret-token-value"), std::string::npos);
  kelvra_publish_destroy(context);
}

// Where a flow stops and what it reports: the status of the last reply.
TEST(PublishUpload, LinkedInAndInstagramFailures) {
  const std::string registered = R"({"method": "POST", "path": "/rest/videos?action=initializeUpload", "status": 200, "body": "{\"value\": {\"video\": \"urn:li:video:C1\", \"uploadInstructions\": [{\"uploadUrl\": \"https://www.linkedin.com/p1\", \"firstByte\": 0, \"lastByte\": 999}, {\"uploadUrl\": \"https://www.linkedin.com/p2\", \"firstByte\": FIRST, \"lastByte\": 4999}]}}"})";
  const auto with_first = [&](const char* first) {
    std::string rule = registered;
    rule.replace(rule.find("FIRST"), 5, first);
    return rule;
  };
  struct Case {
    const char* what;
    uint32_t target;
    std::string rules;
    const char* status;
    const char* never;  // a path that must not be asked for
  };
  const Case cases[] = {
      {"a gap between parts", PUBLISH_LINKEDIN,
       "[" + with_first("2000") + R"(, {"method": "PUT", "status": 200, "headers": {"ETag": "e"}}])",
       "LinkedIn publishing failed (HTTP 200).", "/p2"},
      {"overlapping parts", PUBLISH_LINKEDIN,
       "[" + with_first("900") + R"(, {"method": "PUT", "status": 200, "headers": {"ETag": "e"}}])",
       "LinkedIn publishing failed (HTTP 200).", "/p2"},
      {"a part without ETag", PUBLISH_LINKEDIN, "[" + with_first("1000") + R"(, {"method": "PUT", "status": 200}])",
       "LinkedIn publishing failed (HTTP 200).", "/p2"},
      {"processing failed", PUBLISH_LINKEDIN,
       "[" + with_first("1000") + R"(, {"method": "PUT", "status": 200, "headers": {"ETag": "e"}},
         {"method": "POST", "path": "/rest/videos?action=finalizeUpload", "status": 200},
         {"method": "GET", "status": 200, "body": "{\"status\": \"PROCESSING_FAILED\"}"}])",
       "LinkedIn publishing failed (HTTP 200).", "/rest/posts"},
      {"registration refused", PUBLISH_LINKEDIN, R"([{"method": "POST", "status": 401}])",
       "LinkedIn publishing failed (HTTP 401).", "/p1"},
      {"container id not numeric", PUBLISH_INSTAGRAM,
       R"([{"method": "POST", "path": "/v27.0/17841/media", "status": 200, "body": "{\"id\": \"12ab\"}"}])",
       "Instagram publishing failed (HTTP 200).", "/ig-api-upload"},
      {"upload refused", PUBLISH_INSTAGRAM,
       R"([{"method": "POST", "path": "/v27.0/17841/media", "status": 200, "body": "{\"id\": \"55\"}"},
           {"method": "POST", "path": "/ig-api-upload", "status": 500}])",
       "Instagram publishing failed (HTTP 500).", "/v27.0/55?fields"},
      {"processing error", PUBLISH_INSTAGRAM,
       R"([{"method": "POST", "path": "/v27.0/17841/media_publish", "status": 200, "body": "{\"id\": \"9\"}"},
           {"method": "POST", "path": "/v27.0/17841/media", "status": 200, "body": "{\"id\": \"55\"}"},
           {"method": "POST", "path": "/ig-api-upload", "status": 200},
           {"method": "GET", "status": 200, "body": "{\"status_code\": \"ERROR\"}"}])",
       "Instagram publishing failed (HTTP 200).", "/v27.0/17841/media_publish"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeServices services(c.rules);
    const int file = media_file(dir, 5000);
    auto task = new_task(c.target);
    std::snprintf(task->account_id, sizeof task->account_id, c.target == PUBLISH_LINKEDIN ? "m1" : "17841");
    const bool ok = c.target == PUBLISH_LINKEDIN ? publish_linkedin(task.get(), file, 5000)
                                                 : publish_instagram(task.get(), file, 5000);
    close(file);
    EXPECT_FALSE(ok);
    EXPECT_STREQ(task->status_text, c.status);
    for (const Received& r : services.requests()) EXPECT_EQ(r.path.rfind(c.never, 0), std::string::npos) << r.path;
  }
}

// Meta's reel guide: ask about the container once a minute, for at least
// five minutes. A reel still in progress is not asked about again within
// seconds, and a cancel ends the wait.
TEST(PublishUpload, InstagramWaitsForSlowReels) {
  FakeServices services(R"([
    {"method": "POST", "path": "/v27.0/17841/media", "status": 200, "body": "{\"id\": \"555\"}"},
    {"method": "POST", "path": "/ig-api-upload/v27.0/555", "status": 200, "check": "file_size"},
    {"method": "GET", "path": "/v27.0/555?fields=status_code", "status": 200, "times": 100,
     "body": "{\"status_code\": \"IN_PROGRESS\"}"}])");
  TempDir dir;
  const int file = media_file(dir, 3000);
  auto task = new_task(PUBLISH_INSTAGRAM);
  std::snprintf(task->account_id, sizeof task->account_id, "17841");
  bool ok = true;
  std::thread upload([&] { ok = publish_instagram(task.get(), file, 3000); });
  const auto polls = [&] {
    size_t count = 0;
    for (const Received& r : services.requests()) count += r.method == "GET";
    return count;
  };
  for (int i = 0; i < 1000 && polls() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(4000));
  EXPECT_EQ(polls(), 1u);
  task->cancel.store(1);
  upload.join();
  close(file);
  EXPECT_FALSE(ok);
  EXPECT_STREQ(task->status_text, "Instagram publishing failed (HTTP 200).");
}

// A SoundCloud sign-in lasts about an hour: the upload renews the token with
// the refresh token (the fake checks it and the client secret), checks that
// it is the same account, and keeps the rotated refresh token. A refused
// refresh token or another account ends it with a reason and no upload.
TEST(PublishTasks, ExpiredSignInIsRenewed) {
  struct Case {
    const char* what;
    const char* refresh;  // the task's refresh token
    const char* me;       // /me's reply
    const char* status;
    bool uploaded;
    bool still_connected;
  };
  const Case cases[] = {
      {"renewed", "r-old", R"({\"id\": 42, \"username\": \"harbour\"})", "Private track accepted for processing.", true,
       true},
      {"revoked", "r-revoked", R"({\"id\": 42})", "The sign-in was revoked or has expired (HTTP 400). Connect again.",
       false, false},
      {"another account", "r-old", R"({\"id\": 43, \"username\": \"someone\"})",
       "The service answered for another account than before; nothing was used. Connect again.", false, true},
  };
  ScopedEnv id("ZARNELK_SOUNDCLOUD_CLIENT_ID", "sc-client");
  ScopedEnv secret("ZARNELK_SOUNDCLOUD_CLIENT_SECRET", "sc-secret");
  ScopedEnv token("ZARNELK_SOUNDCLOUD_ACCESS_TOKEN", nullptr);
  TempDir dir;
  kelvra_test::write_file(dir.file("mix.wav"), std::string(4000, 'w'));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeServices services(std::string(R"([
      {"method": "POST", "path": "/oauth/token", "status": 200, "check": "oauth", "secret": "sc-secret",
       "refresh_tokens": ["r-old"],
       "body": "{\"access_token\": \"new-access\", \"refresh_token\": \"r-new\", \"expires_in\": 3600}"},
      {"method": "GET", "path": "/me", "status": 200, "body": ")") + c.me + R"("},
      {"method": "POST", "path": "/tracks", "status": 201}])");
    PublishContext* context = kelvra_publish_create();
    ASSERT_NE(context, nullptr);
    PublishTask& task = context->tasks[PUBLISH_SOUNDCLOUD];
    task.signed_in = 1;
    std::snprintf(task.refresh_token, sizeof task.refresh_token, "%s", c.refresh);
    std::snprintf(task.account_id, sizeof task.account_id, "42");
    std::snprintf(task.token, sizeof task.token, "old-access");
    task.expires_ms = ui_time_ms() - 1;  // an hour has passed
    bool connected = false;
    EXPECT_STREQ(kelvra_publish_status(context, PUBLISH_SOUNDCLOUD, &connected), "Connected");
    EXPECT_TRUE(connected);  // still: the refresh token renews it
    kelvra_publish_submit(context, dir.path().c_str(), nullptr, "mix.wav", "Harbour", 1u << PUBLISH_SOUNDCLOUD);
    for (int i = 0; i < 3000 && task.busy.load() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_STREQ(kelvra_publish_status(context, PUBLISH_SOUNDCLOUD, &connected), c.status);
    EXPECT_EQ(connected, c.still_connected);
    const auto requests = services.requests();
    ASSERT_GE(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, std::string("client_id=sc-client&grant_type=refresh_token&refresh_token=") + c.refresh +
                                    "&client_secret=sc-secret");
    bool tracks = false;
    for (const Received& r : requests) {
      if (r.path != "/tracks") continue;
      tracks = true;
      EXPECT_EQ(r.header("authorization"), "OAuth new-access");
    }
    EXPECT_EQ(tracks, c.uploaded);
    if (c.uploaded) {
      EXPECT_STREQ(task.refresh_token, "r-new");
    }
    kelvra_publish_destroy(context);
  }
}

// The tokens and secrets of the publishing context live in pages a core
// dump leaves out.
TEST(PublishTasks, SecretsStayOutOfCoreDumps) {
  PublishContext* context = kelvra_publish_create();
  ASSERT_NE(context, nullptr);
  const uintptr_t at = reinterpret_cast<uintptr_t>(context->tasks[PUBLISH_YOUTUBE].token);
  std::istringstream smaps(kelvra_test::read_file("/proc/self/smaps"));
  bool inside = false;
  bool found = false;
  std::string flags;
  for (std::string line; std::getline(smaps, line);) {
    unsigned long long low = 0, high = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx", &low, &high) == 2) {
      inside = at >= low && at < high;
      continue;
    }
    if (inside && line.rfind("VmFlags:", 0) == 0) {
      flags = line;
      found = true;
      break;
    }
  }
  kelvra_publish_destroy(context);
  ASSERT_TRUE(found);
  EXPECT_NE((flags + " ").find(" dd "), std::string::npos) << flags;
}

// After an upload no copy of the bearer token is left in memory that was
// freed (libcurl's header list and request buffer, our own buffers).
TEST(PublishUpload, NoTokenLeftInFreedMemory) {
  FakeServices services(R"([
    {"method": "POST", "status": 200, "headers": {"Location": "https://www.googleapis.com/upload/session/w"}},
    {"method": "PUT", "status": 200, "body": "{\"id\": \"w\"}"}])");
  TempDir dir;
  const int file = media_file(dir, 70000);
  auto task = new_task(PUBLISH_YOUTUBE, "");
  // The token is made here and exists nowhere else: its last half is random.
  uint8_t random[16];
  ASSERT_TRUE(sys_random_bytes(random, sizeof random));
  std::snprintf(task->token, sizeof task->token, "wipe-me-");
  for (int i = 0; i < 16; ++i) std::snprintf(task->token + 8 + 2 * i, 3, "%02x", random[i]);
  char needle[64];
  std::memcpy(needle, task->token + 8, 32);  // the random part: what a leftover copy must hold
  EXPECT_TRUE(publish_youtube(task.get(), file, 70000)) << task->status_text;
  close(file);
  publish_wipe(task->token, sizeof task->token);
  // Every private writable mapping but the stacks, read through /proc/self/mem.
  const int memory = ::open("/proc/self/mem", O_RDONLY);
  ASSERT_GE(memory, 0);
  std::istringstream maps(kelvra_test::read_file("/proc/self/maps"));
  std::vector<char> chunk(1 << 20);
  size_t copies = 0;
  for (std::string line; std::getline(maps, line);) {
    unsigned long long low = 0, high = 0;
    char permissions[8] = "";
    if (std::sscanf(line.c_str(), "%llx-%llx %7s", &low, &high, permissions) != 3) continue;
    if (std::strncmp(permissions, "rw-p", 4) != 0 || line.find("[stack") != std::string::npos) continue;
    if (high - low > (1ull << 30)) continue;  // the sanitizer's shadow reservations
    for (unsigned long long at = low; at < high; at += chunk.size() - 64) {
      const size_t want = static_cast<size_t>(std::min<unsigned long long>(chunk.size(), high - at));
      const ssize_t got = pread(memory, chunk.data(), want, static_cast<off_t>(at));
      if (got <= 0) break;
      for (const char* hit = chunk.data(); (hit = static_cast<const char*>(memmem(hit, chunk.data() + got - hit, needle, 32))) != nullptr; ++hit) {
        if (hit != needle) ++copies;
      }
      if (static_cast<size_t>(got) < want) break;
    }
  }
  close(memory);
  publish_wipe(needle, sizeof needle);
  EXPECT_EQ(copies, 0u);
}

}  // namespace

