// One application object per test process, created on first use: Qt allows
// only one, and every test case may be the first to run.
#pragma once

#include "platform/application.h"

#include <chrono>
#include <functional>

namespace twtest {

platform::Application& App();

// Runs the event loop until done() or the time is up; true when done().
bool RunUntil(const std::function<bool()>& done, int maxMilliseconds = 5000);

}  // namespace twtest
