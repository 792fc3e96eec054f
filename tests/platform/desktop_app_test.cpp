// How the desktop's arguments become the controller's events.
#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "app/desktop_app.h"
#include "app/document_args.h"
#include "test_support.h"

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
      // ".." stays: "a" may be a link, and the kernel takes ".." after it.
      {"file:///srv/a/../plan.corva", true, "/srv/a/../plan.corva", "file:///srv/a/../plan.corva"},
      {"file:///srv/./b//plan.corva", true, "/srv/b/plan.corva", "file:///srv/b/plan.corva"},
      {"/srv/plan.corva", true, "/srv/plan.corva", "file:///srv/plan.corva"},
      {"/srv/100%25.corva", true, "/srv/100%25.corva", "file:///srv/100%2525.corva"},
      {"plan.corva", true, "/home/u/docs/plan.corva", "file:///home/u/docs/plan.corva"},
      {"sub/my plan.corva", true, "/home/u/docs/sub/my plan.corva", "file:///home/u/docs/sub/my%20plan.corva"},
      {"../plan.corva", true, "/home/u/docs/../plan.corva", "file:///home/u/docs/../plan.corva"},
      {"/srv/link/../plan.corva", true, "/srv/link/../plan.corva", "file:///srv/link/../plan.corva"},
      {"/../plan.corva", true, "/plan.corva", "file:///plan.corva"},
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

// Whether `path` has a ".." component.
bool HasDotDot(const std::string& path) {
  std::string padded = "/" + path + "/";
  return padded.find("/../") != std::string::npos;
}

// The conversion gives the path GIO's command-line conversion gave, for
// every argument that GIO took for a local file on this machine; what GIO
// did not take for one is not a file here either. One difference: GIO
// removes ".." as text, which names another file when the folder before it
// is a link; here it stays, and removing it as GIO does gives GIO's path.
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
      // Escapes the file-URI reader must judge as GIO does.
      "file://LOCALHOST/x.corva", "file://-x/x.corva", "file://x-/x.corva", "file://a..b/x.corva",
      "file://1x/x.corva", "file://l%2Fh/x.corva", "file://%00/x.corva", "file://%/x.corva",
      "file://h%zz/x.corva", "file://\xc3\xa9/x.corva", "file:///srv/%", "file:///srv/%4", "file:///srv/%41%42.corva",
      "file:///srv/%e2%82%ac.corva", "file:///srv/%ff.corva", "file:///srv/a%2fb.corva", "fIlE:/srv/x.corva",
      "file:///srv/a b.corva", "file:///srv/a\nb.corva", "file://localhost//srv/x.corva", "file:#x", "file:///#x",
  };
  for (const char* cwd : {"/home/u/docs", "/", "//net/share", "/srv/a b/"}) {
    for (const char* arg : args) {
      SCOPED_TRACE(std::string("arg \"") + arg + "\" cwd \"" + cwd + "\"");
      cv::DocumentURL url = FromArg(arg, cwd);
      std::string gio = GioPath(arg, cwd);
      if (url.isFile && HasDotDot(url.path)) {
        char* textual = g_canonicalize_filename(url.path.c_str(), nullptr);
        EXPECT_EQ(textual, gio);
        g_free(textual);
      } else if (url.isFile) {
        EXPECT_EQ(url.path, gio);
      } else {
        EXPECT_EQ(url.path, "");
        EXPECT_EQ(gio, "") << "GIO took it for a local file";
      }
    }
  }
}

// What GLib's own file-URI reader makes of `uri` under the host rule (an
// empty host or "localhost", in any case, is this machine): the tidied
// path, or "" for a URI that is not a local file.
std::string GlibFileURIPath(const std::string& uri) {
  std::string bare = uri.substr(0, uri.find('#'));
  char* host = nullptr;
  char* path = g_filename_from_uri(bare.c_str(), &host, nullptr);
  bool local = host == nullptr || host[0] == '\0' || g_ascii_strcasecmp(host, "localhost") == 0;
  std::string result = path != nullptr && local ? cv::TidyPath(path) : "";
  g_free(host);
  g_free(path);
  return result;
}

