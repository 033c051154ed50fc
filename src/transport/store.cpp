// Mail store: folders, names, stamps and the writers that never overwrite.
#include "transport/store.h"

#include "codecs/qev_util.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/globals.h"
#include "transport/folder_index.h"
#include "transport/message_rewrite.h"
#include "transport/ports_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace smtp {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && EqualNoCase(text.substr(text.size() - tail.size()), tail);
}

std::string Pad(long value, int width) {
    std::string s = std::to_string(value);
    if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<size_t>(width) - s.size(), '0');
    return s;
}

std::mt19937& Rng() {
    static auto& rng = *new std::mt19937{std::random_device{}()};
    return rng;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

template <typename F>
void ForEachEntry(const std::string& folderPath, F f) {
    DIR* dir = ::opendir(folderPath.c_str());
    if (!dir) return;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (!f(name)) break;
    }
    ::closedir(dir);
}

std::string FolderOfPath(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

// A temp file beside target; names starting with "~" and ending in ".tmp"
// match no listing of the store.
std::string TempNameBeside(const std::string& path) {
    // The committer's workers make temp files too: each thread draws its
    // own numbers.
    thread_local std::mt19937 rng{std::random_device{}()};
    return FolderOfPath(path) + "~tw" + std::to_string(::getpid()) + "-" +
           std::to_string(rng()) + ".tmp";
}

platform::Env& Fs() { return *platform::Env::Current(); }

// A fresh temp file beside pathBeside, created exclusively; empty text when
// none can be made.
std::string NewTemp(const std::string& pathBeside, std::unique_ptr<platform::WritableFile>& file) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::string tmp = TempNameBeside(pathBeside);
        const platform::FsStatus s = Fs().NewWritableFile(tmp, platform::CreateMode::Exclusive, file);
        if (s.ok()) return tmp;
        if (s.error != EEXIST) break;
    }
    return std::string();
}

// Syncs and closes file; on any failure (a write before included) removes tmp.
bool FinishTemp(std::unique_ptr<platform::WritableFile>& file, const std::string& tmp, bool ok) {
    if (ok) ok = file->Sync().ok();
    ok = file->Close().ok() && ok;
    file.reset();
    if (!ok) Fs().Unlink(tmp);
    return ok;
}

// Writes data to a fresh temp file in folderPath, synced; returns its name.
std::string WriteTemp(const std::string& pathBeside, const std::string& data) {
    std::unique_ptr<platform::WritableFile> file;
    std::string tmp = NewTemp(pathBeside, file);
    if (tmp.empty()) return tmp;
    return FinishTemp(file, tmp, file->Append(data).ok()) ? tmp : std::string();
}

// By exact names: the out/ states an id can have, the mailbox copies in the
// kept listing of in/, and the kept ports.dat. Listing the folders per
// candidate cost more than the message itself once the queue was long.
bool QueueIdTaken(const std::string& id) {
    const std::string out = StoreFolder(FolderOut) + id;
    for (const char* state : {StateReceiving, StateQueued, StateFailed, StateSent, StateSuspended}) {
        struct stat st {};
        if (::lstat((out + state).c_str(), &st) == 0) return true;
    }
    if (KeptFolder(FolderIn).HasStamp(id)) return true;
    return Ports().SectionExists(id);
}

std::string Candidate(const std::string& stamp, int n) {
    return n == 0 ? stamp : stamp + std::to_string(n);
}

// Ids held for files not yet made, in lower case (ports.dat's sections,
// which also name them, compare without case).
std::mutex reservedMutex;
std::set<std::string>& Reserved() {
    static auto& reserved = *new std::set<std::string>;
    return reserved;
}

bool IsReserved(const std::string& id) {
    std::lock_guard<std::mutex> lock(reservedMutex);
    return Reserved().count(qev_util::LowerCase(id)) > 0;
}

}  // namespace

