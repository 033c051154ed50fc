// The version of an add-in library as the add-in window lists it.
#pragma once

#include <string>

namespace Addins {

// "major.minor.release.build" of a library: the version of its ELF SONAME
// ("libx.so.1.2" gives "1.2.0.0"); "1.0.0.0" when the SONAME carries no
// version; empty when the file has no SONAME or is no shared library.
std::string GetFileVersion(const std::string& path);

}  // namespace Addins
