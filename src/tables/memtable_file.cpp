// The table's files: the binary data-file format (signature "TPF0", version
// 249, tagged values), the CSV form and auto-persistence.
//
// Binary layout: "TPF0", Integer version, field list, index list, record
// list. Values carry a one-byte tag: 00 end of list, 01 list, 02/03/04
// 8/16/32-bit integer, 05 10-byte extended float, 06 short string (1-byte
// length), 0C long string (32-bit length), 08 False, 09 True; little-endian.
//
// A load first parses and checks the whole input into a scratch image, then
// applies it with a backup of the table's state: any failure restores the
// table as it was. Every size and count taken from the input is checked
// against the bytes that remain before anything is allocated for it.
#include "memtable_internal.h"
#include "memtable_ops.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <istream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace memtable;
using T = TvdlCustomMemTable;

namespace {

constexpr int kFileVersion = 249;

enum : unsigned char {
    vaNull = 0x00, vaList = 0x01, vaInt8 = 0x02, vaInt16 = 0x03, vaInt32 = 0x04, vaExtended = 0x05,
    vaString = 0x06, vaFalse = 0x08, vaTrue = 0x09, vaLString = 0x0C
};

const char* const kInvalidValue = "Invalid property value";
const char* const kReadError = "Stream read error";

// ---------------------------------------------------------------------------
// Extended (x87 80-bit) floats, converted by hand so the bytes do not depend
// on the compiler's long double.
// ---------------------------------------------------------------------------

void EncodeExtended(double v, unsigned char out[10]) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    unsigned sign = static_cast<unsigned>(bits >> 63);
    int exp = static_cast<int>((bits >> 52) & 0x7FF);
    std::uint64_t frac = bits & ((1ULL << 52) - 1);
    std::uint64_t mant = 0;
    int e15 = 0;
    if (exp == 0 && frac == 0) {
        e15 = 0;
        mant = 0;
    } else if (exp == 0x7FF) {
        e15 = 0x7FFF;
        mant = (1ULL << 63) | (frac << 11);
    } else if (exp == 0) {  // subnormal double: normalise
        int shift = 0;
        while (!(frac & (1ULL << 52))) {
            frac <<= 1;
            ++shift;
        }
        e15 = 1 - 1023 - shift + 16383;
        mant = frac << 11;
    } else {
        e15 = exp - 1023 + 16383;
        mant = (1ULL << 63) | (frac << 11);
    }
    for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(mant >> (8 * i));
    unsigned se = (sign << 15) | static_cast<unsigned>(e15);
    out[8] = static_cast<unsigned char>(se & 0xFF);
    out[9] = static_cast<unsigned char>(se >> 8);
}

double DecodeExtended(const unsigned char in[10]) {
    std::uint64_t mant = 0;
    for (int i = 0; i < 8; ++i) mant |= static_cast<std::uint64_t>(in[i]) << (8 * i);
    unsigned se = in[8] | (static_cast<unsigned>(in[9]) << 8);
    bool neg = se & 0x8000;
    int e15 = static_cast<int>(se & 0x7FFF);
    double v;
    if (e15 == 0x7FFF) {
        v = (mant << 1) ? std::nan("") : INFINITY;
    } else if (mant == 0) {
        v = 0.0;
    } else {
        v = std::ldexp(static_cast<double>(mant), e15 - 16383 - 63);
    }
    return neg ? -v : v;
}

// ---------------------------------------------------------------------------
// Writer and reader of tagged values
// ---------------------------------------------------------------------------

class Writer {
public:
    std::string out;
    void Byte(unsigned char b) { out.push_back(static_cast<char>(b)); }
    void ListBegin() { Byte(vaList); }
    void ListEnd() { Byte(vaNull); }
    void Int(std::int64_t v) {
        if (v >= -128 && v <= 127) {
            Byte(vaInt8);
            Byte(static_cast<unsigned char>(v & 0xFF));
        } else if (v >= -32768 && v <= 32767) {
            Byte(vaInt16);
            Le(static_cast<std::uint64_t>(v), 2);
        } else {
            Byte(vaInt32);
            Le(static_cast<std::uint64_t>(v), 4);
        }
    }
    void Str(const std::string& s) {
        if (s.size() <= 255) {
            Byte(vaString);
            Byte(static_cast<unsigned char>(s.size()));
        } else {
            Byte(vaLString);
            Le(s.size(), 4);
        }
        out += s;
    }
    void Bool(bool b) { Byte(b ? vaTrue : vaFalse); }
    void Float(double v) {
        Byte(vaExtended);
        unsigned char b[10];
        EncodeExtended(v, b);
        out.append(reinterpret_cast<const char*>(b), 10);
    }

private:
    void Le(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) Byte(static_cast<unsigned char>(v >> (8 * i)));
    }
};

class Reader {
public:
    explicit Reader(const std::string& b) : b_(b) {}
    size_t Remaining() const { return b_.size() - p_; }
    size_t Position() const { return p_; }
    void Need(size_t n) const {
        if (Remaining() < n) throw EMemTableError(kReadError);
    }
    unsigned char Byte() {
        Need(1);
        return static_cast<unsigned char>(b_[p_++]);
    }
    unsigned char Peek() const {
        Need(1);
        return static_cast<unsigned char>(b_[p_]);
    }
    std::string Raw(size_t n) {
        Need(n);
        std::string s = b_.substr(p_, n);
        p_ += n;
        return s;
    }
    std::uint64_t Le(int n) {
        Need(static_cast<size_t>(n));
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(b_[p_ + i])) << (8 * i);
        p_ += static_cast<size_t>(n);
        return v;
    }
    void ListBegin() {
        if (Byte() != vaList) throw EMemTableError(kInvalidValue);
    }
    bool EndOfList() {
        if (Peek() == vaNull) {
            ++p_;
            return true;
        }
        return false;
    }
    std::int64_t Int() {
        switch (Byte()) {
        case vaInt8: return static_cast<std::int8_t>(Le(1));
        case vaInt16: return static_cast<std::int16_t>(Le(2));
        case vaInt32: return static_cast<std::int32_t>(Le(4));
        default: throw EMemTableError(kInvalidValue);
        }
    }
    std::string Str() {
        size_t n;
        switch (Byte()) {
        case vaString: n = Byte(); break;
        case vaLString: n = static_cast<size_t>(Le(4)); break;
        default: throw EMemTableError(kInvalidValue);
        }
        return Raw(n);  // checked against the bytes left before allocating
    }
    bool Bool() { return Byte() == vaTrue; }
    double Float() {
        if (Peek() == vaExtended) {
            ++p_;
            Need(10);
            double v = DecodeExtended(reinterpret_cast<const unsigned char*>(b_.data() + p_));
            p_ += 10;
            return v;
        }
        return static_cast<double>(Int());
    }

