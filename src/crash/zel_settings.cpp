#include "zel_settings.h"

namespace zelExcept {

TSettingsBlock& Settings() {
    static TSettingsBlock block;
    return block;
}

}  // namespace zelExcept
