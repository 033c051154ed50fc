// ports.dat kept parsed in memory by its one owner in the process. The file
// keeps its format byte for byte (it is what the profile functions of
// IniFile would write), but a read is a map lookup instead of a parse of
// the whole file, and the file is read again only when its identity (inode,
// size, modification time) shows that someone else has changed it. Each
// change that alters the content replaces the file atomically, synced;
// records new since the last write, which go at the end of the file, are
// appended to it instead while the file is as this owner last wrote it.
// Worker threads may flush it while the event loop reads and changes it: a
// change can be staged in memory and written later, together with every
// change staged before that write began.
#pragma once

#include "platform/env.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace smtp {

class PortsFile {
public:
    explicit PortsFile(std::string path);

    const std::string& Path() const { return path_; }

    // As IniFile's calls of the same names on the file.
    std::string ReadString(const std::string& section, const std::string& key, const std::string& def);
    bool SectionExists(const std::string& section);
    std::vector<std::string> ReadSections();
    // Every key of the section with its value, in file order, a key only
    // at its first occurrence (the one ReadString gives); false when there
    // is no such section.
    bool ReadSection(const std::string& section, std::vector<std::pair<std::string, std::string>>& keys);
    bool WriteString(const std::string& section, const std::string& key, const std::string& value);
    // WriteString of each pair in turn, in one write.
    bool WriteStrings(const std::string& section, const std::vector<std::pair<std::string, std::string>>& values);
    bool EraseSection(const std::string& section);
    // Every section whose lower-case name is in lowerNames, in one write.
    bool EraseSections(const std::set<std::string>& lowerNames);
    // Replaces the section (every copy of it) by one at the end of the file
    // holding the keys in order, in one write.
    bool ReplaceSection(const std::string& section,
                        const std::vector<std::pair<std::string, std::string>>& values);

    // WriteStrings and EraseSection in memory only: the change reaches the
    // file with the next write anyone makes, or FlushAll. For marks whose
    // loss in a crash costs nothing: start-up drops a record whose message
    // is gone, and the next attempt clears a run's marks again.
    void WriteStringsLater(const std::string& section,
                           const std::vector<std::pair<std::string, std::string>>& values);
    // With syncFirst, the folder is synced before the erasure reaches the
    // file: a message removed from a folder must be gone from the disk
    // before its record is, or a power loss brings the message back
    // without its record.
    void EraseSectionLater(const std::string& section, const std::string& syncFirst = std::string());
    // WriteStrings of marks that must not be lost (a recipient the relay
    // has delivered to): when the write fails they stay in memory, also
    // across a new read of the file, and go with the next write that
    // succeeds. False when this write failed.
    bool WriteStringsKept(const std::string& section,
                          const std::vector<std::pair<std::string, std::string>>& values);
    // Writes whatever is staged; true when nothing was. With syncFirst,
    // that folder is synced before the write, or alone when there is
    // nothing to write.
    bool FlushAll(const std::string& syncFirst = std::string());

    // ReplaceSection in memory only; returns the version to Flush for it.
    std::uint64_t StageSection(const std::string& section,
                               const std::vector<std::pair<std::string, std::string>>& values);
    // Writes the content unless a write begun after that version was staged
    // has succeeded; concurrent callers share one write. Any thread. False
    // when the first write that took the version failed, even once a later
    // one has succeeded.
    bool Flush(std::uint64_t version);
    // Where the file is written (by default the engine's current Env).
    void SetEnv(platform::Env* env);

    // How often the file was parsed and written by this owner (benchmarks
    // and tests watch these).
    std::uint64_t Parses() const { return parses_; }
    std::uint64_t Writes() const { return writes_; }
    std::uint64_t Appends() const { return appends_; }

private:
    struct Section {
        std::string header;              // the line as in the file
        std::string name;                // trimmed name between the brackets
        std::vector<std::string> lines;  // up to the next header
    };
    struct Identity {
        bool exists = false;
        std::uint64_t dev = 0, ino = 0;
        std::int64_t size = 0, mtimeSec = 0, mtimeNsec = 0;
        bool operator==(const Identity&) const = default;
    };

