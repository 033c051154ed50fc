// Throw sites: every C++ throw of the program passes here first, so that a
// report of an escaped exception can show where it was thrown, not only
// where it was caught. The run time's (or the sanitizer's) own routine is
// the next definition in the lookup order.
#include <dlfcn.h>
#include <unwind.h>

#include <cstdint>

#include "zel_except_internal.h"

namespace zelExcept::internal {

namespace {

struct TUnwindState {
    std::uint64_t* Frames;
    int Capacity;
    int Skip;
    int Count;
};

_Unwind_Reason_Code CollectFrame(struct _Unwind_Context* context, void* arg) {
    auto* state = static_cast<TUnwindState*>(arg);
    const std::uint64_t ip = _Unwind_GetIP(context);
    if (ip == 0) return _URC_END_OF_STACK;
    if (state->Skip > 0) {
        --state->Skip;
        return _URC_NO_REASON;
    }
    if (state->Count >= state->Capacity) return _URC_END_OF_STACK;
    state->Frames[state->Count++] = ip;
    return _URC_NO_REASON;
}

thread_local TThrowSite t_throwSite;

void RecordThrowSite(bool keepExisting) {
    if (!g_hooksOn.load(std::memory_order_relaxed)) return;
    TThrowSite& site = t_throwSite;
    if (keepExisting && site.Count > 0) return;
    // Skips this routine and the interposed entry itself.
    site.Count = Backtrace(site.Frames, kMaxFrames, 2);
}

using TThrowFn = void (*)(void*, void*, void (*)(void*));
using TRethrowFn = void (*)();

template <typename Fn>
Fn Next(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

int Backtrace(std::uint64_t* frames, int capacity, int skip) {
    TUnwindState state{frames, capacity, skip + 1, 0};
    _Unwind_Backtrace(&CollectFrame, &state);
    return state.Count;
}

TThrowSite& CurrentThrowSite() { return t_throwSite; }

void LinkThrowHooks() {
    // Resolved here, at start-up, rather than at the first throw.
    (void)Next<TThrowFn>("__cxa_throw");
}

}  // namespace zelExcept::internal

extern "C" {

[[noreturn]] void __cxa_throw(void* object, void* type, void (*destructor)(void*)) {
    static const auto next = zelExcept::internal::Next<zelExcept::internal::TThrowFn>("__cxa_throw");
    zelExcept::internal::RecordThrowSite(false);
    next(object, type, destructor);
    __builtin_unreachable();
}

// A rethrow keeps the stack of the original throw.
[[noreturn]] void __cxa_rethrow() {
    static const auto next = zelExcept::internal::Next<zelExcept::internal::TRethrowFn>("__cxa_rethrow");
    zelExcept::internal::RecordThrowSite(true);
    next();
    __builtin_unreachable();
}

}  // extern "C"
