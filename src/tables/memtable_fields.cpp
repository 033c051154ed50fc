// Field values: conversion between the typed cells of a record and the
// texts, numbers, dates and variants the callers read and write, and the
// field accessors of TField.
#include "memtable_internal.h"
#include "memtable_ops.h"

#include <cmath>

using namespace memtable;
using T = TvdlCustomMemTable;

// ---------------------------------------------------------------------------
// Fields
// ---------------------------------------------------------------------------

TField& TableOps::NewField(T& t, const std::string& name, TFieldType type, int size, TFieldKind kind,
                           bool required) {
    auto f = std::make_unique<TField>();
    f->FieldName = name;
    f->DataType = type;
    f->Size = size;
    f->FieldKind = kind;
    f->Required = required;
    f->table_ = &Self(t);
    f->index_ = static_cast<int>(t.fields_.size());
    t.fields_.push_back(std::move(f));
    return *t.fields_.back();
}

void TableOps::CheckFieldDef(const TFieldDef& d) {
    if (!FieldTypeSupported(d.DataType))
        throw EMemTableError("Fielddef " + d.Name + " (" + d.Name + ")" + " Datatype " +
                             std::to_string(static_cast<int>(d.DataType)) + " not supported.)");
    if (d.Size < 0 || d.Size > kMaxFieldSize)
        throw EMemTableError("Fielddef " + d.Name + " size " + std::to_string(d.Size) + " out of range");
}

void TableOps::CreateFieldsFromDefs(T& t) {
    t.fields_.clear();
    for (int i = 0; i < t.fieldDefs_.Count(); ++i) {
        const TFieldDef& d = t.fieldDefs_[i];
        CheckFieldDef(d);
        NewField(t, d.Name, d.DataType, d.Size, fkData, d.Required);
    }
}

bool TableOps::NeedsCalc(T& t) {
    for (auto& f : t.fields_)
        if (f->FieldKind != fkData) return true;
    return false;
}

const Row* TableOps::ReadRow(const T& t) {
    const Impl& m = *t.impl_;
    switch (t.state_) {
    case dsEdit:
    case dsInsert: return &m.editBuf;
    case dsSetKey: return m.keyTarget;
    case dsCalcFields:
    case dsFilter: return m.evalRow;
    case dsBrowse: return m.cur ? &m.cur->Data : nullptr;
    default: return nullptr;
    }
}

Cell& TableOps::WriteCell(T& t, const TField& f) {
    Impl& m = *t.impl_;
    Row* row = nullptr;
    switch (t.state_) {
    case dsEdit:
    case dsInsert:
        if (!t.loading_ && (t.ReadOnly || f.ReadOnly))
            throw EMemTableError(Fmt("Field %s is read only", f.DisplayName()));
        row = &m.editBuf;
        break;
    case dsSetKey:
        if (!t.IsIndexField(f)) throw EMemTableError(Fmt("Field %s is read only", f.DisplayName()));
        row = m.keyTarget;
        break;
    case dsCalcFields:
    case dsFilter:
        row = m.evalRow;
        break;
    default:
        throw EMemTableError(kNotEditMode);
    }
    if (!row || static_cast<size_t>(f.index_) >= row->size()) throw EMemTableError(kNotEditMode);
    return (*row)[static_cast<size_t>(f.index_)];
}

static void CheckIntRange(const TField& f, std::int64_t v) {
    std::int64_t lo, hi;
    switch (f.DataType) {
    case ftSmallint: lo = -32768; hi = 32767; break;
    case ftWord: lo = 0; hi = 65535; break;
    case ftInteger: case ftAutoInc: lo = INT32_MIN; hi = INT32_MAX; break;
    default: return;
    }
    if (v < lo || v > hi)
        throw EDatabaseError(std::to_string(v) + " is not a valid value for field '" + f.DisplayName() +
                             "'. The allowed range is " + std::to_string(lo) + " to " + std::to_string(hi));
}

