// In-memory indexed table: the record set behind every persistent list of
// the program (users.dat, pop.dat, uidl.dat, elink.dat, ...). Records live
// wholly in memory; named sorted indexes give key search and key ranges;
// the table saves and loads itself in its own binary data-file format.
//
// Usage:
//
//   TvdlMemTable tbl;
//   tbl.FieldDefs().Clear();
//   tbl.FieldDefs().Add("POP", ftString, 64);
//   tbl.FieldDefs().Add("UIDL", ftString, 64);
//   tbl.FieldDefs().Add("Received", ftDate);
//   tbl.CreateTable();
//   tbl.IndexDefs().Clear();
//   tbl.AddIndex("ixUIDL", "POP;UIDL", ixPrimary);
//   tbl.Open();
//   tbl.SetIndexName("ixUIDL");
//
//   tbl.Append();
//   tbl.FieldByName("POP").SetAsString("work");
//   tbl.FieldByName("UIDL").SetAsString("abc123");
//   tbl.FieldByName("Received").SetAsDateTime(memtable::EncodeDate(2026, 12, 7));
//   tbl.Post();                                // throws EMemTableError
//
//   if (tbl.FindKey({"work", "abc123"}))       // current index's leading fields
//       std::string uid = tbl.FieldByName("UIDL").AsString();
//
//   tbl.SetRange({"work"}, {"work"});          // all rows of one account
//   for (tbl.First(); !tbl.Eof(); tbl.Next()) { ... }
//   tbl.CancelRange();
//
//   tbl.SaveToBinaryFile(path);                // whole table, crash-safe
//   tbl.Close(); tbl.Open();
//   tbl.LoadFromBinaryFile(path);              // a damaged file throws and
//                                              // leaves the table unchanged
//                                              // (see KeepRecordsReadOnError)
//
// Every failure is raised as EMemTableError (derived from EDatabaseError,
// derived from std::runtime_error) with the table's own message texts.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

class EDatabaseError : public std::runtime_error {
public:
    explicit EDatabaseError(const std::string& message) : std::runtime_error(message) {}
};

class EMemTableError : public EDatabaseError {
public:
    explicit EMemTableError(const std::string& message) : EDatabaseError(message) {}
};

// ---------------------------------------------------------------------------
// Field types, kinds, index options
// ---------------------------------------------------------------------------

// The ordinals are stored in files by name (FieldTypeName) and must not move.
enum TFieldType : int {
    ftUnknown = 0, ftString, ftSmallint, ftInteger, ftWord, ftBoolean, ftFloat,
    ftCurrency, ftBCD, ftDate, ftTime, ftDateTime, ftBytes, ftVarBytes, ftAutoInc,
    ftBlob, ftMemo, ftGraphic, ftFmtMemo, ftParadoxOle, ftDBaseOle, ftTypedBinary,
    ftCursor, ftFixedChar, ftWideString, ftLargeint, ftADT, ftArray, ftReference,
    ftDataSet, ftOraBlob, ftOraClob, ftVariant, ftInterface, ftIDispatch, ftGuid
};
constexpr int FieldTypeCount = 36;

enum TFieldKind : int { fkData = 0, fkCalculated, fkLookup, fkInternalCalc };

// Index options (bit set).
using TIndexOptions = unsigned;
constexpr TIndexOptions ixPrimary = 1;
constexpr TIndexOptions ixUnique = 2;
constexpr TIndexOptions ixDescending = 4;
constexpr TIndexOptions ixCaseInsensitive = 8;
constexpr TIndexOptions ixExpression = 16;
constexpr TIndexOptions ixNonMaintained = 32;

// Compare options of one search or compare (bit set).
using TvdlMemTableCompareOptions = unsigned;
constexpr TvdlMemTableCompareOptions mtcoDescending = 1u << 0;
constexpr TvdlMemTableCompareOptions mtcoCaseInsensitive = 1u << 1;
constexpr TvdlMemTableCompareOptions mtcoPartialKey = 1u << 2;
constexpr TvdlMemTableCompareOptions mtcoIgnoreNullKey = 1u << 3;
constexpr TvdlMemTableCompareOptions mtcoIgnoreLocale = 1u << 4;

