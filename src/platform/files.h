// File helpers every layer uses: whole-file reads, crash-safe writes.
// All data files of the program are written through WriteFileAtomic, so a
// crash at any moment leaves either the old or the new whole file.
#pragma once

#include <string>

namespace platform {

// Reads the whole file; false when it cannot be opened or read.
bool ReadFile(const std::string& path, std::string& data);

// Writes data to a temp file beside path, fsyncs it, renames it over path
// and fsyncs the folder. On failure the old file is left as it was.
bool WriteFileAtomic(const std::string& path, const std::string& data);

// fsync of a file or folder by name; false when it cannot be opened or synced.
bool SyncPath(const std::string& path);

}  // namespace platform
