// A temporary folder for one test, removed with everything in it afterwards.
#pragma once

#include <string>

namespace twtest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder, with a trailing "/".
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + name; }

    // Writes a file below the folder (parents must exist).
    void Write(const std::string& name, const std::string& data) const;
    std::string Read(const std::string& name) const;

private:
    std::string path_;
};

}  // namespace twtest
