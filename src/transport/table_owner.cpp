// The owners of the data tables: changes applied to the current rows and
// saved whole, put back when they cannot be saved.
#include "transport/table_owner.h"

#include "codecs/qev_util.h"
#include "platform/env.h"

#include <cctype>
#include <cerrno>
#include <map>
#include <stdexcept>

namespace tables {

namespace {

// How rows of a table are told apart: by the key fields when the table has
// a key, else by all their fields (rows may then repeat).
struct RowIdentity {
    std::vector<std::string> fields;
    bool noCase = false;

    // The current row's key; fieldNames: every field of the editor's table.
    std::string Key(TvdlMemTable& t, const std::vector<std::string>& fieldNames) const {
        const auto& names = fields.empty() ? fieldNames : fields;
        std::string key;
        for (const auto& name : names) {
            TField* f = t.FindField(name);
            std::string v = f == nullptr ? std::string() : f->IsNull() ? std::string("\x01") : f->AsString();
            key += (noCase ? qev_util::LowerCase(v) : v) + '\x1f';
        }
        return key;
    }
};

std::string Image(TvdlMemTable& t, const std::vector<std::string>& fieldNames) {
    std::string image;
    for (const auto& name : fieldNames) {
        TField* f = t.FindField(name);
        image += (f == nullptr || f->IsNull()) ? std::string("\x01") : f->AsString();
        image += '\x1f';
    }
    return image;
}

struct Row {
    std::string image;
    int bookmark;
};

// Key -> every row with that key, the cursor put back afterwards.
std::map<std::string, std::vector<Row>> Rows(TvdlMemTable& t, const RowIdentity& id,
                                             const std::vector<std::string>& fieldNames) {
    std::map<std::string, std::vector<Row>> rows;
    if (!t.Active()) return rows;
    const int mark = t.GetBookmark();
    if (t.RangeActive()) t.CancelRange();
    for (t.First(); !t.Eof(); t.Next()) rows[id.Key(t, fieldNames)].push_back({Image(t, fieldNames), t.GetBookmark()});
    if (mark >= 0 && t.BookmarkValid(mark)) t.GotoBookmark(mark);
    return rows;
}

// Puts t's cursor on the row with the key; false when there is none.
bool Seek(TvdlMemTable& t, const RowIdentity& id, const std::vector<std::string>& fieldNames,
          const std::string& key) {
    for (t.First(); !t.Eof(); t.Next())
        if (id.Key(t, fieldNames) == key) return true;
    return false;
}

void CopyTable(TvdlMemTable& from, TvdlMemTable& to) {
    const std::string index = from.IndexName();
    const std::string bytes = from.SaveToBinaryString();
    to.Close();
    to.LoadFromBinaryString(bytes);
    if (!index.empty()) to.SetIndexName(index);
    to.First();
}

}  // namespace

void SaveTableFile(TvdlMemTable& t, const std::string& path) {
    const platform::FsStatus st = platform::Env::Current()->WriteFileAtomic(path, t.SaveToBinaryString());
    if (!st.ok()) throw EMemTableError("Cannot write file \"" + path + "\": " + st.Text());
}

TableOwner::TableOwner(std::string fileName, std::vector<std::string> keyFields, bool keyNoCase)
    : fileName_(std::move(fileName)), keyFields_(std::move(keyFields)), keyNoCase_(keyNoCase) {}

void TableOwner::Adopt(TvdlMemTable& loaded) {
    if (!loaded.Active()) {
        table_.Close();
        return;
    }
    CopyTable(loaded, table_);
}

void TableOwner::CopyTo(TvdlMemTable& copy) {
    if (!table_.Active()) {
        copy.Close();
        return;
    }
    const int mark = table_.GetBookmark();
    CopyTable(table_, copy);
    if (mark >= 0 && table_.BookmarkValid(mark)) table_.GotoBookmark(mark);
}

void TableOwner::Close() { table_.Close(); }

bool TableOwner::Change(const std::string& dir, const std::function<void(TvdlMemTable&)>& edit,
                        std::string* error) {
    const bool wasActive = table_.Active();
    const std::string index = table_.IndexName();
    std::string before;
    if (wasActive) {
        table_.CheckBrowseMode();
        before = table_.SaveToBinaryString();
    }
    try {
        edit(table_);
        if (!table_.Active()) throw std::runtime_error("the table is not loaded");
        table_.CheckBrowseMode();
        const std::string path = dir + fileName_;
        platform::Env* env = env_ != nullptr ? env_ : platform::Env::Current();
        std::string original;
        const platform::FsStatus read = env->ReadFile(path, original);
        const platform::FsStatus st = env->WriteFileAtomic(path, table_.SaveToBinaryString());
        if (!st.ok()) {
            // A failure after the rename (the folder's sync) leaves the new
            // file in place: the old one goes back, so that file and table
            // agree again.
            std::string now;
            if (read.error == ENOENT) env->Unlink(path);
            else if (read.ok() && env->ReadFile(path, now).ok() && now != original) env->WriteFileAtomic(path, original);
            throw std::runtime_error(st.Text());
        }
        return true;
    } catch (const std::exception& e) {
        if (error != nullptr) *error = e.what();
        try {
            if (table_.Active() && table_.State() != dsBrowse) table_.Cancel();
            table_.Close();
            if (wasActive) {
                table_.LoadFromBinaryString(before);
                if (!index.empty()) table_.SetIndexName(index);
                table_.First();
            }
        } catch (const std::exception&) {
            // The rows were taken from this very table a moment ago.
        }
        return false;
    }
}

bool TableOwner::ApplyEdits(const std::string& dir, const std::string& base, TvdlMemTable& edited,
                            std::string* error) {
    if (!edited.Active()) {
        if (error != nullptr) *error = "the edited table is not open";
        return false;
    }
    edited.CheckBrowseMode();
    std::vector<std::string> fieldNames;
    for (int i = 0; i < edited.FieldCount(); ++i) fieldNames.push_back(edited.Fields(i).FieldName);
    const RowIdentity id{keyFields_, keyNoCase_};
    TvdlMemTable baseTable;
    if (!base.empty()) baseTable.LoadFromBinaryString(base);
    const auto before = Rows(baseTable, id, fieldNames);
    const auto after = Rows(edited, id, fieldNames);
    std::vector<std::string> keys;
    for (const auto& [key, rows] : before) keys.push_back(key);
    for (const auto& [key, rows] : after)
        if (before.count(key) == 0) keys.push_back(key);
    const std::vector<Row> none;
    auto rowsOf = [&](const std::map<std::string, std::vector<Row>>& m, const std::string& key) -> const std::vector<Row>& {
        const auto it = m.find(key);
        return it == m.end() ? none : it->second;
    };
    const int mark = edited.GetBookmark();
    const bool ok = Change(dir, [&](TvdlMemTable& t) {
        if (!t.Active()) {
            // Nothing to merge into: the editor's table is the table.
            CopyTable(edited, t);
            return;
        }
        if (t.RangeActive()) t.CancelRange();
        auto put = [&](const Row& row, bool replace, const std::string& key) {
            edited.GotoBookmark(row.bookmark);
            if (replace && Seek(t, id, fieldNames, key)) t.Edit();
            else t.Append();
            for (const auto& name : fieldNames)
                if (TField* f = t.FindField(name)) f->SetValue(edited.FieldByName(name).Value());
            t.Post();
        };
        for (const auto& key : keys) {
            const auto& was = rowsOf(before, key);
            const auto& now = rowsOf(after, key);
            if (!keyFields_.empty()) {
                // A keyed row: gone, new, or changed in the editor.
                if (now.empty()) {
                    if (Seek(t, id, fieldNames, key)) t.Delete();
                } else if (was.empty() || was.front().image != now.front().image) {
                    put(now.front(), true, key);
                }
                continue;
            }
            // Whole rows: as many more or fewer copies as the editor made.
            for (size_t n = now.size(); n < was.size() && Seek(t, id, fieldNames, key); ++n) t.Delete();
            for (size_t n = was.size(); n < now.size(); ++n) put(now[n], false, key);
        }
        t.First();
    }, error);
    if (mark >= 0 && edited.BookmarkValid(mark)) edited.GotoBookmark(mark);
    return ok;
}

TableOwner& Users() {
    static TableOwner owner("users.dat", {"Name"}, true);
    return owner;
}
TableOwner& PopAccounts() {
    static TableOwner owner("pop.dat", {"Name"}, false);
    return owner;
}
TableOwner& Links() {
    static TableOwner owner("link.dat");
    return owner;
}
TableOwner& Aliases() {
    static TableOwner owner("elink.dat");
    return owner;
}
TableOwner& Domains() {
    static TableOwner owner("domain.dat", {"Domain"}, true);
    return owner;
}
TableOwner& Forwards() {
    static TableOwner owner("forward.dat");
    return owner;
}
TableOwner& Holidays() {
    static TableOwner owner("holiday.dat");
    return owner;
}

TableOwner& Audit() {
    static TableOwner owner("audit.dat");
    return owner;
}

TableOwner& Uidl() {
    static TableOwner owner("uidl.dat");
    return owner;
}

TableOwner& Addresses() {
    static TableOwner owner("address.dat", {"User", "Name"});
    return owner;
}

std::vector<std::string> UserNames() {
    std::vector<std::string> names;
    TvdlMemTable& t = Users().Table();
    if (!t.Active() || t.FindField("Name") == nullptr) return names;
    const int mark = t.GetBookmark();
    for (t.First(); !t.Eof(); t.Next()) names.push_back(t.FieldByName("Name").AsString());
    if (mark >= 0 && t.BookmarkValid(mark)) t.GotoBookmark(mark);
    return names;
}

}  // namespace tables