// Locate options (bit set).
using TLocateOptions = unsigned;
constexpr TLocateOptions loCaseInsensitive = 1;
constexpr TLocateOptions loPartialKey = 2;

// Filter options of the expression filter (bit set).
using TFilterOptions = unsigned;
constexpr TFilterOptions foCaseInsensitive = 1;
constexpr TFilterOptions foNoPartialCompare = 2;

// Save flags (16-bit set, bit = ordinal).
using TvdlMemTableSaveFlags = std::uint16_t;
constexpr TvdlMemTableSaveFlags mtfSaveData = 1u << 0;
constexpr TvdlMemTableSaveFlags mtfSaveCalculated = 1u << 1;
constexpr TvdlMemTableSaveFlags mtfSaveLookup = 1u << 2;
constexpr TvdlMemTableSaveFlags mtfSaveNonVisible = 1u << 3;
constexpr TvdlMemTableSaveFlags mtfSaveBlobs = 1u << 4;
constexpr TvdlMemTableSaveFlags mtfSaveDef = 1u << 5;
constexpr TvdlMemTableSaveFlags mtfSaveIndexDef = 1u << 6;
constexpr TvdlMemTableSaveFlags mtfSkipRest = 1u << 7;
constexpr TvdlMemTableSaveFlags mtfSaveFiltered = 1u << 8;
constexpr TvdlMemTableSaveFlags mtfSaveInLocalFormat = 1u << 9;
constexpr TvdlMemTableSaveFlags mtfSaveIgnoreRange = 1u << 10;
constexpr TvdlMemTableSaveFlags mtfSaveIgnoreMasterDetail = 1u << 11;
constexpr TvdlMemTableSaveFlags mtfSaveDeltas = 1u << 12;
constexpr TvdlMemTableSaveFlags mtfSaveDontFilterDeltas = 1u << 13;

// The flag set of the program's table files ($1073): data, calculated,
// blobs, field and index lists, deltas.
constexpr TvdlMemTableSaveFlags mtfSaveProgramFile = 0x1073;
// What a save of the whole table passes: $1073 plus suspending any range,
// filter or master/detail restriction, so no row can be left out of the file.
constexpr TvdlMemTableSaveFlags mtfSaveWholeTable =
    mtfSaveProgramFile | mtfSaveFiltered | mtfSaveIgnoreRange | mtfSaveIgnoreMasterDetail;

// Progress codes of OnProgress.
enum TvdlProgressCode : int {
    mtpcLoad = 0, mtpcSave, mtpcEmpty, mtpcPack, mtpcCheckPoint, mtpcSearch,
    mtpcCopy, mtpcUpdate, mtpcSort
};
using TvdlProgressCodes = unsigned;  // bit = code

enum TvdlVersioningMode : int { mtvm1SinceCheckPoint = 0, mtvmAllSinceCheckPoint };

enum TUpdateStatus : std::uint8_t { usUnmodified = 0, usModified, usInserted, usDeleted };
using TUpdateStatusSet = unsigned;  // bit = TUpdateStatus; 0 = no filter

enum TDataSetState : int {
    dsInactive = 0, dsBrowse, dsEdit, dsInsert, dsSetKey, dsCalcFields, dsFilter
};

enum TvdlSaveFormat : int { mtsfBinary = 0, mtsfCSV };

// Days since 30 December 1899; the time of day is the fraction.
using TDateTime = double;

// ---------------------------------------------------------------------------
// Values passed to FindKey, SetRange, Locate and Lookup
// ---------------------------------------------------------------------------

class TvdlVariant {
public:
    enum Kind { vkNull, vkBool, vkInt, vkFloat, vkString, vkArray };