const std::vector<std::string>& StoreFolderNames() {
    static const std::vector<std::string> names = {FolderAddins,  FolderIn,         FolderOut,
                                                   FolderSpam1,   FolderSpam2,      FolderDeleted,
                                                   FolderWebDeleted, FolderWebSent, FolderWebSaved};
    return names;
}

std::string StoreFolder(const std::string& name) {
    std::string exact = ProgramDir + name;
    if (IsDirectory(exact)) return exact + "/";
    std::string found;
    ForEachEntry(ProgramDir, [&](const std::string& entry) {
        if (EqualNoCase(entry, name) && IsDirectory(ProgramDir + entry)) found = entry;
        return found.empty();
    });
    return ProgramDir + (found.empty() ? name : found) + "/";
}

bool CreateStoreFolders(const std::vector<std::string>& names, std::string* failed) {
    for (const auto& name : names) {
        std::string path = StoreFolder(name);
        path.pop_back();
        if (IsDirectory(path)) continue;
        // ProgramDir itself may be missing on a fresh home.
        std::string partial;
        bool ok = true;
        for (size_t i = 1; i <= path.size(); ++i) {
            if (i == path.size() || path[i] == '/') {
                partial = path.substr(0, i);
                if (!IsDirectory(partial) && !platform::MakePrivateFolder(partial) && errno != EEXIST) {
                    ok = false;
                    break;
                }
            }
        }
        if (!ok || !IsDirectory(path)) {
            if (failed) *failed = name;
            return false;
        }
    }
    return true;
}

std::string TimeStamp() {
    auto t = platform::NowLocal();
    return Pad(t.hour, 2) + Pad(t.minute, 2) + Pad(t.second, 2) + Pad(t.millisecond, 3);
}

std::string DateTimeStamp() {
    auto t = platform::NowLocal();
    return Pad(t.year, 4) + Pad(t.month, 2) + Pad(t.day, 2) + Pad(t.hour, 2) + Pad(t.minute, 2) +
           Pad(t.second, 2) + Pad(t.millisecond, 3);
}

int Random(int range) {
    if (range <= 1) return 0;
    return std::uniform_int_distribution<int>(0, range - 1)(Rng());
}

std::string WebQueueId() { return DateTimeStamp() + Pad(Random(100000), 5); }

std::string NoticeStamp() { return std::to_string(Random(10000000)); }

std::string MailboxFileName(const std::string& user, const std::string& stamp) {
    return user + "_" + stamp + MailboxSuffix;
}

bool IsUserFile(const std::string& fileName, const std::string& user, const std::string& suffix) {
    if (user.empty() || fileName.size() <= user.size() + 1 + suffix.size()) return false;
    if (!EqualNoCase(fileName.substr(0, user.size()), user) || fileName[user.size()] != '_') return false;
    if (!EndsWithNoCase(fileName, suffix)) return false;
    std::string stamp = fileName.substr(user.size() + 1, fileName.size() - user.size() - 1 - suffix.size());
    return !stamp.empty() && stamp.find('_') == std::string::npos;
}