// File URIs are read as GLib reads them, host rule included. GIO's
// command-line conversion takes some other hosts ("x1", "local-host",
// "localhost.") for this machine; the opener keeps the stricter rule: only
// a host that names this machine.
TEST(DocumentURLFromArgument, FileURIsAreReadAsGlibReadsThem) {
  const char* uris[] = {
      "file:///srv/plan.corva", "file://localhost/srv/plan.corva", "file://LocalHost/x", "file://%6Cocalhost/x",
      "file://localhost./x", "file://local-host/x", "file://x1/x", "file://1x/x", "file://otherhost/x",
      "file://-x/x", "file://x-/x", "file://a..b/x", "file://a.b/x", "file://a.b./x", "file://a.1/x",
      "file://l%2Fh/x", "file://%00/x", "file://%/x", "file://h%zz/x", "file://\xc3\xa9/x", "file://localhost",
      "file://", "file:/", "file:", "file:x", "FILE:///x", "file:////x", "file:/x/%", "file:/x/%4", "file:/x/%4g",
      "file:/x/%41%42", "file:/x/%e2%82%ac", "file:/x/%ff", "file:/x/a%2fb", "file:/x/a%2Fb", "file:/x/a%00b",
      "file:/x/a b", "file:/x/a\nb", "file:/x/%2e%2e/y", "file:/x#y", "file:/x%23y", "file:/x?y",
      "file://localhost:80/x", "file://user@localhost/x", "file://[::1]/x",
  };
  for (const char* uri : uris) {
    SCOPED_TRACE(uri);
    cv::DocumentURL url = FromArg(uri, "/home/u/docs");
    std::string glib = GlibFileURIPath(uri);
    EXPECT_EQ(url.isFile, !glib.empty());
    EXPECT_EQ(url.path, glib);
    EXPECT_EQ(url.text, url.isFile ? cv::FileURLText(url.path) : std::string(uri));
  }
}

// The file URL of a path is GLib's for every byte and for paths of many
// shapes: what is kept, what is escaped, and the case of the hex digits.
TEST(FileURLText, IsTheOneGlibMakes) {
  std::vector<std::string> paths = {"/", "//", "//x", "/a b/c%d", "/x:y@z=w&v$u,t+s!r*q'p(o)n~m_l-k.j",
                                    "/#?[]{}|\\^`\"<>;", "/\xc3\xa9t\xc3\xa9", "/a\nb\tc\x7f"};
  for (int c = 1; c < 256; ++c) paths.push_back(std::string("/x") + static_cast<char>(c) + "y");
  for (const std::string& path : paths) {
    char* glib = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    ASSERT_NE(glib, nullptr) << path;
    EXPECT_EQ(cv::FileURLText(path), glib) << path;
    g_free(glib);
  }
}

TEST(TidyPath, DropsWhatTheKernelIgnoresAndKeepsDotDot) {
  struct Case {
    const char* path;
    const char* tidy;
  } cases[] = {
      {"/srv/plan.corva", "/srv/plan.corva"},
      {"/srv//a///plan.corva", "/srv/a/plan.corva"},
      {"/srv/./a/./plan.corva/.", "/srv/a/plan.corva"},
      {"/srv/plan.corva/", "/srv/plan.corva"},
      {"/srv/link/../plan.corva", "/srv/link/../plan.corva"},
      {"/srv/a/b/../../plan.corva", "/srv/a/b/../../plan.corva"},
      {"/srv/./link/./../plan.corva", "/srv/link/../plan.corva"},
      {"/../plan.corva", "/plan.corva"},
      {"/./../.././plan.corva", "/plan.corva"},
      {"/srv/..", "/srv/.."},
      {"/srv/...corva", "/srv/...corva"},
      {"/srv/..x/.corva", "/srv/..x/.corva"},
      {"/", "/"},
      {"///", "/"},
      {"//", "//"},
      {"//net/share/../x.corva", "//net/share/../x.corva"},
      {"//../x.corva", "//x.corva"},
      {"///srv/plan.corva", "/srv/plan.corva"},
  };
  for (const Case& c : cases) EXPECT_EQ(cv::TidyPath(c.path), c.tidy) << c.path;
}

