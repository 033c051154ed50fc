// The table's internal operations, shared by its source files. TableOps is a
// friend of the table and its fields; nothing outside src/tables uses it.
#pragma once

#include "memtable_internal.h"

extern const char* const kDuplicateIndex;
extern const char* const kNotEditMode;
extern const char* const kKeyFieldsChanged;

// Field sizes beyond this are refused: a file could otherwise ask for
// unbounded fixed-size buffers.
constexpr int kMaxFieldSize = 1 << 20;
constexpr int kBookmarkLimit = 2147483600;

struct TableOps {
    using T = TvdlCustomMemTable;
    using Impl = TvdlCustomMemTable::Impl;

    static TvdlMemTable& Self(T& t);
    static void Progress(T& t, int pct, TvdlProgressCode code);
    static void DataChanged(T& t);
    static void CheckActive(const T& t);
    // Key entry for one end of a range (SetRangeStart / SetRangeEnd).
    static void StartRangeKey(T& t, Row& bound, bool& has);

    // Fields and values
    static TField& NewField(T& t, const std::string& name, TFieldType type, int size, TFieldKind kind,
                            bool required);
    static void CheckFieldDef(const TFieldDef& d);
    static void CreateFieldsFromDefs(T& t);
    static bool NeedsCalc(T& t);
    static const Row* ReadRow(const T& t);
    static Cell& WriteCell(T& t, const TField& f);
    static void AssignText(const TField& f, Cell& c, const std::string& v);
    static void AssignFloat(const TField& f, Cell& c, double v);
    static void AssignInt(const TField& f, Cell& c, std::int64_t v);
    static void AssignVariant(const TField& f, Cell& c, const TvdlVariant& v);
    static double CellAsFloat(const TField& f, const Cell& c);
    static std::string CellAsString(const TField& f, const Cell& c);
    static TvdlVariant CellAsVariant(const TField& f, const Cell& c);
    static int FieldIndex(const TField& f) { return f.index_; }

    // Compare
    static int CompareRows(T& t, const std::vector<int>& fields, const Row& key, const Row& rec,
                           TvdlMemTableCompareOptions opts, int limit);
    static int OrderCompare(T& t, const TvdlIndex& idx, const TvdlRecord& a, const TvdlRecord& b);

    // Store and indexes
    static TvdlRecord* StoreAdd(T& t, std::unique_ptr<TvdlRecord> rec, bool reuseSlots);
    static void StoreRemove(T& t, TvdlRecord* rec);
    static void ClearStore(T& t);
    static void ResolveIndexFields(T& t, TvdlIndex& idx);
    static bool Maintained(const T& t, const TvdlIndex& idx);
    static int PositionOf(T& t, TvdlIndex& idx, const TvdlRecord* rec);
    static int InsertPosition(T& t, TvdlIndex& idx, const TvdlRecord* rec);
    static void SortIndex(T& t, TvdlIndex& idx);
    static void EnsureBuilt(T& t, TvdlIndex& idx);
    static void IndexesInsert(T& t, TvdlRecord* rec);
    static void RebuildAll(T& t);
    static void UpdateIndexes(T& t);

    // Acceptance and cursor
    static void CalcRow(T& t, Row& row);
    static bool InRange(T& t, const Row& row);
    static bool MasterMatches(T& t, const Row& row);
    static bool CanReject(T& t);
    static bool Accept(T& t, TvdlRecord* rec);
    static void Resync(T& t);
    static void Window(T& t, int& lo, int& hi);
    static int Seek(T& t, int p, int dir);
    static void SetPos(T& t, int p);
    static void Settle(T& t, int hint);
    static void AfterChange(T& t);
    static void SelectIndex(T& t, TvdlIndex* idx);

    // Editing
    static void CheckUnique(T& t, const Row& row, const TvdlRecord* self);
    static void CheckRequired(T& t, const Row& row);
    static void KeepVersion(T& t, TvdlRecord* rec);

    // Search
    static void FillKey(T& t, Row& key, const TvdlValues& values);
    static int Search(T& t, TvdlIndex& idx, const std::vector<int>& fields, const Row& key,
                      TvdlMemTableCompareOptions opts, bool ordered, bool respectAccept);
    static int LocateRecord(T& t, const std::string& keyFields, const TvdlVariant& keyValues,
                            TLocateOptions options);

    // Files (memtable_file.cpp)
    static void LoadPersistent(T& t);
    static std::string SaveBinary(T& t, TvdlMemTableSaveFlags flags);
    static void LoadBinary(T& t, const std::string& bytes);

    // Access for the journal, deltas and filter
    static std::vector<std::unique_ptr<TField>>& FieldList(T& t) { return t.fields_; }
    static Store& StoreOf(T& t) { return *t.impl_->store; }
    static TFieldDefs& FieldDefs(T& t) { return t.fieldDefs_; }
    static TIndexDefs& IndexDefs(T& t) { return t.indexDefs_; }
    static std::shared_ptr<TvdlIndexes>& Indexes(T& t) { return t.indexes_; }
    static TvdlIndex*& Current(T& t) { return t.current_; }
    static TDataSetState& State(T& t) { return t.state_; }
    static std::string& IndexName(T& t) { return t.indexName_; }
    static std::string& IndexFieldNames(T& t) { return t.indexFieldNames_; }
    static bool& RangeActive(T& t) { return t.rangeActive_; }
    static bool& LoadedCompletely(T& t) { return t.loadedCompletely_; }
    static bool& Loading(T& t) { return t.loading_; }
    static bool& Eof(T& t) { return t.eof_; }
    static bool& Bof(T& t) { return t.bof_; }
    static Impl& Im(T& t) { return *t.impl_; }
    static void SetTable(TField& f, T& t, int index) {
        f.table_ = &Self(t);
        f.index_ = index;
    }
};