    TvdlVariant() = default;
    TvdlVariant(bool v) : kind_(vkBool), i_(v ? 1 : 0) {}
    TvdlVariant(int v) : kind_(vkInt), i_(v) {}
    TvdlVariant(unsigned v) : kind_(vkInt), i_(v) {}
    TvdlVariant(long v) : kind_(vkInt), i_(v) {}
    TvdlVariant(long long v) : kind_(vkInt), i_(v) {}
    TvdlVariant(unsigned long v) : kind_(vkInt), i_(static_cast<std::int64_t>(v)) {}
    TvdlVariant(unsigned long long v) : kind_(vkInt), i_(static_cast<std::int64_t>(v)) {}
    TvdlVariant(double v) : kind_(vkFloat), f_(v) {}
    TvdlVariant(const char* v) : kind_(vkString), s_(v ? v : "") {}
    TvdlVariant(std::string v) : kind_(vkString), s_(std::move(v)) {}
    static TvdlVariant Array(std::vector<TvdlVariant> items);

    Kind kind() const { return kind_; }
    bool IsNull() const { return kind_ == vkNull; }
    bool IsArray() const { return kind_ == vkArray; }
    const std::vector<TvdlVariant>& Items() const { return items_; }

    // Conversions; Null reads as "", 0, false, 0.0.
    std::string AsString() const;
    std::int64_t AsInt64() const;
    bool AsBool() const;
    double AsFloat() const;

    bool operator==(const TvdlVariant& other) const;

private:
    Kind kind_ = vkNull;
    std::int64_t i_ = 0;
    double f_ = 0;
    std::string s_;
    std::vector<TvdlVariant> items_;
};

using TvdlValues = std::vector<TvdlVariant>;

// ---------------------------------------------------------------------------
// Date helpers (no dependence on the machine's clock or locale)
// ---------------------------------------------------------------------------

namespace memtable {

TDateTime EncodeDate(int year, int month, int day);  // throws EMemTableError on a bad date
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& millisecond);

// The table's own text collation: deterministic, independent of the locale.
// Case-sensitive order sorts by letter first and puts lower case before
// upper case at the first difference ("a" < "A" < "b" < "B"); the
// case-insensitive order folds ASCII and Latin-1 letters. The ordinal forms
// compare bytes (CompareText folds ASCII letters only).
int AnsiCompareStr(const std::string& a, const std::string& b);
int AnsiCompareText(const std::string& a, const std::string& b);
int CompareStr(const std::string& a, const std::string& b);
int CompareText(const std::string& a, const std::string& b);

const char* FieldTypeName(TFieldType type);    // "String", "Integer", ...
bool FieldTypeSupported(TFieldType type);      // may a table hold it
bool IsBlobType(TFieldType type);              // Blob .. TypedBinary

}  // namespace memtable

class TvdlMemTable;

// ---------------------------------------------------------------------------
// Fields
// ---------------------------------------------------------------------------

struct TFieldDef {
    std::string Name;
    TFieldType DataType = ftUnknown;
    int Size = 0;
    bool Required = false;
};

class TFieldDefs {
public:
    TFieldDef& Add(const std::string& name, TFieldType type, int size = 0, bool required = false);
    void Clear() { defs_.clear(); }
    int Count() const { return static_cast<int>(defs_.size()); }
    TFieldDef& operator[](int i) { return defs_.at(static_cast<size_t>(i)); }
    const TFieldDef& operator[](int i) const { return defs_.at(static_cast<size_t>(i)); }
    int IndexOf(const std::string& name) const;  // case-insensitive; -1 when none
private:
    std::vector<TFieldDef> defs_;
};

struct TIndexDef {
    std::string Name;
    std::string Fields;  // field names separated by ";"
    TIndexOptions Options = 0;
    std::string DisplayName() const { return Name; }
};