// Puts a text into a cell of the field's type (the form the file and the
// key buffers use as well).
void TableOps::AssignText(const TField& f, Cell& c, const std::string& v) {
    switch (StorageOf(f.DataType)) {
    case stText: {
        std::string s = v;
        if ((f.DataType == ftString || f.DataType == ftFixedChar || f.DataType == ftBytes ||
             f.DataType == ftVarBytes || f.DataType == ftWideString) &&
            f.Size > 0 && s.size() > static_cast<size_t>(f.Size))
            s.resize(static_cast<size_t>(f.Size));
        c.s = std::move(s);
        c.has = true;
        return;
    }
    case stInt: {
        if (v.find_first_not_of(" \t") == std::string::npos) { c = Cell(); return; }
        if (f.DataType == ftBoolean) {
            std::string u = UpperCase(v);
            if (u == "TRUE" || u == "T" || u == "Y" || u == "YES" || u == "1") { c.i = 1; c.has = true; return; }
            if (u == "FALSE" || u == "F" || u == "N" || u == "NO" || u == "0") { c.i = 0; c.has = true; return; }
            throw EDatabaseError("'" + v + "' is not a valid boolean value for field '" + f.DisplayName() + "'");
        }
        if (f.DataType == ftDate || f.DataType == ftTime) {
            double d;
            if (!ParseDateTime(v, d)) throw EDatabaseError("'" + v + "' is not a valid date and time");
            AssignFloat(f, c, d);
            return;
        }
        if (f.DataType == ftCurrency || f.DataType == ftBCD) {
            double d;
            if (!ParseFloat(v, d)) throw EDatabaseError("'" + v + "' is not a valid floating point value");
            AssignFloat(f, c, d);
            return;
        }
        std::int64_t i;
        if (!ParseInt(v, i)) throw EDatabaseError("'" + v + "' is not a valid integer value");
        CheckIntRange(f, i);
        c.i = i;
        c.has = true;
        return;
    }
    case stFloat: {
        if (v.find_first_not_of(" \t") == std::string::npos) { c = Cell(); return; }
        double d;
        if (f.DataType == ftDateTime) {
            if (!ParseDateTime(v, d)) throw EDatabaseError("'" + v + "' is not a valid date and time");
        } else if (!ParseFloat(v, d)) {
            throw EDatabaseError("'" + v + "' is not a valid floating point value");
        }
        c.f = d;
        c.has = true;
        return;
    }
    case stNone:
        return;
    }
}

void TableOps::AssignFloat(const TField& f, Cell& c, double v) {
    switch (f.DataType) {
    case ftDate:
        if (!std::isfinite(v) || std::fabs(v) > 3e6) throw EDatabaseError("Invalid date value");
        c.i = static_cast<std::int64_t>(std::floor(v)) + kDateDelta;
        c.has = true;
        return;
    case ftTime: {
        if (!std::isfinite(v)) throw EDatabaseError("Invalid time value");
        double frac = v - std::floor(v);
        std::int64_t ms = static_cast<std::int64_t>(std::llround(frac * kMsPerDay));
        c.i = ms % kMsPerDay;
        c.has = true;
        return;
    }
    case ftCurrency:
    case ftBCD:
        if (!std::isfinite(v) || std::fabs(v) > 9e14) throw EDatabaseError("Invalid currency value");
        c.i = static_cast<std::int64_t>(std::llround(v * 10000.0));
        c.has = true;
        return;
    case ftBoolean:
        c.i = v != 0 ? 1 : 0;
        c.has = true;
        return;
    default:
        break;
    }
    switch (StorageOf(f.DataType)) {
    case stFloat: c.f = v; c.has = true; return;
    case stInt: {
        if (!std::isfinite(v) || std::fabs(v) > 9.2e18) throw EDatabaseError("Invalid integer value");
        std::int64_t i = static_cast<std::int64_t>(std::llround(v));
        CheckIntRange(f, i);
        c.i = i;
        c.has = true;
        return;
    }
    case stText: AssignText(f, c, FormatFloat(v)); return;
    case stNone: return;
    }
}

