/* corvantis-map-time: how long a program takes from its spawn until its
 * first top-level window is mapped on the X display of $DISPLAY (run
 * without a window manager, so that a map request maps at once).
 *
 *   corvantis-map-time RUNS LABEL PROGRAM [ARG...] [:: LABEL PROGRAM [ARG...]]...
 *
 * Each round runs every program once, in turn; a program is ended with
 * SIGTERM (then SIGKILL) as soon as its window is mapped. Prints, per
 * program, the median, the 10th and 90th percentiles and the extremes in
 * milliseconds, and every sample on a line of its own to stderr. */
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <poll.h>
#include <unistd.h>

extern char** environ;

enum { kMaxPrograms = 8, kTimeoutMs = 10000 };

struct Program {
  const char* label;
  char** argv;
  double* samples;
  int count;
};

static double Now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int Compare(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

static double Percentile(const double* sorted, int n, double p) {
  int i = (int)(p * (n - 1) + 0.5);
  return sorted[i];
}

/* Milliseconds from the spawn of `argv` until a child of the root is
 * mapped; -1 when none is within the time-out or the spawn fails. */
static double TimeToMap(Display* dpy, char** argv) {
  while (XPending(dpy)) {
    XEvent drop;
    XNextEvent(dpy, &drop);
  }
  pid_t pid;
  double start = Now();
  if (posix_spawn(&pid, argv[0], NULL, NULL, argv, environ) != 0) return -1;
  double mapped = -1;
  struct pollfd pfd = {ConnectionNumber(dpy), POLLIN, 0};
  while (mapped < 0) {
    while (XPending(dpy)) {
      XEvent ev;
      XNextEvent(dpy, &ev);
      if (ev.type == MapNotify && mapped < 0) mapped = (Now() - start) * 1000;
    }
    if (mapped >= 0) break;
    int left = kTimeoutMs - (int)((Now() - start) * 1000);
    if (left <= 0) break;
    if (poll(&pfd, 1, left) < 0 && errno != EINTR) break;
  }
  kill(pid, SIGTERM);
  int status;
  for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(10000);
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  XSync(dpy, False);
  return mapped;
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: corvantis-map-time RUNS LABEL PROGRAM [ARG...] [:: LABEL PROGRAM [ARG...]]...\n");
    return 2;
  }
  int runs = atoi(argv[1]);
  if (runs < 1) return 2;
  struct Program programs[kMaxPrograms];
  int n = 0;
  for (int i = 2; i < argc && n < kMaxPrograms;) {
    programs[n].label = argv[i++];
    programs[n].argv = &argv[i];
    while (i < argc && strcmp(argv[i], "::") != 0) ++i;
    if (i < argc) argv[i++] = NULL;
    programs[n].samples = calloc((size_t)runs, sizeof(double));
    programs[n].count = 0;
    ++n;
  }
  Display* dpy = XOpenDisplay(NULL);
  if (!dpy) {
    fprintf(stderr, "corvantis-map-time: cannot open display\n");
    return 1;
  }
  XSelectInput(dpy, DefaultRootWindow(dpy), SubstructureNotifyMask);
  XSync(dpy, False);
  for (int r = 0; r < runs; ++r) {
    for (int p = 0; p < n; ++p) {
      double ms = TimeToMap(dpy, programs[p].argv);
      fprintf(stderr, "%s %.3f\n", programs[p].label, ms);
      if (ms >= 0) programs[p].samples[programs[p].count++] = ms;
    }
  }
  printf("| program | runs | median ms | p10 | p90 | min | max |\n|---|---|---|---|---|---|---|\n");
  for (int p = 0; p < n; ++p) {
    struct Program* pr = &programs[p];
    if (pr->count == 0) {
      printf("| %s | 0 | no window | | | | |\n", pr->label);
      continue;
    }
    qsort(pr->samples, (size_t)pr->count, sizeof(double), Compare);
    printf("| %s | %d | %.1f | %.1f | %.1f | %.1f | %.1f |\n", pr->label, pr->count,
           Percentile(pr->samples, pr->count, 0.5), Percentile(pr->samples, pr->count, 0.1),
           Percentile(pr->samples, pr->count, 0.9), pr->samples[0], pr->samples[pr->count - 1]);
  }
  XCloseDisplay(dpy);
  return 0;
}