class TIndexDefs {
public:
    TIndexDef& Add(const std::string& name, const std::string& fields, TIndexOptions options);
    void Clear() { defs_.clear(); }
    int Count() const { return static_cast<int>(defs_.size()); }
    TIndexDef& operator[](int i) { return defs_.at(static_cast<size_t>(i)); }
    const TIndexDef& operator[](int i) const { return defs_.at(static_cast<size_t>(i)); }
    int IndexOf(const std::string& name) const;  // case-insensitive; -1 when none
    void Delete(int i) { defs_.erase(defs_.begin() + i); }
private:
    std::vector<TIndexDef> defs_;
};

// One column of an open table. Reads and writes go to the record the table
// is positioned on (or to its edit or key buffer in those states).
class TField {
public:
    // Definition
    std::string FieldName;
    TFieldType DataType = ftUnknown;
    int Size = 0;
    TFieldKind FieldKind = fkData;
    bool Required = false;
    bool ReadOnly = false;
    bool Visible = true;
    std::string DisplayLabel;       // empty: the field name is shown
    std::string EditMask;
    int DisplayWidth = 0;           // 0: derived from the size
    std::string DefaultExpression;  // text assigned to a new record
    int Alignment = 0;
    std::string DisplayFormat, EditFormat, DisplayValues;
    double MinValue = 0, MaxValue = 0;
    int Precision = 15;
    bool Currency = false;
    bool Transliterate = true;
    // Lookup field settings (FieldKind == fkLookup).
    TvdlMemTable* LookupDataSet = nullptr;
    std::string KeyFields, LookupKeyFields, LookupResultField;

    int FieldNo() const { return index_ + 1; }
    std::string DisplayName() const { return DisplayLabel.empty() ? FieldName : DisplayLabel; }
    int GetDisplayWidth() const;
    TvdlMemTable& DataSet() const { return *table_; }

    // Reading
    bool IsNull() const;
    std::string AsString() const;        // text form of any type
    std::int64_t AsInteger() const;      // also AsLargeInt
    bool AsBoolean() const;
    double AsFloat() const;
    TDateTime AsDateTime() const;
    double AsCurrency() const { return AsFloat(); }
    TvdlVariant Value() const;           // Null when the field has no value

    // Writing (edit, insert, key-entry, calculation and filter states only)
    void SetAsString(const std::string& v);
    void SetAsInteger(std::int64_t v);
    void SetAsBoolean(bool v);
    void SetAsFloat(double v);
    void SetAsDateTime(TDateTime v);
    void SetAsCurrency(double v) { SetAsFloat(v); }
    void SetValue(const TvdlVariant& v);  // Null clears
    void Clear();

private:
    friend class TvdlCustomMemTable;
    friend struct TableOps;
    TvdlMemTable* table_ = nullptr;
    int index_ = 0;
};

// ---------------------------------------------------------------------------
// Blobs
// ---------------------------------------------------------------------------

// One blob field value of one record.
struct TvdlBlob {
    std::string Data;
    std::size_t Size() const { return Data.size(); }
};

enum TBlobStreamMode : int { bmRead = 0, bmWrite, bmReadWrite };

// A memory stream over one blob field of the current record. A modified
// stream hands its bytes back to the field when it is destroyed (or at
// Flush); zero bytes leave the field null.
class TvdlBlobStream {
public:
    TvdlBlobStream(TField& field, TBlobStreamMode mode);
    ~TvdlBlobStream();
    TvdlBlobStream(const TvdlBlobStream&) = delete;
    TvdlBlobStream& operator=(const TvdlBlobStream&) = delete;

    std::size_t Read(void* buffer, std::size_t count);
    std::size_t Write(const void* buffer, std::size_t count);
    void Seek(std::size_t position) { pos_ = position <= data_.size() ? position : data_.size(); }
    std::size_t Position() const { return pos_; }
    std::size_t Size() const { return data_.size(); }
    void Truncate();                      // cuts at the position
    const std::string& Bytes() const { return data_; }
    void Flush();                         // hands a modified stream back now

private:
    TField* field_;
    TBlobStreamMode mode_;
    std::string data_;
    std::size_t pos_ = 0;
    bool modified_ = false;
};

