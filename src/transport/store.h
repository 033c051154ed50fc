// The mail store: the folders under the program directory, the names and
// content of message files, the states of the outgoing queue, the stamps and
// ids that name messages, and ports.dat with its queue records. Every feature
// that writes a message file goes through the writers here, so that no two
// messages ever share a name and a crash never leaves half a file under a
// message's name.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <vector>

namespace platform {
class WritableFile;
struct FsStatus;
}

namespace smtp {

// Store folders, spelled as they are created. Other features may spell them
// in lower case; StoreFolder finds the one folder either way.
inline constexpr char FolderIn[] = "in";
inline constexpr char FolderOut[] = "out";
inline constexpr char FolderSpam1[] = "Spam1";
inline constexpr char FolderSpam2[] = "Spam2";
inline constexpr char FolderDeleted[] = "Deleted";
inline constexpr char FolderWebDeleted[] = "WebDeleted";
inline constexpr char FolderWebSent[] = "WebSent";
inline constexpr char FolderWebSaved[] = "WebSaved";
inline constexpr char FolderAddins[] = "Addins";
inline constexpr char FolderAttach[] = "attach";

// Queue states of out/<id>.<state>, and the rewrite suffix.
inline constexpr char StateReceiving[] = ".txo";
inline constexpr char StateQueued[] = ".txt";
inline constexpr char StateFailed[] = ".bad";
inline constexpr char StateSent[] = ".txs";
inline constexpr char StateSuspended[] = ".tx_";
inline constexpr char RewriteSuffix[] = ".new";
inline constexpr char MailboxSuffix[] = ".dat";

// The end marker every stored message normally ends with.
inline constexpr char EndMarker[] = "\r\n.\r\n";

// ProgramDir + the folder with a trailing "/". When a folder of that name
// exists in another letter case, that spelling is used.
std::string StoreFolder(const std::string& name);

// Creates the named store folders (with missing parents) in the order
// given; existing folders are kept, whatever their letter case. On failure
// returns false and names the folder in failed.
bool CreateStoreFolders(const std::vector<std::string>& names, std::string* failed = nullptr);
// The nine folders made at start, in the main window's order: "Addins",
// "in", "out", "Spam1", "Spam2", "Deleted", "WebDeleted", "WebSent",
// "WebSaved". (Windows' hidden and system attributes have no counterpart.)
const std::vector<std::string>& StoreFolderNames();

// Stamps. All read the program clock.
std::string TimeStamp();      // "hhmmsszzz"
std::string DateTimeStamp();  // "yyyymmddhhmmsszzz"
std::string WebQueueId();     // DateTimeStamp + random "00000" (web mail, support mail)
std::string NoticeStamp();    // random 0..9999999 in decimal
int Random(int range);        // 0 .. range-1

// Mailbox file names: <user>_<stamp>.dat.
std::string MailboxFileName(const std::string& user, const std::string& stamp);
// True when fileName (no folder) is exactly <user>_<stamp><suffix> for this
// user: the stamp is not empty and holds no "_", so the files of "bob_x"
// are never bob's. User and suffix compare without regard to case.
bool IsUserFile(const std::string& fileName, const std::string& user,
                const std::string& suffix = MailboxSuffix);
// The user's files in a folder path (with trailing "/"), by file name.
std::vector<std::string> ListUserFiles(const std::string& folderPath, const std::string& user,
                                       const std::string& suffix = MailboxSuffix);
// Every regular file of folderPath whose name ends with suffix (any case).
std::vector<std::string> ListFiles(const std::string& folderPath, const std::string& suffix);

// Reserves a queue id: starting from id, the first of id, id+"1", id+"2", ...
// for which no out/<id>.* file, no in/*_<id>.dat file and no ports.dat
// section exists, and creates out/<id><state> empty and exclusively.
// Returns the id used, or empty text when the file cannot be created.
std::string CreateQueueFile(const std::string& id, const std::string& state);
// The same choice of id without the file: the id is held for the caller
// until ReleaseQueueId, and neither CreateQueueFile nor another
// reservation takes it meanwhile. Whoever writes its file creates it
// exclusively. Empty text when no id is free.
std::string ReserveQueueId(const std::string& id);
void ReleaseQueueId(const std::string& id);

// Stores content as a new file folderPath + prefix + stamp + suffix, never
// over an existing file: when the name is taken the stamp gets a suffix
// digit ("1", "2", ...). The content is on disk (fsync) and appears under
// its name whole. Returns the full path, or empty text on failure.
std::string WriteNewFile(const std::string& folderPath, const std::string& prefix,
                         const std::string& stamp, const std::string& suffix,
                         const std::string& content);
// A message written piece by piece into a fresh temp file beside a path
// (a "~tw*.tmp" name no listing shows), so that a message of any size is
// never held whole. Finish syncs it; it is then published by PublishNewFile
// or ReplaceWithTemp. The temp file is removed when the writer goes unless
// Keep was called.
class TempFileWriter {
public:
    explicit TempFileWriter(const std::string& pathBeside);
    ~TempFileWriter();
    TempFileWriter(const TempFileWriter&) = delete;
    TempFileWriter& operator=(const TempFileWriter&) = delete;
    bool Ok() const { return ok_; }
    const std::string& Path() const { return path_; }
    bool Write(const char* data, size_t size);
    bool Write(const std::string& data) { return Write(data.data(), data.size()); }
    bool Finish();  // fsync and close; false when any write failed
    void Keep() { keep_ = true; }

private:
    std::string path_;
    std::unique_ptr<platform::WritableFile> file_;
    bool ok_ = false;
    bool keep_ = false;
};

// WriteNewFile for a synced temp file of the same file system: links it
// under the first free name and syncs the folder. The temp file stays.
std::string PublishNewFile(const std::string& tempPath, const std::string& folderPath,
                           const std::string& prefix, const std::string& stamp, const std::string& suffix);

// PublishNewFile short of the folder sync: the name is made, not yet on
// disk. For callers that sync a folder once for several new names. On
// failure, failure (when given) gets the last link's status.
std::string LinkNewFile(const std::string& tempPath, const std::string& folderPath,
                        const std::string& prefix, const std::string& stamp, const std::string& suffix,
                        platform::FsStatus* failure = nullptr);

// Renames a synced temp file over path and syncs path's folder. False on
// failure: path unchanged and temp file removed, or, when only the folder
// sync failed, the new content in place but perhaps not on disk.
bool ReplaceWithTemp(const std::string& tempPath, const std::string& path);

// WriteNewFile with the content streamed from the file source, which is
// never held whole, followed by append. Empty text when source cannot be
// read or on failure.
std::string CopyToNewFile(const std::string& source, const std::string& folderPath, const std::string& prefix,
                          const std::string& stamp, const std::string& suffix, const std::string& append = "");

// CopyToNewFile and WriteNewFile short of the folder sync (LinkNewFile):
// the content is on disk, its name not yet. Safe on worker threads.
std::string CopyToNewFileUnsynced(const std::string& source, const std::string& folderPath,
                                  const std::string& prefix, const std::string& stamp, const std::string& suffix,
                                  const std::string& append = "");
std::string WriteNewFileUnsynced(const std::string& folderPath, const std::string& prefix,
                                 const std::string& stamp, const std::string& suffix, const std::string& content);

// WriteNewFile into a user's mailbox folder (in, Spam1, Spam2, ...).
std::string WriteMailboxFile(const std::string& folderName, const std::string& user,
                             const std::string& stamp, const std::string& content);
// A new queued message: out/<id>.txt with id reserved as CreateQueueFile
// does. Returns the id used, or empty text.
std::string WriteQueueFile(const std::string& id, const std::string& content);

// ports.dat: ProgramDir + "ports.dat", opened and closed for every call.
std::string PortsFileName();
// Writes key = value in the section; with no key erases the whole section.
// False when the file could not be written.
bool WritePortsValue(const std::string& section, const std::optional<std::string>& key,
                     const std::string& value = std::string());
// Writes each key = value of the section in turn, in one write.
bool WritePortsValues(const std::string& section, const std::vector<std::pair<std::string, std::string>>& values);
// Writes a whole section in one replacement of the file: an existing
// section of that name is erased first, then the keys follow in order.
bool WritePortsSection(const std::string& section,
                       const std::vector<std::pair<std::string, std::string>>& values);
// The same two in memory only, written with the next write of the file or
// FlushPorts: for a relay run's own marks, which a crash may lose at no cost.
void WritePortsValuesLater(const std::string& section,
                           const std::vector<std::pair<std::string, std::string>>& values);
// With syncFirst, that folder is synced before the erasure reaches the file.
void ErasePortsSectionLater(const std::string& section, const std::string& syncFirst = std::string());
// WritePortsValues of marks that must survive a failed write: they stay in
// memory and go with the next write that succeeds. False when this write
// failed.
bool WritePortsValuesKept(const std::string& section,
                          const std::vector<std::pair<std::string, std::string>>& values);
// Writes what was left for later; false when the file could not be written.
// With syncFirst, that folder is synced first (also with nothing to write).
bool FlushPorts(const std::string& syncFirst = std::string());
// The value, or empty text when key or section is missing. An empty section
// name gives empty text without touching the file.
std::string ReadPortsValue(const std::string& section, const std::string& key);

// Removes every "<" and ">".
std::string StripAngleBrackets(const std::string& address);

// The line without its trailing CR and LF characters (replies and commands
// as they are logged and parsed).
std::string Chomp(std::string s);

// The text without leading and trailing spaces and tabs.
std::string TrimBlanks(const std::string& s);

// Whether text begins with head, ignoring the case of text's ASCII letters;
// head is given in lower case (header names such as "subject: ").
bool StartsWithNoCase(const std::string& text, const std::string& head);

// Copies source over target, giving target the source's modification time.
// The copy goes to a temp name beside target and is renamed over it, so a
// failed copy leaves target as it was. False on failure, and when source
// does not exist or names the same file as target.
bool CopyFileKeepDate(const std::string& source, const std::string& target);

// Removes what an interrupted run can leave behind and no acknowledged
// message can be: messages still being received (out/*.txo), rewrites that
// never replaced their file (*.new in in/ and out/), and the temp files of
// atomic writes (~tw*.tmp in the store folders; *.tmp<digits> and *.$$$ in
// the store folders and the program directory). Returns the names removed,
// relative to the program directory. Only for start-up, before any server
// or collector runs.
std::vector<std::string> RemoveCrashLeftovers();

// Puts text into the file at byte offset (at most its size), streaming the
// file through a synced temp file beside it that is then renamed over it.
// False (file unchanged) on failure.
bool InsertIntoFile(const std::string& path, std::int64_t offset, const std::string& text);

// Message text as lines, split on CR LF only (a lone CR or LF stays inside
// its line). JoinLines(SplitLines(t)) == t for every t.
std::vector<std::string> SplitLines(const std::string& text);
std::string JoinLines(const std::vector<std::string>& lines);

// Replaces a message file through path + ".new": the new content is written
// and synced beside it, then renamed over it. False (file unchanged) on
// failure.
bool RewriteFile(const std::string& path, const std::string& content);

// The text with the end marker: unchanged when longer than 5 bytes and
// ending with CR LF "." CR LF, or when it is just "." CR LF (the empty
// message), else with CR LF "." CR LF appended.
std::string WithEndMarker(const std::string& text);

// Dot-stuffs one line for a stored message (a leading "." is doubled).
std::string DotStuff(const std::string& line);

// The one road from a stored message to the wire (POP3 RETR and TOP, the
// relay's DATA), fed in chunks of any size so that no message is ever held
// whole. Stored lines keep the sender's dot-stuffing and pass as they are;
// a bare CR or bare LF becomes CR LF, and a line it starts that begins with
// "." is stuffed, so no byte sequence of a stored message can end the
// transfer early. The stored end marker (a "." line) ends the text: nothing
// after it is sent. Finish supplies a missing last CR LF and exactly one
// end marker. A file that is just ".\r\n" is the empty message.
class WireWriter {
public:
    // topLines >= 0: TOP's form, the header, its empty line (supplied when the
    // message has none) and at most topLines body lines.
    explicit WireWriter(long topLines = -1) : top_(topLines >= 0), topLines_(topLines) {}
    // Appends the wire form of the next stored bytes to out.
    void Feed(const char* data, size_t size, std::string& out);
    void Feed(const std::string& data, std::string& out) { Feed(data.data(), data.size(), out); }
    // Appends what is still due, then ".\r\n".
    void Finish(std::string& out);
    // Nothing more of the stored text will be sent.
    bool Ended() const { return ended_; }

private:
    enum class At { LineStart, PieceStart, Mid };
    void EndLine(std::string& out);
    void EndHeldLine(std::string& out);
    bool top_;
    long topLines_;
    long bodyLines_ = 0;
    bool inHeader_ = true;
    bool lineEmpty_ = true;
    At at_ = At::LineStart;
    bool crPending_ = false;
    bool dotHeld_ = false;
    bool ended_ = false;
};

// The whole wire text of a stored message (WireWriter over all of it).
std::string WireText(const std::string& stored, long topLines = -1);

}  // namespace smtp
