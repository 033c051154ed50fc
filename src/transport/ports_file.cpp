// ports.dat kept parsed; see ports_file.h. The line rules (trimming, quotes,
// first occurrence wins, case-insensitive names) are those of IniFile, so
// the file reads and changes exactly as it did when every call opened it.
#include "transport/ports_file.h"

#include "codecs/qev_util.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/globals.h"

#include <algorithm>
#include <memory>
#include <sys/stat.h>

namespace smtp {
namespace {

using namespace platform::inisyntax;

}  // namespace

PortsFile::PortsFile(std::string path) : path_(std::move(path)) {}

PortsFile::Identity PortsFile::IdentityOf(const std::string& path) {
    Identity id;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return id;
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtimeSec = st.st_mtim.tv_sec;
    id.mtimeNsec = st.st_mtim.tv_nsec;
    return id;
}

void PortsFile::Load() {
    // Changes staged and not yet written are newer than any file: kept.
    if (identity_ && version_ > std::max(durable_, failed_)) return;
    Identity now = IdentityOf(path_);
    if (identity_ && *identity_ == now) return;
    std::string text;
    if (now.exists && !platform::ReadFile(path_, text)) text.clear();
    Parse(text);
    // Taken before the read: a change made while reading shows as a new
    // identity next time, never as an old one.
    identity_ = now;
    // Marks that a failed write could not keep are newer than the file.
    bool changed = false;
    for (const auto& k : kept_) changed = ApplyAll(k.section, k.values) || changed;
    if (changed) ++version_;
}

void PortsFile::DropKept(const std::string& lowerSection) {
    kept_.erase(std::remove_if(kept_.begin(), kept_.end(),
                               [&](const KeptMarks& k) { return qev_util::LowerCase(k.section) == lowerSection; }),
                kept_.end());
}

void PortsFile::Parse(const std::string& text) {
    ++parses_;
    ownBytes_ = false;
    tailOnly_ = true;
    appended_ = 0;
    preamble_.clear();
    sections_.clear();
    size_t start = 0;
    bool first = true;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        start = nl == std::string::npos ? text.size() : nl + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // A byte-order mark left by an editor would hide the first section.
        if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        first = false;
        std::string name;
        if (SectionName(line, name)) sections_.push_back(Section{line, name, {}});
        else if (sections_.empty()) preamble_.push_back(std::move(line));
        else sections_.back().lines.push_back(std::move(line));
    }
    Reindex();
}

void PortsFile::Reindex() {
    index_.clear();
    for (auto it = sections_.begin(); it != sections_.end(); ++it) index_[qev_util::LowerCase(it->name)].push_back(it);
}

void PortsFile::SetEnv(platform::Env* env) {
    std::lock_guard<std::mutex> lock(mutex_);
    env_ = env;
}

bool PortsFile::Save(std::unique_lock<std::mutex>& lock, bool changed) {
    if (!changed) return true;
    const std::uint64_t version = ++version_;
    lock.unlock();
    return Flush(version);
}

std::string PortsFile::Text(std::list<Section>::const_iterator from, bool preamble) const {
    std::string text;
    // With thousands of queue records the file is hundreds of KB: one
    // allocation instead of a copy per doubling.
    if (preamble && identity_) text.reserve(static_cast<size_t>(identity_->size) + 4096);
    auto put = [&](const std::string& line) {
        text += line;
        text += "\r\n";
    };
    if (preamble)
        for (const auto& l : preamble_) put(l);
    for (auto it = from; it != sections_.cend(); ++it) {
        put(it->header);
        for (const auto& l : it->lines) put(l);
    }
    return text;
}

