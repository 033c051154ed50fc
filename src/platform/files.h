// File helpers every layer uses: whole-file reads, crash-safe writes and
// copies, listings by wildcard mask, and case-insensitive names.
// All data files of the program are written through WriteFileAtomic, so a
// crash at any moment leaves either the old or the new whole file.
//
// The mail store was designed on a file system that ignores case: folders
// are created as "Spam1" and "Addins" but code spells "spam1". Code that
// builds a name from text of unknown case resolves it with ResolveNoCase.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstddef>
#include <string>
#include <vector>

namespace platform {

// Reads the whole file; false when it cannot be opened or read.
bool ReadFile(const std::string& path, std::string& data);

// The lines of a text file's content, each ended by LF or CR LF (the ending
// not kept); a final line break adds no empty line.
std::vector<std::string> TextLines(const std::string& data);

// Writes all of the bytes to an open descriptor, riding over interrupted
// and partial writes; false on the first real error.
bool WriteAll(int fd, const char* p, size_t n);
bool WriteAll(int fd, const std::string& data);

// Writes data to a temp file beside path, fsyncs it, renames it over path
// and fsyncs the folder. On failure the old file is left as it was; a folder
// that cannot be synced counts as a failure though the new file is in place.
// These routines go through Env::Current(), so tests can inject faults.
bool WriteFileAtomic(const std::string& path, const std::string& data);

// fsync of a file or folder by name; false when it cannot be opened or synced.
bool SyncPath(const std::string& path);

// The entry of folder whose name equals `relative` regardless of case, one
// path component at a time ("spam1/x.dat" finds "Spam1/X.dat"). An exact
// match wins over others. Components that do not exist are kept as written,
// so the result can also be used to create a file. folder may or may not
// end in "/"; the result is folder + "/" + the resolved relative part.
std::string ResolveNoCase(const std::string& folder, const std::string& relative);

// Windows wildcard match, ignoring case: "*" any run of characters, "?"
// exactly one; "*.*" and "*" match every name.
bool MatchesMask(const std::string& name, const std::string& mask);

// Names (not paths) of the regular files in folder that match mask, sorted
// by name ignoring case. Empty when the folder does not exist.
std::vector<std::string> ListFiles(const std::string& folder, const std::string& mask);

// Deletes every regular file of folder that matches mask. True when none
// is left behind (a missing folder counts as done).
bool DeleteFiles(const std::string& folder, const std::string& mask);

// Env::CopyFile: copies src to dst keeping src's modification time through
// a synced temp file renamed over dst. A missing source, and a copy onto the
// same file under any name, fail. On failure dst is left as it was.
bool CopyFileKeepDate(const std::string& src, const std::string& dst);

bool FileExists(const std::string& path);     // a regular file
bool FolderExists(const std::string& path);
// Size of a regular file; false when it does not exist or cannot be examined.
bool FileSize(const std::string& path, std::int64_t& size);

// Modification time of a file or folder.
bool GetFileTime(const std::string& path, std::chrono::system_clock::time_point& time);
bool SetFileTime(const std::string& path, std::chrono::system_clock::time_point time);

// Files and folders of the program hold passwords and mail: they are made
// for their owner only, whatever the umask.
constexpr unsigned kPrivateFileMode = 0600;
constexpr unsigned kPrivateFolderMode = 0700;

// open(2) with O_CREAT and the private file mode; a file this call creates
// gets exactly that mode, one that was there keeps its own. -1 and errno
// as open(2).
int OpenPrivate(const std::string& path, int flags);

// mkdir(2) of one folder with the private folder mode, exactly; false and
// errno as mkdir(2).
bool MakePrivateFolder(const std::string& path);

// Takes group's and others' access away from path and, for a folder, from
// everything in it, its subfolders included; symbolic links are not
// followed. A line "<path>: <old mode> -> <new mode>" per entry changed is
// added to changed.
void TightenModes(const std::string& path, std::vector<std::string>& changed);

// Creates the folder with every missing parent. True when it exists
// afterwards; otherwise error (when given) says why.
bool CreateFolder(const std::string& path, std::string* error = nullptr);

}  // namespace platform
