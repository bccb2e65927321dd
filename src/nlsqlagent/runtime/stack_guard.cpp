// The re-entry guard's slow path: the thread's stack bounds, read once, and the off-stack count.
#include "stack_guard.hpp"

#include <pthread.h>

#include <algorithm>

namespace nlsqlagent::rt {
namespace {

/// Reads the calling thread's usable stack, [low, top), from the threads library: for the main thread it
/// follows the stack size limit (ulimit -s), for other threads the size they were made with
/// (threading.stack_size). The guard pages at the low end are not usable. False when it cannot be read.
bool read_stack_bounds(uintptr_t &low, uintptr_t &top) {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
  void *address = nullptr;
  size_t size = 0, guard = 0;
  const bool ok = pthread_attr_getstack(&attr, &address, &size) == 0 && pthread_attr_getguardsize(&attr, &guard) == 0;
  pthread_attr_destroy(&attr);
  if (!ok || size <= guard) return false;
  low = reinterpret_cast<uintptr_t>(address) + guard;
  top = reinterpret_cast<uintptr_t>(address) + size;
  return true;
}

[[gnu::cold]] Entry refuse() {
  PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
  return Entry::kRefused;
}

}  // namespace

Entry enter_native_call_slow(uintptr_t frame) noexcept {
  ThreadStack &s = thread_stack();
  if (!s.read) {
    s.read = true;
    uintptr_t low, top;
    if (read_stack_bounds(low, top)) {
      const uintptr_t size = top - low;
      const uintptr_t margin = std::min(std::max(size / 8, kStackMargin), size / 2);
      s.low = low;
      s.limit = low + margin;
      s.span = top - s.limit;
      if (frame - s.limit < s.span) return Entry::kOnStack;
    }
  }
  // In the margin of the thread's own stack: this entry could overflow it.
  if (s.limit != 0 && frame - s.low < s.limit - s.low) return refuse();
  // Off the known stack (or no bounds): nothing to measure against but the outermost such entry.
  if (s.off_stack_depth == 0) {
    s.off_stack_top = frame;
  } else if (s.off_stack_depth >= kMaxOffStackDepth ||
             (frame < s.off_stack_top && s.off_stack_top - frame > kOffStackSpan)) {
    return refuse();
  }
  ++s.off_stack_depth;
  return Entry::kCounted;
}

}  // namespace nlsqlagent::rt
