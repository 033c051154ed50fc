// The stack walker: turns a captured stack into the report's stack lines,
// most recent call first, each with its module, unit, line and function.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zel_capture.h"

namespace zelStackTrace {

// A value the walker is handed instead of scanning the stack (the stack
// a throw recorded, or a creator's stack at thread creation); an anchor is
// taken as a sure return address. A preset list is in the order glibc's
// backtrace() gives: the most recent call first.
struct TPresetItem {
    bool Anchor = false;
    std::uint64_t Value = 0;
};

struct TWalkOptions {
    bool HideItemsWithoutLines = false;
    bool RelativeAddressColumn = true;
    bool RelativeLines = true;
    bool SkipLinkChains = false;
    // The thread raised a C++ exception: frames of the raise machinery
    // are cut from the top of the list.
    bool RaisedThroughRunTime = false;
};

// Progress of a long report: one phase per walked thread, weighted by its
// stack size. The popup showing it is the caller's: `Show` is called with
// the bar's position (0..1000) once the work has taken 751 ms and is not
// yet half done, and on every later change.
struct TProgress {
    struct Phase {
        std::uint64_t Start = 0;
        std::uint64_t Weight = 0;
    };
    bool Enabled = true;
    std::uint32_t StartTick = 0;
    std::vector<Phase> Phases;
    std::uint64_t TotalWeight = 0;
    std::size_t Current = 0;
    int Position = 0;       // within the current phase, 0..1000
    bool Shown = false;
    int Base = 0;           // overall position when the popup came up
    int LastShown = -1;
    std::function<std::uint32_t()> Clock;  // millisecond ticks
    std::function<void(int)> Show;
};

// Each does nothing when given no record.
TProgress* NewProgress(std::function<std::uint32_t()> clock = {}, std::function<void(int)> show = {});
void AddProgressPhase(TProgress* progress, std::uint64_t weight);
void SetProgress(TProgress* progress, int position);
void EndProgressPhase(TProgress* progress);
void FreeProgress(TProgress* progress);
// The overall position, 0..1000.
int OverallProgress(const TProgress* progress);

// The stack lines of one thread, separated by CR LF, without a leading or
// trailing line break. `exceptionAddress` (0 when none) is listed last, as
// the place of the fault; with `preset` the walker takes those values
// instead of scanning `stack`.
std::string WalkStack(const TWalkOptions& options, const zelCapture::TStackCapture& stack,
                      std::uint64_t exceptionAddress, const std::vector<TPresetItem>* preset,
                      TProgress* progress = nullptr, std::uint64_t* functionStart = nullptr,
                      std::uint64_t* shownAddress = nullptr);

// The one-line form of an address: its hex digits, then module, unit,
// line and function when known, or " ???".
std::string FormatStackLine(std::uint64_t address);

namespace testing {
// Called at the start of each phase with its name; tests make a phase fail.
extern void (*PhaseHook)(const char* phase);
}  // namespace testing

}  // namespace zelStackTrace
