// Safe loading of the program's table files.
#include "transport/table_files.h"

#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "transport/globals.h"
#include "transport/logfile.h"
#include "transport/table_owner.h"

#include <filesystem>

namespace tablefiles {

namespace {

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Closes t and forgets its fields and indexes, ready for a new layout.
void ClearLayout(TvdlMemTable& t) {
    t.Close();
    t.FieldDefs().Clear();
    t.IndexDefs().Clear();
}

}  // namespace

void LogLine(const std::string& text) {
    platform::LocalTime now = platform::NowLocal();
    procs::WriteLog(ProgramDir + "connect.log",
                    platform::TwoDigits(now.hour) + ":" + platform::TwoDigits(now.minute) + ":" + text);
}

std::string SetAside(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::string target = path + ".bad";
    for (int i = 1; fs::exists(target, ec) && i < 1000; ++i) target = path + ".bad" + std::to_string(i);
    fs::rename(path, target, ec);
    return ec ? std::string() : target;
}

void Define(TvdlMemTable& t, std::initializer_list<FieldSpec> fields, const std::string& indexName,
            const std::string& indexFields, TIndexOptions options) {
    ClearLayout(t);
    for (const auto& f : fields) t.FieldDefs().Add(f.name, f.type, f.size);
    t.CreateTable();
    t.IndexDefs().Clear();
    t.AddIndex(indexName, indexFields, options);
    t.Open();
    t.SetIndexName(indexName);
}

bool LoadOrCreate(TvdlMemTable& t, const std::string& path, const Definer& define) {
    const std::string name = BaseName(path);
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
        ClearLayout(t);
        t.KeepRecordsReadOnError = true;
        try {
            t.LoadFromBinaryFile(path);
            t.KeepRecordsReadOnError = false;
            if (!t.Active()) t.Open();
            return true;
        } catch (const std::exception& e) {
            t.KeepRecordsReadOnError = false;
            // The rows before the damage are worth more than an empty table:
            // one lost user shuts one person out, an empty users.dat all.
            const bool kept = t.Active() && t.FieldCount() > 0;
            if (!kept) define(t);
            const std::string aside = SetAside(path);
            std::string text = name + " could not be read whole (" + e.what() + "): ";
            if (kept)
                text += std::to_string(t.RecordCount()) + " records before the damage were kept, any after it are lost";
            else
                text += "no records could be kept, it starts empty";
            // The bad file still in place is replaced at the next save;
            // until then the table lives in memory.
            text += aside.empty() ? "; the damaged file could not be renamed and is replaced at the next change."
                                  : "; the damaged file was renamed to " + BaseName(aside) + ".";
            LogLine(text);
            platform::MessageBox(text, platform::MsgKind::Warning);
            if (!aside.empty()) tables::SaveTableFile(t, path);
            return false;
        }
    }
    define(t);
    tables::SaveTableFile(t, path);
    return false;
}

void SelectIndex(TvdlMemTable& t, const std::string& name) {
    try {
        t.SetIndexName(name);
    } catch (const EDatabaseError& e) {
        LogLine(std::string("Table index missing: ") + e.what());
        t.SetIndexName("");
    }
}

void Migrate(TvdlMemTable& t, TvdlMemTable& scratch, const Definer& define, const std::string& path,
             const std::string& oldPath, const std::function<void(TvdlMemTable&)>& fill) {
    ClearLayout(scratch);
    scratch.LoadFromBinaryString(t.SaveToBinaryString());
    if (!scratch.Active()) scratch.Open();
    define(t);
    for (scratch.First(); !scratch.Eof(); scratch.Next()) {
        t.Append();
        for (int i = 0; i < scratch.FieldCount(); ++i) {
            TField& from = scratch.Fields(i);
            TField* to = t.FindField(from.FieldName);
            if (to && !from.IsNull()) to->SetValue(from.Value());
        }
        if (fill) fill(t);
        t.Post();
    }
    scratch.Close();
    t.First();
    // The copy is only a keepsake (every field is carried over by name), so a
    // failure to write it does not stop the conversion, but the log says so.
    std::string bytes;
    const bool kept = platform::ReadFile(path, bytes) && platform::WriteFileAtomic(oldPath, bytes);
    tables::SaveTableFile(t, path);
    LogLine(BaseName(path) + " converted to the current layout (" +
            (kept ? "old file kept as " + BaseName(oldPath) : "the old file could not be kept as " + BaseName(oldPath)) +
            ")");
}

void ForEach(TvdlMemTable& t, const std::function<void()>& fn) {
    if (!t.Active()) return;
    const int keep = t.GetBookmark();
    for (t.First(); !t.Eof(); t.Next()) fn();
    if (keep >= 0 && t.BookmarkValid(keep)) t.GotoBookmark(keep);
    else t.First();
}

}  // namespace tablefiles
