// How the desktop's arguments become the controller's events.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "app/desktop_app.h"
#include "app/document_args.h"

namespace {

cv::DocumentURL FromArg(const char* arg, const char* cwd) { return cv::DocumentURLFromArgument(arg, cwd); }

// What GIO made of the argument: its local path when it is a file, else
// nothing.
std::string GioPath(const char* arg, const char* cwd) {
  GFile* file = g_file_new_for_commandline_arg_and_cwd(arg, cwd);
  char* path = g_file_has_uri_scheme(file, "file") ? g_file_get_path(file) : nullptr;
  std::string copy = path ? path : "";
  g_free(path);
  g_object_unref(file);
  return copy;
}

TEST(DocumentURLFromArgument, ArgumentsAsADesktopFilePassesThem) {
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
      // A host part: empty and "localhost" are this machine; any other host
      // is not a local file.
      {"file://localhost/srv/plan.corva", true, "/srv/plan.corva", "file:///srv/plan.corva"},
      {"file://LocalHost/srv/plan.corva", true, "/srv/plan.corva", "file:///srv/plan.corva"},
      {"file://otherhost/srv/plan.corva", false, "", "file://otherhost/srv/plan.corva"},
      {"file://127.0.0.2/srv/plan.corva", false, "", "file://127.0.0.2/srv/plan.corva"},
      // Scheme-like prefixes are URIs, whatever follows the colon.
      {"C:\\x.corva", false, "", "C:\\x.corva"},
      {"x:y.corva", false, "", "x:y.corva"},
      {"a+b.c-d:plan.corva", false, "", "a+b.c-d:plan.corva"},
      // Not a scheme: relative paths.
      {"1x:y.corva", true, "/home/u/docs/1x:y.corva", "file:///home/u/docs/1x:y.corva"},
      {"x_y:z.corva", true, "/home/u/docs/x_y:z.corva", "file:///home/u/docs/x_y:z.corva"},
      {":plan.corva", true, "/home/u/docs/:plan.corva", "file:///home/u/docs/:plan.corva"},
      {"", true, "/home/u/docs", "file:///home/u/docs"},
      // File URIs that do not convert are rejected.
      {"file:plan.corva", false, "", "file:plan.corva"},
      {"file:///srv/a%2Fb.corva", false, "", "file:///srv/a%2Fb.corva"},
      {"file:///srv/a%00b.corva", false, "", "file:///srv/a%00b.corva"},
  };
  for (const Case& c : cases) {
    cv::DocumentURL url = FromArg(c.arg, "/home/u/docs");
    EXPECT_EQ(url.isFile, c.isFile) << c.arg;
    EXPECT_EQ(url.path, c.path) << c.arg;
    EXPECT_EQ(url.text, c.text) << c.arg;
  }
}

// The conversion gives the path GIO's command-line conversion gave, for
// every argument that GIO took for a local file on this machine; what GIO
// did not take for one is not a file here either.
TEST(DocumentURLFromArgument, PathsAreTheOnesGioGave) {
  const char* args[] = {
      "plan.corva", "./plan.corva", "a/./b/../plan.corva", "a//b///plan.corva", "../../../../x.corva",
      "/", "//", "///", "//srv/plan.corva", "///srv/plan.corva", "/srv/./plan.corva/", "/srv/x/..",
      "-", "--", "--help", "-x.corva", "~/plan.corva", "$HOME/x.corva", " plan.corva", "plan.corva ",
      "a\nb.corva", "\xff\xfe.corva", "%41.corva", "/x:y.corva", "C:\\x.corva", "c:/x.corva",
      "x:y.corva", "1x:y.corva", "+x:y", ".x:y", "file:///srv/plan.corva", "FILE:///srv/plan.corva",
      "File:///srv/plan.corva", "file:////srv/plan.corva", "file:///srv/a/../../../x.corva",
      "file:///srv/my%20plan.corva", "file:///srv/plan.corva#frag", "file:///srv/pl#an.corva",
      "file:///srv/plan.corva?q=1", "file:///srv/%zz.corva", "file:///srv/%2e%2e/x.corva", "file:",
      "file:/", "file://", "file:///", "file:/srv/plan.corva", "file:plan.corva", "file://localhost/x.corva",
      "file://localhost", "https://example.com/plan.corva", "resource:///x.corva", "trash:///x.corva",
      "",
  };
  for (const char* cwd : {"/home/u/docs", "/", "//net/share", "/srv/a b/"}) {
    for (const char* arg : args) {
      SCOPED_TRACE(std::string("arg \"") + arg + "\" cwd \"" + cwd + "\"");
      cv::DocumentURL url = FromArg(arg, cwd);
      std::string gio = GioPath(arg, cwd);
      if (url.isFile) {
        EXPECT_EQ(url.path, gio);
      } else {
        EXPECT_EQ(url.path, "");
        EXPECT_EQ(gio, "") << "GIO took it for a local file";
      }
    }
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
    cv::QuitDesktopApplication();
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
