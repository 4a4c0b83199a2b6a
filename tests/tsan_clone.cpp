// Linked into the test programs of the ThreadSanitizer build only (see
// tests/sanitizers.supp): QProcess starts its children with clone(), and
// ThreadSanitizer's own clone() wrapper (LLVM 14 to 16) fails its internal
// check in the child ("CHECK failed: tsan_rtl.cpp ... !thr->slot"), so that no
// child process ever ran. This clone() takes the wrapper's place and calls the
// C library's directly; the child only closes descriptors and runs exec, in
// Qt's code, which the sanitizer does not watch anyway.

#include <cstdarg>
#include <dlfcn.h>
#include <sys/types.h>

extern "C" int clone(int (*function)(void *), void *stack, int flags, void *argument, ...) {
  va_list more;
  va_start(more, argument);
  pid_t *parentTid = va_arg(more, pid_t *);
  void *tls = va_arg(more, void *);
  pid_t *childTid = va_arg(more, pid_t *);
  va_end(more);
  using Clone = int (*)(int (*)(void *), void *, int, void *, ...);
  static const Clone libc = reinterpret_cast<Clone>(dlsym(RTLD_NEXT, "clone"));
  return libc(function, stack, flags, argument, parentTid, tls, childTid);
}
