#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace twtest {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tw_platform_XXXXXX";
    char* made = ::mkdtemp(pattern.data());
    if (!made) {
        ADD_FAILURE() << "cannot create a temporary folder";
        path_ = "/nonexistent/";
        return;
    }
    path_ = std::string(made) + "/";
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void TempDir::Write(const std::string& name, const std::string& data) const {
    std::ofstream out(path_ + name, std::ios::binary | std::ios::trunc);
    out << data;
    ASSERT_TRUE(out.good()) << name;
}

std::string TempDir::Read(const std::string& name) const {
    std::ifstream in(path_ + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace twtest
