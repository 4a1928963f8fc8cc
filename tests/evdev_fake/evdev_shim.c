// Preloaded under the code under test to stand in for the pieces of the kernel
// that these machines lack. It changes nothing for ordinary files:
//  - EVIOCGBIT(0, 4) on a FIFO answers the event-type bitmap of an input
//    device: EV_SYN | EV_KEY, or the hex value in a side file "caps-<name>"
//    next to the FIFO ("fail" there makes the ioctl fail with ENOTTY).
//  - open() of a FIFO whose permission bits are all 0 fails with EACCES, as
//    it does for a user without access (the tests run as root).
//  - eventfd() fails with EMFILE while the file named by
//    CORVEL_FAKE_EVENTFD_FAIL exists.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

static void* NextSymbol(const char* name) {
  void* symbol = dlsym(RTLD_NEXT, name);
  if (symbol == NULL) {
    fprintf(stderr, "evdev_shim: no next %s\n", name);
    abort();
  }
  return symbol;
}

static int IsFifoPath(const char* path, mode_t* mode) {
  struct stat st;
  if (path == NULL || stat(path, &st) != 0 || !S_ISFIFO(st.st_mode)) return 0;
  *mode = st.st_mode;
  return 1;
}

static int RefusedByMode(const char* path) {
  mode_t mode;
  return IsFifoPath(path, &mode) && (mode & 07777) == 0;
}

typedef int (*OpenFn)(const char*, int, ...);

static int OpenThrough(const char* name, const char* path, int flags, va_list args) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) mode = va_arg(args, mode_t);
  if (RefusedByMode(path)) {
    errno = EACCES;
    return -1;
  }
  return ((OpenFn)NextSymbol(name))(path, flags, mode);
}

EXPORT int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  int fd = OpenThrough("open", path, flags, args);
  va_end(args);
  return fd;
}

EXPORT int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  int fd = OpenThrough("open64", path, flags, args);
  va_end(args);
  return fd;
}

// Reads the side file "caps-<name>" beside the FIFO behind `fd`. Returns 0 and
// sets *bits, or -1 when the device is to refuse the ioctl.
static int DeviceTypeBits(int fd, unsigned int* bits) {
  *bits = (1u << EV_SYN) | (1u << EV_KEY);
  char link[64];
  char path[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0) return 0;
  path[n] = '\0';
  char* slash = strrchr(path, '/');
  if (slash == NULL) return 0;
  char caps[4096 + 8];
  snprintf(caps, sizeof caps, "%.*s/caps-%s", (int)(slash - path), path, slash + 1);
  FILE* file = fopen(caps, "re");
  if (file == NULL) return 0;
  char text[32] = {0};
  if (fgets(text, sizeof text, file) == NULL) text[0] = '\0';
  fclose(file);
  if (strncmp(text, "fail", 4) == 0) return -1;
  *bits = (unsigned int)strtoul(text, NULL, 16);
  return 0;
}

typedef int (*IoctlFn)(int, unsigned long, ...);

EXPORT int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  struct stat st;
  if (request == EVIOCGBIT(0, 4) && fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
    unsigned int bits;
    if (DeviceTypeBits(fd, &bits) != 0) {
      errno = ENOTTY;
      return -1;
    }
    memcpy(arg, &bits, sizeof bits);
    return (int)sizeof bits;
  }
  return ((IoctlFn)NextSymbol("ioctl"))(fd, request, arg);
}

typedef int (*EventfdFn)(unsigned int, int);

EXPORT int eventfd(unsigned int count, int flags) {
  const char* trigger = getenv("CORVEL_FAKE_EVENTFD_FAIL");
  if (trigger != NULL && *trigger != '\0' && access(trigger, F_OK) == 0) {
    errno = EMFILE;
    return -1;
  }
  return ((EventfdFn)NextSymbol("eventfd"))(count, flags);
}