    static Identity IdentityOf(const std::string& path);
    void Load();
    void Parse(const std::string& text);
    void Reindex();
    // The file's lines from a section on (with the lines before the first
    // section, or not), as written.
    std::string Text(std::list<Section>::const_iterator from, bool preamble) const;
    // Stages the change just made (changed: it altered the content) and
    // writes it, with the lock held on entry and released.
    bool Save(std::unique_lock<std::mutex>& lock, bool changed);
    bool EraseInMemory(const std::set<std::string>& lowerNames);
    void ReplaceInMemory(const std::string& section,
                         const std::vector<std::pair<std::string, std::string>>& values);
    bool Apply(const std::string& section, const std::string& key, const std::string& value);
    // Apply of each pair in turn; true when any changed the content.
    bool ApplyAll(const std::string& section, const std::vector<std::pair<std::string, std::string>>& values);
    Section* First(const std::string& name);
    std::string& LastLine();

    std::string path_;
    std::optional<Identity> identity_;  // of the file as parsed; none: parse again
    std::vector<std::string> preamble_;  // lines before the first header
    std::list<Section> sections_;
    // lower-case name -> its sections in file order
    std::unordered_map<std::string, std::vector<std::list<Section>::iterator>> index_;
    std::atomic<std::uint64_t> parses_{0}, writes_{0}, appends_{0};
    // The file holds exactly what this owner last wrote (not what it
    // parsed: another writer's line ends or last line may differ).
    bool ownBytes_ = false;
    // Since the last write began, every change added a new section at the
    // end; appended_ counts them.
    bool tailOnly_ = true;
    std::size_t appended_ = 0;
    std::uint64_t version_ = 0;  // of the content in memory
    std::uint64_t durable_ = 0;  // of the content last written whole
    std::uint64_t failed_ = 0;   // of the content of the last failed write
    // The versions whose first write failed, as runs (from, to], the latest
    // last. A later write that succeeds need not carry them (after a failure
    // the content is read again from the file), so their callers are never
    // told they are on disk. Past kMaxFailedRuns the oldest run is dropped
    // and every version up to its end counts as failed: its callers asked
    // long ago.
    static constexpr std::size_t kMaxFailedRuns = 64;
    std::deque<std::pair<std::uint64_t, std::uint64_t>> failedRuns_;
    std::uint64_t forgotten_ = 0;
    bool WriteFailed(std::uint64_t version) const;
    // Folders to sync before the next write (EraseSectionLater).
    std::set<std::string> syncFirst_;
    // Marks of WriteStringsKept not yet written, with the version that
    // staged them; put back after every new read of the file.
    struct KeptMarks {
        std::string section;
        std::vector<std::pair<std::string, std::string>> values;
        std::uint64_t version = 0;
    };
    std::vector<KeptMarks> kept_;
    void DropKept(const std::string& lowerSection);
    platform::Env* env_ = nullptr;  // none: the engine's current one
    mutable std::mutex mutex_;   // the content and the numbers above
    std::mutex writing_;         // one write of the file at a time
};

// A message's queue record, read in one look-up. Its recipients are the
// To<n> keys it holds for n up to its count: a count beyond them (a
// damaged or hand-edited file) costs nothing, where a look-up of every
// number up to it held the event loop for minutes.
struct QueueRecord {
    bool exists = false;
    bool hasFrom = false;      // a From line, empty or not
    std::string from;
    int rcpt = 0;              // the count as written (0 when not a number)
    // (n, To<n>) in ascending n; delivered ones hold empty text.
    std::vector<std::pair<int, std::string>> to;
    // (n, Bad<n>) of the non-empty ones, n up to the count.
    std::vector<std::pair<int, std::string>> bad;

    // Why the record cannot be sent as it is (recipients without a sender,
    // an address cut before its ">"), or empty text.
    std::string Damage() const;
    // The count names recipients the record does not hold.
    bool CountBeyondKeys() const { return rcpt > 0 && (to.empty() || to.back().first < rcpt); }
    const std::string* Bad(int n) const;
};
QueueRecord ReadQueueRecord(const std::string& id);

// The owner of ProgramDir's ports.dat (made anew when ProgramDir changes).
PortsFile& Ports();
// The same owner, for work that may outlive a change of ProgramDir.
std::shared_ptr<PortsFile> SharedPorts();

}  // namespace smtp
