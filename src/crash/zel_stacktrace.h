// The stack walker: turns a captured stack into the report's stack lines,
// most recent call first, each with its module, unit, line and function.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zel_capture.h"

namespace zelStackTrace {

// A value the walker is handed instead of scanning the stack (the stack
// a throw recorded, or a creator's stack at thread creation); an anchor is
// taken as a sure return address.
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

struct TProgress;

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

}  // namespace zelStackTrace