private:
    const std::string& b_;
    size_t p_ = 0;
};

int TypeByName(const std::string& name) {
    for (int i = 0; i < FieldTypeCount; ++i)
        if (name == FieldTypeName(static_cast<TFieldType>(i))) return i;
    return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// The scratch image of a file, and applying it
// ---------------------------------------------------------------------------

struct ParsedField {
    std::string name, label, mask;
    TFieldType type = ftUnknown;
    int size = 0, width = 0;
    bool required = false, readOnly = false, visible = true;
};
struct ParsedIndex {
    std::string name, fields;
    TIndexOptions options = 0;
};
struct ParsedFile {
    std::vector<ParsedField> fields;
    std::vector<ParsedIndex> indexes;
    std::vector<std::unique_ptr<TvdlRecord>> records;
    bool complete = true;
};

// The field objects the values are read into: the file's own when it
// carries a field list, else the table's.
struct FieldPlan {
    std::vector<std::unique_ptr<TField>> owned;  // scratch fields from the file
    std::vector<const TField*> fields;           // in record order
    std::vector<int> slots;                      // cell index of each
    size_t width = 0;
};

static void PlanFields(T& t, const ParsedFile& pf, FieldPlan& plan) {
    if (!pf.fields.empty()) {
        for (size_t i = 0; i < pf.fields.size(); ++i) {
            auto f = std::make_unique<TField>();
            f->FieldName = pf.fields[i].name;
            f->DataType = pf.fields[i].type;
            f->Size = pf.fields[i].size;
            plan.fields.push_back(f.get());
            plan.slots.push_back(static_cast<int>(i));
            plan.owned.push_back(std::move(f));
        }
        plan.width = pf.fields.size();
        return;
    }
    auto& list = TableOps::FieldList(t);
    for (auto& f : list)
        if (f->FieldKind == fkData) {
            plan.fields.push_back(f.get());
            plan.slots.push_back(TableOps::FieldIndex(*f));
        }
    plan.width = list.size();
}

static void ReadValues(Reader& r, int version, const FieldPlan& plan, Row& row) {
    row.assign(plan.width, Cell());
    for (size_t k = 0; k < plan.fields.size(); ++k) {
        const TField& f = *plan.fields[k];
        Cell& c = row[static_cast<size_t>(plan.slots[k])];
        if (version >= 249 && r.Bool()) continue;  // null
        switch (f.DataType) {
        case ftSmallint: case ftInteger: case ftWord: case ftAutoInc:
            TableOps::AssignInt(f, c, r.Int());
            break;
        case ftBoolean:
            c.i = r.Bool() ? 1 : 0;
            c.has = true;
            break;
        case ftFloat:
            c.f = r.Float();
            c.has = true;
            break;
        case ftLargeint: {
            double d = r.Float();
            if (!std::isfinite(d) || std::fabs(d) > 9.2e18) throw EMemTableError(kInvalidValue);
            c.i = static_cast<std::int64_t>(std::llround(d));
            c.has = true;
            break;
        }
        case ftCurrency: case ftBCD: {
            double d = r.Float();
            if (!std::isfinite(d) || std::fabs(d) > 9e14) throw EMemTableError(kInvalidValue);
            c.i = static_cast<std::int64_t>(std::llround(d * 10000.0));
            c.has = true;
            break;
        }
        case ftDate: case ftTime: case ftDateTime: {
            double d = r.Float();
            if (d == 0.0) break;  // a zero date is no date
            if (!std::isfinite(d) || std::fabs(d) > 3e6) throw EMemTableError(kInvalidValue);
            TableOps::AssignFloat(f, c, d);
            break;
        }
        default:
            if (StorageOf(f.DataType) == stNone) {
                (void)r.Str();
            } else {
                TableOps::AssignText(f, c, r.Str());
            }
            break;
        }
    }
}

static std::uint8_t ReadStatus(Reader& r) {
    std::int64_t s = r.Int();
    if (s < 0 || s > 3) throw EMemTableError(kInvalidValue);
    return static_cast<std::uint8_t>(s);
}

// One entry of the record list, appended to pf.records only when whole.
static void ParseRecord(Reader& r, std::int64_t version, const FieldPlan& plan, ParsedFile& pf) {
    auto rec = std::make_unique<TvdlRecord>();
    if (version >= 230) {
        r.ListBegin();
        rec->UpdateStatus = ReadStatus(r);
        ReadValues(r, static_cast<int>(version), plan, rec->Data);
        TvdlRecord* last = rec.get();
        while (!r.EndOfList()) {
            auto older = std::make_unique<TvdlRecord>();
            older->UpdateStatus = ReadStatus(r);
            ReadValues(r, static_cast<int>(version), plan, older->Data);
            last->PrevVersion = std::move(older);
            last = last->PrevVersion.get();
        }
    } else {
        // A bare record of no fields would take no bytes: refuse it
        // rather than make records forever.
        if (plan.fields.empty()) throw EMemTableError(kInvalidValue);
        ReadValues(r, static_cast<int>(version), plan, rec->Data);
    }
    pf.records.push_back(std::move(rec));
}

// damage: when given, a fault after the field and index lists ends the
// record list there (the record it cut is dropped) and its message goes
// here instead of being thrown.
static void ParseBinary(T& t, const std::string& bytes, ParsedFile& pf, FieldPlan& plan, int loadLimit,
                        std::string* damage) {
    Reader r(bytes);
    if (r.Remaining() < 4 || bytes.compare(0, 4, "TPF0") != 0) throw EMemTableError("Invalid stream format");
    r.Raw(4);
    std::int64_t version = r.Int();

    r.ListBegin();
    while (!r.EndOfList()) {
        ParsedField f;
        f.name = r.Str();
        std::string typeName = r.Str();
        int type = TypeByName(typeName);
        if (type < 0 || !FieldTypeSupported(static_cast<TFieldType>(type)))
            throw EMemTableError("Unknown field type (" + typeName + ")");
        f.type = static_cast<TFieldType>(type);
        std::int64_t size = r.Int();
        if (size < 0 || size > kMaxFieldSize) throw EMemTableError(kInvalidValue);
        f.size = static_cast<int>(size);
        f.label = r.Str();
        f.mask = r.Str();
        std::int64_t width = r.Int();
        f.width = width < 0 || width > kMaxFieldSize ? 0 : static_cast<int>(width);
        f.required = r.Bool();
        f.readOnly = r.Bool();
        for (auto& g : pf.fields)
            if (SameText(g.name, f.name)) throw EMemTableError("Duplicate field name '" + f.name + "'");
        pf.fields.push_back(std::move(f));
    }

    r.ListBegin();
    while (!r.EndOfList()) {
        ParsedIndex ix;
        ix.name = r.Str();
        ix.fields = r.Str();
        (void)r.Str();  // display name
        if (r.Bool()) ix.options |= ixDescending;
        if (r.Bool()) ix.options |= ixCaseInsensitive;
        if (r.Bool()) ix.options |= ixNonMaintained;
        if (r.Bool()) ix.options |= ixUnique;
        pf.indexes.push_back(std::move(ix));
    }

    PlanFields(t, pf, plan);
    try {
        r.ListBegin();
        while (!r.EndOfList()) {
            if (loadLimit > 0 && static_cast<int>(pf.records.size()) >= loadLimit) {
                pf.complete = false;
                return;
            }
            ParseRecord(r, version, plan, pf);
        }
    } catch (const EMemTableError& e) {
        if (!damage) throw;
        *damage = e.what();
        pf.complete = false;
    }
}

// Everything a failed load must be able to put back.
struct TableBackup {
    std::shared_ptr<Store> store;
    std::shared_ptr<TvdlIndexes> indexes;
    std::vector<std::unique_ptr<TField>> fields;
    TFieldDefs fieldDefs;
    TIndexDefs indexDefs;
    TvdlIndex* current = nullptr;
    TDataSetState state = dsInactive;
    std::string indexName, indexFieldNames;
    TvdlRecord* cur = nullptr;
    int pos = -1;
    bool rangeActive = false, hasStart = false, hasEnd = false;
    Row rangeStart, rangeEnd;
    std::int64_t autoIncMax = 0;
    // Appending into the table's own store: where the new records begin.
    size_t recordsSize = 0;
    int nextRecordID = 0, liveCount = 0, deletedCount = 0;
    std::int64_t nextUniqueID = 0;
    std::vector<int> freeSlots;
    bool newStore = false;
    bool loadedCompletely = true;
};

struct FileOps {
    static void Apply(T& t, ParsedFile& pf, FieldPlan& plan);
    static void Restore(T& t, TableBackup& bk);
    static std::vector<TField*> SavedFields(T& t, TvdlMemTableSaveFlags flags);
    static std::string SaveCSV(T& t, TvdlMemTableSaveFlags flags);
    static void ParseCSV(T& t, const std::string& text, ParsedFile& pf, FieldPlan& plan);
};

using TableAccess = TableOps;

void FileOps::Restore(T& t, TableBackup& bk) {
    using A = TableAccess;
    TvdlCustomMemTable::Impl& m = A::Im(t);
    if (bk.newStore) {
        auto& sh = m.store->Sharers;
        sh.erase(std::remove(sh.begin(), sh.end(), &t), sh.end());
        m.store = bk.store;
        if (std::find(m.store->Sharers.begin(), m.store->Sharers.end(), &t) == m.store->Sharers.end())
            m.store->Sharers.push_back(&t);
        A::FieldList(t) = std::move(bk.fields);
    } else {
        Store& s = *m.store;
        for (size_t i = bk.recordsSize; i < s.Records.size(); ++i)
            for (T* other : s.Sharers) A::Im(*other).ForgetRecord(*other, s.Records[i].get());
        s.Records.resize(bk.recordsSize);
        s.NextRecordID = bk.nextRecordID;
        s.NextUniqueID = bk.nextUniqueID;
        s.LiveCount = bk.liveCount;
        s.DeletedCount = bk.deletedCount;
        s.FreeSlots = bk.freeSlots;
    }
    A::Indexes(t) = bk.indexes;
    A::FieldDefs(t) = bk.fieldDefs;
    A::IndexDefs(t) = bk.indexDefs;
    A::Current(t) = bk.current;
    A::State(t) = bk.state;
    A::IndexName(t) = bk.indexName;
    A::IndexFieldNames(t) = bk.indexFieldNames;
    A::RangeActive(t) = bk.rangeActive;
    A::LoadedCompletely(t) = bk.loadedCompletely;
    m.hasStart = bk.hasStart;
    m.hasEnd = bk.hasEnd;
    m.rangeStart = std::move(bk.rangeStart);
    m.rangeEnd = std::move(bk.rangeEnd);
    m.autoIncMax = bk.autoIncMax;
    m.needCalc = A::NeedsCalc(t);
    if (t.Active()) {
        // Index lists may hold records of the failed load: sort them afresh.
        for (int i = 0; i < A::Indexes(t)->Count(); ++i) (*A::Indexes(t))[i]->IsOrdered = false;
        try {
            A::RebuildAll(t);
        } catch (...) {
            // The indexes held these records before the load; they sort as before.
        }
        m.cur = bk.cur;
        m.pos = bk.pos;
        A::Resync(t);
        A::Eof(t) = A::Bof(t) = m.cur == nullptr;
    }
}

void FileOps::Apply(T& t, ParsedFile& pf, FieldPlan& /*plan*/) {
    using A = TableAccess;
    TvdlCustomMemTable::Impl& m = A::Im(t);
    TableBackup bk;
    bk.store = m.store;
    bk.indexes = A::Indexes(t);
    bk.fieldDefs = A::FieldDefs(t);
    bk.indexDefs = A::IndexDefs(t);
    bk.current = A::Current(t);
    bk.state = A::State(t);
    bk.indexName = A::IndexName(t);
    bk.indexFieldNames = A::IndexFieldNames(t);
    bk.cur = m.cur;
    bk.pos = m.pos;
    bk.rangeActive = A::RangeActive(t);
    bk.hasStart = m.hasStart;
    bk.hasEnd = m.hasEnd;
    bk.rangeStart = m.rangeStart;
    bk.rangeEnd = m.rangeEnd;
    bk.autoIncMax = m.autoIncMax;
    bk.loadedCompletely = A::LoadedCompletely(t);
    bk.recordsSize = m.store->Records.size();
    bk.nextRecordID = m.store->NextRecordID;
    bk.nextUniqueID = m.store->NextUniqueID;
    bk.liveCount = m.store->LiveCount;
    bk.deletedCount = m.store->DeletedCount;
    bk.freeSlots = m.store->FreeSlots;
    bk.newStore = !pf.fields.empty() || !t.Active();

    std::string formerIndex = bk.current && !bk.current->IsRowOrder ? bk.current->Name : std::string();
    bool enableIndexes = t.EnableIndexes;
    bool persistent = t.Persistent;
    A::Loading(t) = true;
    t.EnableIndexes = false;
    t.Persistent = false;
    try {
        if (bk.newStore) {
            // A field list closes the table: its records go, the file's come.
            bk.fields = std::move(A::FieldList(t));
            A::FieldList(t).clear();
            auto& sh = m.store->Sharers;
            sh.erase(std::remove(sh.begin(), sh.end(), &t), sh.end());
            m.store = std::make_shared<Store>();
            m.store->Sharers.push_back(&t);
            m.cur = nullptr;
            m.pos = -1;
            A::RangeActive(t) = false;
            m.hasStart = m.hasEnd = false;
            A::Indexes(t) = std::make_shared<TvdlIndexes>();
            A::Current(t) = A::Indexes(t)->RowOrder();
            if (!pf.fields.empty()) {
                A::FieldDefs(t).Clear();
                for (size_t i = 0; i < pf.fields.size(); ++i) {
                    const ParsedField& p = pf.fields[i];
                    A::FieldDefs(t).Add(p.name, p.type, p.size, p.required);
                    TField& f = A::NewField(t, p.name, p.type, p.size, fkData, p.required);
                    f.DisplayLabel = p.label == p.name ? std::string() : p.label;
                    f.EditMask = p.mask;
                    f.ReadOnly = p.readOnly;
                    f.DisplayWidth = p.width;
                    f.Visible = p.visible;
                }
            } else {
                for (auto& f : bk.fields) {
                    TField& nf = A::NewField(t, f->FieldName, f->DataType, f->Size, f->FieldKind, f->Required);
                    int idx = A::FieldIndex(nf);
                    nf = *f;
                    A::SetTable(nf, t, idx);
                }
            }
        } else if (!pf.indexes.empty()) {
            A::RangeActive(t) = false;
            m.hasStart = m.hasEnd = false;
            auto fresh = std::make_shared<TvdlIndexes>();
            A::Indexes(t) = fresh;
            A::Current(t) = fresh->RowOrder();
            for (T* other : m.store->Sharers)
                if (other != &t) A::Indexes(*other) = fresh, A::Current(*other) = fresh->RowOrder();
        }
        if (!pf.indexes.empty()) {
            A::IndexDefs(t).Clear();
            for (auto& ix : pf.indexes) A::IndexDefs(t).Add(ix.name, ix.fields, ix.options);
        }
        A::State(t) = dsBrowse;
        m.needCalc = A::NeedsCalc(t);
        m.autoIncMax = t.AutoIncMinValue - 1;
        if (!bk.newStore) m.autoIncMax = std::max(m.autoIncMax, bk.autoIncMax);

        A::Progress(t, 0, mtpcLoad);
        m.store->Records.reserve(m.store->Records.size() + pf.records.size());
        std::vector<int> autoIncSlots;
        for (auto& f : A::FieldList(t))
            if (f->DataType == ftAutoInc) autoIncSlots.push_back(A::FieldIndex(*f));
        size_t width = A::FieldList(t).size();
        size_t n = 0;
        for (auto& rec : pf.records) {
            if (rec->Data.size() != width) rec->Data.resize(width);
            for (TvdlRecord* v = rec->PrevVersion.get(); v; v = v->PrevVersion.get())
                if (v->Data.size() != width) v->Data.resize(width);
            if (t.OnLoadField || t.OnLoadRecord) {
                TDataSetState saved = A::State(t);
                Row* savedRow = m.evalRow;
                A::State(t) = dsCalcFields;
                m.evalRow = &rec->Data;
                bool accept = true;
                try {
                    if (t.OnLoadField)
                        for (auto& f : A::FieldList(t)) t.OnLoadField(A::Self(t), f->FieldNo(), *f);
                    if (t.OnLoadRecord) t.OnLoadRecord(A::Self(t), accept);
                } catch (...) {
                    A::State(t) = saved;
                    m.evalRow = savedRow;
                    throw;
                }
                A::State(t) = saved;
                m.evalRow = savedRow;
                if (!accept) continue;
            }
            for (int slot : autoIncSlots) {
                const Cell& c = rec->Data[static_cast<size_t>(slot)];
                if (c.has && c.i > m.autoIncMax) m.autoIncMax = c.i;
            }
            A::StoreAdd(t, std::move(rec), false);
            if (++n % 100 == 0) A::Progress(t, static_cast<int>(n * 100 / pf.records.size()), mtpcLoad);
        }
        A::LoadedCompletely(t) = pf.complete;
        t.EnableIndexes = enableIndexes;
        A::UpdateIndexes(t);
        A::RebuildAll(t);
        // Keep the index the table had when the file still defines it.
        if (!formerIndex.empty() && A::Indexes(t)->Find(formerIndex)) {
            A::Current(t) = A::Indexes(t)->Find(formerIndex);
        } else if (!formerIndex.empty()) {
            A::IndexName(t).clear();
            A::IndexFieldNames(t).clear();
        }
    } catch (...) {
        t.EnableIndexes = enableIndexes;
        t.Persistent = persistent;
        A::Loading(t) = false;
        Restore(t, bk);
        throw;
    }
    t.Persistent = persistent;
    A::Loading(t) = false;
    if (bk.newStore) {
        for (T* other : bk.store->Sharers) {
            // Tables attached to our former store keep it.
            (void)other;
        }
    }
    A::Progress(t, 100, mtpcLoad);
    t.First();
    A::DataChanged(t);
}

// ---------------------------------------------------------------------------
// Saving
// ---------------------------------------------------------------------------

std::vector<TField*> FileOps::SavedFields(T& t, TvdlMemTableSaveFlags flags) {
    std::vector<TField*> out;
    for (auto& f : TableOps::FieldList(t)) {
        bool sel;
        if (IsBlobType(f->DataType)) sel = flags & mtfSaveBlobs;
        else if (f->FieldKind == fkData) sel = flags & (mtfSaveData | mtfSaveDeltas);
        else if (f->FieldKind == fkCalculated || f->FieldKind == fkInternalCalc) sel = flags & mtfSaveCalculated;
        else if (f->FieldKind == fkLookup) sel = flags & mtfSaveLookup;
        else sel = true;
        if (!f->Visible && !(flags & mtfSaveNonVisible)) sel = false;
        if (sel) out.push_back(f.get());
    }
    return out;
}

// Switches the restrictions off that the flags ask to ignore, for the life
// of one save.
struct SaveScope {
    T& t;
    TvdlCustomMemTable::Impl& m;
    bool f, r, md;
    std::unique_lock<std::recursive_mutex> lock;
    SaveScope(T& table, TvdlMemTableSaveFlags flags)
        : t(table), m(TableAccess::Im(table)), f(m.suspendFilter), r(m.suspendRange), md(m.suspendMaster),
          lock(m.lock) {
        if (flags & mtfSaveFiltered) m.suspendFilter = true;
        if (flags & mtfSaveIgnoreRange) m.suspendRange = true;
        if (flags & mtfSaveIgnoreMasterDetail) m.suspendMaster = true;
    }
    ~SaveScope() {
        m.suspendFilter = f;
        m.suspendRange = r;
        m.suspendMaster = md;
    }
};

// Runs a save event with r as the current record and the table browsing;
// cursor and state are put back afterwards, also when the event throws.
template <class Event>
static void AsCurrentRecord(T& t, TvdlRecord* r, Event&& event) {
    using A = TableAccess;
    TvdlCustomMemTable::Impl& m = A::Im(t);
    TvdlRecord* savedCur = m.cur;
    m.cur = r;
    TDataSetState st = A::State(t);
    A::State(t) = dsBrowse;
    try {
        event();
    } catch (...) {
        m.cur = savedCur;
        A::State(t) = st;
        throw;
    }
    m.cur = savedCur;
    A::State(t) = st;
}

// The records a save writes, in current-index order.
static std::vector<TvdlRecord*> SavedRecords(T& t, TvdlMemTableSaveFlags flags) {
    using A = TableAccess;
    std::vector<TvdlRecord*> out;
    TvdlIndex& idx = *A::Current(t);
    A::EnsureBuilt(t, idx);
    bool onlyChanged = !(flags & (mtfSaveData | mtfSaveCalculated | mtfSaveLookup));
    for (TvdlRecord* r : idx.References) {
        if (!A::Accept(t, r)) continue;
        if (onlyChanged && r->UpdateStatus == usUnmodified) continue;
        if (!(flags & mtfSaveDontFilterDeltas) && r->UpdateStatus == usDeleted &&
            r->Oldest().UpdateStatus == usInserted)
            continue;
        if (t.OnSaveRecord) {
            bool accept = true;
            AsCurrentRecord(t, r, [&] { t.OnSaveRecord(A::Self(t), accept); });
            if (!accept) continue;
        }
        out.push_back(r);
    }
    return out;
}

static void WriteValues(Writer& w, const std::vector<TField*>& fields, const TvdlRecord& r) {
    w.Int(r.UpdateStatus);
    for (TField* f : fields) {
        const Cell& c = r.Data[static_cast<size_t>(TableOps::FieldIndex(*f))];
        w.Bool(!c.has);
        if (!c.has) continue;
        switch (f->DataType) {
        case ftSmallint: case ftInteger: case ftWord: case ftAutoInc:
            w.Int(c.i);
            break;
        case ftBoolean:
            w.Bool(c.i != 0);
            break;
        case ftFloat: case ftDate: case ftTime: case ftDateTime: case ftCurrency: case ftBCD:
            w.Float(TableOps::CellAsFloat(*f, c));
            break;
        case ftLargeint:
            w.Float(static_cast<double>(c.i));
            break;
        default:
            w.Str(TableOps::CellAsString(*f, c));
            break;
        }
    }
}

std::string TableOps::SaveBinary(T& t, TvdlMemTableSaveFlags flags) {
    using A = TableAccess;
    CheckActive(t);
    t.CheckBrowseMode();
    SaveScope scope(t, flags);
    Progress(t, 0, mtpcSave);
    Writer w;
    w.out = "TPF0";
    w.Int(kFileVersion);
    std::vector<TField*> fields = FileOps::SavedFields(t, flags);
    w.ListBegin();
    if (flags & mtfSaveDef)
        for (TField* f : fields) {
            w.Str(f->FieldName);
            w.Str(FieldTypeName(f->DataType));
            w.Int(f->Size);
            w.Str(f->DisplayName());
            w.Str(f->EditMask);
            w.Int(f->GetDisplayWidth());
            w.Bool(f->Required);
            w.Bool(f->ReadOnly);
        }
    w.ListEnd();
    w.ListBegin();
    if (flags & mtfSaveIndexDef) {
        TIndexDefs& defs = A::IndexDefs(t);
        for (int i = 0; i < defs.Count(); ++i) {
            const TIndexDef& d = defs[i];
            w.Str(d.Name);
            w.Str(d.Fields);
            w.Str(d.DisplayName());
            w.Bool(d.Options & ixDescending);
            w.Bool(d.Options & ixCaseInsensitive);
            w.Bool(d.Options & ixNonMaintained);
            w.Bool(d.Options & ixUnique);
        }
    }
    w.ListEnd();
    std::vector<TvdlRecord*> recs = SavedRecords(t, flags);
    bool deltas = (flags & mtfSaveDeltas) && t.EnableVersioning;
    w.ListBegin();
    size_t n = 0;
    for (TvdlRecord* r : recs) {
        if (t.OnSaveField)
            AsCurrentRecord(t, r, [&] {
                for (TField* f : fields) t.OnSaveField(A::Self(t), f->FieldNo(), *f);
            });
        w.ListBegin();
        WriteValues(w, fields, *r);
        if (deltas)
            for (const TvdlRecord* v = r->PrevVersion.get(); v; v = v->PrevVersion.get()) WriteValues(w, fields, *v);
        w.ListEnd();
        if (++n % 100 == 0) Progress(t, static_cast<int>(n * 100 / recs.size()), mtpcSave);
    }
    w.ListEnd();
    std::string out = std::move(w.out);
    if (t.OnCompressSave) {
        std::string packed;
        t.OnCompressSave(A::Self(t), out, packed);
        out = std::move(packed);
    }
    Progress(t, 100, mtpcSave);
    return out;
}

void TableOps::LoadBinary(T& t, const std::string& bytes) {
    using A = TableAccess;
    std::unique_lock<std::recursive_mutex> lock(A::Im(t).lock);
    if (t.Active()) t.CheckBrowseMode();
    const std::string* src = &bytes;
    std::string unpacked;
    if (t.OnDecompressLoad) {
        t.OnDecompressLoad(A::Self(t), bytes, unpacked);
        src = &unpacked;
    }
    ParsedFile pf;
    FieldPlan plan;
    std::string damage;
    ParseBinary(t, *src, pf, plan, t.LoadLimit, t.KeepRecordsReadOnError ? &damage : nullptr);
    FileOps::Apply(t, pf, plan);
    if (!damage.empty()) throw EMemTableError(damage);
}

void TvdlCustomMemTable::SaveToBinaryFile(const std::string& fileName, TvdlMemTableSaveFlags flags) {
    std::string bytes = TableOps::SaveBinary(*this, flags);
    if (OnSave) OnSave(TableOps::Self(*this), 4, bytes);
    WriteFileAtomic(fileName, bytes);
}

void TvdlCustomMemTable::LoadFromBinaryFile(const std::string& fileName) {
    std::string bytes = ReadWholeFile(fileName);
    if (OnLoad) OnLoad(TableOps::Self(*this), 4, bytes);
    TableOps::LoadBinary(*this, bytes);
}

void TvdlCustomMemTable::SaveToBinaryStream(std::ostream& stream, TvdlMemTableSaveFlags flags) {
    std::string bytes = TableOps::SaveBinary(*this, flags);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!stream) throw EMemTableError("Stream write error");
}

