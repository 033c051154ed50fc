// Placeholder until the exception thread lands: no main-thread calls, so
// every caller takes the main thread as unreachable.
#include "zel_exception.h"

namespace zelExcept {

bool CallInMainThread(const std::function<void()>&, int) { return false; }

}  // namespace zelExcept
