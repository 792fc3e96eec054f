#include <gio/gio.h>

#include <vector>

#include "app/desktop_app.h"
#include "app/document_files.h"

namespace cv {

namespace {

struct AppState {
  DesktopDelegate* delegate = nullptr;
  std::vector<GFile*> files;
  guint launchIdle = 0;
};

gboolean FinishLaunching(gpointer data) {
  auto* state = static_cast<AppState*>(data);
  state->launchIdle = 0;
  state->delegate->DidFinishLaunching();
  return G_SOURCE_REMOVE;
}

// Startup precedes the activate emission, and both come before the main
// loop runs, so the idle sees the documents already delivered.
void OnStartup(GApplication* app, gpointer data) {
  g_application_hold(app);
  static_cast<AppState*>(data)->launchIdle = g_idle_add(FinishLaunching, data);
}

void OnOpen(GApplication*, GFile** files, gint count, gchar*, gpointer data) {
  static_cast<AppState*>(data)->delegate->OpenURLs(DocumentURLsFromFiles(files, count));
}

// The documents of the command line become one open emission; without any
// this is a plain launch, and the idle brings the end of launching.
void OnActivate(GApplication* app, gpointer data) {
  auto* state = static_cast<AppState*>(data);
  if (state->files.empty()) return;
  g_application_open(app, state->files.data(), static_cast<gint>(state->files.size()), "");
}

}  // namespace

int RunDesktopApplication(int argc, char** argv, DesktopDelegate& delegate) {
  AppState state;
  state.delegate = &delegate;
  GApplication* app =
      g_application_new(nullptr, static_cast<GApplicationFlags>(G_APPLICATION_HANDLES_OPEN |
                                                                G_APPLICATION_NON_UNIQUE));
  g_signal_connect(app, "startup", G_CALLBACK(OnStartup), &state);
  g_signal_connect(app, "open", G_CALLBACK(OnOpen), &state);
  g_signal_connect(app, "activate", G_CALLBACK(OnActivate), &state);
  g_application_set_default(app);

  // The arguments are read here, as GApplication reads its files, and not
  // by its option parser, which would take "--help" or "-x.corva" for
  // options and keep or drop a "--" depending on what follows it.
  for (int i = 1; i < argc; ++i) state.files.push_back(g_file_new_for_commandline_arg(argv[i]));
  char* args[] = {argc > 0 ? argv[0] : nullptr, nullptr};

  int status = g_application_run(app, argc > 0 ? 1 : 0, argc > 0 ? args : nullptr);
  if (state.launchIdle != 0) g_source_remove(state.launchIdle);
  for (GFile* file : state.files) g_object_unref(file);
  g_application_set_default(nullptr);
  g_object_unref(app);
  return status;
}

}  // namespace cv