void TvdlCustomMemTable::LoadFromBinaryStream(std::istream& stream) {
    std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    TableOps::LoadBinary(*this, bytes);
}

std::string TvdlCustomMemTable::SaveToBinaryString(TvdlMemTableSaveFlags flags) {
    return TableOps::SaveBinary(*this, flags);
}

void TvdlCustomMemTable::LoadFromBinaryString(const std::string& bytes) { TableOps::LoadBinary(*this, bytes); }

// ---------------------------------------------------------------------------
// CSV
// ---------------------------------------------------------------------------

namespace {

bool IsBinaryBlob(TFieldType t) { return IsBlobType(t) && t != ftMemo && t != ftFmtMemo; }

std::string EscapeText(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '\0': out += "%0"; break;
        case '\n': out += "%n"; break;
        case '\r': out += "%c"; break;
        case '%': out += "%%"; break;
        default: out += c;
        }
    }
    return out;
}

std::string UnescapeText(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 1 < s.size()) {
            char n = s[++i];
            if (n == '0') out += '\0';
            else if (n == 'n') out += '\n';
            else if (n == 'c') out += '\r';
            else out += n;  // "%%" and anything unknown
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string SixBitEncode(const std::string& b) {
    std::string out;
    size_t n = b.size();
    for (size_t i = 0; i < n; i += 3) {
        unsigned b0 = static_cast<unsigned char>(b[i]);
        unsigned b1 = i + 1 < n ? static_cast<unsigned char>(b[i + 1]) : 0;
        unsigned b2 = i + 2 < n ? static_cast<unsigned char>(b[i + 2]) : 0;
        unsigned v[4] = {b0 >> 2, ((b0 & 3) << 4) | (b1 >> 4), ((b1 & 15) << 2) | (b2 >> 6), b2 & 63};
        size_t take = n - i >= 3 ? 4 : n - i + 1;
        for (size_t k = 0; k < take; ++k) out += static_cast<char>(v[k] + 32);
    }
    return out;
}

std::string SixBitDecode(const std::string& s) {
    std::string out;
    unsigned acc = 0;
    int bits = 0;
    for (char c : s) {
        unsigned v = static_cast<unsigned>(static_cast<unsigned char>(c)) - 32;
        if (v > 63) throw EMemTableError("Invalid binary data in CSV file.");
        acc = (acc << 6) | v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

}  // namespace

std::string FileOps::SaveCSV(T& t, TvdlMemTableSaveFlags flags) {
    using A = TableAccess;
    if (flags & mtfSaveDeltas) throw EMemTableError("Saving deltas is supported only in binary format.");
    A::CheckActive(t);
    t.CheckBrowseMode();
    SaveScope scope(t, flags);
    A::Progress(t, 0, mtpcSave);
    const std::string q(1, t.CSVQuote);
    auto quote = [&](const std::string& s) {
        std::string out = q;
        for (char c : s) {
            out += c;
            if (c == t.CSVQuote) out += c;
        }
        return out + q;
    };
    std::string out;
    std::vector<TField*> fields = SavedFields(t, flags);
    if (flags & mtfSaveDef) {
        out += quote("@@FILE VERSION@@") + "," + quote(std::to_string(kFileVersion)) + "\r\n";
        out += "@@TABLEDEF START@@\r\n";
        for (TField* f : fields) {
            out += f->FieldName + "=" + FieldTypeName(f->DataType) + "," + std::to_string(f->Size) + "," +
                   quote(f->DisplayName()) + "," + quote(f->EditMask) + "," + std::to_string(f->GetDisplayWidth());
            if (f->Required) out += ",REQ";
            if (f->ReadOnly) out += ",RO";
            if (!f->Visible) out += ",INV";
            out += "\r\n";
        }
        if (flags & mtfSaveIndexDef) {
            out += "@@INDEXDEF START@@\r\n";
            TIndexDefs& defs = A::IndexDefs(t);
            for (int i = 0; i < defs.Count(); ++i) {
                out += defs[i].Name + "=" + defs[i].Fields;
                if (defs[i].Options & ixDescending) out += ",DESC";
                if (defs[i].Options & ixCaseInsensitive) out += ",CASE";
                if (defs[i].Options & ixNonMaintained) out += ",NONMT";
                if (defs[i].Options & ixUnique) out += ",UNIQ";
                out += "\r\n";
            }
            out += "@@INDEXDEF END@@\r\n";
        }
        out += "@@TABLEDEF END@@\r\n";
    }
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) out += t.CSVFieldDelimiter;
        out += quote(fields[i]->DisplayName());
    }
    out += t.CSVRecordDelimiter + "\r\n";
    for (TvdlRecord* r : SavedRecords(t, flags)) {
        for (size_t i = 0; i < fields.size(); ++i) {
            if (i) out += t.CSVFieldDelimiter;
            const TField& f = *fields[i];
            const Cell& c = r->Data[static_cast<size_t>(A::FieldIndex(f))];
            if (!c.has) continue;
            std::string text = A::CellAsString(f, c);
            if (IsBinaryBlob(f.DataType)) text = SixBitEncode(text);
            else if (StorageOf(f.DataType) == stText) text = EscapeText(text);
            out += quote(text);
        }
        out += "\r\n";
    }
    A::Progress(t, 100, mtpcSave);
    return out;
}