bool PortsFile::Flush(std::uint64_t version) {
    // Whoever writes takes everything staged so far: those who waited here
    // meanwhile mostly find their change written already.
    std::lock_guard<std::mutex> writing(writing_);
    std::string text;
    std::uint64_t taken = 0;
    platform::Env* env = nullptr;
    bool append = false;
    std::size_t appending = 0;
    std::set<std::string> folders;
    auto syncFolders = [&] {
        for (const auto& folder : folders)
            if (!env->SyncFolder(folder).ok()) return false;
        return true;
    };
    {
        std::unique_lock<std::mutex> lock(mutex_);
        env = env_ ? env_ : platform::Env::Current();
        // Written already, or in a write that failed (its callers were
        // told, or are): only folders asked for may be left to sync.
        if (durable_ >= version || failed_ >= version) {
            const bool written = durable_ >= version && !WriteFailed(version);
            if (syncFirst_.empty()) return written;
            folders.swap(syncFirst_);
            lock.unlock();
            if (syncFolders()) return written;
            lock.lock();
            syncFirst_.insert(folders.begin(), folders.end());
            return false;
        }
        folders.swap(syncFirst_);
        taken = version_;
        // A new queue record only adds lines at the end: with thousands
        // queued, appending them spares rewriting hundreds of KB. A file
        // someone else changed since our last write is written whole.
        append = ownBytes_ && tailOnly_ && appended_ > 0 && identity_ && IdentityOf(path_) == *identity_;
        if (append) {
            appending = appended_;
            auto from = sections_.cend();
            for (std::size_t i = 0; i < appended_; ++i) --from;
            text = Text(from, false);
        } else {
            text = Text(sections_.cbegin(), true);
        }
        // What is changed from here on goes after what this write leaves.
        tailOnly_ = true;
        appended_ = 0;
    }
    ++writes_;
    bool ok = false;
    if (!syncFolders()) {
        // Nothing is written: an erasure must not reach the disk before
        // the removal it follows.
        append = false;
    } else if (append) {
        ++appends_;
        std::unique_ptr<platform::WritableFile> file;
        platform::FsStatus s = env->NewWritableFile(path_, platform::CreateMode::Append, file);
        if (s.ok()) s = file->Append(text);
        if (s.ok()) s = file->Sync();
        if (file) {
            platform::FsStatus closed = file->Close();
            if (s.ok()) s = closed;
        }
        ok = s.ok();
    } else {
        ok = env->WriteFileAtomic(path_, text).ok();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (ok) {
        durable_ = taken;
        identity_ = IdentityOf(path_);
        ownBytes_ = true;
        kept_.erase(std::remove_if(kept_.begin(), kept_.end(), [&](const KeptMarks& k) { return k.version <= taken; }),
                    kept_.end());
    } else {
        // Every version this write took fails with it, also one whose
        // caller has not asked yet.
        const std::uint64_t from = std::max(durable_, failed_);
        if (!failedRuns_.empty() && failedRuns_.back().second == from) failedRuns_.back().second = taken;
        else failedRuns_.emplace_back(from, taken);
        if (failedRuns_.size() > kMaxFailedRuns) {
            forgotten_ = failedRuns_.front().second;
            failedRuns_.pop_front();
        }
        failed_ = taken;
        syncFirst_.insert(folders.begin(), folders.end());
        // Unknown bytes on disk: the next write replaces the file whole.
        ownBytes_ = false;
        if (append) {
            // Part of the lines may have reached the file: it is not read
            // back, and the next write replaces it whole. Alone, the failed
            // records go as a failed whole write's would.
            identity_ = IdentityOf(path_);
            if (version_ == taken) {
                std::set<std::string> failed;
                auto it = sections_.end();
                for (std::size_t i = 0; i < appending; ++i) failed.insert(qev_util::LowerCase((--it)->name));
                EraseInMemory(failed);
                tailOnly_ = true;
                appended_ = 0;
                // Their lines may be in the file: it goes back to what it
                // held, whole, if the disk lets us.
                if (env->WriteFileAtomic(path_, Text(sections_.cbegin(), true)).ok()) {
                    identity_ = IdentityOf(path_);
                    ownBytes_ = true;
                }
            }
        } else if (version_ == taken) {
            // After a failed write the file on disk is the old one: read it
            // again rather than answer from a content that never reached it.
            // With later changes staged, memory stays the truth until written.
            identity_.reset();
        }
    }
    return ok;
}

bool PortsFile::WriteFailed(std::uint64_t version) const {
    // Version 0 is the file as found: no write took it, so none failed it.
    if (version == 0) return false;
    if (version <= forgotten_) return true;
    for (auto run = failedRuns_.rbegin(); run != failedRuns_.rend(); ++run)
        if (version > run->first && version <= run->second) return true;
    return false;
}

PortsFile::Section* PortsFile::First(const std::string& name) {
    auto it = index_.find(qev_util::LowerCase(name));
    return it == index_.end() || it->second.empty() ? nullptr : &*it->second.front();
}

std::string& PortsFile::LastLine() {
    if (sections_.empty()) return preamble_.back();
    Section& last = sections_.back();
    return last.lines.empty() ? last.header : last.lines.back();
}

std::string PortsFile::ReadString(const std::string& section, const std::string& key, const std::string& def) {
    std::lock_guard<std::mutex> lock(mutex_);
    Load();
    Section* s = First(section);
    if (!s) return def;
    const std::string lowerKey = qev_util::LowerCase(key);
    for (const auto& line : s->lines) {
        std::string k, v;
        if (KeyLine(line, k, v) && qev_util::LowerCase(k) == lowerKey) return Unquote(v);
    }
    return def;
}

bool PortsFile::SectionExists(const std::string& section) {
    std::lock_guard<std::mutex> lock(mutex_);
    Load();
    return First(section) != nullptr;
}

std::vector<std::string> PortsFile::ReadSections() {
    std::lock_guard<std::mutex> lock(mutex_);
    Load();
    std::vector<std::string> out;
    for (const auto& s : sections_)
        if (&*index_[qev_util::LowerCase(s.name)].front() == &s) out.push_back(s.name);
    return out;
}

bool PortsFile::ReadSection(const std::string& section, std::vector<std::pair<std::string, std::string>>& keys) {
    keys.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    Load();
    Section* s = First(section);
    if (!s) return false;
    std::set<std::string> seen;
    for (const auto& line : s->lines) {
        std::string k, v;
        if (KeyLine(line, k, v) && seen.insert(qev_util::LowerCase(k)).second) keys.emplace_back(k, Unquote(v));
    }
    return true;
}

// Changes the parsed file only; true when its content changed.
bool PortsFile::Apply(const std::string& section, const std::string& key, const std::string& value) {
    const std::string sec = platform::IniSafe(section), k = platform::IniSafe(key), v = platform::IniSafe(value);
    Section* s = First(sec);
    if (!s) {
        if ((!sections_.empty() || !preamble_.empty()) && !Trim(LastLine()).empty()) {
            if (sections_.empty()) preamble_.push_back("");
            else sections_.back().lines.push_back("");
        }
        // The blank line before it changes the section that was last.
        tailOnly_ = false;
        sections_.push_back(Section{"[" + sec + "]", sec, {k + "=" + v}});
        index_[qev_util::LowerCase(sec)].push_back(std::prev(sections_.end()));
        return true;
    }
    const std::string lowerKey = qev_util::LowerCase(k);
    size_t insertAt = 0;
    for (size_t i = 0; i < s->lines.size(); ++i) {
        std::string lk, lv;
        if (!KeyLine(s->lines[i], lk, lv)) continue;
        if (qev_util::LowerCase(lk) == lowerKey) {
            std::string line = lk + "=" + v;
            if (line == s->lines[i]) return false;
            s->lines[i] = std::move(line);
            tailOnly_ = false;
            return true;
        }
        insertAt = i + 1;
    }
    s->lines.insert(s->lines.begin() + static_cast<std::ptrdiff_t>(insertAt), k + "=" + v);
    tailOnly_ = false;
    return true;
}

bool PortsFile::ApplyAll(const std::string& section, const std::vector<std::pair<std::string, std::string>>& values) {
    bool changed = false;
    for (const auto& [key, value] : values) changed = Apply(section, key, value) || changed;
    return changed;
}

bool PortsFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    std::unique_lock<std::mutex> lock(mutex_);
    Load();
    // The same line again changes nothing on disk: no rewrite.
    return Save(lock, Apply(section, key, value));
}