void TableOps::AssignInt(const TField& f, Cell& c, std::int64_t v) {
    switch (f.DataType) {
    case ftDate: case ftTime: case ftCurrency: case ftBCD: case ftFloat: case ftDateTime:
        AssignFloat(f, c, static_cast<double>(v));
        return;
    case ftBoolean:
        c.i = v != 0;
        c.has = true;
        return;
    default:
        break;
    }
    switch (StorageOf(f.DataType)) {
    case stInt: CheckIntRange(f, v); c.i = v; c.has = true; return;
    case stText: AssignText(f, c, std::to_string(v)); return;
    default: return;
    }
}

void TableOps::AssignVariant(const TField& f, Cell& c, const TvdlVariant& v) {
    switch (v.kind()) {
    case TvdlVariant::vkNull: c = Cell(); return;
    case TvdlVariant::vkBool:
        if (StorageOf(f.DataType) == stText) AssignText(f, c, v.AsBool() ? "True" : "False");
        else AssignInt(f, c, v.AsBool() ? 1 : 0);
        return;
    case TvdlVariant::vkInt: AssignInt(f, c, v.AsInt64()); return;
    case TvdlVariant::vkFloat: AssignFloat(f, c, v.AsFloat()); return;
    case TvdlVariant::vkString: AssignText(f, c, v.AsString()); return;
    case TvdlVariant::vkArray: throw EDatabaseError("Invalid variant type conversion");
    }
}

double TableOps::CellAsFloat(const TField& f, const Cell& c) {
    if (!c.has) return 0;
    switch (f.DataType) {
    case ftDate: return static_cast<double>(c.i - kDateDelta);
    case ftTime: return static_cast<double>(c.i) / kMsPerDay;
    case ftCurrency: case ftBCD: return static_cast<double>(c.i) / 10000.0;
    default: break;
    }
    switch (StorageOf(f.DataType)) {
    case stInt: return static_cast<double>(c.i);
    case stFloat: return c.f;
    case stText: {
        double d = 0;
        if (f.DataType == ftString || f.DataType == ftFixedChar || f.DataType == ftMemo) {
            if (!ParseFloat(c.s, d) && !ParseDateTime(c.s, d))
                throw EDatabaseError("'" + c.s + "' is not a valid floating point value");
        }
        return d;
    }
    default: return 0;
    }
}

std::string TableOps::CellAsString(const TField& f, const Cell& c) {
    if (!c.has) return "";
    switch (f.DataType) {
    case ftBoolean: return c.i ? "True" : "False";
    case ftDate: case ftTime: case ftDateTime: return FormatDateTime(f.DataType, CellAsFloat(f, c));
    case ftCurrency: case ftBCD: case ftFloat: return FormatFloat(CellAsFloat(f, c));
    default: break;
    }
    switch (StorageOf(f.DataType)) {
    case stInt: return std::to_string(c.i);
    case stFloat: return FormatFloat(c.f);
    case stText: return c.s;
    default: return "";
    }
}

TvdlVariant TableOps::CellAsVariant(const TField& f, const Cell& c) {
    if (!c.has) return TvdlVariant();
    switch (f.DataType) {
    case ftBoolean: return TvdlVariant(c.i != 0);
    case ftDate: case ftTime: case ftCurrency: case ftBCD: return TvdlVariant(CellAsFloat(f, c));
    default: break;
    }
    switch (StorageOf(f.DataType)) {
    case stInt: return TvdlVariant(static_cast<long long>(c.i));
    case stFloat: return TvdlVariant(c.f);
    case stText: return TvdlVariant(c.s);
    default: return TvdlVariant();
    }
}

int TField::GetDisplayWidth() const {
    if (DisplayWidth > 0) return DisplayWidth;
    switch (DataType) {
    case ftString: case ftFixedChar: return Size > 0 ? Size : 20;
    case ftBoolean: return 5;
    case ftDate: return 10;
    case ftTime: return 8;
    case ftDateTime: return 18;
    case ftSmallint: return 6;
    case ftWord: return 5;
    case ftInteger: case ftAutoInc: return 11;
    case ftLargeint: return 15;
    default: return 10;
    }
}

