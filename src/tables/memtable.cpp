// The in-memory table: record store, indexes, cursor, editing, key search,
// ranges, Locate/Lookup and record acceptance. Field values live in
// memtable_fields.cpp, the file formats in memtable_file.cpp, versions,
// attached tables, the journal, deltas and the expression filter in
// memtable_extra.cpp.
//
// Index order is a total order: the key compare of the index, then the
// record's UniqueRecordID (its insertion number). Equal keys therefore keep
// insertion order, "the first matching row" is always the same row, and a
// record's place in any index can be found by bisection.
#include "memtable_internal.h"
#include "memtable_ops.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

using namespace memtable;
using T = TvdlCustomMemTable;

namespace {

// Place of the first definition named name (case-blind) in defs, or -1.
template <class Defs>
int IndexOfName(const Defs& defs, const std::string& name) {
    for (size_t i = 0; i < defs.size(); ++i)
        if (SameText(defs[i].Name, name)) return static_cast<int>(i);
    return -1;
}

}  // namespace

const char* const kDuplicateIndex = "Duplicate index value. Operation aborted.";
const char* const kNotEditMode = "Dataset is not in edit mode.";
const char* const kKeyFieldsChanged = "Could'nt perform operation since key fields changed.";

std::unique_ptr<TvdlRecord> TvdlRecord::CopyVersion() const {
    auto r = std::make_unique<TvdlRecord>();
    r->RecordID = RecordID;
    r->UniqueRecordID = UniqueRecordID;
    r->UpdateStatus = UpdateStatus;
    r->TransactionLevel = TransactionLevel;
    r->Data = Data;
    return r;
}

const TvdlRecord& TvdlRecord::Oldest() const {
    const TvdlRecord* r = this;
    while (r->PrevVersion) r = r->PrevVersion.get();
    return *r;
}

// ---------------------------------------------------------------------------
// Definitions
// ---------------------------------------------------------------------------

TFieldDef& TFieldDefs::Add(const std::string& name, TFieldType type, int size, bool required) {
    TFieldDef d;
    d.Name = name;
    d.DataType = type;
    d.Size = size;
    d.Required = required;
    defs_.push_back(d);
    return defs_.back();
}

int TFieldDefs::IndexOf(const std::string& name) const {
    return IndexOfName(defs_, name);
}

TIndexDef& TIndexDefs::Add(const std::string& name, const std::string& fields, TIndexOptions options) {
    TIndexDef d;
    d.Name = name;
    d.Fields = fields;
    d.Options = options;
    defs_.push_back(d);
    return defs_.back();
}

int TIndexDefs::IndexOf(const std::string& name) const {
    return IndexOfName(defs_, name);
}

// ---------------------------------------------------------------------------
// Index collection
// ---------------------------------------------------------------------------

TvdlIndexes::TvdlIndexes() {
    auto row = std::make_unique<TvdlIndex>();
    row->Name = RowOrderName;
    row->IsRowOrder = true;
    row->IsOrdered = true;
    list_.push_back(std::move(row));
}

TvdlIndex* TvdlIndexes::Find(const std::string& name) const {
    for (auto& i : list_)
        if (SameText(i->Name, name)) return i.get();
    return nullptr;
}

TvdlIndex* TvdlIndexes::Add(const std::string& name, const std::string& fields, TIndexOptions options) {
    auto idx = std::make_unique<TvdlIndex>();
    idx->Name = name;
    idx->FieldNames = fields;
    idx->Options = options;
    idx->CompareOptions = ((options & ixDescending) ? mtcoDescending : 0u) |
                          ((options & ixCaseInsensitive) ? mtcoCaseInsensitive : 0u);
    list_.push_back(std::move(idx));
    return list_.back().get();
}

void TvdlIndexes::Remove(TvdlIndex* index) {
    if (index == RowOrder()) return;
    for (auto it = list_.begin(); it != list_.end(); ++it)
        if (it->get() == index) {
            list_.erase(it);
            return;
        }
}

void TvdlIndexes::Clear() {
    list_.front()->References.clear();
    list_.erase(list_.begin() + 1, list_.end());
}

void TvdlIndexes::EmptyAll() {
    for (auto& i : list_) {
        i->References.clear();
        if (!i->IsRowOrder) i->IsOrdered = false;
    }
}

// ---------------------------------------------------------------------------
// Comparing
// ---------------------------------------------------------------------------

int TableOps::CompareRows(T& t, const std::vector<int>& fields, const Row& key, const Row& rec,
                          TvdlMemTableCompareOptions opts, int limit) {
    size_t n = fields.size();
    if (limit > 0 && static_cast<size_t>(limit) < n) n = static_cast<size_t>(limit);
    for (size_t k = 0; k < n; ++k) {
        int fi = fields[k];
        const Cell& a = key[static_cast<size_t>(fi)];
        const Cell& b = rec[static_cast<size_t>(fi)];
        if ((opts & mtcoIgnoreNullKey) && !a.has) continue;
        int r = 0;
        if (a.has && b.has) {
            TField& f = *t.fields_[static_cast<size_t>(fi)];
            if (t.OnCompareFields) {
                t.OnCompareFields(Self(t), &f, &f, f.DataType, opts & mtcoPartialKey,
                                  opts & mtcoCaseInsensitive, opts & mtcoIgnoreLocale, r);
            } else {
                r = CompareCells(f.DataType, a, b, opts);
            }
        } else if (a.has) {
            r = 1;
        } else if (b.has) {
            r = -1;
        }
        if (r != 0) {
            r = r < 0 ? -1 : 1;
            return (opts & mtcoDescending) ? -r : r;
        }
    }
    return 0;
}