// ---------------------------------------------------------------------------
// Indexes
// ---------------------------------------------------------------------------

struct TvdlRecord;

class TvdlIndex {
public:
    std::string Name;
    std::string FieldNames;                 // ";"-separated
    TIndexOptions Options = 0;
    TvdlMemTableCompareOptions CompareOptions = 0;
    bool IsOrdered = false;
    bool IsRowOrder = false;
    std::vector<int> Fields;                // field indexes resolved from FieldNames
    std::vector<TvdlRecord*> References;    // records in index order

    int Count() const { return static_cast<int>(References.size()); }
};

class TvdlIndexes {
public:
    static constexpr const char* RowOrderName = "__MT__ROWORDER";
    TvdlIndexes();
    TvdlIndex* Find(const std::string& name) const;  // case-insensitive; nullptr when none
    TvdlIndex* RowOrder() const { return list_.front().get(); }
    int Count() const { return static_cast<int>(list_.size()); }
    TvdlIndex* operator[](int i) const { return list_.at(static_cast<size_t>(i)).get(); }
    TvdlIndex* Add(const std::string& name, const std::string& fields, TIndexOptions options);
    void Remove(TvdlIndex* index);
    void Clear();                           // all but the row-order index
    void EmptyAll();                        // empties every list
private:
    std::vector<std::unique_ptr<TvdlIndex>> list_;
};

class TvdlCustomDeltaHandler;
class TvdlJournal;
struct TableOps;

// ---------------------------------------------------------------------------
// The table
// ---------------------------------------------------------------------------

class TvdlCustomMemTable {
protected:
    TvdlCustomMemTable();  // tables are made as TvdlMemTable
public:
    virtual ~TvdlCustomMemTable();
    TvdlCustomMemTable(const TvdlCustomMemTable&) = delete;
    TvdlCustomMemTable& operator=(const TvdlCustomMemTable&) = delete;

    static constexpr const char* Version = "2.49";

    // --- Structure ---------------------------------------------------------
    TFieldDefs& FieldDefs() { return fieldDefs_; }
    TIndexDefs& IndexDefs() { return indexDefs_; }
    void CreateTable();
    // Adds a field to a closed table (calculated and lookup fields included).
    TField& AddField(const std::string& name, TFieldType type, int size = 0,
                     TFieldKind kind = fkData, bool required = false);
    void AddIndex(const std::string& name, const std::string& fields, TIndexOptions options);
    void DeleteIndex(const std::string& name);
    TvdlIndexes& Indexes() { return *indexes_; }

    // --- Open/close and state ----------------------------------------------
    void Open();
    void Close();
    bool Active() const { return state_ != dsInactive; }
    void SetActive(bool on) { on ? Open() : Close(); }
    TDataSetState State() const { return state_; }
    void EmptyTable();                      // removes every record

    // --- Fields ------------------------------------------------------------
    int FieldCount() const { return static_cast<int>(fields_.size()); }
    TField& Fields(int i);
    TField& FieldByName(const std::string& name);  // raises "Field '%s' not found"
    TField* FindField(const std::string& name);    // nullptr when none
    bool IsIndexField(const TField& field) const;

    // --- Navigation --------------------------------------------------------
    void First();
    void Last();
    void Next();
    void Prior();
    int MoveBy(int distance);
    bool Eof() const { return eof_; }
    bool Bof() const { return bof_; }
    bool IsEmpty();
    int RecordCount();
    int RecNo();                            // 1-based position among accepted records; 0 when none
    void SetRecNo(int recNo);
    int GetBookmark() const;                // the current record's RecordID; -1 when none
    void GotoBookmark(int bookmark);        // raises "Bookmark %d not found."
    bool BookmarkValid(int bookmark) const;

    // --- Editing -----------------------------------------------------------
    void Append();
    void Insert();                          // same as Append: the indexes decide the place
    void Edit();
    void Post();
    void Cancel();
    void Delete();
    void CheckBrowseMode();                 // posts a pending edit