static const Cell* ReadCell(const TField& f, const TvdlMemTable& t) {
    const Row* r = TableOps::ReadRow(t);
    size_t i = static_cast<size_t>(f.FieldNo() - 1);
    if (!r || i >= r->size()) return nullptr;
    return &(*r)[i];
}

bool TField::IsNull() const {
    const Cell* c = ReadCell(*this, *table_);
    return !c || !c->has;
}
std::string TField::AsString() const {
    const Cell* c = ReadCell(*this, *table_);
    return c ? TableOps::CellAsString(*this, *c) : std::string();
}
std::int64_t TField::AsInteger() const {
    const Cell* c = ReadCell(*this, *table_);
    if (!c || !c->has) return 0;
    switch (StorageOf(DataType)) {
    case stInt:
        if (DataType == ftCurrency || DataType == ftBCD || DataType == ftDate || DataType == ftTime)
            return static_cast<std::int64_t>(std::llround(TableOps::CellAsFloat(*this, *c)));
        return c->i;
    case stFloat: return static_cast<std::int64_t>(std::llround(c->f));
    case stText: {
        std::int64_t v;
        if (!ParseInt(c->s, v)) throw EDatabaseError("'" + c->s + "' is not a valid integer value");
        return v;
    }
    default: return 0;
    }
}
bool TField::AsBoolean() const {
    const Cell* c = ReadCell(*this, *table_);
    if (!c || !c->has) return false;
    switch (StorageOf(DataType)) {
    case stInt: return c->i != 0;
    case stFloat: return c->f != 0;
    case stText: {
        std::string u = UpperCase(c->s);
        if (u == "TRUE" || u == "T" || u == "Y" || u == "YES" || u == "1") return true;
        if (u == "FALSE" || u == "F" || u == "N" || u == "NO" || u == "0" || u.empty()) return false;
        throw EDatabaseError("'" + c->s + "' is not a valid boolean value");
    }
    default: return false;
    }
}
double TField::AsFloat() const {
    const Cell* c = ReadCell(*this, *table_);
    return c ? TableOps::CellAsFloat(*this, *c) : 0.0;
}
TDateTime TField::AsDateTime() const { return AsFloat(); }
TvdlVariant TField::Value() const {
    const Cell* c = ReadCell(*this, *table_);
    return c ? TableOps::CellAsVariant(*this, *c) : TvdlVariant();
}

void TField::SetAsString(const std::string& v) {
    Cell& c = TableOps::WriteCell(*table_, *this);
    Cell n;
    TableOps::AssignText(*this, n, v);
    c = std::move(n);
}
void TField::SetAsInteger(std::int64_t v) {
    Cell& c = TableOps::WriteCell(*table_, *this);
    Cell n;
    TableOps::AssignInt(*this, n, v);
    c = std::move(n);
}
void TField::SetAsBoolean(bool v) {
    Cell& c = TableOps::WriteCell(*table_, *this);
    Cell n;
    if (StorageOf(DataType) == stText) TableOps::AssignText(*this, n, v ? "True" : "False");
    else TableOps::AssignInt(*this, n, v ? 1 : 0);
    c = std::move(n);
}
void TField::SetAsFloat(double v) {
    Cell& c = TableOps::WriteCell(*table_, *this);
    Cell n;
    TableOps::AssignFloat(*this, n, v);
    c = std::move(n);
}
void TField::SetAsDateTime(TDateTime v) {
    Cell& c = TableOps::WriteCell(*table_, *this);
    Cell n;
    if (StorageOf(DataType) == stText) TableOps::AssignText(*this, n, FormatDateTime(ftDateTime, v));
    else TableOps::AssignFloat(*this, n, v);
    c = std::move(n);
}
void TField::SetValue(const TvdlVariant& v) {
    Cell& c = TableOps::WriteCell(*table_, *this);
    Cell n;
    TableOps::AssignVariant(*this, n, v);
    c = std::move(n);
}
void TField::Clear() { TableOps::WriteCell(*table_, *this) = Cell(); }