namespace {

// Splits one CSV line into items; `quoted` tells which items were quoted.
std::vector<std::string> SplitCSV(const std::string& line, char q, const std::string& delim,
                                  std::vector<bool>* quoted) {
    std::vector<std::string> items;
    std::string cur;
    bool inQ = false, wasQ = false;
    std::string d = delim.empty() ? std::string(",") : delim;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (inQ) {
            if (c == q) {
                if (i + 1 < line.size() && line[i + 1] == q) {
                    cur += q;
                    ++i;
                } else {
                    inQ = false;
                }
            } else {
                cur += c;
            }
        } else if (c == q) {
            inQ = true;
            wasQ = true;
        } else if (line.compare(i, d.size(), d) == 0) {
            items.push_back(cur);
            if (quoted) quoted->push_back(wasQ);
            cur.clear();
            wasQ = false;
            i += d.size() - 1;
        } else {
            cur += c;
        }
    }
    items.push_back(cur);
    if (quoted) quoted->push_back(wasQ);
    return items;
}

}  // namespace

void FileOps::ParseCSV(T& t, const std::string& text, ParsedFile& pf, FieldPlan& plan) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t e = text.find('\n', start);
        std::string line = text.substr(start, e == std::string::npos ? std::string::npos : e - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        if (e == std::string::npos) break;
        start = e + 1;
    }
    size_t li = 0;
    auto unq = [&](const std::string& s) {
        std::vector<std::string> parts = SplitCSV(s, t.CSVQuote, ",", nullptr);
        return parts.empty() ? std::string() : parts[0];
    };
    if (li < lines.size() && unq(lines[li]) == "@@FILE VERSION@@") ++li;
    if (li < lines.size() && lines[li] == "@@TABLEDEF START@@") {
        ++li;
        bool inIndex = false;
        for (; li < lines.size() && lines[li] != "@@TABLEDEF END@@"; ++li) {
            const std::string& l = lines[li];
            if (l == "@@INDEXDEF START@@") { inIndex = true; continue; }
            if (l == "@@INDEXDEF END@@") { inIndex = false; continue; }
            size_t eq = l.find('=');
            if (eq == std::string::npos) throw EMemTableError("Invalid CSV table definition. (" + l + ")");
            std::string name = l.substr(0, eq);
            std::vector<std::string> parts = SplitCSV(l.substr(eq + 1), t.CSVQuote, ",", nullptr);
            if (inIndex) {
                ParsedIndex ix;
                ix.name = name;
                ix.fields = parts.empty() ? std::string() : parts[0];
                for (size_t k = 1; k < parts.size(); ++k) {
                    if (parts[k] == "DESC") ix.options |= ixDescending;
                    else if (parts[k] == "CASE") ix.options |= ixCaseInsensitive;
                    else if (parts[k] == "NONMT") ix.options |= ixNonMaintained;
                    else if (parts[k] == "UNIQ") ix.options |= ixUnique;
                }
                pf.indexes.push_back(ix);
                continue;
            }
            ParsedField f;
            f.name = name;
            std::string typeName = parts.empty() ? std::string() : parts[0];
            int type = TypeByName(typeName);
            if (type < 0 || !FieldTypeSupported(static_cast<TFieldType>(type)))
                throw EMemTableError("Unknown field type (" + typeName + ") in CSV file. (" + l + ")");
            f.type = static_cast<TFieldType>(type);
            std::int64_t v = 0;
            if (parts.size() > 1 && ParseInt(parts[1], v) && v >= 0 && v <= kMaxFieldSize) f.size = static_cast<int>(v);
            f.label = parts.size() > 2 ? parts[2] : name;
            f.mask = parts.size() > 3 ? parts[3] : std::string();
            if (parts.size() > 4 && ParseInt(parts[4], v) && v >= 0 && v <= kMaxFieldSize) f.width = static_cast<int>(v);
            for (size_t k = 5; k < parts.size(); ++k) {
                if (parts[k] == "REQ") f.required = true;
                else if (parts[k] == "RO") f.readOnly = true;
                else if (parts[k] == "INV") f.visible = false;
            }
            for (auto& g : pf.fields)
                if (SameText(g.name, f.name)) throw EMemTableError("Duplicate field name '" + f.name + "'");
            pf.fields.push_back(f);
        }
        if (li < lines.size()) ++li;
    }
    PlanFields(t, pf, plan);
    if (li < lines.size()) ++li;  // the header line of labels
    for (; li < lines.size(); ++li) {
        if (lines[li].empty()) continue;
        std::vector<bool> quoted;
        std::vector<std::string> items = SplitCSV(lines[li], t.CSVQuote, t.CSVFieldDelimiter, &quoted);
        auto rec = std::make_unique<TvdlRecord>();
        rec->Data.assign(plan.width, Cell());
        for (size_t k = 0; k < plan.fields.size() && k < items.size(); ++k) {
            if (!quoted[k] && items[k].empty()) continue;  // null
            const TField& f = *plan.fields[k];
            Cell& c = rec->Data[static_cast<size_t>(plan.slots[k])];
            std::string v = items[k];
            if (IsBinaryBlob(f.DataType)) v = SixBitDecode(v);
            else if (StorageOf(f.DataType) == stText) v = UnescapeText(v);
            try {
                TableOps::AssignText(f, c, v);
            } catch (const EDatabaseError& e) {
                throw EMemTableError(e.what());
            }
        }
        pf.records.push_back(std::move(rec));
    }
}

