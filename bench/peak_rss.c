/* corvantis-peak-rss: runs a program and reports its peak resident memory.
 *
 *   corvantis-peak-rss FD PROGRAM [ARG...]
 *
 * Writes "MAXRSS_KIB STATUS\n" (wait4's ru_maxrss and the raw wait status)
 * to descriptor FD once PROGRAM has ended; exit 0, or 1 when the fork, the
 * exec or the wait failed.
 *
 * Why a program of its own: the kernel counts into a process's ru_maxrss
 * the peak of the memory image that its exec replaces. A child spawned
 * straight from the harness replaces (a copy of) the harness's image, so a
 * contender smaller than the harness would report the harness's size. This
 * launcher is linked statically and is tiny; it forks a child that execs
 * PROGRAM, and only that child's figure is reported. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: corvantis-peak-rss FD PROGRAM [ARG...]\n");
    return 2;
  }
  int out = atoi(argv[1]);
  if (fcntl(out, F_SETFD, FD_CLOEXEC) != 0) {
    perror("corvantis-peak-rss: report descriptor");
    return 1;
  }
  pid_t pid = fork();
  if (pid < 0) {
    perror("corvantis-peak-rss: fork");
    return 1;
  }
  if (pid == 0) {
    execv(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  struct rusage ru;
  pid_t got;
  do {
    got = wait4(pid, &status, 0, &ru);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    perror("corvantis-peak-rss: wait4");
    return 1;
  }
  char line[64];
  int n = snprintf(line, sizeof line, "%ld %d\n", ru.ru_maxrss, status);
  if (write(out, line, (size_t)n) != n) return 1;
  return WIFEXITED(status) && WEXITSTATUS(status) == 127 ? 1 : 0;
}