    // --- Indexes and keys --------------------------------------------------
    std::string IndexName() const { return indexName_; }
    void SetIndexName(const std::string& name);
    std::string IndexFieldNames() const { return indexFieldNames_; }
    void SetIndexFieldNames(const std::string& names);
    TvdlIndex* CurrentIndex() const { return current_; }

    bool FindKey(const TvdlValues& values);
    void SetRangeStart();
    void SetRangeEnd();
    void ApplyRange();
    void CancelRange();
    void SetRange(const TvdlValues& startValues, const TvdlValues& endValues);
    bool RangeActive() const { return rangeActive_; }

    virtual TvdlVariant Lookup(const std::string& keyFields, const TvdlVariant& keyValues,
                               const std::string& resultFields);
    virtual bool Locate(const std::string& keyFields, const TvdlVariant& keyValues,
                        TLocateOptions options);

    // --- Filtering ---------------------------------------------------------
    bool Filtered() const { return filtered_; }
    void SetFiltered(bool on);
    std::string Filter() const { return filterText_; }
    void SetFilter(const std::string& expression);  // parsed at once when open
    TFilterOptions FilterOptions = 0;
    std::function<void(TvdlMemTable& table, bool& accept)> OnFilterRecord;
    TUpdateStatusSet StatusFilter() const { return statusFilter_; }
    void SetStatusFilter(TUpdateStatusSet statuses);

    // --- Master/detail -----------------------------------------------------
    void SetMasterSource(TvdlMemTable* master);
    TvdlMemTable* MasterSource() const { return master_; }
    std::string MasterFields;                       // ";"-separated fields of the master

    // --- Files -------------------------------------------------------------
    // The program's saves call SaveToBinaryFile(name) with the default flags:
    // the whole table is written whatever range or filter is active.
    void SaveToBinaryFile(const std::string& fileName,
                          TvdlMemTableSaveFlags flags = mtfSaveWholeTable);
    void LoadFromBinaryFile(const std::string& fileName);
    void SaveToBinaryStream(std::ostream& stream, TvdlMemTableSaveFlags flags = mtfSaveWholeTable);
    void LoadFromBinaryStream(std::istream& stream);
    std::string SaveToBinaryString(TvdlMemTableSaveFlags flags = mtfSaveWholeTable);
    void LoadFromBinaryString(const std::string& bytes);

    // CSV carries no older versions: its default is the whole table without
    // mtfSaveDeltas (which CSV refuses).
    static constexpr TvdlMemTableSaveFlags mtfSaveCSVDefault =
        mtfSaveData | mtfSaveBlobs | mtfSaveDef | mtfSaveIndexDef | mtfSaveNonVisible | mtfSaveFiltered |
        mtfSaveIgnoreRange | mtfSaveIgnoreMasterDetail;
    void SaveToCSVFile(const std::string& fileName, TvdlMemTableSaveFlags flags = mtfSaveCSVDefault);
    void LoadFromCSVFile(const std::string& fileName);
    void SaveToCSVStream(std::ostream& stream, TvdlMemTableSaveFlags flags = mtfSaveCSVDefault);
    void LoadFromCSVStream(std::istream& stream);
    char CSVQuote = '"';
    std::string CSVFieldDelimiter = ",";
    std::string CSVRecordDelimiter = ",";

    // The stored "Data" property: with StoreDataOnForm the table keeps its
    // records in a blob of the binary format and reads them back at Open.
    bool StoreDataOnForm = false;
    std::string StoredData();                       // the open table in that form
    void SetStoredData(const std::string& bytes);
    static constexpr TvdlMemTableSaveFlags mtfSaveStoredData =
        mtfSaveData | mtfSaveNonVisible | mtfSaveBlobs | mtfSaveDef | mtfSaveFiltered | mtfSaveIgnoreRange |
        mtfSaveIgnoreMasterDetail;

