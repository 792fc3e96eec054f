// How the desktop's arguments become the controller's events.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "app/desktop_app.h"
#include "app/document_files.h"

namespace {

cv::DocumentURL FromArg(const char* arg, const char* cwd) {
  GFile* file = g_file_new_for_commandline_arg_and_cwd(arg, cwd);
  cv::DocumentURL url = cv::DocumentURLFromFile(file);
  g_object_unref(file);
  return url;
}

TEST(DocumentURLFromFile, ArgumentsAsADesktopFilePassesThem) {
  struct Case {
    const char* arg;
    bool isFile;
    const char* path;
    const char* text;
  } cases[] = {
      {"file:///srv/plan.corva", true, "/srv/plan.corva", "file:///srv/plan.corva"},
      {"file:///srv/my%20plan.CORVA", true, "/srv/my plan.CORVA", "file:///srv/my%20plan.CORVA"},
      {"file:///srv/%C3%A9t%C3%A9.corva", true, "/srv/\xC3\xA9t\xC3\xA9.corva", "file:///srv/%C3%A9t%C3%A9.corva"},
      {"file:///srv/a/../plan.corva", true, "/srv/plan.corva", "file:///srv/plan.corva"},
      {"/srv/plan.corva", true, "/srv/plan.corva", "file:///srv/plan.corva"},
      {"/srv/100%25.corva", true, "/srv/100%25.corva", "file:///srv/100%2525.corva"},
      {"plan.corva", true, "/home/u/docs/plan.corva", "file:///home/u/docs/plan.corva"},
      {"sub/my plan.corva", true, "/home/u/docs/sub/my plan.corva", "file:///home/u/docs/sub/my%20plan.corva"},
      {"../plan.corva", true, "/home/u/plan.corva", "file:///home/u/plan.corva"},
      {"https://example.com/plan.corva", false, "", "https://example.com/plan.corva"},
      {"sftp://host/srv/plan.corva", false, "", "sftp://host/srv/plan.corva"},
  };
  for (const Case& c : cases) {
    cv::DocumentURL url = FromArg(c.arg, "/home/u/docs");
    EXPECT_EQ(url.isFile, c.isFile) << c.arg;
    EXPECT_EQ(url.path, c.path) << c.arg;
    EXPECT_EQ(url.text, c.text) << c.arg;
  }
}

// Records the events; ends the run at the end of launching.
class Recorder : public cv::DesktopDelegate {
 public:
  void OpenURLs(const std::vector<cv::DocumentURL>& urls) override {
    events.push_back("open");
    opened.push_back(urls);
  }
  void DidFinishLaunching() override {
    events.push_back("launched");
    g_application_quit(g_application_get_default());
  }
  std::vector<std::string> events;
  std::vector<std::vector<cv::DocumentURL>> opened;
};

int RunApp(std::vector<std::string> args, Recorder& recorder) {
  args.insert(args.begin(), "corvantis-opener");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return cv::RunDesktopApplication(static_cast<int>(args.size()), argv.data(), recorder);
}

std::string Cwd() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

TEST(RunDesktopApplication, DocumentsArriveAsOneOpenEventBeforeTheEndOfLaunching) {
  Recorder recorder;
  EXPECT_EQ(RunApp({"file:///srv/b.corva", "a.corva", "https://example.com/c.corva", "/srv/d.txt"}, recorder), 0);
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"open", "launched"}));
  ASSERT_EQ(recorder.opened.size(), 1u);
  const auto& urls = recorder.opened[0];
  ASSERT_EQ(urls.size(), 4u);
  EXPECT_EQ(urls[0].path, "/srv/b.corva");
  EXPECT_EQ(urls[1].path, Cwd() + "/a.corva");
  EXPECT_FALSE(urls[2].isFile);
  EXPECT_EQ(urls[2].text, "https://example.com/c.corva");
  EXPECT_EQ(urls[3].path, "/srv/d.txt");
}

TEST(RunDesktopApplication, NoArgumentsIsAPlainLaunch) {
  Recorder recorder;
  EXPECT_EQ(RunApp({}, recorder), 0);
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"launched"}));
}

TEST(RunDesktopApplication, ArgumentsThatLookLikeOptionsAreDocuments) {
  Recorder recorder;
  EXPECT_EQ(RunApp({"--help", "-x.corva", "--", "-"}, recorder), 0);
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"open", "launched"}));
  ASSERT_EQ(recorder.opened.size(), 1u);
  std::vector<std::string> paths;
  for (const auto& url : recorder.opened[0]) paths.push_back(url.path);
  const std::string cwd = Cwd();
  EXPECT_EQ(paths, (std::vector<std::string>{cwd + "/--help", cwd + "/-x.corva", cwd + "/--", cwd + "/-"}));
}

}  // namespace