// Total order of an index: key, then insertion number.
int TableOps::OrderCompare(T& t, const TvdlIndex& idx, const TvdlRecord& a, const TvdlRecord& b) {
    if (!idx.IsRowOrder) {
        int r = CompareRows(t, idx.Fields, a.Data, b.Data, idx.CompareOptions, 0);
        if (r != 0) return r;
    }
    return a.UniqueRecordID < b.UniqueRecordID ? -1 : a.UniqueRecordID > b.UniqueRecordID ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Record store
// ---------------------------------------------------------------------------

TvdlRecord* TableOps::StoreAdd(T& t, std::unique_ptr<TvdlRecord> rec, bool reuseSlots) {
    std::lock_guard<std::recursive_mutex> lock(t.impl_->lock);
    Store& s = *t.impl_->store;
    int id;
    if (!reuseSlots || s.FreeSlots.empty()) {
        if (s.NextRecordID >= kBookmarkLimit)
            throw EMemTableError("Bookmark counter is out of range. Please close and reopen table.");
        id = s.NextRecordID++;
        s.Records.emplace_back();
    } else {
        id = s.FreeSlots.back();
        s.FreeSlots.pop_back();
    }
    rec->RecordID = id;
    rec->UniqueRecordID = s.NextUniqueID++;
    for (TvdlRecord* v = rec->PrevVersion.get(); v; v = v->PrevVersion.get()) {
        v->RecordID = id;
        v->UniqueRecordID = rec->UniqueRecordID;
    }
    if (rec->UpdateStatus == usDeleted) ++s.DeletedCount;
    ++s.LiveCount;
    TvdlRecord* raw = rec.get();
    s.Records[static_cast<size_t>(id)] = std::move(rec);
    return raw;
}

// Takes a record out of every index and the store and frees it.
void TableOps::StoreRemove(T& t, TvdlRecord* rec) {
    std::lock_guard<std::recursive_mutex> lock(t.impl_->lock);
    Store& s = *t.impl_->store;
    for (T* other : s.Sharers) other->impl_->ForgetRecord(*other, rec);
    for (int i = 0; i < t.indexes_->Count(); ++i) {
        TvdlIndex* idx = (*t.indexes_)[i];
        int p = PositionOf(t, *idx, rec);
        if (p >= 0) idx->References.erase(idx->References.begin() + p);
    }
    if (rec->UpdateStatus == usDeleted) --s.DeletedCount;
    int id = rec->RecordID;
    s.FreeSlots.push_back(id);
    s.Records[static_cast<size_t>(id)].reset();
    --s.LiveCount;
    if (s.LiveCount == 0 && !t.EnableVersioning) ClearStore(t);
}

void TableOps::ClearStore(T& t) {
    Store& s = *t.impl_->store;
    for (T* other : s.Sharers) {
        other->impl_->cur = nullptr;
        other->impl_->pos = -1;
        if (other->impl_->editRec) {
            other->impl_->editRec = nullptr;
            if (other->state_ == dsEdit) other->state_ = dsBrowse;
        }
    }
    t.indexes_->EmptyAll();
    for (int i = 1; i < t.indexes_->Count(); ++i) (*t.indexes_)[i]->IsOrdered = true;
    s.Records.clear();
    s.FreeSlots.clear();
    s.NextRecordID = 0;
    s.NextUniqueID = 0;
    s.LiveCount = 0;
    s.DeletedCount = 0;
}

void TvdlCustomMemTable::Impl::ForgetRecord(T& t, TvdlRecord* rec) {
    if (cur == rec) cur = nullptr;
    if (editRec == rec) {
        editRec = nullptr;
        if (t.state_ == dsEdit) t.state_ = dsBrowse;
    }
}

// ---------------------------------------------------------------------------
// Indexes
// ---------------------------------------------------------------------------

void TableOps::ResolveIndexFields(T& t, TvdlIndex& idx) {
    idx.Fields.clear();
    for (const std::string& name : SplitFieldNames(idx.FieldNames)) {
        TField* f = t.FindField(name);
        if (!f) throw EDatabaseError("Field '" + name + "' not found");
        if ((f->FieldKind != fkData && f->FieldKind != fkCalculated) || !FieldTypeSupported(f->DataType) ||
            IsBlobType(f->DataType))
            throw EDatabaseError(Fmt("Can't index on field %s", f->DisplayName()));
        idx.Fields.push_back(f->index_);
    }
}

bool TableOps::Maintained(const T& t, const TvdlIndex& idx) {
    return idx.IsRowOrder || (t.EnableIndexes && !(idx.Options & ixNonMaintained));
}

// Finds a record's place in an index: bisection on the total order where the
// index is sorted, else a scan.
int TableOps::PositionOf(T& t, TvdlIndex& idx, const TvdlRecord* rec) {
    auto& refs = idx.References;
    if (idx.IsOrdered) {
        size_t lo = 0, hi = refs.size();
        while (lo < hi) {
            size_t mid = (lo + hi) / 2;
            if (OrderCompare(t, idx, *refs[mid], *rec) < 0) lo = mid + 1;
            else hi = mid;
        }
        if (lo < refs.size() && refs[lo] == rec) return static_cast<int>(lo);
    }
    for (size_t i = 0; i < refs.size(); ++i)
        if (refs[i] == rec) return static_cast<int>(i);
    return -1;
}

int TableOps::InsertPosition(T& t, TvdlIndex& idx, const TvdlRecord* rec) {
    auto& refs = idx.References;
    size_t lo = 0, hi = refs.size();
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (OrderCompare(t, idx, *refs[mid], *rec) < 0) lo = mid + 1;
        else hi = mid;
    }
    return static_cast<int>(lo);
}

void TableOps::SortIndex(T& t, TvdlIndex& idx) {
    std::lock_guard<std::recursive_mutex> lock(t.impl_->lock);
    Store& s = *t.impl_->store;
    idx.References.clear();
    idx.References.reserve(static_cast<size_t>(s.LiveCount));
    for (auto& r : s.Records)
        if (r) idx.References.push_back(r.get());
    Progress(t, 0, mtpcSort);
    std::sort(idx.References.begin(), idx.References.end(),
              [&](const TvdlRecord* a, const TvdlRecord* b) { return OrderCompare(t, idx, *a, *b) < 0; });
    idx.IsOrdered = true;
    Progress(t, 100, mtpcSort);
    if ((idx.Options & ixUnique) && !idx.IsRowOrder) {
        const TvdlRecord* prev = nullptr;
        for (TvdlRecord* r : idx.References) {
            if (r->UpdateStatus == usDeleted) continue;
            if (prev && CompareRows(t, idx.Fields, prev->Data, r->Data, idx.CompareOptions, 0) == 0) {
                idx.References.clear();
                idx.IsOrdered = false;
                throw EMemTableError(kDuplicateIndex);
            }
            prev = r;
        }
    }
}

// A non-maintained index is rebuilt when it is next used.
void TableOps::EnsureBuilt(T& t, TvdlIndex& idx) {
    if (!idx.IsOrdered) SortIndex(t, idx);
}

void TableOps::IndexesInsert(T& t, TvdlRecord* rec) {
    for (int i = 0; i < t.indexes_->Count(); ++i) {
        TvdlIndex& idx = *(*t.indexes_)[i];
        if (!Maintained(t, idx) || !idx.IsOrdered) {
            idx.References.clear();
            idx.IsOrdered = false;
            continue;
        }
        int p = InsertPosition(t, idx, rec);
        idx.References.insert(idx.References.begin() + p, rec);
    }
}

void TableOps::RebuildAll(T& t) {
    for (int i = 0; i < t.indexes_->Count(); ++i) SortIndex(t, *(*t.indexes_)[i]);
    for (T* other : t.impl_->store->Sharers) Resync(*other);
}

