// Programs that test windows make their QApplication before the first test,
// so that set-up shared with the engine's tests (which makes a bare
// QCoreApplication when none is there) finds the widget one in place.
#include "test_app.h"

#include <gtest/gtest.h>

namespace {

class QtAppEnvironment : public ::testing::Environment {
public:
    void SetUp() override { twtest::EnsureQtApp(); }
};

[[maybe_unused]] ::testing::Environment* const registered =
    ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

}  // namespace