// Without a current folder a relative name has no path: it is marked, kept
// as given, and nothing is made up for it ("/name"). Absolute paths and
// URIs need no folder.
TEST(DocumentURLFromArgument, RelativeNameWithoutAFolderIsMarked) {
  struct Case {
    const char* arg;
    bool noFolder;
    const char* path;
  } cases[] = {
      {"rel.corva", true, "rel.corva"},
      {"sub/../rel.corva", true, "sub/../rel.corva"},
      {"", true, ""},
      {"/srv/plan.corva", false, "/srv/plan.corva"},
      {"file:///srv/plan.corva", false, "/srv/plan.corva"},
  };
  for (const Case& c : cases) {
    cv::DocumentURL url = cv::DocumentURLFromArgument(c.arg, std::nullopt);
    EXPECT_TRUE(url.isFile) << c.arg;
    EXPECT_EQ(url.noFolder, c.noFolder) << c.arg;
    EXPECT_EQ(url.path, c.path) << c.arg;
  }
  EXPECT_FALSE(cv::DocumentURLFromArgument("https://x/plan.corva", std::nullopt).noFolder);
  EXPECT_FALSE(cv::DocumentURLFromArgument("rel.corva", std::string("/srv")).noFolder);
}

// A folder reached through a link: "link/.." is the folder above the link's
// target. The path made of the argument opens the file that the argument
// opens from that current folder, for a relative name, an absolute path and
// a file URI alike, and not the file beside the link.
TEST(DocumentURLFromArgument, DotDotOpensWhatTheArgumentOpens) {
  cvtest::TempDir root;
  const std::string r = root.path();
  ASSERT_EQ(mkdir((r + "/real").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((r + "/real/sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("real/sub", (r + "/link").c_str()), 0);
  ASSERT_TRUE(cvtest::WriteFile(r + "/real/x.corva", "meant\n"));
  ASSERT_TRUE(cvtest::WriteFile(r + "/x.corva", "beside the link\n"));
  struct stat meant;
  ASSERT_EQ(stat((r + "/real/x.corva").c_str(), &meant), 0);

  struct Case {
    std::string arg;
    std::string cwd;  // as the shell spells it, or as getcwd does
  } cases[] = {
      {"../x.corva", r + "/link"},
      {"../x.corva", r + "/real/sub"},
      {"./../x.corva", r + "/link/"},
      {r + "/link/../x.corva", "/"},
      {r + "/link/./../x.corva", "/"},
      {"file://" + r + "/link/../x.corva", "/"},
      {"file://" + r + "/link/%2E%2E/x.corva", "/"},
  };
  for (const Case& c : cases) {
    cv::DocumentURL url = cv::DocumentURLFromArgument(c.arg, c.cwd);
    ASSERT_TRUE(url.isFile) << c.arg;
    struct stat got;
    ASSERT_EQ(stat(url.path.c_str(), &got), 0) << url.path;
    EXPECT_TRUE(got.st_dev == meant.st_dev && got.st_ino == meant.st_ino) << c.arg << " gave " << url.path;
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

// The current folder was removed: relative names are marked, with their
// name as given; absolute ones are taken as always.
TEST(RunDesktopApplication, RelativeNamesInARemovedFolderAreMarked) {
  cvtest::TempDir root;
  std::string gone = root.Join("gone");
  ASSERT_EQ(mkdir(gone.c_str(), 0755), 0);
  int back = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(back, 0);
  ASSERT_EQ(chdir(gone.c_str()), 0);
  ASSERT_EQ(rmdir(gone.c_str()), 0);
  cvtest::ScopedEnv pwd("PWD", gone);
  std::string a = "rel.corva", b = "/srv/abs.corva", c = "../up.corva";
  char* argv[] = {const_cast<char*>("corvantis-opener"), a.data(), b.data(), c.data(), nullptr};
  std::vector<cv::DocumentURL> urls = cv::DocumentURLsFromArguments(4, argv);
  ASSERT_EQ(fchdir(back), 0);
  close(back);
  ASSERT_EQ(urls.size(), 3u);
  EXPECT_TRUE(urls[0].noFolder);
  EXPECT_EQ(urls[0].path, "rel.corva");
  EXPECT_FALSE(urls[1].noFolder);
  EXPECT_EQ(urls[1].path, "/srv/abs.corva");
  EXPECT_TRUE(urls[2].noFolder);
  EXPECT_EQ(urls[2].path, "../up.corva");
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
