// Sign-ins remembered in the desktop's secret store, against a real one:
// GNOME Keyring in a private D-Bus session (tests/publish/keyring-session.sh
// runs these; elsewhere they are skipped). A sign-in is kept across runs of
// the editor (one publishing context a run) and renewed without a browser,
// Disconnect removes it, nothing reaches the disk in clear, and a revoked
// token or another account gives a reason and loses nothing.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "app_fixture.h"
#include "fake_services.h"
#include "platform/keyring.h"
#include "publish/publish.h"
#include "test_util.h"

namespace {

using kelvra_test::FakeServices;
using kelvra_test::Received;
using kelvra_test::ScopedEnv;
using kelvra_test::TempDir;

class Keyring : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("KELVRA_KEYRING_HOME") == nullptr) GTEST_SKIP() << "needs tests/publish/keyring-session.sh";
    const std::string services = KELVRA_FAKE_SERVICES;
    const std::string browser = services.substr(0, services.rfind('/')) + "/fake_browser.py";
    std::filesystem::create_directory(dir.file("bin"));
    ASSERT_EQ(::symlink(browser.c_str(), dir.file("bin/xdg-open").c_str()), 0);
    env("PATH", (dir.file("bin") + ":" + std::getenv("PATH")).c_str());
    env("FAKE_BROWSER_LOG", dir.file("browser.log").c_str());
    env("FAKE_BROWSER_CODE", "code-k");
    env("FAKE_BROWSER_BEFORE", "");
    env("ZARNELK_YOUTUBE_CLIENT_ID", "client-k");
    env("ZARNELK_YOUTUBE_CLIENT_SECRET", "secret-k");
    env("ZARNELK_YOUTUBE_ACCESS_TOKEN", nullptr);
    sys_keyring_clear("youtube");
  }
  void TearDown() override {
    if (std::getenv("KELVRA_KEYRING_HOME") != nullptr) sys_keyring_clear("youtube");
  }
  void env(const char* name, const char* value) { env_.push_back(std::make_unique<ScopedEnv>(name, value)); }

  // Waits for the destination's worker; its status line then.
  std::string settled(PublishContext* context, bool* connected) {
    for (int i = 0; i < 4000 && context->tasks[PUBLISH_YOUTUBE].busy.load() != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return kelvra_publish_status(context, PUBLISH_YOUTUBE, connected);
  }

  std::string rules(const char* refresh_tokens, const char* channel) {
    return std::string(R"([{"method": "POST", "path": "/token", "status": 200, "check": "oauth", "secret": "secret-k",
        "codes_file": ")") + dir.file("browser.log.codes") + R"(", "refresh_tokens": )" + refresh_tokens + R"(,
        "body": "{\"access_token\": \"access-k-3131\", \"refresh_token\": \"refresh-kept-5150\", \"expires_in\": 3600}"},
      {"method": "GET", "path": "/youtube/v3/channels", "status": 200,
       "body": "{\"items\": [{\"id\": \")" + channel + R"(\", \"snippet\": {\"title\": \"Harbour Films\"}}]}"}])";
  }

  TempDir dir;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
};

TEST_F(Keyring, RememberedAcrossRunsUntilDisconnected) {
  FakeServices services(rules(R"(["refresh-kept-5150"])", "UC1"));
  bool connected = false;
  {
    SCOPED_TRACE("first run: a sign-in in the browser");
    PublishContext* context = kelvra_publish_create();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(settled(context, &connected), "Account not connected");  // nothing remembered yet
    kelvra_publish_account(context, PUBLISH_YOUTUBE);
    EXPECT_EQ(settled(context, &connected), "Connected as Harbour Films");
    EXPECT_TRUE(connected);
    EXPECT_TRUE(kelvra_publish_signed_in(context, PUBLISH_YOUTUBE));
    kelvra_publish_destroy(context);
  }
  // The keyring's files hold neither token in clear.
  size_t files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(std::getenv("KELVRA_KEYRING_HOME"))) {
    if (!entry.is_regular_file()) continue;
    ++files;
    const std::string bytes = kelvra_test::read_file(entry.path().string());
    EXPECT_EQ(bytes.find("refresh-kept-5150"), std::string::npos) << entry.path();
    EXPECT_EQ(bytes.find("access-k-3131"), std::string::npos) << entry.path();
  }
  EXPECT_GT(files, 0u);
  {
    SCOPED_TRACE("second run: renewed without a browser, then disconnected");
    PublishContext* context = kelvra_publish_create();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(settled(context, &connected), "Connected as Harbour Films");
    EXPECT_TRUE(connected);
    const auto requests = services.requests();
    ASSERT_GE(requests.size(), 4u);
    EXPECT_EQ(requests[2].body,
              "client_id=client-k&grant_type=refresh_token&refresh_token=refresh-kept-5150&client_secret=secret-k");
    ASSERT_TRUE(kelvra_publish_disconnect(context, PUBLISH_YOUTUBE));
    EXPECT_EQ(settled(context, &connected), "Disconnected.");
    EXPECT_FALSE(connected);
    kelvra_publish_destroy(context);
  }
  {
    SCOPED_TRACE("third run: nothing remembered");
    PublishContext* context = kelvra_publish_create();
    EXPECT_EQ(settled(context, &connected), "Account not connected");
    kelvra_publish_destroy(context);
    char out[64];
    EXPECT_EQ(sys_keyring_lookup("youtube", out, sizeof out), SYS_KEYRING_MISSING);
  }
  const std::string opened = kelvra_test::read_file(dir.file("browser.log"));
  EXPECT_EQ(opened.find("open "), opened.rfind("open "));  // one browser, in the first run only
}

TEST_F(Keyring, RevokedOrAnotherAccount) {
  struct Case {
    const char* what;
    const char* accepted;  // the refresh tokens the service still takes
    const char* channel;   // whom the service says the token is for
    const char* status;
    bool kept;             // the remembered sign-in is still in the store
  };
  const Case cases[] = {
      {"revoked", "[]", "UC1", "The sign-in was revoked or has expired (HTTP 400). Connect again.", false},
      {"another account", R"(["r-remembered"])", "UC2",
       "The service answered for another account than before; nothing was used. Connect again.", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeServices services(rules(c.accepted, c.channel));
    ASSERT_EQ(sys_keyring_store("youtube", "test",
                                R"({"kind":"refresh","token":"r-remembered","account":"UC1","name":"Harbour Films","expires":0})"),
              SYS_KEYRING_OK);
    PublishContext* context = kelvra_publish_create();
    ASSERT_NE(context, nullptr);
    bool connected = true;
    EXPECT_EQ(settled(context, &connected), c.status);
    EXPECT_FALSE(connected);
    kelvra_publish_destroy(context);
    char out[256];
    EXPECT_EQ(sys_keyring_lookup("youtube", out, sizeof out), c.kept ? SYS_KEYRING_OK : SYS_KEYRING_MISSING);
  }
}

}  // namespace
