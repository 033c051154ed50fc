// What the crash library's own units share: the thread list (names, stack
// bounds, creators), the throw sites, and the interception switches.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "zel_exception.h"

namespace zelExcept::internal {

constexpr int kMaxFrames = 64;

// The stack of the last throw of the calling thread (return addresses,
// innermost first), recorded by the __cxa_throw interposition.
struct TThrowSite {
    int Count = 0;
    std::uint64_t Frames[kMaxFrames];
};
TThrowSite& CurrentThrowSite();
// Return addresses of the caller's stack, innermost first (skipping `skip`).
int Backtrace(std::uint64_t* frames, int capacity, int skip);

struct TThreadEntry {
    std::string Name;                  // empty: unnamed; "-": hidden
    std::uint64_t StackLow = 0, StackHigh = 0;
    pid_t Creator = 0;                 // 0: not created through our hook
    std::vector<std::uint64_t> CreatorStack;
};
// Copies; the lookup waits at most 50 ms for the list and then answers
// as if the thread were unknown.
bool FindThread(pid_t tid, TThreadEntry& entry);
void UpdateThread(pid_t tid, const TThreadEntry& entry);
void RemoveThread(pid_t tid);

pid_t CurrentTid();
pid_t MainTid();
pid_t ExceptionTid();

// Set once interception is installed; the hooks pass straight through
// before that and after finalisation.
extern std::atomic<bool> g_hooksOn;

// Per-thread top of the stack for the capture signal (0: unknown).
void SetStackTopOfThisThread(std::uint64_t top);

// The alternate signal stack of the calling thread: installed unless one
// big enough is there; Remove undoes only what Install did.
void InstallAltStack();
void RemoveAltStack();

// Entry of an exception that escaped a thread function started through
// our pthread_create.
void ThreadFunctionFailed();

// The reporting bound stops counting between these two (a dialog that
// waits for a person); they nest.
void WatchPause();
void WatchResume();

// Whether the main thread is held by a fault of its own while the
// exception thread serves another request: it will run nothing more, so
// whatever waits for it gives up. Stays true (the process ends).
bool MainThreadHeld();

// Make sure the interposing definitions are linked into the program.
void LinkThreadHooks();
void LinkThrowHooks();

// Snapshots of the threads a report lists: `first` (with its registers
// when it is stopped in a signal handler, and its throw site), then the
// main thread, then every other thread when `allThreads`; hidden threads,
// the exception thread and the calling thread are left out.
std::vector<TThreadSnapshot> TakeSnapshots(pid_t first, const zelCapture::TRegisters* firstRegs,
                                           const std::vector<zelStackTrace::TPresetItem>& firstPreset,
                                           bool allThreads);

// The capture signal: installed at start-up, removed at finalisation.
void InstallCaptureSignal();
void RemoveCaptureSignal();

}  // namespace zelExcept::internal
