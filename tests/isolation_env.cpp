// Keeps every test of a test program away from the machine's own places for
// the program's whole run: the home folder (and with it the desktop's
// autostart folder, the caches and the settings of libraries) and, where the
// program links the application, the system's service folder point into one
// temporary folder, removed at exit, and no service command runs. A test
// that injects its own places still does; one that forgets writes here, not
// into the home of the person running the tests.
#ifdef TW_TEST_LINKS_APP
#include "settings/service.h"
#endif

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

class HomeIsolation : public ::testing::Environment {
public:
    void SetUp() override {
        char pattern[] = "/tmp/tw_test_home_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        setenv("HOME", dir_.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir_ + "/.config").c_str(), 1);
        setenv("XDG_CACHE_HOME", (dir_ + "/.cache").c_str(), 1);
        setenv("XDG_DATA_HOME", (dir_ + "/.local/share").c_str(), 1);
#ifdef TW_TEST_LINKS_APP
        service::SetFallbackForTesting({dir_ + "/.config/autostart", dir_ + "/systemd", dir_ + "/tarnwick"},
                                       [](const std::vector<std::string>&) { return 0; });
#endif
    }
    void TearDown() override {
#ifdef TW_TEST_LINKS_APP
        service::SetFallbackForTesting({}, nullptr);
#endif
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }

private:
    std::string dir_;
};

[[maybe_unused]] ::testing::Environment* const isolation = ::testing::AddGlobalTestEnvironment(new HomeIsolation);

}  // namespace
