// The re-entry guard's slow path: the thread's stack bounds, read once, and the runs of entries off them.
#include "stack_guard.hpp"

#include <pthread.h>

#include <algorithm>

#include "../compat.hpp"
#include "../ref.hpp"

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

/// The margin a stack of `size` usable bytes keeps free (stack_guard.hpp): from 3.14 measured from the line
/// where the interpreter's own checks start to refuse.
uintptr_t margin_for(uintptr_t size) {
  return std::min(std::max(size / 8, kStackMargin + NLSA_INTERPRETER_STACK_RESERVE), size / 2);
}

[[gnu::cold]] Entry refuse() {
  PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
  return Entry::kRefused;
}

constexpr const char kRunCapsule[] = "nlsqlagent.off_stack_run";

void free_run(PyObject *capsule) { PyMem_RawFree(PyCapsule_GetPointer(capsule, kRunCapsule)); }

/// The calling thread state's off-stack run, kept in the thread state's dictionary (the place CPython gives
/// extensions for such state: it lives and dies with the thread state); made on first use. Null with an
/// exception set.
[[gnu::cold]] OffStackRun *off_stack_run() {
  static PyObject *key = nullptr;  // the dictionary key, interned once and kept for the process
  if (key == nullptr) {
    key = PyUnicode_InternFromString(kRunCapsule);
    if (key == nullptr) return nullptr;
  }
  PyObject *dict = PyThreadState_GetDict();  // borrowed
  if (dict == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  if (PyObject *held = PyDict_GetItemWithError(dict, key)) {  // borrowed
    return static_cast<OffStackRun *>(PyCapsule_GetPointer(held, kRunCapsule));
  }
  if (PyErr_Occurred()) return nullptr;
  auto *run = static_cast<OffStackRun *>(PyMem_RawCalloc(1, sizeof(OffStackRun)));  // zeroed: no run
  if (run == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  Ref capsule = Ref::steal(PyCapsule_New(run, kRunCapsule, free_run));
  if (!capsule) {
    PyMem_RawFree(run);
    return nullptr;
  }
  if (PyDict_SetItem(dict, key, capsule.get()) < 0) return nullptr;  // the capsule frees the run
  return run;
}

}  // namespace

Entry enter_native_call_slow(uintptr_t frame, OffStackMark &mark) noexcept {
  ThreadStack &s = thread_stack();
  if (!s.read) {
    s.read = true;
    uintptr_t low, top;
    if (read_stack_bounds(low, top)) {
      s.low = low;
      s.limit = low + margin_for(top - low);
      s.span = top - s.limit;
      if (on_own_stack(frame)) return Entry::kOnStack;
    }
  }
  // In the margin of the thread's own stack: this entry could overflow it.
  if (s.limit != 0 && frame - s.low < s.limit - s.low) return refuse();
  // Off the thread's own stack (or no bounds): measured from the outermost entry of this thread state's run.
  OffStackRun *run = off_stack_run();
  if (run == nullptr) return Entry::kRefused;
  mark.run = run;
  mark.saved = *run;
  if (run->depth == 0 || frame > run->top) {
    // The first entry of a run, or an entry on another stack that lies above the run's (a switch to another
    // coroutine under the same thread state): a fresh measure, which this entry's leave puts back.
    run->top = frame;
    run->depth = 1;
    return Entry::kCounted;
  }
  if (run->depth >= kMaxOffStackDepth || run->top - frame > kOffStackSpan) return refuse();
  ++run->depth;
  return Entry::kCounted;
}

}  // namespace nlsqlagent::rt
