// The one installed events sink.
#include "transport/events.h"

namespace events {
namespace {

TNoEvents& Nothing() {
    static TNoEvents sink;
    return sink;
}

TEngineEvents* installed = nullptr;

}  // namespace

void Set(TEngineEvents* sink) { installed = sink; }

TEngineEvents& Get() { return installed != nullptr ? *installed : Nothing(); }

void Unset(TEngineEvents* sink) {
    if (installed == sink) installed = nullptr;
}

}  // namespace events
