/* corvantis-limit: the least a program can do to hand documents to the
 * agent, and so the floor the opener is measured against. For each argument
 * it writes the request document the opener writes (same keys, same order,
 * same escaping, origin "mac-opener") into the queue folder of
 * $CORVANTIS_AGENT_DIR, with the opener's system calls: openat of a
 * temporary ".HEX.tmp", write, fsync, close, renameat to "STEM.json".
 * C and libc only, dynamically linked, no checks beyond what the calls
 * report.
 *
 *   corvantis-limit PATH...       one "open" request per PATH; exit 0, or 1
 *                                 with a message on a failing call
 *   corvantis-limit --print PATH  reads "CREATED PID" lines from standard
 *                                 input and prints the document of each,
 *                                 one a line (the harness compares them with
 *                                 the opener's own document builder)
 *
 * "created" is the shortest decimal that reads back as the same double; the
 * opener's JSON library may, for about one clock reading in a thousand,
 * print one digit more or a different last digit of the same double. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

enum { kDocMax = 65536 + 64 };

/* Appends `s` as a JSON string body: '"' and '\' escaped, the short escapes
 * for \b \f \n \r \t, other control characters as \u00xx; everything else,
 * UTF-8 included, as it is. Returns the new length, or 0 when full. */
static size_t AppendEscaped(char* out, size_t len, size_t cap, const char* s) {
  for (const unsigned char* p = (const unsigned char*)s; *p; ++p) {
    char esc[8];
    const char* piece = esc;
    size_t n = 1;
    switch (*p) {
      case '"': piece = "\\\""; n = 2; break;
      case '\\': piece = "\\\\"; n = 2; break;
      case '\b': piece = "\\b"; n = 2; break;
      case '\f': piece = "\\f"; n = 2; break;
      case '\n': piece = "\\n"; n = 2; break;
      case '\r': piece = "\\r"; n = 2; break;
      case '\t': piece = "\\t"; n = 2; break;
      default:
        if (*p < 0x20) {
          n = (size_t)snprintf(esc, sizeof esc, "\\u%04x", *p);
        } else {
          esc[0] = (char)*p;
        }
    }
    if (len + n >= cap) return 0;
    memcpy(out + len, piece, n);
    len += n;
  }
  return len;
}

/* The shortest "%.*g" of `v` that reads back as `v`, with ".0" added to a
 * whole number, as the opener's JSON library writes a double. */
static void FormatDouble(double v, char* out, size_t cap) {
  for (int precision = 1; precision <= 17; ++precision) {
    snprintf(out, cap, "%.*g", precision, v);
    if (strtod(out, NULL) == v) break;
  }
  if (!strpbrk(out, ".eE") && strlen(out) + 2 < cap) strcat(out, ".0");
}

/* The document for one "open" request; its length, or 0 when too long. */
static size_t BuildDocument(char* out, size_t cap, double created, long long pid, const char* path) {
  char number[40];
  FormatDouble(created, number, sizeof number);
  int head = snprintf(out, cap,
                      "{\"format\":\"corvantis.open/1\",\"kind\":\"open\",\"created\":%s,"
                      "\"pid\":%lld,\"origin\":\"mac-opener\",\"path\":\"",
                      number, pid);
  if (head < 0 || (size_t)head >= cap) return 0;
  size_t len = AppendEscaped(out, (size_t)head, cap, path);
  if (len == 0 || len + 2 >= cap) return 0;
  out[len++] = '"';
  out[len++] = '}';
  out[len] = '\0';
  return len;
}

static int Fail(const char* what, const char* name) {
  fprintf(stderr, "corvantis-limit: %s %s: %s\n", what, name, strerror(errno));
  return 1;
}

static int WriteRequest(int qfd, const char* path, int64_t* lastMs) {
  static char doc[kDocMax];
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  double created = (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
  size_t len = BuildDocument(doc, sizeof doc, created, (long long)getpid(), path);
  if (len == 0) {
    errno = EFBIG;
    return Fail("document for", path);
  }

  unsigned char uuid[16];
  if (getrandom(uuid, sizeof uuid, 0) != (ssize_t)sizeof uuid) return Fail("random bytes for", path);
  uuid[6] = (unsigned char)((uuid[6] & 0x0F) | 0x40); /* version 4 */
  uuid[8] = (unsigned char)((uuid[8] & 0x3F) | 0x80); /* RFC 4122 variant */
  char hex[33];
  for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", uuid[i]);

  int64_t ms = (int64_t)(created * 1000.0); /* truncates toward zero */
  if (ms <= *lastMs) ms = *lastMs + 1;
  *lastMs = ms;
  char tmpName[40], finalName[72];
  snprintf(tmpName, sizeof tmpName, ".%s.tmp", hex);
  snprintf(finalName, sizeof finalName, "%013lld-%s.json", (long long)ms, hex);

  int fd = openat(qfd, tmpName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return Fail("create", tmpName);
  size_t done = 0;
  while (done < len) {
    ssize_t n = write(fd, doc + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      close(fd);
      unlinkat(qfd, tmpName, 0);
      errno = err;
      return Fail("write", tmpName);
    }
    done += (size_t)n;
  }
  if (fsync(fd) != 0) {
    int err = errno;
    close(fd);
    unlinkat(qfd, tmpName, 0);
    errno = err;
    return Fail("fsync", tmpName);
  }
  if (close(fd) != 0) {
    int err = errno;
    unlinkat(qfd, tmpName, 0);
    errno = err;
    return Fail("close", tmpName);
  }
  if (renameat(qfd, tmpName, qfd, finalName) != 0) {
    int err = errno;
    unlinkat(qfd, tmpName, 0);
    errno = err;
    return Fail("rename", tmpName);
  }
  return 0;
}

static int PrintDocuments(const char* path) {
  static char doc[kDocMax];
  double created;
  long long pid;
  while (scanf("%lf %lld", &created, &pid) == 2) {
    if (BuildDocument(doc, sizeof doc, created, pid, path) == 0) return 1;
    puts(doc);
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--print") == 0) return PrintDocuments(argv[2]);
  if (argc < 2) {
    fprintf(stderr, "usage: corvantis-limit PATH... | --print PATH\n");
    return 2;
  }
  const char* conf = getenv("CORVANTIS_AGENT_DIR");
  if (!conf || !*conf) {
    fprintf(stderr, "corvantis-limit: CORVANTIS_AGENT_DIR is not set\n");
    return 2;
  }
  int cfd = open(conf, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (cfd < 0) return Fail("open", conf);
  int qfd = openat(cfd, "open-requests", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (qfd < 0) return Fail("open", "open-requests");
  int64_t lastMs = 0;
  for (int i = 1; i < argc; ++i) {
    if (WriteRequest(qfd, argv[i], &lastMs) != 0) return 1;
  }
  close(qfd);
  close(cfd);
  return 0;
}
