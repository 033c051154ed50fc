// Private layout of TvdlMemTable: records, the shared record store and the
// table's cursor and buffers. Only the table's own sources include this.
#pragma once

#include "memtable.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// One field value. Which member carries the value depends on the field's
// type (see memtable::StorageOf); `has` is the null flag.
struct Cell {
    bool has = false;
    std::int64_t i = 0;
    double f = 0;
    std::string s;
};
using Row = std::vector<Cell>;

constexpr std::uint32_t kRecordMarker = 0x6A1B2C3E;

struct TvdlRecord {
    std::uint32_t StartMarker = kRecordMarker;
    int RecNo = -1;
    int RecordID = -1;
    std::int64_t UniqueRecordID = -1;
    std::uint8_t UpdateStatus = usUnmodified;
    int TransactionLevel = 0;
    Row Data;
    std::unique_ptr<TvdlRecord> PrevVersion;
    std::uint32_t EndMarker = kRecordMarker;

    std::unique_ptr<TvdlRecord> CopyVersion() const;  // this version only
    const TvdlRecord& Oldest() const;
};

// The records of a table, shared with every table attached to it.
struct Store {
    std::vector<std::unique_ptr<TvdlRecord>> Records;  // by RecordID; null = free slot
    std::vector<int> FreeSlots;
    int NextRecordID = 0;
    std::int64_t NextUniqueID = 0;
    int LiveCount = 0;
    int DeletedCount = 0;
    std::vector<TvdlCustomMemTable*> Sharers;  // every table using this store
};

namespace memtable {

enum Storage { stNone, stInt, stFloat, stText };
Storage StorageOf(TFieldType type);

// Day number of a Date field: days since 1 January 0001, plus 1.
constexpr std::int64_t kDateDelta = 693594;
constexpr std::int64_t kMsPerDay = 86400000;

int CompareCells(TFieldType type, const Cell& a, const Cell& b, TvdlMemTableCompareOptions opts);
std::string FormatFloat(double v);
std::string FormatDateTime(TFieldType type, double dateTime);
bool ParseDateTime(const std::string& text, double& value);
bool ParseFloat(const std::string& text, double& value);
bool ParseInt(const std::string& text, std::int64_t& value);
std::string UpperCase(const std::string& s);
// An error message: the pattern with its first "%s" (else "%d") replaced by arg.
std::string Fmt(const char* pattern, const std::string& arg);
bool SameText(const std::string& a, const std::string& b);
std::vector<std::string> SplitFieldNames(const std::string& names);

// Expression filter, parsed once, evaluated per record.
class FilterExpr {
public:
    virtual ~FilterExpr() = default;
    static std::unique_ptr<FilterExpr> Parse(const std::string& text, TvdlCustomMemTable& table);
    virtual bool Matches(TvdlCustomMemTable& table, const Row& row, TFilterOptions options) const = 0;
};

// Writes bytes to a temp file beside path, fsyncs, renames over path and
// fsyncs the folder. Throws EMemTableError; the old file stays whole.
void WriteFileAtomic(const std::string& path, const std::string& data);
std::string ReadWholeFile(const std::string& path);  // throws EMemTableError

}  // namespace memtable

struct TvdlCustomMemTable::Impl {
    std::shared_ptr<Store> store = std::make_shared<Store>();
    int pos = -1;                      // cursor in the current index
    TvdlRecord* cur = nullptr;         // the record under the cursor
    Row editBuf;                       // edit and insert state
    TvdlRecord* editRec = nullptr;     // the record being edited
    Row rangeStart, rangeEnd;
    bool hasStart = false, hasEnd = false;
    Row* keyTarget = nullptr;          // key-entry state
    Row* evalRow = nullptr;            // calculation and filter states
    std::int64_t autoIncMax = -1;
    std::unique_ptr<memtable::FilterExpr> filterExpr;
    bool suspendFilter = false, suspendRange = false, suspendMaster = false;
    bool persistLoading = false;
    std::string storedData;            // the "Data" property
    bool needCalc = false;             // calculated or lookup fields present
    // Held around store changes, searches, sorts, saves and loads. Only the
    // main thread uses tables, so it is never contended.
    std::recursive_mutex lock;

    void ForgetRecord(TvdlCustomMemTable& t, TvdlRecord* rec);
};
