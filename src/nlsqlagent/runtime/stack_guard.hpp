// The guard on native re-entry: a method whose callee calls it again must end in RecursionError, never in a
// C-stack overflow, whatever stack the call runs on.
#pragma once

#include <Python.h>

#include <cstdint>

namespace nlsqlagent::rt {

/// Room kept free below each method entry on a thread's own stack: what one trip through a method and the
/// interpreter below it take before the next entry checks again (0.8 to 0.9 KiB per trip back to the same
/// method on release interpreters 3.7 to 3.13, 1.1 KiB on a 3.11 debug interpreter), and what raising the
/// error, unwinding the entries above and handling it in the refused caller take. Measured with the margin
/// lowered until re-entry crashed, on threads of 32 KiB to 1 MiB and the main thread, limits 1,000 and
/// 50,000: raising and unwinding fit in 4 KiB on 3.7 and 3.11; a caller that formats the traceback needs up to
/// 8 KiB, one that logs it with logging.exception up to 16 KiB (3.7). This is twice that. Debug builds get
/// twice the room, for the larger frames of their C code. Stacks over 256 KiB keep an eighth free, for callers
/// that handle the error with deep C recursion of their own; a stack under twice this size keeps half. From
/// 3.14, where the interpreter keeps a margin of its own at the stack's end, the room is counted above it.
#ifdef Py_DEBUG
constexpr uintptr_t kStackMargin = 64 * 1024;
#else
constexpr uintptr_t kStackMargin = 32 * 1024;
#endif

/// How deep native entries may nest on a stack whose bounds are not known (they could not be read, or the
/// call runs on a stack of a coroutine's own, made with makecontext): as many entries as a default stack held
/// before, and no more than kOffStackSpan bytes below the outermost entry of the run, which leaves a stack of
/// 128 KiB and up room to handle the refusal.
constexpr int kMaxOffStackDepth = 3000;
constexpr uintptr_t kOffStackSpan = 48 * 1024;

/// The calling thread's own stack as the guard sees it, read once per thread. [limit, limit + span) is where
/// an entry may start; [low, limit) is the margin, and below `low` the stack ends.
struct ThreadStack {
  uintptr_t limit = 0;  // 0 while the bounds are unknown: every entry then takes the slow path
  uintptr_t span = 0;
  uintptr_t low = 0;
  bool read = false;  // the bounds were read (or could not be)
};

/// The calling thread's record. Global-dynamic TLS, through descriptors where the build can use them
/// (CMakeLists.txt): the module is loaded with dlopen, after start-up, when the static TLS that an
/// initial-exec variable needs may be used up. A descriptor that glibc could place in static TLS after all
/// costs an indirect call of two instructions.
inline ThreadStack &thread_stack() noexcept {
  static thread_local ThreadStack stack;
  return stack;
}

/// A run of nested entries off the thread's own stack, kept per thread state (each coroutine that runs Python
/// on a stack of its own has a thread state of its own): the stack pointer of its outermost entry and how
/// many entries it holds.
struct OffStackRun {
  uintptr_t top = 0;
  int depth = 0;
};

/// What an entry off the thread's own stack saw on entry, and puts back when it leaves.
struct OffStackMark {
  OffStackRun *run = nullptr;  // borrowed from the thread state's dictionary, which outlives the entry
  OffStackRun saved;
};

enum class Entry : uint8_t { kRefused, kOnStack, kCounted };

/// Whether an entry whose stack pointer is `frame` lies on the thread's own stack, above the margin.
inline bool on_own_stack(uintptr_t frame) noexcept {
  const ThreadStack &s = thread_stack();
  return frame - s.limit < s.span;  // unsigned: also false below limit or above the top
}

/// The rest of the check, for an entry that on_own_stack() did not pass: reads the bounds on a thread's first
/// entry, raises RecursionError in the margin, and measures an entry off the thread's own stack against the
/// run it belongs to. kRefused with an exception set; kCounted entries must be ended by leave_off_stack(mark).
[[gnu::noinline]] Entry enter_native_call_slow(uintptr_t frame, OffStackMark &mark) noexcept;

/// Ends an entry that enter_native_call_slow counted: the run is as the entry found it.
inline void leave_off_stack(const OffStackMark &mark) noexcept { *mark.run = mark.saved; }

/// The stack pointer of the calling function (inlined into it): what the guard measures. Read directly, not as
/// a local's address, which a sanitizer may move off the stack, nor as a frame address, which would make the
/// caller set up a frame.
[[gnu::always_inline]] inline uintptr_t stack_pointer() noexcept {
#if defined(__x86_64__)
  uintptr_t sp;
  asm volatile("mov %%rsp, %0" : "=r"(sp));
  return sp;
#elif defined(__aarch64__)
  uintptr_t sp;
  asm volatile("mov %0, sp" : "=r"(sp));
  return sp;
#else
  return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
#endif
}

}  // namespace nlsqlagent::rt
