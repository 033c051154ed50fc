// Loading the program's table files safely: a missing file is made
// with its layout, an unreadable one is set aside as <name>.bad (never
// deleted) and replaced by the records read before the damage (an empty
// table when there are none), with a log line and a warning.
#pragma once

#include <functional>
#include <string>

#include "tables/memtable.h"

namespace tablefiles {

// Defines a table's fields and index and leaves it open and empty.
using Definer = std::function<void(TvdlMemTable&)>;

// Loads path into t. When the file is missing, t gets the layout of define
// and that empty table is saved as path. When it cannot be read whole, it
// is set aside and t keeps the file's layout and the records before the
// damage (define's empty table when the layout itself is damaged), saved
// as path; the log and a warning box (stderr headless) name the file and
// the records kept. Returns false when the file was missing or set aside.
bool LoadOrCreate(TvdlMemTable& t, const std::string& path, const Definer& define);

// Selects the index by name; a file that does not carry it leaves the table
// in row order (and says so in the log) rather than failing the load.
void SelectIndex(TvdlMemTable& t, const std::string& name);

// Closes t and gives it the fields, then the one index, and opens it.
struct FieldSpec {
    const char* name;
    TFieldType type;
    int size;
};
void Define(TvdlMemTable& t, std::initializer_list<FieldSpec> fields, const std::string& indexName,
            const std::string& indexFields, TIndexOptions options);

// Rebuilds t in the layout that define gives, copying every row field by
// field, matched by name; fill runs on each new row before it is posted
// (for the fields the old layout lacked). The old file is copied to oldPath
// first and the new table then replaces path in one step, so the rows are
// on disk at every moment. scratch is a work table left closed.
void Migrate(TvdlMemTable& t, TvdlMemTable& scratch, const Definer& define, const std::string& path,
             const std::string& oldPath, const std::function<void(TvdlMemTable&)>& fill);

// Calls fn on every record in the current order, then puts the cursor back
// on the record that was current.
void ForEach(TvdlMemTable& t, const std::function<void()>& fn);

// Renames a bad file aside to <path>.bad (or .bad1, .bad2, ... when taken);
// returns the new name, empty when the rename failed.
std::string SetAside(const std::string& path);

// A line in the client log (connect.log) stamped with the time of day.
void LogLine(const std::string& text);

}  // namespace tablefiles