std::vector<std::string> ListFiles(const std::string& folderPath, const std::string& suffix) {
    std::vector<std::string> files;
    ForEachEntry(folderPath, [&](const std::string& name) {
        struct stat st {};
        if (EndsWithNoCase(name, suffix) && ::stat((folderPath + name).c_str(), &st) == 0 &&
            S_ISREG(st.st_mode))
            files.push_back(name);
        return true;
    });
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::string> ListUserFiles(const std::string& folderPath, const std::string& user,
                                       const std::string& suffix) {
    std::vector<std::string> files = ListFiles(folderPath, suffix);
    std::erase_if(files, [&](const std::string& f) { return !IsUserFile(f, user, suffix); });
    return files;
}

std::string CreateQueueFile(const std::string& id, const std::string& state) {
    std::string out = StoreFolder(FolderOut);
    for (int n = 0; n < 1000; ++n) {
        std::string candidate = Candidate(id, n);
        if (IsReserved(candidate) || QueueIdTaken(candidate)) continue;
        std::string path = out + candidate + state;
        std::unique_ptr<platform::WritableFile> file;
        const platform::FsStatus s = Fs().NewWritableFile(path, platform::CreateMode::Exclusive, file);
        if (s.error == EEXIST) continue;
        if (!s.ok()) return std::string();
        if (!file->Close().ok()) {
            Fs().Unlink(path);
            return std::string();
        }
        return candidate;
    }
    return std::string();
}

std::string ReserveQueueId(const std::string& id) {
    for (int n = 0; n < 1000; ++n) {
        std::string candidate = Candidate(id, n);
        if (IsReserved(candidate) || QueueIdTaken(candidate)) continue;
        std::lock_guard<std::mutex> lock(reservedMutex);
        if (Reserved().insert(qev_util::LowerCase(candidate)).second) return candidate;
    }
    return std::string();
}

void ReleaseQueueId(const std::string& id) {
    std::lock_guard<std::mutex> lock(reservedMutex);
    Reserved().erase(qev_util::LowerCase(id));
}

std::string CopyToTemp(const std::string& source, const std::string& target, std::int64_t insertAt,
                       const std::string& insert);

namespace {

// A synced temp file of folderPath under its first free name there (the
// folder synced too when asked); the temp name goes either way.
std::string NameTemp(const std::string& tmp, const std::string& folderPath, const std::string& prefix,
                     const std::string& stamp, const std::string& suffix, bool syncFolder) {
    if (tmp.empty()) return std::string();
    std::string result = syncFolder ? PublishNewFile(tmp, folderPath, prefix, stamp, suffix)
                                    : LinkNewFile(tmp, folderPath, prefix, stamp, suffix);
    Fs().Unlink(tmp);
    return result;
}

std::string CopyToNewName(const std::string& source, const std::string& folderPath, const std::string& prefix,
                          const std::string& stamp, const std::string& suffix, const std::string& append,
                          bool syncFolder) {
    std::int64_t end = -1;
    if (!append.empty() && !platform::FileSize(source, end)) return std::string();
    return NameTemp(CopyToTemp(source, folderPath + "x", end, append), folderPath, prefix, stamp, suffix,
                    syncFolder);
}

}  // namespace

std::string WriteNewFile(const std::string& folderPath, const std::string& prefix,
                         const std::string& stamp, const std::string& suffix,
                         const std::string& content) {
    return NameTemp(WriteTemp(folderPath + "x", content), folderPath, prefix, stamp, suffix, true);
}

std::string WriteNewFileUnsynced(const std::string& folderPath, const std::string& prefix,
                                 const std::string& stamp, const std::string& suffix,
                                 const std::string& content) {
    return NameTemp(WriteTemp(folderPath + "x", content), folderPath, prefix, stamp, suffix, false);
}

std::string CopyToNewFile(const std::string& source, const std::string& folderPath, const std::string& prefix,
                          const std::string& stamp, const std::string& suffix, const std::string& append) {
    return CopyToNewName(source, folderPath, prefix, stamp, suffix, append, true);
}

std::string CopyToNewFileUnsynced(const std::string& source, const std::string& folderPath, const std::string& prefix,
                                  const std::string& stamp, const std::string& suffix, const std::string& append) {
    return CopyToNewName(source, folderPath, prefix, stamp, suffix, append, false);
}

std::string LinkNewFile(const std::string& tmp, const std::string& folderPath, const std::string& prefix,
                        const std::string& stamp, const std::string& suffix, platform::FsStatus* failure) {
    platform::FsStatus s;
    for (int n = 0; n < 1000; ++n) {
        std::string path = folderPath + prefix + Candidate(stamp, n) + suffix;
        // link() publishes the whole file under the name, or fails when the
        // name is taken: nothing is ever overwritten.
        s = Fs().Link(tmp, path);
        if (s.ok()) return path;
        if (s.error != EEXIST) break;
    }
    if (failure != nullptr) *failure = s;
    return std::string();
}

std::string PublishNewFile(const std::string& tmp, const std::string& folderPath, const std::string& prefix,
                           const std::string& stamp, const std::string& suffix) {
    std::string result = LinkNewFile(tmp, folderPath, prefix, stamp, suffix);
    // The name must be on disk too before anyone is told the file is
    // there; a folder that cannot be synced counts as a failed write, and
    // the name goes again so that no reader takes it for a message.
    if (!result.empty() && !Fs().SyncFolder(folderPath).ok()) {
        Fs().Unlink(result);
        return std::string();
    }
    return result;
}

std::string WriteMailboxFile(const std::string& folderName, const std::string& user,
                             const std::string& stamp, const std::string& content) {
    return WriteNewFile(StoreFolder(folderName), user + "_", stamp, MailboxSuffix, content);
}

std::string WriteQueueFile(const std::string& id, const std::string& content) {
    std::string out = StoreFolder(FolderOut);
    std::string tmp = WriteTemp(out + "x", content);
    if (tmp.empty()) return std::string();
    std::string result;
    for (int n = 0; n < 1000 && result.empty(); ++n) {
        std::string candidate = Candidate(id, n);
        if (QueueIdTaken(candidate)) continue;
        const platform::FsStatus s = Fs().Link(tmp, out + candidate + StateQueued);
        if (s.ok()) result = candidate;
        else if (s.error != EEXIST) break;
    }
    Fs().Unlink(tmp);
    if (!result.empty() && !Fs().SyncFolder(out).ok()) {
        Fs().Unlink(out + result + StateQueued);
        return std::string();
    }
    return result;
}

std::string PortsFileName() { return ProgramDir + "ports.dat"; }

bool WritePortsValue(const std::string& section, const std::optional<std::string>& key,
                     const std::string& value) {
    if (section.empty()) return false;
    if (!key) return Ports().EraseSection(platform::IniSafe(section));
    return Ports().WriteString(section, *key, value);
}

bool WritePortsValues(const std::string& section, const std::vector<std::pair<std::string, std::string>>& values) {
    if (section.empty()) return false;
    return Ports().WriteStrings(section, values);
}

bool WritePortsSection(const std::string& section,
                       const std::vector<std::pair<std::string, std::string>>& values) {
    if (section.empty()) return false;
    return Ports().ReplaceSection(section, values);
}

void WritePortsValuesLater(const std::string& section,
                           const std::vector<std::pair<std::string, std::string>>& values) {
    if (!section.empty()) Ports().WriteStringsLater(section, values);
}

void ErasePortsSectionLater(const std::string& section, const std::string& syncFirst) {
    if (!section.empty()) Ports().EraseSectionLater(platform::IniSafe(section), syncFirst);
}

bool WritePortsValuesKept(const std::string& section,
                          const std::vector<std::pair<std::string, std::string>>& values) {
    if (section.empty()) return false;
    return Ports().WriteStringsKept(section, values);
}

bool FlushPorts(const std::string& syncFirst) { return Ports().FlushAll(syncFirst); }

std::string ReadPortsValue(const std::string& section, const std::string& key) {
    if (section.empty()) return std::string();
    return Ports().ReadString(section, key, "");
}

std::string Chomp(std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.pop_back();
    return s;
}

std::string TrimBlanks(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

bool StartsWithNoCase(const std::string& text, const std::string& head) {
    if (text.size() < head.size()) return false;
    for (size_t i = 0; i < head.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != head[i]) return false;
    }
    return true;
}

std::string StripAngleBrackets(const std::string& address) {
    std::string result;
    for (char c : address)
        if (c != '<' && c != '>') result += c;
    return result;
}

// Streams source into a fresh temp file beside target, with `insert` put in
// at byte offset insertAt (-1: nowhere), synced; returns its name, or empty
// text on failure.
std::string CopyToTemp(const std::string& source, const std::string& target, std::int64_t insertAt,
                       const std::string& insert) {
    std::unique_ptr<platform::SequentialFile> in;
    if (!Fs().NewSequentialFile(source, in).ok()) return std::string();
    std::unique_ptr<platform::WritableFile> out;
    std::string tmp = NewTemp(target, out);
    if (tmp.empty()) return tmp;
    const bool ok = rewrite::CopyWithInsertions(*in, *out, {rewrite::Insertion{insertAt, insert}}).ok();
    return FinishTemp(out, tmp, ok) ? tmp : std::string();
}

bool CopyFileKeepDate(const std::string& source, const std::string& target) {
    return Fs().CopyFile(source, target).ok();
}

std::vector<std::string> RemoveCrashLeftovers() {
    auto tmpWithDigits = [](const std::string& name) {
        size_t at = name.rfind(".tmp");
        if (at == std::string::npos || at + 4 == name.size()) return false;
        return name.find_first_not_of("0123456789", at + 4) == std::string::npos;
    };
    std::vector<std::string> removed;
    auto sweep = [&](const std::string& folderPath, const std::string& shown, bool store, bool receiving) {
        std::vector<std::string> doomed;
        ForEachEntry(folderPath, [&](const std::string& name) {
            const bool leftover =
                tmpWithDigits(name) || EndsWithNoCase(name, ".$$$") ||
                (store && name.rfind("~tw", 0) == 0 && EndsWithNoCase(name, ".tmp")) ||
                (store && EndsWithNoCase(name, RewriteSuffix)) || (receiving && EndsWithNoCase(name, StateReceiving));
            struct stat st {};
            if (leftover && ::lstat((folderPath + name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
                doomed.push_back(name);
            return true;
        });
        std::sort(doomed.begin(), doomed.end());
        for (const auto& name : doomed)
            if (Fs().Unlink(folderPath + name).ok()) removed.push_back(shown + name);
    };
    sweep(ProgramDir, "", false, false);
    for (const auto& folder : StoreFolderNames()) {
        if (folder == std::string(FolderAddins)) continue;
        const std::string path = StoreFolder(folder);
        std::string shown = path.substr(ProgramDir.size());
        sweep(path, shown, true, folder == std::string(FolderOut));
    }
    return removed;
}

bool InsertIntoFile(const std::string& path, std::int64_t offset, const std::string& text) {
    std::string tmp = CopyToTemp(path, path, offset, text);
    if (tmp.empty()) return false;
    return ReplaceWithTemp(tmp, path);
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t crlf = text.find("\r\n", start);
        if (crlf == std::string::npos) {
            lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, crlf - start));
        start = crlf + 2;
    }
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i) text += "\r\n";
        text += lines[i];
    }
    return text;
}