    int LoadLimit = 0;                              // 0 = no limit
    bool LoadedCompletely() const { return loadedCompletely_; }
    // A damaged file still gives what lies before the damage: with this on,
    // a binary load that fails after the field and index lists keeps the
    // file's fields, its indexes and every whole record read before the
    // fault (LoadedCompletely false), then throws the error all the same. A
    // fault in those lists, or a load that fails as a whole (duplicate
    // keys), still leaves the table as it was.
    bool KeepRecordsReadOnError = false;

    // --- Auto-persistence --------------------------------------------------
    bool Persistent = false;
    std::string PersistentFile;
    TvdlSaveFormat PersistentSaveFormat = mtsfBinary;
    TvdlMemTableSaveFlags PersistentSaveOptions =
        mtfSaveData | mtfSaveNonVisible | mtfSaveIgnoreRange | mtfSaveIgnoreMasterDetail;
    bool PersistentBackup = false;
    std::string PersistentBackupExt = ".bak";
    void SavePersistent();

    // --- Versioning, transactions, journal, deltas ---------------------------
    bool EnableIndexes = true;
    bool EnableVersioning = false;
    TvdlVersioningMode VersioningMode = mtvmAllSinceCheckPoint;
    void CheckPoint();                     // forgets older versions and deleted records
    virtual void StartTransaction();
    virtual void Commit();
    virtual void Rollback();
    int TransactionLevel() const { return transactionLevel_; }
    bool EnableJournal() const { return journal_ != nullptr; }
    void SetEnableJournal(bool on);
    TvdlJournal* Journal() const { return journal_.get(); }
    TvdlCustomDeltaHandler* DeltaHandler = nullptr;
    int DeletedCount() const;

    // --- Attached tables ---------------------------------------------------
    void SetAttachedTo(TvdlMemTable* other);       // nullptr detaches
    TvdlMemTable* AttachedTo() const { return attachedTo_; }
    bool AttachedAutoRefresh = true;
    bool AutoReposition = false;

    // --- Misc properties ---------------------------------------------------
    bool ReadOnly = false;
    std::int64_t AutoIncMinValue = 0;
    std::int64_t AutoIncMax() const;               // highest AutoInc value seen
    TvdlProgressCodes ProgressFlags = (1u << mtpcLoad) | (1u << mtpcSave) | (1u << mtpcCopy);
    bool IsLoading() const { return loading_; }
    void DisableControls() { ++controlsDisabled_; }
    void EnableControls();

    // --- Events ------------------------------------------------------------
    std::function<void(TvdlMemTable& table, int percentage, TvdlProgressCode code)> OnProgress;
    std::function<void(TvdlMemTable& table, bool& accept)> OnLoadRecord;
    std::function<void(TvdlMemTable& table, int fieldNo, TField& field)> OnLoadField;
    std::function<void(TvdlMemTable& table, bool& accept)> OnSaveRecord;
    std::function<void(TvdlMemTable& table, int fieldNo, TField& field)> OnSaveField;
    std::function<void(TvdlMemTable& table, const std::string& uncompressed, std::string& compressed)>
        OnCompressSave;
    std::function<void(TvdlMemTable& table, const std::string& compressed, std::string& decompressed)>
        OnDecompressLoad;
    std::function<void(TvdlMemTable& table, int storageType, std::string& stream)> OnSave;
    std::function<void(TvdlMemTable& table, int storageType, std::string& stream)> OnLoad;
    std::function<void(TvdlMemTable& table, TField* keyField, TField* field, TFieldType type,
                       bool partial, bool caseInsensitive, bool ignoreLocale, int& result)>
        OnCompareFields;
    std::function<void(TvdlMemTable& table, std::string& bytes)> OnCompressBlobStream;
    std::function<void(TvdlMemTable& table, std::string& bytes)> OnDecompressBlobStream;
    // Data-set events.
    std::function<void(TvdlMemTable& table)> OnNewRecord;
    std::function<void(TvdlMemTable& table)> OnCalcFields;
    std::function<void(TvdlMemTable& table)> AfterPost;
    std::function<void(TvdlMemTable& table)> AfterDelete;
    // Bound views (grids) refresh on this: after any change of the records,
    // the index, the range, the filter or the open state. Cursor moves do
    // not signal, so a view may walk the table while it draws.
    std::function<void(TvdlMemTable& table)> OnDataChange;