void TvdlCustomMemTable::SaveToCSVStream(std::ostream& stream, TvdlMemTableSaveFlags flags) {
    std::string s = FileOps::SaveCSV(*this, flags);
    stream.write(s.data(), static_cast<std::streamsize>(s.size()));
    if (!stream) throw EMemTableError("Stream write error");
}

void TvdlCustomMemTable::SaveToCSVFile(const std::string& fileName, TvdlMemTableSaveFlags flags) {
    WriteFileAtomic(fileName, FileOps::SaveCSV(*this, flags));
}

void TvdlCustomMemTable::LoadFromCSVStream(std::istream& stream) {
    std::string text;
    char buf[8192];
    while (stream.read(buf, sizeof buf) || stream.gcount() > 0) text.append(buf, static_cast<size_t>(stream.gcount()));
    std::unique_lock<std::recursive_mutex> lock(impl_->lock);
    if (Active()) CheckBrowseMode();
    ParsedFile pf;
    FieldPlan plan;
    FileOps::ParseCSV(*this, text, pf, plan);
    FileOps::Apply(*this, pf, plan);
}

void TvdlCustomMemTable::LoadFromCSVFile(const std::string& fileName) {
    std::istringstream in(ReadWholeFile(fileName));
    LoadFromCSVStream(in);
}