// Brings the index collection in line with IndexDefs.
void TableOps::UpdateIndexes(T& t) {
    TvdlIndexes& ix = *t.indexes_;
    for (int i = ix.Count() - 1; i >= 1; --i) {
        TvdlIndex* idx = ix[i];
        if (t.indexDefs_.IndexOf(idx->Name) < 0) {
            if (t.current_ == idx) t.current_ = ix.RowOrder();
            for (T* other : t.impl_->store->Sharers)
                if (other->current_ == idx) other->current_ = ix.RowOrder();
            ix.Remove(idx);
        }
    }
    if (t.fields_.empty()) return;  // created when the table opens
    for (int d = 0; d < t.indexDefs_.Count(); ++d) {
        const TIndexDef& def = t.indexDefs_[d];
        if (def.Name.empty() || def.Fields.empty())
            throw EMemTableError("Missing Name or FieldNames in IndexDef!");
        if (ix.Find(def.Name)) continue;
        TvdlIndex* idx = ix.Add(def.Name, def.Fields, def.Options);
        try {
            ResolveIndexFields(t, *idx);
            if (t.Active()) SortIndex(t, *idx);
        } catch (...) {
            ix.Remove(idx);
            throw;
        }
    }
    if (!t.current_) t.current_ = ix.RowOrder();
    if (t.Active()) Resync(t);
}

// ---------------------------------------------------------------------------
// Record acceptance
// ---------------------------------------------------------------------------

void TableOps::CalcRow(T& t, Row& row) {
    Impl& m = *t.impl_;
    for (auto& f : t.fields_) {
        if (f->FieldKind != fkLookup || !f->LookupDataSet) continue;
        std::vector<std::string> keys = SplitFieldNames(f->KeyFields);
        std::vector<TvdlVariant> vals;
        for (auto& k : keys) {
            TField* kf = t.FindField(k);
            vals.push_back(kf ? CellAsVariant(*kf, row[static_cast<size_t>(kf->index_)]) : TvdlVariant());
        }
        TvdlVariant key = vals.size() == 1 ? vals[0] : TvdlVariant::Array(vals);
        TvdlVariant v = f->LookupDataSet->Lookup(f->LookupKeyFields, key, f->LookupResultField);
        Cell c;
        AssignVariant(*f, c, v);
        row[static_cast<size_t>(f->index_)] = std::move(c);
    }
    if (!t.OnCalcFields) return;
    TDataSetState saved = t.state_;
    Row* savedRow = m.evalRow;
    t.state_ = dsCalcFields;
    m.evalRow = &row;
    try {
        t.OnCalcFields(Self(t));
    } catch (...) {
        t.state_ = saved;
        m.evalRow = savedRow;
        throw;
    }
    t.state_ = saved;
    m.evalRow = savedRow;
}

bool TableOps::InRange(T& t, const Row& row) {
    Impl& m = *t.impl_;
    const auto& fields = t.current_->Fields;
    if (CompareRows(t, fields, m.rangeStart, row, mtcoIgnoreNullKey, 0) > 0) return false;
    if (CompareRows(t, fields, m.rangeEnd, row, mtcoIgnoreNullKey, 0) < 0) return false;
    return true;
}

bool TableOps::MasterMatches(T& t, const Row& row) {
    T& ms = *t.master_;
    if (!ms.Active()) return true;
    std::vector<std::string> names = SplitFieldNames(t.MasterFields);
    const auto& fields = t.current_->Fields;
    size_t n = std::min(names.size(), fields.size());
    for (size_t k = 0; k < n; ++k) {
        TField& mf = ms.FieldByName(names[k]);
        TField& df = *t.fields_[static_cast<size_t>(fields[k])];
        Cell key;
        AssignVariant(df, key, mf.Value());
        const Cell& b = row[static_cast<size_t>(fields[k])];
        if (key.has != b.has) return false;
        if (key.has && CompareCells(df.DataType, key, b, t.current_->CompareOptions & mtcoCaseInsensitive) != 0)
            return false;
    }
    return true;
}

bool TableOps::CanReject(T& t) {
    Impl& m = *t.impl_;
    return t.statusFilter_ != 0 || m.store->DeletedCount > 0 || (t.rangeActive_ && !m.suspendRange) ||
           (t.master_ && !m.suspendMaster) ||
           (t.filtered_ && !m.suspendFilter && (t.OnFilterRecord || m.filterExpr));
}