bool RewriteFile(const std::string& path, const std::string& content) {
    std::string temp = path + RewriteSuffix;
    Fs().Unlink(temp);
    if (!Fs().WriteFileAtomic(temp, content).ok()) {
        Fs().Unlink(temp);
        return false;
    }
    return ReplaceWithTemp(temp, path);
}

TempFileWriter::TempFileWriter(const std::string& pathBeside) {
    path_ = NewTemp(pathBeside, file_);
    ok_ = !path_.empty();
}

TempFileWriter::~TempFileWriter() {
    if (file_) file_->Close();
    if (!keep_ && !path_.empty()) Fs().Unlink(path_);
}

bool TempFileWriter::Write(const char* data, size_t size) {
    if (ok_ && file_ && size > 0) ok_ = file_->Append(std::string_view(data, size)).ok();
    return ok_;
}

bool TempFileWriter::Finish() {
    if (!file_) return false;
    ok_ = ok_ && file_->Sync().ok();
    ok_ = file_->Close().ok() && ok_;
    file_.reset();
    return ok_;
}

// A folder that cannot be synced is reported: the new content is in place,
// but whoever relies on it being on disk must not.
bool ReplaceWithTemp(const std::string& tempPath, const std::string& path) {
    if (!Fs().Rename(tempPath, path).ok()) {
        Fs().Unlink(tempPath);
        return false;
    }
    return Fs().SyncFolder(FolderOfPath(path)).ok();
}