bool PortsFile::WriteStrings(const std::string& section,
                             const std::vector<std::pair<std::string, std::string>>& values) {
    std::unique_lock<std::mutex> lock(mutex_);
    Load();
    return Save(lock, ApplyAll(section, values));
}

bool PortsFile::EraseInMemory(const std::set<std::string>& lowerNames) {
    bool changed = false;
    for (const auto& name : lowerNames) {
        auto it = index_.find(name);
        if (it == index_.end()) continue;
        for (auto sec : it->second) sections_.erase(sec);
        index_.erase(it);
        changed = true;
        tailOnly_ = false;
    }
    for (const auto& name : lowerNames) DropKept(name);
    return changed;
}

bool PortsFile::EraseSections(const std::set<std::string>& lowerNames) {
    std::unique_lock<std::mutex> lock(mutex_);
    Load();
    return Save(lock, EraseInMemory(lowerNames));
}

void PortsFile::WriteStringsLater(const std::string& section,
                                  const std::vector<std::pair<std::string, std::string>>& values) {
    std::lock_guard<std::mutex> lock(mutex_);
    Load();
    if (ApplyAll(section, values)) ++version_;
}

void PortsFile::EraseSectionLater(const std::string& section, const std::string& syncFirst) {
    std::lock_guard<std::mutex> lock(mutex_);
    Load();
    if (EraseInMemory({qev_util::LowerCase(section)})) {
        ++version_;
        if (!syncFirst.empty()) syncFirst_.insert(syncFirst);
    }
}

bool PortsFile::WriteStringsKept(const std::string& section,
                                 const std::vector<std::pair<std::string, std::string>>& values) {
    std::unique_lock<std::mutex> lock(mutex_);
    Load();
    if (!ApplyAll(section, values)) {
        // In memory already, perhaps not yet on disk.
        const std::uint64_t version = version_;
        lock.unlock();
        return Flush(version);
    }
    kept_.push_back(KeptMarks{platform::IniSafe(section), values, version_ + 1});
    return Save(lock, true);
}