bool TableOps::Accept(T& t, TvdlRecord* rec) {
    Impl& m = *t.impl_;
    if (t.statusFilter_ != 0) {
        if (!(t.statusFilter_ & (1u << rec->UpdateStatus))) return false;
    } else if (rec->UpdateStatus == usDeleted) {
        return false;
    }
    if (t.impl_->needCalc) CalcRow(t, rec->Data);
    if (t.rangeActive_ && !m.suspendRange && !InRange(t, rec->Data)) return false;
    if (t.master_ && !m.suspendMaster && !MasterMatches(t, rec->Data)) return false;
    if (t.filtered_ && !m.suspendFilter) {
        if (t.OnFilterRecord) {
            bool accept = true;
            TDataSetState saved = t.state_;
            Row* savedRow = m.evalRow;
            t.state_ = dsFilter;
            m.evalRow = &rec->Data;
            try {
                t.OnFilterRecord(Self(t), accept);
            } catch (...) {
                t.state_ = saved;
                m.evalRow = savedRow;
                throw;
            }
            t.state_ = saved;
            m.evalRow = savedRow;
            if (!accept) return false;
        }
        if (m.filterExpr && !m.filterExpr->Matches(t, rec->Data, t.FilterOptions)) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Cursor
// ---------------------------------------------------------------------------

TvdlMemTable& TableOps::Self(T& t) { return static_cast<TvdlMemTable&>(t); }

void TableOps::Progress(T& t, int pct, TvdlProgressCode code) {
    if (t.OnProgress && (t.ProgressFlags & (1u << code))) t.OnProgress(Self(t), pct, code);
}

void TableOps::DataChanged(T& t) {
    if (t.controlsDisabled_ == 0 && t.OnDataChange) t.OnDataChange(Self(t));
}

void TableOps::CheckActive(const T& t) {
    if (!t.Active()) throw EDatabaseError("Cannot perform this operation on a closed dataset");
}

void TableOps::Resync(T& t) {
    Impl& m = *t.impl_;
    if (!t.Active() || !t.current_) return;
    EnsureBuilt(t, *t.current_);
    if (m.cur) {
        m.pos = PositionOf(t, *t.current_, m.cur);
        if (m.pos < 0) m.cur = nullptr;
    }
    if (!m.cur) {
        m.pos = -1;
        t.eof_ = t.bof_ = true;
    }
}

// The part of the current index that can hold records of an active range.
// Only the first key field narrows it: a range compares case-sensitively,
// and on a case-insensitive index of several fields a later field can
// decide the case-sensitive order against the index order. A record whose
// first field lies outside the bounds in the index's own order lies outside
// them case-sensitively too.
void TableOps::Window(T& t, int& lo, int& hi) {
    Impl& m = *t.impl_;
    TvdlIndex& idx = *t.current_;
    lo = 0;
    hi = idx.Count();
    if (!t.rangeActive_ || m.suspendRange || idx.IsRowOrder || idx.Fields.empty() ||
        (idx.CompareOptions & mtcoDescending) || !idx.IsOrdered)
        return;
    const size_t f = static_cast<size_t>(idx.Fields[0]);
    const TvdlMemTableCompareOptions opts = idx.CompareOptions & mtcoCaseInsensitive;
    auto& refs = idx.References;
    if (m.rangeStart[f].has) {
        size_t a = 0, b = refs.size();
        while (a < b) {
            size_t mid = (a + b) / 2;
            if (CompareRows(t, idx.Fields, m.rangeStart, refs[mid]->Data, opts, 1) > 0) a = mid + 1;
            else b = mid;
        }
        lo = static_cast<int>(a);
    }
    if (m.rangeEnd[f].has) {
        size_t a = static_cast<size_t>(lo), b = refs.size();
        while (a < b) {
            size_t mid = (a + b) / 2;
            if (CompareRows(t, idx.Fields, m.rangeEnd, refs[mid]->Data, opts, 1) >= 0) a = mid + 1;
            else b = mid;
        }
        hi = static_cast<int>(a);
    }
}

// First accepted record at or after p (dir 1) or at or before p (dir -1).
int TableOps::Seek(T& t, int p, int dir) {
    auto& refs = t.current_->References;
    int lo, hi;
    Window(t, lo, hi);
    if (dir > 0 && p < lo) p = lo;
    if (dir < 0 && p >= hi) p = hi - 1;
    for (int i = p; i >= lo && i < hi; i += dir)
        if (Accept(t, refs[static_cast<size_t>(i)])) return i;
    return -1;
}

void TableOps::SetPos(T& t, int p) {
    Impl& m = *t.impl_;
    if (p < 0) {
        m.pos = -1;
        m.cur = nullptr;
        return;
    }
    m.pos = p;
    m.cur = t.current_->References[static_cast<size_t>(p)];
}

// After a change: the cursor stays on its record when that is still there
// and accepted, else goes to the next accepted record, else the prior one.
void TableOps::Settle(T& t, int hint) {
    Impl& m = *t.impl_;
    Resync(t);
    int p = m.cur ? m.pos : hint;
    if (p < 0) p = 0;
    int q = Seek(t, p, 1);
    if (q < 0) q = Seek(t, std::min(p, t.current_->Count() - 1), -1);
    SetPos(t, q);
    t.eof_ = t.bof_ = q < 0;
}

// ---------------------------------------------------------------------------
// The table
// ---------------------------------------------------------------------------

TvdlCustomMemTable::TvdlCustomMemTable() : impl_(std::make_unique<Impl>()) {
    indexes_ = std::make_shared<TvdlIndexes>();
    current_ = indexes_->RowOrder();
    impl_->store->Sharers.push_back(this);
}

TvdlCustomMemTable::~TvdlCustomMemTable() {
    if (Persistent && Active() && !PersistentFile.empty()) {
        try {
            SavePersistent();
        } catch (...) {
            // A destructor must not throw; the file keeps its last good state.
        }
    }
    if (DeltaHandler && DeltaHandler->DataSet == this) DeltaHandler->DataSet = nullptr;
    auto& sh = impl_->store->Sharers;
    sh.erase(std::remove(sh.begin(), sh.end(), this), sh.end());
    for (T* other : sh) {
        if (other->attachedTo_ == this) other->attachedTo_ = nullptr;
        if (other->master_ == this) other->master_ = nullptr;
    }
}

TField& TvdlCustomMemTable::Fields(int i) {
    if (i < 0 || i >= FieldCount()) throw EDatabaseError("List index out of bounds (" + std::to_string(i) + ")");
    return *fields_[static_cast<size_t>(i)];
}

TField* TvdlCustomMemTable::FindField(const std::string& name) {
    for (auto& f : fields_)
        if (SameText(f->FieldName, name)) return f.get();
    return nullptr;
}

TField& TvdlCustomMemTable::FieldByName(const std::string& name) {
    TField* f = FindField(name);
    if (!f) throw EDatabaseError("Field '" + name + "' not found");
    return *f;
}

bool TvdlCustomMemTable::IsIndexField(const TField& field) const {
    if (!current_ || current_->IsRowOrder) return false;
    return std::find(current_->Fields.begin(), current_->Fields.end(), field.index_) != current_->Fields.end();
}

TField& TvdlCustomMemTable::AddField(const std::string& name, TFieldType type, int size, TFieldKind kind,
                                     bool required) {
    if (Active()) throw EDatabaseError("Cannot perform this operation on an open dataset");
    if (FindField(name)) throw EDatabaseError("Duplicate field name '" + name + "'");
    TFieldDef d;
    d.Name = name;
    d.DataType = type;
    d.Size = size;
    TableOps::CheckFieldDef(d);
    return TableOps::NewField(*this, name, type, size, kind, required);
}

void TvdlCustomMemTable::CreateTable() {
    if (Active()) Close();
    if (fieldDefs_.Count() == 0)
        for (auto& f : fields_)
            if (f->FieldKind == fkData) fieldDefs_.Add(f->FieldName, f->DataType, f->Size, f->Required);
    for (int i = 0; i < fieldDefs_.Count(); ++i) TableOps::CheckFieldDef(fieldDefs_[i]);
    indexes_->Clear();
    current_ = indexes_->RowOrder();
    TableOps::CreateFieldsFromDefs(*this);
    TableOps::UpdateIndexes(*this);
    impl_->autoIncMax = AutoIncMinValue - 1;
}

void TvdlCustomMemTable::AddIndex(const std::string& name, const std::string& fields, TIndexOptions options) {
    if (name.empty() || fields.empty()) throw EMemTableError("Missing Name or FieldNames in IndexDef!");
    CheckBrowseMode();
    int existing = indexDefs_.IndexOf(name);
    if (existing >= 0) {
        // Redefining a name replaces the index.
        indexDefs_.Delete(existing);
        TableOps::UpdateIndexes(*this);
    }
    indexDefs_.Add(name, fields, options);
    try {
        TableOps::UpdateIndexes(*this);
    } catch (...) {
        int i = indexDefs_.IndexOf(name);
        if (i >= 0) indexDefs_.Delete(i);
        throw;
    }
}

void TvdlCustomMemTable::DeleteIndex(const std::string& name) {
    CheckBrowseMode();
    int i = indexDefs_.IndexOf(name);
    if (i >= 0) indexDefs_.Delete(i);
    bool wasCurrent = current_ && SameText(current_->Name, name);
    TableOps::UpdateIndexes(*this);
    if (wasCurrent && Active()) {
        indexName_.clear();
        rangeActive_ = false;
        First();
        TableOps::DataChanged(*this);
    }
}

void TvdlCustomMemTable::Open() {
    if (Active()) return;
    if (fields_.empty()) TableOps::CreateFieldsFromDefs(*this);
    for (auto& f : fields_) {
        TFieldDef d;
        d.Name = f->FieldName;
        d.DataType = f->DataType;
        d.Size = f->Size;
        TableOps::CheckFieldDef(d);
    }
    // Rows stored before a field was added get the new column.
    for (auto& r : impl_->store->Records)
        if (r && r->Data.size() < fields_.size()) r->Data.resize(fields_.size());
    impl_->needCalc = TableOps::NeedsCalc(*this);
    state_ = dsBrowse;
    try {
        if (impl_->autoIncMax < AutoIncMinValue - 1) impl_->autoIncMax = AutoIncMinValue - 1;
        TableOps::UpdateIndexes(*this);
        for (int i = 0; i < indexes_->Count(); ++i) TableOps::EnsureBuilt(*this, *(*indexes_)[i]);
        current_ = indexes_->RowOrder();
        if (!indexFieldNames_.empty()) SetIndexFieldNames(indexFieldNames_);
        else if (!indexName_.empty()) SetIndexName(indexName_);
        if (!filterText_.empty()) impl_->filterExpr = FilterExpr::Parse(filterText_, *this);
        if (StoreDataOnForm && !impl_->storedData.empty()) {
            std::string bytes = std::move(impl_->storedData);
            impl_->storedData.clear();
            TableOps::LoadBinary(*this, bytes);
        }
        if (Persistent && !PersistentFile.empty() && !impl_->persistLoading) TableOps::LoadPersistent(*this);
    } catch (...) {
        state_ = dsInactive;
        current_ = indexes_->RowOrder();
        throw;
    }
    First();
    TableOps::DataChanged(*this);
}

void TvdlCustomMemTable::Close() {
    if (!Active()) return;
    if (state_ == dsEdit || state_ == dsInsert || state_ == dsSetKey) Cancel();
    if (Persistent && !PersistentFile.empty()) SavePersistent();
    Impl& m = *impl_;
    if (attachedTo_) {
        // The records belong to the table we share them with.
    } else {
        for (T* other : m.store->Sharers)
            if (other != this) {
                other->impl_->cur = nullptr;
                other->impl_->pos = -1;
                other->eof_ = other->bof_ = true;
                other->current_ = indexes_->RowOrder();
                other->rangeActive_ = false;
            }
        for (int i = indexes_->Count() - 1; i >= 1; --i) indexes_->Remove((*indexes_)[i]);
        TableOps::ClearStore(*this);
    }
    current_ = indexes_->RowOrder();
    m.cur = nullptr;
    m.pos = -1;
    m.hasStart = m.hasEnd = false;
    m.rangeStart.clear();
    m.rangeEnd.clear();
    m.filterExpr.reset();
    rangeActive_ = false;
    eof_ = bof_ = true;
    state_ = dsInactive;
    TableOps::DataChanged(*this);
}

void TvdlCustomMemTable::EmptyTable() {
    TableOps::CheckActive(*this);
    CheckBrowseMode();
    TableOps::Progress(*this, 0, mtpcEmpty);
    TableOps::ClearStore(*this);
    impl_->autoIncMax = AutoIncMinValue - 1;
    if (journal_) journal_->Clear();
    TableOps::Progress(*this, 100, mtpcEmpty);
    First();
    TableOps::DataChanged(*this);
}

void TvdlCustomMemTable::EnableControls() {
    if (controlsDisabled_ > 0 && --controlsDisabled_ == 0) TableOps::DataChanged(*this);
}

std::int64_t TvdlCustomMemTable::AutoIncMax() const { return impl_->autoIncMax; }

int TvdlCustomMemTable::DeletedCount() const { return impl_->store->DeletedCount; }

// --- navigation --------------------------------------------------------------

void TvdlCustomMemTable::First() {
    TableOps::CheckActive(*this);
    CheckBrowseMode();
    TableOps::EnsureBuilt(*this, *current_);
    int p = TableOps::Seek(*this, 0, 1);
    TableOps::SetPos(*this, p);
    eof_ = bof_ = p < 0;
    bof_ = true;
}

void TvdlCustomMemTable::Last() {
    TableOps::CheckActive(*this);
    CheckBrowseMode();
    TableOps::EnsureBuilt(*this, *current_);
    int p = TableOps::Seek(*this, current_->Count() - 1, -1);
    TableOps::SetPos(*this, p);
    bof_ = p < 0;
    eof_ = true;
}

void TvdlCustomMemTable::Next() {
    TableOps::CheckActive(*this);
    CheckBrowseMode();
    TableOps::Resync(*this);
    if (!impl_->cur) {
        eof_ = true;
        return;
    }
    int p = TableOps::Seek(*this, impl_->pos + 1, 1);
    if (p < 0) {
        eof_ = true;
    } else {
        TableOps::SetPos(*this, p);
        eof_ = false;
    }
    bof_ = false;
}

void TvdlCustomMemTable::Prior() {
    TableOps::CheckActive(*this);
    CheckBrowseMode();
    TableOps::Resync(*this);
    if (!impl_->cur) {
        bof_ = true;
        return;
    }
    int p = TableOps::Seek(*this, impl_->pos - 1, -1);
    if (p < 0) {
        bof_ = true;
    } else {
        TableOps::SetPos(*this, p);
        bof_ = false;
    }
    eof_ = false;
}

int TvdlCustomMemTable::MoveBy(int distance) {
    int moved = 0;
    while (distance > 0 && !eof_) {
        Next();
        if (!eof_) { ++moved; --distance; } else break;
    }
    while (distance < 0 && !bof_) {
        Prior();
        if (!bof_) { --moved; ++distance; } else break;
    }
    return moved;
}

bool TvdlCustomMemTable::IsEmpty() { return RecordCount() == 0; }

int TvdlCustomMemTable::RecordCount() {
    TableOps::CheckActive(*this);
    TableOps::EnsureBuilt(*this, *current_);
    if (!TableOps::CanReject(*this)) return current_->Count();
    int n = 0, lo, hi;
    TableOps::Window(*this, lo, hi);
    for (int i = lo; i < hi; ++i)
        if (TableOps::Accept(*this, current_->References[static_cast<size_t>(i)])) ++n;
    return n;
}

int TvdlCustomMemTable::RecNo() {
    TableOps::CheckActive(*this);
    if (state_ == dsInsert) return 0;
    TableOps::Resync(*this);
    if (!impl_->cur) return 0;
    if (!TableOps::CanReject(*this)) return impl_->pos + 1;
    int n = 0, lo, hi;
    TableOps::Window(*this, lo, hi);
    for (int i = lo; i <= impl_->pos && i < hi; ++i)
        if (TableOps::Accept(*this, current_->References[static_cast<size_t>(i)])) ++n;
    return n;
}

void TvdlCustomMemTable::SetRecNo(int recNo) {
    TableOps::CheckActive(*this);
    CheckBrowseMode();
    TableOps::EnsureBuilt(*this, *current_);
    int n = 0;
    auto& refs = current_->References;
    for (size_t i = 0; i < refs.size(); ++i) {
        if (!TableOps::Accept(*this, refs[i])) continue;
        if (++n == recNo) {
            TableOps::SetPos(*this, static_cast<int>(i));
            eof_ = bof_ = false;
            return;
        }
    }
}

int TvdlCustomMemTable::GetBookmark() const { return impl_->cur ? impl_->cur->RecordID : -1; }

bool TvdlCustomMemTable::BookmarkValid(int bookmark) const {
    const Store& s = *impl_->store;
    return bookmark >= 0 && static_cast<size_t>(bookmark) < s.Records.size() &&
           s.Records[static_cast<size_t>(bookmark)] != nullptr;
}

void TvdlCustomMemTable::GotoBookmark(int bookmark) {
    TableOps::CheckActive(*this);
    CheckBrowseMode();
    if (!BookmarkValid(bookmark)) throw EMemTableError("Bookmark " + std::to_string(bookmark) + " not found.");
    TvdlRecord* r = impl_->store->Records[static_cast<size_t>(bookmark)].get();
    TableOps::EnsureBuilt(*this, *current_);
    int p = TableOps::PositionOf(*this, *current_, r);
    if (p < 0) throw EMemTableError("Bookmark " + std::to_string(bookmark) + " not found.");
    TableOps::SetPos(*this, p);
    eof_ = bof_ = false;
}

// --- editing -----------------------------------------------------------------

void TvdlCustomMemTable::CheckBrowseMode() {
    if (!Active()) return;
    if (state_ == dsEdit || state_ == dsInsert) Post();
    else if (state_ == dsSetKey) state_ = dsBrowse;
}

void TvdlCustomMemTable::Append() {
    TableOps::CheckActive(*this);
    CheckBrowseMode();
    if (ReadOnly) throw EDatabaseError("Cannot modify a read-only dataset");
    Impl& m = *impl_;
    m.editBuf.assign(fields_.size(), Cell());
    m.editRec = nullptr;
    state_ = dsInsert;
    try {
        if (master_ && master_->Active()) {
            std::vector<std::string> names = SplitFieldNames(MasterFields);
            const auto& idxFields = current_->Fields;
            for (size_t k = 0; k < names.size() && k < idxFields.size(); ++k) {
                TField& mf = master_->FieldByName(names[k]);
                TableOps::AssignVariant(*fields_[static_cast<size_t>(idxFields[k])],
                                        m.editBuf[static_cast<size_t>(idxFields[k])], mf.Value());
            }
        }
        for (auto& f : fields_)
            if (!f->DefaultExpression.empty())
                TableOps::AssignText(*f, m.editBuf[static_cast<size_t>(f->index_)], f->DefaultExpression);
        if (OnNewRecord) OnNewRecord(TableOps::Self(*this));
        for (auto& f : fields_)
            if (f->DataType == ftAutoInc) {
                Cell& c = m.editBuf[static_cast<size_t>(f->index_)];
                c = Cell();
                c.i = m.autoIncMax + 1;
                c.has = true;
            }
    } catch (...) {
        state_ = dsBrowse;
        m.editBuf.clear();
        throw;
    }
}

void TvdlCustomMemTable::Insert() { Append(); }

void TvdlCustomMemTable::Edit() {
    TableOps::CheckActive(*this);
    if (state_ == dsEdit || state_ == dsInsert) return;
    CheckBrowseMode();
    if (ReadOnly) throw EDatabaseError("Cannot modify a read-only dataset");
    TableOps::Resync(*this);
    if (!impl_->cur) {
        Append();
        return;
    }
    impl_->editBuf = impl_->cur->Data;
    impl_->editRec = impl_->cur;
    state_ = dsEdit;
}

void TvdlCustomMemTable::Cancel() {
    if (state_ == dsEdit || state_ == dsInsert || state_ == dsSetKey) {
        state_ = dsBrowse;
        impl_->editBuf.clear();
        impl_->editRec = nullptr;
        impl_->keyTarget = nullptr;
        TableOps::Settle(*this, impl_->pos);
    }
}

// Raises when another record holds the same key in a unique index.
void TableOps::CheckUnique(T& t, const Row& row, const TvdlRecord* self) {
    for (int i = 1; i < t.indexes_->Count(); ++i) {
        TvdlIndex& idx = *(*t.indexes_)[i];
        if (!(idx.Options & ixUnique) || (idx.Options & ixNonMaintained) || !t.EnableIndexes) continue;
        EnsureBuilt(t, idx);
        auto& refs = idx.References;
        size_t lo = 0, hi = refs.size();
        while (lo < hi) {
            size_t mid = (lo + hi) / 2;
            if (CompareRows(t, idx.Fields, row, refs[mid]->Data, idx.CompareOptions, 0) > 0) lo = mid + 1;
            else hi = mid;
        }
        for (size_t p = lo; p < refs.size(); ++p) {
            if (CompareRows(t, idx.Fields, row, refs[p]->Data, idx.CompareOptions, 0) != 0) break;
            if (refs[p] != self && refs[p]->UpdateStatus != usDeleted) throw EMemTableError(kDuplicateIndex);
        }
    }
}

void TableOps::CheckRequired(T& t, const Row& row) {
    for (auto& f : t.fields_)
        if (f->Required && f->FieldKind == fkData && !row[static_cast<size_t>(f->index_)].has)
            throw EDatabaseError("Field '" + f->DisplayName() + "' must have a value");
}

// Keeps an older version as the record is about to change; true when the
// record now carries one more version.
void TableOps::KeepVersion(T& t, TvdlRecord* rec) {
    if (!t.EnableVersioning) return;
    bool keep = t.VersioningMode == mtvmAllSinceCheckPoint || rec->UpdateStatus == usUnmodified;
    if (!keep) return;
    auto old = rec->CopyVersion();
    old->PrevVersion = std::move(rec->PrevVersion);
    rec->PrevVersion = std::move(old);
}

void TvdlCustomMemTable::Post() {
    TableOps::CheckActive(*this);
    Impl& m = *impl_;
    if (state_ == dsSetKey) {
        state_ = dsBrowse;
        return;
    }
    if (state_ != dsEdit && state_ != dsInsert) throw EMemTableError(kNotEditMode);
    TableOps::CheckRequired(*this, m.editBuf);
    if (m.needCalc) TableOps::CalcRow(*this, m.editBuf);
    if (state_ == dsInsert) {
        TableOps::CheckUnique(*this, m.editBuf, nullptr);
        auto rec = std::make_unique<TvdlRecord>();
        rec->Data = m.editBuf;
        rec->UpdateStatus = EnableVersioning ? usInserted : usUnmodified;
        rec->TransactionLevel = transactionLevel_;
        TvdlRecord* r = TableOps::StoreAdd(*this, std::move(rec), true);
        for (auto& f : fields_)
            if (f->DataType == ftAutoInc) {
                const Cell& c = r->Data[static_cast<size_t>(f->index_)];
                if (c.has && c.i > m.autoIncMax) m.autoIncMax = c.i;
            }
        TableOps::IndexesInsert(*this, r);
        if (journal_) journal_->Add(TvdlJournal::joInsert, TvdlJournal::jrNew, *r);
        m.cur = r;
    } else {
        TvdlRecord* r = m.editRec;
        if (!r) throw EMemTableError(kKeyFieldsChanged);
        TableOps::CheckUnique(*this, m.editBuf, r);
        // Take the record out of every index whose key changes, at its old place.
        std::vector<TvdlIndex*> moved;
        for (int i = 1; i < indexes_->Count(); ++i) {
            TvdlIndex& idx = *(*indexes_)[i];
            if (!TableOps::Maintained(*this, idx) || !idx.IsOrdered) {
                idx.References.clear();
                idx.IsOrdered = false;
                continue;
            }
            if (TableOps::CompareRows(*this, idx.Fields, r->Data, m.editBuf, idx.CompareOptions, 0) == 0 &&
                TableOps::CompareRows(*this, idx.Fields, m.editBuf, r->Data, idx.CompareOptions, 0) == 0)
                continue;
            int p = TableOps::PositionOf(*this, idx, r);
            if (p < 0) throw EMemTableError(kKeyFieldsChanged);
            moved.push_back(&idx);
        }
        for (TvdlIndex* idx : moved) {
            int p = TableOps::PositionOf(*this, *idx, r);
            idx->References.erase(idx->References.begin() + p);
        }
        TableOps::KeepVersion(*this, r);
        if (EnableVersioning) {
            r->UpdateStatus = usModified;
            r->TransactionLevel = transactionLevel_;
        }
        r->Data = m.editBuf;
        for (TvdlIndex* idx : moved) {
            int p = TableOps::InsertPosition(*this, *idx, r);
            idx->References.insert(idx->References.begin() + p, r);
        }
        for (auto& f : fields_)
            if (f->DataType == ftAutoInc) {
                const Cell& c = r->Data[static_cast<size_t>(f->index_)];
                if (c.has && c.i > m.autoIncMax) m.autoIncMax = c.i;
            }
        if (journal_) journal_->Add(TvdlJournal::joEdit, TvdlJournal::jrNew, *r);
        m.cur = r;
    }
    state_ = dsBrowse;
    m.editBuf.clear();
    m.editRec = nullptr;
    TableOps::Resync(*this);
    eof_ = bof_ = m.cur == nullptr;
    TableOps::AfterChange(*this);
    if (AfterPost) AfterPost(TableOps::Self(*this));
    TableOps::DataChanged(*this);
}

void TvdlCustomMemTable::Delete() {
    TableOps::CheckActive(*this);
    if (state_ == dsInsert) {
        Cancel();
        return;
    }
    if (state_ == dsEdit) Cancel();
    CheckBrowseMode();
    if (ReadOnly) throw EDatabaseError("Cannot modify a read-only dataset");
    Impl& m = *impl_;
    TableOps::Resync(*this);
    TvdlRecord* r = m.cur;
    if (!r) throw EDatabaseError("Cannot perform this operation on an empty dataset");
    int hint = m.pos;
    if (EnableVersioning) {
        TableOps::KeepVersion(*this, r);
        if (journal_) journal_->Add(TvdlJournal::joDelete, TvdlJournal::jrOld, *r);
        r->UpdateStatus = usDeleted;
        r->TransactionLevel = transactionLevel_;
        ++m.store->DeletedCount;
        m.cur = nullptr;
    } else {
        if (journal_) journal_->Add(TvdlJournal::joDelete, TvdlJournal::jrOld, *r);
        TableOps::StoreRemove(*this, r);
    }
    TableOps::Settle(*this, hint);
    TableOps::AfterChange(*this);
    if (AfterDelete) AfterDelete(TableOps::Self(*this));
    TableOps::DataChanged(*this);
}

// Every other table sharing the records finds its place again.
void TableOps::AfterChange(T& t) {
    if (!t.AttachedAutoRefresh) return;
    for (T* other : t.impl_->store->Sharers) {
        if (other == &t || !other->Active()) continue;
        if (other->state_ == dsBrowse) {
            Settle(*other, other->impl_->pos);
            DataChanged(*other);
        }
    }
}

// --- indexes and keys --------------------------------------------------------

void TableOps::SelectIndex(T& t, TvdlIndex* idx) {
    if (idx == t.current_) return;
    Impl& m = *t.impl_;
    t.CheckBrowseMode();
    TvdlRecord* keep = m.cur;
    if (t.rangeActive_) {
        t.rangeActive_ = false;
        m.hasStart = m.hasEnd = false;
    }
    t.current_ = idx;
    EnsureBuilt(t, *idx);
    m.cur = keep;
    Resync(t);
    if (m.cur && Accept(t, m.cur)) {
        t.eof_ = t.bof_ = false;
        DataChanged(t);
    } else {
        t.First();
        DataChanged(t);
    }
}

void TvdlCustomMemTable::SetIndexName(const std::string& name) {
    if (!Active()) {
        indexName_ = name;
        indexFieldNames_.clear();
        return;
    }
    TvdlIndex* idx = name.empty() ? indexes_->RowOrder() : indexes_->Find(name);
    if (!idx || (idx->IsRowOrder && !name.empty() && !SameText(name, TvdlIndexes::RowOrderName)))
        throw EMemTableError(Fmt("Index %s does not exist", name));
    TableOps::SelectIndex(*this, idx);
    indexName_ = name;
    indexFieldNames_.clear();
}

void TvdlCustomMemTable::SetIndexFieldNames(const std::string& names) {
    if (!Active()) {
        indexFieldNames_ = names;
        indexName_.clear();
        return;
    }
    TvdlIndex* idx = nullptr;
    if (names.empty()) {
        idx = indexes_->RowOrder();
    } else {
        std::string u = UpperCase(names);
        for (int i = 1; i < indexes_->Count() && !idx; ++i)
            if (UpperCase((*indexes_)[i]->FieldNames) == u) idx = (*indexes_)[i];
    }
    if (!idx) return;
    TableOps::SelectIndex(*this, idx);
    indexFieldNames_ = names;
    indexName_.clear();
}

void TableOps::FillKey(T& t, Row& key, const TvdlValues& values) {
    key.assign(t.fields_.size(), Cell());
    const auto& fields = t.current_->Fields;
    for (size_t k = 0; k < values.size() && k < fields.size(); ++k) {
        const TField& f = *t.fields_[static_cast<size_t>(fields[k])];
        AssignVariant(f, key[static_cast<size_t>(fields[k])], values[k]);
    }
}

// First position whose key matches, or -1. `ordered` says the compare is
// consistent with the index order, so bisection finds the first match.
int TableOps::Search(T& t, TvdlIndex& idx, const std::vector<int>& fields, const Row& key,
                     TvdlMemTableCompareOptions opts, bool ordered, bool respectAccept) {
    std::lock_guard<std::recursive_mutex> lock(t.impl_->lock);
    Progress(t, 0, mtpcSearch);
    EnsureBuilt(t, idx);
    auto& refs = idx.References;
    size_t start = 0;
    if (ordered && idx.IsOrdered && !idx.IsRowOrder) {
        size_t lo = 0, hi = refs.size();
        while (lo < hi) {
            size_t mid = (lo + hi) / 2;
            if (CompareRows(t, fields, key, refs[mid]->Data, opts, 0) > 0) lo = mid + 1;
            else hi = mid;
        }
        start = lo;
        for (size_t p = start; p < refs.size(); ++p) {
            if (CompareRows(t, fields, key, refs[p]->Data, opts, 0) != 0) break;
            if (!respectAccept || Accept(t, refs[p])) return static_cast<int>(p);
        }
        return -1;
    }
    for (size_t p = 0; p < refs.size(); ++p) {
        if (CompareRows(t, fields, key, refs[p]->Data, opts, 0) != 0) continue;
        if (!respectAccept || Accept(t, refs[p])) return static_cast<int>(p);
    }
    return -1;
}

bool TvdlCustomMemTable::FindKey(const TvdlValues& values) {
    TableOps::CheckActive(*this);
    CheckBrowseMode();
    Row key;
    TableOps::FillKey(*this, key, values);
    int p = TableOps::Search(*this, *current_, current_->Fields, key, current_->CompareOptions, true, true);
    if (p < 0) return false;
    TableOps::SetPos(*this, p);
    eof_ = bof_ = false;
    return true;
}

void TableOps::StartRangeKey(T& t, Row& bound, bool& has) {
    CheckActive(t);
    if (t.state_ != dsSetKey) t.CheckBrowseMode();
    bound.assign(t.fields_.size(), Cell());
    has = true;
    t.impl_->keyTarget = &bound;
    t.state_ = dsSetKey;
}

void TvdlCustomMemTable::SetRangeStart() { TableOps::StartRangeKey(*this, impl_->rangeStart, impl_->hasStart); }

void TvdlCustomMemTable::SetRangeEnd() { TableOps::StartRangeKey(*this, impl_->rangeEnd, impl_->hasEnd); }

void TvdlCustomMemTable::ApplyRange() {
    TableOps::CheckActive(*this);
    if (state_ == dsSetKey) {
        state_ = dsBrowse;
        impl_->keyTarget = nullptr;
    }
    CheckBrowseMode();
    if (impl_->hasStart && impl_->hasEnd && current_ && !current_->IsRowOrder) rangeActive_ = true;
    First();
    TableOps::DataChanged(*this);
}

void TvdlCustomMemTable::CancelRange() {
    TableOps::CheckActive(*this);
    CheckBrowseMode();
    impl_->hasStart = impl_->hasEnd = false;
    if (!rangeActive_) return;
    rangeActive_ = false;
    TableOps::Resync(*this);
    if (impl_->cur && TableOps::Accept(*this, impl_->cur)) eof_ = bof_ = false;
    else First();
    TableOps::DataChanged(*this);
}

void TvdlCustomMemTable::SetRange(const TvdlValues& startValues, const TvdlValues& endValues) {
    TableOps::CheckActive(*this);
    CheckBrowseMode();
    TableOps::FillKey(*this, impl_->rangeStart, startValues);
    TableOps::FillKey(*this, impl_->rangeEnd, endValues);
    impl_->hasStart = impl_->hasEnd = true;
    ApplyRange();
}

// Locate and Lookup share the search: the current index by bisection when
// the key fields are its fields and the compare keeps its order, else a scan
// in current-index order.
int TableOps::LocateRecord(T& t, const std::string& keyFields, const TvdlVariant& keyValues,
                           TLocateOptions options) {
    CheckActive(t);
    t.CheckBrowseMode();
    std::vector<std::string> names = SplitFieldNames(keyFields);
    if (names.empty()) throw EMemTableError("There must be at least one field");
    std::vector<TvdlVariant> values;
    if (keyValues.IsArray()) {
        for (auto& v : keyValues.Items())
            if (v.IsArray()) throw EMemTableError("Values variant array has invalid dimension count");
        values = keyValues.Items();
    } else {
        if (names.size() > 1) throw EMemTableError("More fields than values");
        values.push_back(keyValues);
    }
    if (values.size() < names.size()) throw EMemTableError("More fields than values");
    std::vector<int> fields;
    Row key(t.fields_.size());
    for (size_t k = 0; k < names.size(); ++k) {
        TField& f = t.FieldByName(names[k]);
        fields.push_back(f.index_);
        AssignVariant(f, key[static_cast<size_t>(f.index_)], values[k]);
    }
    TvdlMemTableCompareOptions opts = ((options & loCaseInsensitive) ? mtcoCaseInsensitive : 0u) |
                                      ((options & loPartialKey) ? mtcoPartialKey : 0u);
    TvdlIndex& idx = *t.current_;
    bool sameFields = !idx.IsRowOrder && fields == idx.Fields;
    // Bisection needs a compare that keeps the index order: a case-blind
    // search over a case-sensitive index of several fields does not.
    bool ordered = sameFields && !(opts & mtcoPartialKey) &&
                   (opts & mtcoCaseInsensitive) == (idx.CompareOptions & mtcoCaseInsensitive);
    if (ordered) opts |= idx.CompareOptions & mtcoDescending;
    return Search(t, idx, fields, key, opts, ordered, true);
}

bool TvdlCustomMemTable::Locate(const std::string& keyFields, const TvdlVariant& keyValues,
                                TLocateOptions options) {
    int p = TableOps::LocateRecord(*this, keyFields, keyValues, options);
    if (p < 0) return false;
    TableOps::SetPos(*this, p);
    eof_ = bof_ = false;
    return true;
}

TvdlVariant TvdlCustomMemTable::Lookup(const std::string& keyFields, const TvdlVariant& keyValues,
                                       const std::string& resultFields) {
    int p = TableOps::LocateRecord(*this, keyFields, keyValues, 0);
    if (p < 0) return TvdlVariant();
    const TvdlRecord* r = current_->References[static_cast<size_t>(p)];
    std::vector<TvdlVariant> out;
    for (const std::string& name : SplitFieldNames(resultFields)) {
        TField& f = FieldByName(name);
        out.push_back(TableOps::CellAsVariant(f, r->Data[static_cast<size_t>(f.index_)]));
    }
    if (out.size() == 1) return out[0];
    return TvdlVariant::Array(out);
}

// --- filters and master ------------------------------------------------------

void TvdlCustomMemTable::SetFiltered(bool on) {
    if (filtered_ == on) return;
    filtered_ = on;
    if (Active()) {
        First();
        TableOps::DataChanged(*this);
    }
}

void TvdlCustomMemTable::SetFilter(const std::string& expression) {
    if (Active()) {
        std::unique_ptr<FilterExpr> e;
        if (!expression.empty()) e = FilterExpr::Parse(expression, *this);
        impl_->filterExpr = std::move(e);
    }
    filterText_ = expression;
    if (Active() && filtered_) {
        First();
        TableOps::DataChanged(*this);
    }
}

void TvdlCustomMemTable::SetStatusFilter(TUpdateStatusSet statuses) {
    statusFilter_ = statuses;
    if (Active()) {
        First();
        TableOps::DataChanged(*this);
    }
}

void TvdlCustomMemTable::SetMasterSource(TvdlMemTable* master) {
    for (TvdlCustomMemTable* m = master; m; m = m->master_)
        if (m == this) throw EMemTableError("Selfreferencing master/detail relations not allowed.");
    master_ = master;
    if (Active()) {
        First();
        TableOps::DataChanged(*this);
    }
}