// ---------------------------------------------------------------------------
// Auto-persistence
// ---------------------------------------------------------------------------

static std::string ChangeFileExt(const std::string& name, const std::string& ext) {
    size_t slash = name.find_last_of('/');
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name + ext;
    return name.substr(0, dot) + ext;
}

void TableOps::LoadPersistent(T& t) {
    struct stat st;
    if (::stat(t.PersistentFile.c_str(), &st) != 0) return;
    Impl& m = *t.impl_;
    m.persistLoading = true;
    try {
        if (t.PersistentSaveFormat == mtsfCSV) t.LoadFromCSVFile(t.PersistentFile);
        else t.LoadFromBinaryFile(t.PersistentFile);
    } catch (...) {
        m.persistLoading = false;
        throw;
    }
    m.persistLoading = false;
}

// The new file is complete and synced before the old one is touched; the
// rename replaces it in one step, so there is never a moment without a file.
void TvdlCustomMemTable::SavePersistent() {
    if (PersistentFile.empty() || !Active()) return;
    TvdlMemTableSaveFlags flags = PersistentSaveOptions;
    std::string bytes = PersistentSaveFormat == mtsfCSV ? FileOps::SaveCSV(*this, flags & ~mtfSaveDeltas)
                                                        : TableOps::SaveBinary(*this, flags);
    std::string tmp = ChangeFileExt(PersistentFile, ".$$$");
    WriteFileAtomic(tmp, bytes);
    struct stat st;
    if (PersistentBackup && ::stat(PersistentFile.c_str(), &st) == 0) {
        std::string bak = ChangeFileExt(PersistentFile, PersistentBackupExt);
        ::unlink(bak.c_str());
        if (::link(PersistentFile.c_str(), bak.c_str()) != 0) {
            std::string old;
            try {
                old = ReadWholeFile(PersistentFile);
                WriteFileAtomic(bak, old);
            } catch (...) {
                ::unlink(tmp.c_str());
                throw;
            }
        }
    }
    if (::rename(tmp.c_str(), PersistentFile.c_str()) != 0) {
        ::unlink(tmp.c_str());
        throw EMemTableError("Cannot replace file \"" + PersistentFile + "\"");
    }
}

// ---------------------------------------------------------------------------
// The stored "Data" property
// ---------------------------------------------------------------------------

std::string TvdlCustomMemTable::StoredData() {
    if (!Active()) return impl_->storedData;
    return TableOps::SaveBinary(*this, mtfSaveStoredData);
}

void TvdlCustomMemTable::SetStoredData(const std::string& bytes) {
    if (Active()) TableOps::LoadBinary(*this, bytes);
    else impl_->storedData = bytes;
}