    // Internal: the implementation's state lives behind this.
    struct Impl;
    Impl& impl() { return *impl_; }

protected:
    friend class TField;
    friend class TvdlBlobStream;
    friend class TvdlCustomDeltaHandler;
    friend class TvdlJournal;
    friend struct TableOps;

    std::unique_ptr<Impl> impl_;
    TFieldDefs fieldDefs_;
    TIndexDefs indexDefs_;
    std::vector<std::unique_ptr<TField>> fields_;
    std::shared_ptr<TvdlIndexes> indexes_;
    TvdlIndex* current_ = nullptr;
    TDataSetState state_ = dsInactive;
    std::string indexName_, indexFieldNames_;
    bool eof_ = true, bof_ = true;
    bool rangeActive_ = false;
    bool filtered_ = false;
    std::string filterText_;
    TUpdateStatusSet statusFilter_ = 0;
    TvdlMemTable* master_ = nullptr;
    TvdlMemTable* attachedTo_ = nullptr;
    bool loadedCompletely_ = true;
    bool loading_ = false;
    int transactionLevel_ = 0;
    int controlsDisabled_ = 0;
    std::unique_ptr<TvdlJournal> journal_;
};

class TvdlMemTable : public TvdlCustomMemTable {
public:
    TvdlMemTable() = default;
};

// ---------------------------------------------------------------------------
// Journal and delta handler
// ---------------------------------------------------------------------------

// Journal rows: the table's fields plus these two Integer fields.
// Operation: 1 insert, 2 edit, 3 delete. Record type: 0 the values after
// the change (insert, edit), 1 the values the record had (delete).
class TvdlJournal {
public:
    static constexpr const char* OperationField = "__MT__Journal_Operation";
    static constexpr const char* RecordTypeField = "__MT__Journal_RecordType";
    enum Operation { joInsert = 1, joEdit = 2, joDelete = 3 };
    enum RecordType { jrNew = 0, jrOld = 1 };

    explicit TvdlJournal(TvdlCustomMemTable& owner);
    ~TvdlJournal();
    TvdlMemTable& Table() { return *table_; }
    void Clear();

private:
    friend class TvdlCustomMemTable;
    friend struct TableOps;
    void Rebuild();
    void Add(int operation, int recordType, const TvdlRecord& record);
    TvdlCustomMemTable& owner_;
    std::unique_ptr<TvdlMemTable> table_;
};

// One record as the delta handler sees it: the newest values and the
// oldest (as loaded or as of the last check point).
class TvdlDeltaRecord {
public:
    TvdlVariant Value(const std::string& fieldName) const;
    TvdlVariant OrigValue(const std::string& fieldName) const;
    TUpdateStatus Status() const;
private:
    friend class TvdlCustomDeltaHandler;
    friend struct TableOps;
    const TvdlCustomMemTable* table_ = nullptr;
    const TvdlRecord* newest_ = nullptr;
    const TvdlRecord* oldest_ = nullptr;
};

class TvdlCustomDeltaHandler {
public:
    virtual ~TvdlCustomDeltaHandler();
    TvdlMemTable* DataSet = nullptr;
    // Walks every record and calls one of the four operations by effective
    // status. Raises "Delta handler is not assigned to any memorytables."
    // when no table is set.
    void Resolve();
protected:
    virtual void InsertRecord(const TvdlDeltaRecord&) {}
    virtual void DeleteRecord(const TvdlDeltaRecord&) {}
    virtual void ModifyRecord(const TvdlDeltaRecord&) {}
    virtual void UnmodifiedRecord(const TvdlDeltaRecord&) {}
};