std::string WithEndMarker(const std::string& text) {
    static const std::string marker = EndMarker;
    if (text.size() > marker.size() && text.compare(text.size() - marker.size(), marker.size(), marker) == 0)
        return text;
    // DATA with nothing but "." is stored as its end marker alone; another
    // marker would reach a POP3 client as the reply to its next command.
    if (text == ".\r\n") return text;
    return text + marker;
}

void WireWriter::EndLine(std::string& out) {
    out += "\r\n";
    if (top_) {
        if (inHeader_) {
            if (lineEmpty_) {
                inHeader_ = false;
                if (topLines_ == 0) ended_ = true;
            }
        } else if (++bodyLines_ >= topLines_) {
            ended_ = true;
        }
    }
    lineEmpty_ = true;
}

// Ends the line at a line end that is not CR LF. A "." held before it was
// a line of its own, yet not the end marker: it goes out stuffed.
void WireWriter::EndHeldLine(std::string& out) {
    if (dotHeld_) {
        dotHeld_ = false;
        out += "..";
        lineEmpty_ = false;
    }
    EndLine(out);
    at_ = At::PieceStart;
}

void WireWriter::Feed(const char* data, size_t size, std::string& out) {
    size_t i = 0;
    while (i < size && !ended_) {
        const char c = data[i];
        if (crPending_) {
            crPending_ = false;
            if (c == '\n') {
                ++i;
                if (dotHeld_) {
                    // The stored end marker: the message ends here.
                    dotHeld_ = false;
                    ended_ = true;
                    return;
                }
                EndLine(out);
                at_ = At::LineStart;
                continue;
            }
            // A bare CR: a line end of its own.
            EndHeldLine(out);
            continue;  // c is looked at again, now at a piece start
        }
        if (dotHeld_) {
            if (c == '\r') {
                crPending_ = true;
                ++i;
                continue;
            }
            if (c == '\n') {
                ++i;
                EndHeldLine(out);
                continue;
            }
            dotHeld_ = false;
            // "." and more: a line the sender stuffed, as stored.
            out += '.';
            lineEmpty_ = false;
            at_ = At::Mid;
            continue;
        }
        if (c == '\r') {
            crPending_ = true;
            ++i;
            continue;
        }
        if (c == '\n') {
            ++i;
            EndLine(out);
            at_ = At::PieceStart;
            continue;
        }
        if (c == '.' && at_ == At::LineStart) {
            dotHeld_ = true;
            ++i;
            continue;
        }
        if (c == '.' && at_ == At::PieceStart) out += '.';
        // The rest of the line up to the next CR or LF goes as it is.
        size_t j = i;
        while (j < size && data[j] != '\r' && data[j] != '\n') ++j;
        out.append(data + i, j - i);
        lineEmpty_ = false;
        at_ = At::Mid;
        i = j;
    }
}

void WireWriter::Finish(std::string& out) {
    if (!ended_) {
        if (crPending_) {
            crPending_ = false;
            EndHeldLine(out);
        } else if (dotHeld_) {
            // A last "." line without its CR LF is the end marker as well.
            dotHeld_ = false;
            ended_ = true;
        } else if (at_ == At::Mid) {
            EndLine(out);
        }
    }
    if (top_ && inHeader_) out += "\r\n";
    ended_ = true;
    out += ".\r\n";
}

std::string WireText(const std::string& stored, long topLines) {
    std::string out;
    WireWriter writer(topLines);
    writer.Feed(stored, out);
    writer.Finish(out);
    return out;
}

std::string DotStuff(const std::string& line) {
    return (!line.empty() && line[0] == '.') ? "." + line : line;
}

}  // namespace smtp