bool PortsFile::FlushAll(const std::string& syncFirst) {
    std::uint64_t version = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        version = version_;
        if (!syncFirst.empty()) syncFirst_.insert(syncFirst);
    }
    return Flush(version);
}

bool PortsFile::EraseSection(const std::string& section) { return EraseSections({qev_util::LowerCase(section)}); }

void PortsFile::ReplaceInMemory(const std::string& section,
                                const std::vector<std::pair<std::string, std::string>>& values) {
    Load();
    DropKept(qev_util::LowerCase(section));
    if (auto it = index_.find(qev_util::LowerCase(section)); it != index_.end()) {
        for (auto sec : it->second) sections_.erase(sec);
        index_.erase(it);
        tailOnly_ = false;
    }
    const std::string sec = platform::IniSafe(section);
    Section s{"[" + sec + "]", sec, {}};
    for (const auto& [key, value] : values) s.lines.push_back(platform::IniSafe(key) + "=" + platform::IniSafe(value));
    sections_.push_back(std::move(s));
    index_[qev_util::LowerCase(sec)].push_back(std::prev(sections_.end()));
    ++appended_;
}

bool PortsFile::ReplaceSection(const std::string& section,
                               const std::vector<std::pair<std::string, std::string>>& values) {
    std::unique_lock<std::mutex> lock(mutex_);
    ReplaceInMemory(section, values);
    return Save(lock, true);
}

std::uint64_t PortsFile::StageSection(const std::string& section,
                                      const std::vector<std::pair<std::string, std::string>>& values) {
    std::lock_guard<std::mutex> lock(mutex_);
    ReplaceInMemory(section, values);
    return ++version_;
}

namespace {

// n of a key "<prefix><n>" (any letter case), n written as the writers do:
// 1 to 9 digits without a leading zero. 0 when the key is no such key.
int KeyNumber(const std::string& key, const char* prefix) {
    const size_t p = std::char_traits<char>::length(prefix);
    if (key.size() <= p || key.size() > p + 9 || qev_util::LowerCase(key.substr(0, p)) != prefix) return 0;
    if (key[p] == '0') return 0;
    int n = 0;
    for (size_t i = p; i < key.size(); ++i) {
        if (key[i] < '0' || key[i] > '9') return 0;
        n = n * 10 + (key[i] - '0');
    }
    return n;
}

int CountOf(const std::string& text) {
    if (text.empty() || text.size() > 9) return 0;
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + (c - '0');
    }
    return n;
}

// An address whose last "<" has no ">" after it was cut short: sent, what
// is left of it would name someone else.
bool Unclosed(const std::string& address) {
    const size_t open = address.rfind('<');
    return open != std::string::npos && address.find('>', open) == std::string::npos;
}

}  // namespace

std::string QueueRecord::Damage() const {
    // A record of marks alone (the attempts of a message whose record went
    // with its sending) names no one: that message is handled as sent.
    if (!hasFrom && (rcpt > 0 || !to.empty())) return "recipients without a From line";
    if (hasFrom && Unclosed(from)) return "the sender " + from + " is cut short";
    for (const auto& [n, address] : to)
        if (Unclosed(address)) return "recipient " + std::to_string(n) + " " + address + " is cut short";
    return std::string();
}

const std::string* QueueRecord::Bad(int n) const {
    auto it = std::lower_bound(bad.begin(), bad.end(), n, [](const auto& b, int k) { return b.first < k; });
    return it != bad.end() && it->first == n ? &it->second : nullptr;
}

QueueRecord ReadQueueRecord(const std::string& id) {
    QueueRecord record;
    std::vector<std::pair<std::string, std::string>> keys;
    if (id.empty() || !Ports().ReadSection(id, keys)) return record;
    record.exists = true;
    for (const auto& [key, value] : keys) {
        const std::string lower = qev_util::LowerCase(key);
        if (lower == "rcpt") record.rcpt = CountOf(value);
        if (lower == "from") {
            record.hasFrom = true;
            record.from = value;
        }
    }
    for (const auto& [key, value] : keys) {
        if (const int n = KeyNumber(key, "to"); n > 0 && n <= record.rcpt) record.to.emplace_back(n, value);
        if (const int n = KeyNumber(key, "bad"); n > 0 && n <= record.rcpt && !value.empty())
            record.bad.emplace_back(n, value);
    }
    std::sort(record.to.begin(), record.to.end());
    std::sort(record.bad.begin(), record.bad.end());
    return record;
}

std::shared_ptr<PortsFile> SharedPorts() {
    static std::shared_ptr<PortsFile> owner;
    const std::string path = ProgramDir + "ports.dat";
    if (!owner || owner->Path() != path) owner = std::make_shared<PortsFile>(path);
    return owner;
}

PortsFile& Ports() { return *SharedPorts(); }

}  // namespace smtp
