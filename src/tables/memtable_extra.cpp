// Facilities around the table that the program's windows do not drive:
// versions and transactions, attached tables, blob streams, the journal,
// the delta handler and the expression filter.
//
// Filter language: comparisons = <> < > <= >= between field names (bare or
// in [brackets]), 'quoted' texts, numbers, TRUE, FALSE and NULL; IS [NOT]
// NULL; LIKE with % and _; + - * / on numbers (+ also joins texts); AND,
// OR, NOT and parentheses; the functions UPPER, LOWER and TRIM. A text
// ending in * compares as a prefix unless foNoPartialCompare is set; with
// foCaseInsensitive texts compare without regard to case. A comparison with
// a null value is false.
#include "memtable_internal.h"
#include "memtable_ops.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>

using namespace memtable;
using T = TvdlCustomMemTable;

// ---------------------------------------------------------------------------
// Versions, transactions and attached tables
// ---------------------------------------------------------------------------

// --- versioning and transactions -----------------------------------------------

void TvdlCustomMemTable::CheckPoint() {
    TableOps::CheckActive(*this);
    CheckBrowseMode();
    TableOps::Progress(*this, 0, mtpcCheckPoint);
    Store& s = *impl_->store;
    std::vector<TvdlRecord*> gone;
    for (auto& r : s.Records) {
        if (!r) continue;
        if (r->UpdateStatus == usDeleted) {
            gone.push_back(r.get());
            continue;
        }
        r->PrevVersion.reset();
        r->UpdateStatus = usUnmodified;
        r->TransactionLevel = 0;
    }
    bool versioning = EnableVersioning;
    EnableVersioning = false;
    for (TvdlRecord* r : gone) TableOps::StoreRemove(*this, r);
    EnableVersioning = versioning;
    s.DeletedCount = 0;
    if (s.LiveCount == 0) TableOps::ClearStore(*this);
    transactionLevel_ = 0;
    TableOps::Progress(*this, 100, mtpcCheckPoint);
    TableOps::Settle(*this, impl_->pos);
    TableOps::DataChanged(*this);
}

void TvdlCustomMemTable::StartTransaction() {
    if (!EnableVersioning || VersioningMode != mtvmAllSinceCheckPoint)
        throw EMemTableError("Transactioning requires multiversion versioning.");
    CheckBrowseMode();
    ++transactionLevel_;
}

void TvdlCustomMemTable::Commit() {
    if (transactionLevel_ <= 0) return;
    CheckBrowseMode();
    int level = transactionLevel_;
    for (auto& r : impl_->store->Records) {
        if (!r || r->TransactionLevel != level) continue;
        // Drop the versions made inside this level; the one from before stays.
        TvdlRecord* v = r.get();
        while (v->PrevVersion && v->PrevVersion->TransactionLevel == level)
            v->PrevVersion = std::move(v->PrevVersion->PrevVersion);
        r->TransactionLevel = level - 1;
    }
    --transactionLevel_;
}

void TvdlCustomMemTable::Rollback() {
    if (transactionLevel_ <= 0) return;
    if (state_ == dsEdit || state_ == dsInsert) Cancel();
    int level = transactionLevel_;
    Store& s = *impl_->store;
    std::vector<TvdlRecord*> gone;
    for (auto& r : s.Records) {
        if (!r || r->TransactionLevel != level) continue;
        TvdlRecord* v = r->PrevVersion.get();
        while (v && v->TransactionLevel == level) v = v->PrevVersion.get();
        if (!v) {
            gone.push_back(r.get());  // made inside this level
            continue;
        }
        bool wasDeleted = r->UpdateStatus == usDeleted;
        // Detach the chain from v on and make v the newest version.
        std::unique_ptr<TvdlRecord> chain = std::move(r->PrevVersion);
        TvdlRecord* p = chain.get();
        std::unique_ptr<TvdlRecord> keep;
        if (p == v) {
            keep = std::move(chain);
        } else {
            while (p->PrevVersion.get() != v) p = p->PrevVersion.get();
            keep = std::move(p->PrevVersion);
        }
        r->Data = std::move(keep->Data);
        r->UpdateStatus = keep->UpdateStatus;
        r->TransactionLevel = keep->TransactionLevel;
        r->PrevVersion = std::move(keep->PrevVersion);
        if (wasDeleted && r->UpdateStatus != usDeleted) --s.DeletedCount;
    }
    for (TvdlRecord* r : gone) {
        bool versioning = EnableVersioning;
        EnableVersioning = false;
        if (r->UpdateStatus == usDeleted) {
            // StoreRemove counts it down.
        }
        TableOps::StoreRemove(*this, r);
        EnableVersioning = versioning;
    }
    --transactionLevel_;
    TableOps::RebuildAll(*this);
    TableOps::Settle(*this, impl_->pos);
    TableOps::DataChanged(*this);
}

// --- attached tables ---------------------------------------------------------

void TvdlCustomMemTable::SetAttachedTo(TvdlMemTable* other) {
    if (other == attachedTo_) return;
    if (other == this) throw EMemTableError("Cant attach memorytable to it self.");
    if (other && other->attachedTo_) throw EMemTableError("Cant attach to another table which itself is an attachment.");
    for (T* s : impl_->store->Sharers)
        if (s != this && s->attachedTo_ == this)
            throw EMemTableError("Cant attach to another table which itself is an attachment.");
    if (Active()) Close();
    Impl& m = *impl_;
    auto& old = m.store->Sharers;
    old.erase(std::remove(old.begin(), old.end(), this), old.end());
    if (!other) {
        attachedTo_ = nullptr;
        m.store = std::make_shared<Store>();
        m.store->Sharers.push_back(this);
        indexes_ = std::make_shared<TvdlIndexes>();
        current_ = indexes_->RowOrder();
        return;
    }
    // Our fields become copies of the other table's, in its order, so that
    // the shared records read the same way through either table.
    fields_.clear();
    for (auto& src : other->fields_) {
        TField& f = TableOps::NewField(*this, src->FieldName, src->DataType, src->Size, src->FieldKind,
                                       src->Required);
        f.LookupDataSet = src->LookupDataSet;
        f.KeyFields = src->KeyFields;
        f.LookupKeyFields = src->LookupKeyFields;
        f.LookupResultField = src->LookupResultField;
        f.EditMask = src->EditMask;
        f.DisplayWidth = src->DisplayWidth;
        f.DisplayLabel = src->DisplayLabel;
        f.ReadOnly = src->ReadOnly;
        f.Visible = src->Visible;
        f.DefaultExpression = src->DefaultExpression;
        f.Alignment = src->Alignment;
        f.DisplayFormat = src->DisplayFormat;
        f.EditFormat = src->EditFormat;
        f.MinValue = src->MinValue;
        f.MaxValue = src->MaxValue;
        f.Precision = src->Precision;
        f.Currency = src->Currency;
        f.DisplayValues = src->DisplayValues;
        f.Transliterate = src->Transliterate;
    }
    fieldDefs_.Clear();
    for (auto& f : fields_)
        if (f->FieldKind == fkData) fieldDefs_.Add(f->FieldName, f->DataType, f->Size, f->Required);
    attachedTo_ = other;
    m.store = other->impl_->store;
    m.store->Sharers.push_back(this);
    indexes_ = other->indexes_;
    indexDefs_ = other->indexDefs_;
    current_ = indexes_->RowOrder();
    m.autoIncMax = other->impl_->autoIncMax;
}

// ---------------------------------------------------------------------------
// Blob stream
// ---------------------------------------------------------------------------

TvdlBlobStream::TvdlBlobStream(TField& field, TBlobStreamMode mode) : field_(&field), mode_(mode) {
    T& t = field.DataSet();
    if (mode != bmRead) {
        if (!t.IsLoading() && (field.ReadOnly || t.ReadOnly))
            throw EMemTableError("Field " + field.DisplayName() + " is read only");
        if (t.State() != dsEdit && t.State() != dsInsert) throw EMemTableError(kNotEditMode);
    }
    if (mode == bmWrite) {
        field.Clear();  // the old blob goes at once
        modified_ = true;
        return;
    }
    data_ = field.IsNull() ? std::string() : field.AsString();
    if (t.OnDecompressBlobStream) t.OnDecompressBlobStream(TableOps::Self(t), data_);
}

TvdlBlobStream::~TvdlBlobStream() {
    try {
        Flush();
    } catch (...) {
        // The edit was abandoned meanwhile; nothing to hand back to.
    }
}

std::size_t TvdlBlobStream::Read(void* buffer, std::size_t count) {
    std::size_t n = std::min(count, data_.size() - pos_);
    if (n) data_.copy(static_cast<char*>(buffer), n, pos_);
    pos_ += n;
    return n;
}

std::size_t TvdlBlobStream::Write(const void* buffer, std::size_t count) {
    if (mode_ == bmRead) return 0;
    if (pos_ + count > data_.size()) data_.resize(pos_ + count);
    data_.replace(pos_, count, static_cast<const char*>(buffer), count);
    pos_ += count;
    modified_ = true;
    return count;
}

void TvdlBlobStream::Truncate() {
    if (mode_ == bmRead) return;
    data_.resize(pos_);
    modified_ = true;
}

void TvdlBlobStream::Flush() {
    if (!modified_) return;
    modified_ = false;
    T& t = field_->DataSet();
    if (t.State() != dsEdit && t.State() != dsInsert) return;
    std::string bytes = data_;
    if (t.OnCompressBlobStream) t.OnCompressBlobStream(TableOps::Self(t), bytes);
    if (bytes.empty()) field_->Clear();
    else field_->SetAsString(bytes);
    TableOps::DataChanged(t);
}

// ---------------------------------------------------------------------------
// Journal
// ---------------------------------------------------------------------------

TvdlJournal::TvdlJournal(TvdlCustomMemTable& owner) : owner_(owner), table_(std::make_unique<TvdlMemTable>()) {
    Rebuild();
}

TvdlJournal::~TvdlJournal() = default;

void TvdlJournal::Rebuild() {
    table_->Close();
    table_->FieldDefs().Clear();
    for (auto& f : TableOps::FieldList(owner_))
        if (f->FieldKind == fkData) table_->FieldDefs().Add(f->FieldName, f->DataType, f->Size);
    table_->FieldDefs().Add(OperationField, ftInteger);
    table_->FieldDefs().Add(RecordTypeField, ftInteger);
    table_->IndexDefs().Clear();
    table_->CreateTable();
    table_->Open();
}

void TvdlJournal::Clear() {
    if (table_->Active()) table_->EmptyTable();
}

void TvdlJournal::Add(int operation, int recordType, const TvdlRecord& record) {
    auto& fields = TableOps::FieldList(owner_);
    int data = 0;
    for (auto& f : fields)
        if (f->FieldKind == fkData) ++data;
    if (!table_->Active() || table_->FieldCount() != data + 2) Rebuild();
    table_->Append();
    Row& buf = TableOps::Im(*table_).editBuf;
    for (auto& f : fields) {
        if (f->FieldKind != fkData) continue;
        TField* j = table_->FindField(f->FieldName);
        if (j) buf[static_cast<size_t>(TableOps::FieldIndex(*j))] = record.Data[static_cast<size_t>(TableOps::FieldIndex(*f))];
    }
    table_->FieldByName(OperationField).SetAsInteger(operation);
    table_->FieldByName(RecordTypeField).SetAsInteger(recordType);
    table_->Post();
}

void TvdlCustomMemTable::SetEnableJournal(bool on) {
    if (on && !journal_) journal_ = std::make_unique<TvdlJournal>(*this);
    if (!on) journal_.reset();
}

// ---------------------------------------------------------------------------
// Delta handler
// ---------------------------------------------------------------------------

static TvdlVariant ValueOf(const TvdlCustomMemTable* t, const TvdlRecord* r, const std::string& name) {
    if (!t || !r) return TvdlVariant();
    auto* table = const_cast<TvdlCustomMemTable*>(t);
    TField& f = table->FieldByName(name);
    size_t i = static_cast<size_t>(TableOps::FieldIndex(f));
    return i < r->Data.size() ? TableOps::CellAsVariant(f, r->Data[i]) : TvdlVariant();
}

TvdlVariant TvdlDeltaRecord::Value(const std::string& fieldName) const { return ValueOf(table_, newest_, fieldName); }
TvdlVariant TvdlDeltaRecord::OrigValue(const std::string& fieldName) const {
    return ValueOf(table_, oldest_, fieldName);
}
TUpdateStatus TvdlDeltaRecord::Status() const {
    return newest_ ? static_cast<TUpdateStatus>(newest_->UpdateStatus) : usUnmodified;
}

TvdlCustomDeltaHandler::~TvdlCustomDeltaHandler() {
    if (DataSet && DataSet->DeltaHandler == this) DataSet->DeltaHandler = nullptr;
}

void TvdlCustomDeltaHandler::Resolve() {
    if (!DataSet) throw EMemTableError("Delta handler is not assigned to any memorytables.");
    Store& s = TableOps::StoreOf(*DataSet);
    std::vector<TvdlRecord*> recs;
    for (auto& r : s.Records)
        if (r) recs.push_back(r.get());
    for (TvdlRecord* r : recs) {
        TvdlDeltaRecord d;
        d.table_ = DataSet;
        d.newest_ = r;
        d.oldest_ = &r->Oldest();
        std::uint8_t now = r->UpdateStatus, first = d.oldest_->UpdateStatus;
        if (now != usDeleted && first == usInserted) InsertRecord(d);
        else if (now == usDeleted && first != usInserted) DeleteRecord(d);
        else if (now == usModified) ModifyRecord(d);
        else UnmodifiedRecord(d);
    }
}

// ---------------------------------------------------------------------------
// Expression filter
// ---------------------------------------------------------------------------

namespace memtable {
namespace {

enum Op {
    opOr, opAnd, opNot, opEq, opNe, opLt, opGt, opLe, opGe, opAdd, opSub, opMul, opDiv, opLike,
    opIsNull, opIsNotNull, opNeg, opUpper, opLower, opTrim
};

struct Node {
    enum Kind { kConst, kField, kUnary, kBinary } kind = kConst;
    TvdlVariant value;
    int field = -1;
    TFieldType type = ftUnknown;
    Op op = opEq;
    std::unique_ptr<Node> a, b;
};

struct Token {
    enum Kind { tEnd, tName, tString, tNumber, tSym } kind = tEnd;
    std::string text;
};

class Lexer {
public:
    explicit Lexer(const std::string& s) : s_(s) { Advance(); }
    const Token& Peek() const { return tok_; }
    Token Take() {
        Token t = tok_;
        Advance();
        return t;
    }
    bool IsWord(const char* w) const { return tok_.kind == Token::tName && SameText(tok_.text, w); }
    bool IsSym(const char* s) const { return tok_.kind == Token::tSym && tok_.text == s; }

private:
    void Advance() {
        while (p_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[p_]))) ++p_;
        tok_ = Token();
        if (p_ >= s_.size()) return;
        char c = s_[p_];
        if (c == '\'') {
            std::string v;
            ++p_;
            for (;;) {
                if (p_ >= s_.size()) throw EMemTableError("Filter expression incorrectly terminated");
                if (s_[p_] == '\'') {
                    if (p_ + 1 < s_.size() && s_[p_ + 1] == '\'') {
                        v += '\'';
                        p_ += 2;
                        continue;
                    }
                    ++p_;
                    break;
                }
                v += s_[p_++];
            }
            tok_ = {Token::tString, v};
        } else if (c == '[') {
            size_t e = s_.find(']', p_);
            if (e == std::string::npos) throw EMemTableError("Filter expression incorrectly terminated");
            tok_ = {Token::tName, s_.substr(p_ + 1, e - p_ - 1)};
            tok_.text = "[" + tok_.text;  // marks a bracketed name: always a field
            p_ = e + 1;
        } else if (std::isdigit(static_cast<unsigned char>(c)) || (c == '.' && p_ + 1 < s_.size() &&
                                                                   std::isdigit(static_cast<unsigned char>(s_[p_ + 1])))) {
            size_t b = p_;
            while (p_ < s_.size() && (std::isdigit(static_cast<unsigned char>(s_[p_])) || s_[p_] == '.')) ++p_;
            tok_ = {Token::tNumber, s_.substr(b, p_ - b)};
        } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            size_t b = p_;
            while (p_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[p_])) || s_[p_] == '_')) ++p_;
            tok_ = {Token::tName, s_.substr(b, p_ - b)};
        } else {
            static const char* two[] = {"<>", "<=", ">="};
            for (const char* t : two)
                if (s_.compare(p_, 2, t) == 0) {
                    tok_ = {Token::tSym, t};
                    p_ += 2;
                    return;
                }
            if (std::string("=<>()+-*/,").find(c) == std::string::npos)
                throw EMemTableError(std::string("Invalid character in filter expression: ") + c);
            tok_ = {Token::tSym, std::string(1, c)};
            ++p_;
        }
    }
    const std::string& s_;
    size_t p_ = 0;
    Token tok_;
};

class Parser {
public:
    Parser(const std::string& text, TvdlCustomMemTable& t) : lx_(text), t_(t) {}
    std::unique_ptr<Node> Parse() {
        auto n = Or();
        if (lx_.Peek().kind != Token::tEnd) throw EMemTableError("Filter expression incorrectly terminated");
        return n;
    }

private:
    static std::unique_ptr<Node> Bin(Op op, std::unique_ptr<Node> a, std::unique_ptr<Node> b) {
        auto n = std::make_unique<Node>();
        n->kind = b ? Node::kBinary : Node::kUnary;
        n->op = op;
        n->a = std::move(a);
        n->b = std::move(b);
        return n;
    }
    std::unique_ptr<Node> Or() {
        auto n = And();
        while (lx_.IsWord("OR")) {
            lx_.Take();
            n = Bin(opOr, std::move(n), And());
        }
        return n;
    }
    std::unique_ptr<Node> And() {
        auto n = Not();
        while (lx_.IsWord("AND")) {
            lx_.Take();
            n = Bin(opAnd, std::move(n), Not());
        }
        return n;
    }
    std::unique_ptr<Node> Not() {
        if (lx_.IsWord("NOT")) {
            lx_.Take();
            return Bin(opNot, Not(), nullptr);
        }
        return Cmp();
    }
    std::unique_ptr<Node> Cmp() {
        auto n = Add();
        static const std::pair<const char*, Op> ops[] = {{"=", opEq}, {"<>", opNe}, {"<", opLt},
                                                        {">", opGt},  {"<=", opLe}, {">=", opGe}};
        for (auto& o : ops)
            if (lx_.IsSym(o.first)) {
                lx_.Take();
                return Bin(o.second, std::move(n), Add());
            }
        if (lx_.IsWord("LIKE")) {
            lx_.Take();
            return Bin(opLike, std::move(n), Add());
        }
        if (lx_.IsWord("IS")) {
            lx_.Take();
            bool neg = false;
            if (lx_.IsWord("NOT")) {
                lx_.Take();
                neg = true;
            }
            if (!lx_.IsWord("NULL")) throw EMemTableError("Filter expression incorrectly terminated");
            lx_.Take();
            return Bin(neg ? opIsNotNull : opIsNull, std::move(n), nullptr);
        }
        return n;
    }
    std::unique_ptr<Node> Add() {
        auto n = Mul();
        while (lx_.IsSym("+") || lx_.IsSym("-")) {
            Op op = lx_.Take().text == "+" ? opAdd : opSub;
            n = Bin(op, std::move(n), Mul());
        }
        return n;
    }
    std::unique_ptr<Node> Mul() {
        auto n = Unary();
        while (lx_.IsSym("*") || lx_.IsSym("/")) {
            Op op = lx_.Take().text == "*" ? opMul : opDiv;
            n = Bin(op, std::move(n), Unary());
        }
        return n;
    }
    std::unique_ptr<Node> Unary() {
        if (lx_.IsSym("-")) {
            lx_.Take();
            return Bin(opNeg, Unary(), nullptr);
        }
        return Primary();
    }
    std::unique_ptr<Node> Primary() {
        Token tok = lx_.Take();
        auto n = std::make_unique<Node>();
        switch (tok.kind) {
        case Token::tString:
            n->value = TvdlVariant(tok.text);
            return n;
        case Token::tNumber: {
            double d;
            if (!ParseFloat(tok.text, d)) throw EMemTableError("Invalid number in filter expression: " + tok.text);
            n->value = tok.text.find('.') == std::string::npos ? TvdlVariant(static_cast<long long>(d)) : TvdlVariant(d);
            return n;
        }
        case Token::tSym:
            if (tok.text == "(") {
                auto e = Or();
                if (!lx_.IsSym(")")) throw EMemTableError("Filter expression incorrectly terminated");
                lx_.Take();
                return e;
            }
            throw EMemTableError("Filter expression incorrectly terminated");
        case Token::tName: {
            bool bracketed = !tok.text.empty() && tok.text[0] == '[';
            std::string name = bracketed ? tok.text.substr(1) : tok.text;
            if (!bracketed) {
                if (SameText(name, "TRUE")) { n->value = TvdlVariant(true); return n; }
                if (SameText(name, "FALSE")) { n->value = TvdlVariant(false); return n; }
                if (SameText(name, "NULL")) return n;
                static const std::pair<const char*, Op> funcs[] = {{"UPPER", opUpper}, {"LOWER", opLower}, {"TRIM", opTrim}};
                for (auto& f : funcs)
                    if (SameText(name, f.first) && lx_.IsSym("(")) {
                        lx_.Take();
                        auto arg = Or();
                        if (!lx_.IsSym(")")) throw EMemTableError("Filter expression incorrectly terminated");
                        lx_.Take();
                        return Bin(f.second, std::move(arg), nullptr);
                    }
            }
            TField* f = t_.FindField(name);
            if (!f) throw EDatabaseError("Field '" + name + "' not found");
            switch (f->DataType) {
            case ftString: case ftFixedChar: case ftMemo: case ftFmtMemo: case ftSmallint: case ftInteger:
            case ftWord: case ftAutoInc: case ftLargeint: case ftBoolean: case ftFloat: case ftCurrency:
            case ftBCD: case ftDate: case ftTime: case ftDateTime:
                break;
            default:
                throw EMemTableError("Unknown fieldtype (" + std::to_string(static_cast<int>(f->DataType)) + ")");
            }
            n->kind = Node::kField;
            n->field = f->FieldNo() - 1;
            n->type = f->DataType;
            return n;
        }
        case Token::tEnd:
            break;
        }
        throw EMemTableError("Filter expression incorrectly terminated");
    }

    Lexer lx_;
    TvdlCustomMemTable& t_;
};

bool IsText(const TvdlVariant& v) { return v.kind() == TvdlVariant::vkString; }
bool IsNum(const TvdlVariant& v) {
    return v.kind() == TvdlVariant::vkInt || v.kind() == TvdlVariant::vkFloat || v.kind() == TvdlVariant::vkBool;
}

// Numeric value of a text compared with a number or date: a number, else a date.
bool TextAsNumber(const TvdlVariant& v, double& d) {
    return ParseFloat(v.AsString(), d) || ParseDateTime(v.AsString(), d);
}

bool Like(const std::string& s, size_t i, const std::string& p, size_t j, bool ci) {
    while (j < p.size()) {
        if (p[j] == '%') {
            for (size_t k = i; k <= s.size(); ++k)
                if (Like(s, k, p, j + 1, ci)) return true;
            return false;
        }
        if (i >= s.size()) return false;
        if (p[j] != '_') {
            char a = s[i], b = p[j];
            if (ci ? AnsiCompareText(std::string(1, a), std::string(1, b)) != 0 : a != b) return false;
        }
        ++i;
        ++j;
    }
    return i == s.size();
}

class Evaluator {
public:
    Evaluator(TvdlCustomMemTable& t, const Row& row, TFilterOptions o) : t_(t), row_(row), o_(o) {}

    TvdlVariant Eval(const Node& n) {
        switch (n.kind) {
        case Node::kConst: return n.value;
        case Node::kField: {
            TField& f = t_.Fields(n.field);
            size_t i = static_cast<size_t>(n.field);
            return i < row_.size() ? TableOps::CellAsVariant(f, row_[i]) : TvdlVariant();
        }
        case Node::kUnary: return Unary(n);
        case Node::kBinary: return Binary(n);
        }
        return TvdlVariant();
    }

private:
    [[noreturn]] static void Unknown(Op op) {
        throw EMemTableError("Unknown operator (" + std::to_string(static_cast<int>(op)) + ")");
    }

    TvdlVariant Unary(const Node& n) {
        TvdlVariant a = Eval(*n.a);
        switch (n.op) {
        case opNot: return a.IsNull() ? TvdlVariant() : TvdlVariant(!a.AsBool());
        case opIsNull: return TvdlVariant(a.IsNull());
        case opIsNotNull: return TvdlVariant(!a.IsNull());
        case opNeg:
            if (a.IsNull()) return a;
            if (a.kind() == TvdlVariant::vkInt && a.AsInt64() != INT64_MIN)
                return TvdlVariant(-static_cast<long long>(a.AsInt64()));
            if (IsNum(a)) return TvdlVariant(-a.AsFloat());
            Unknown(n.op);
        case opUpper: case opLower: case opTrim: {
            if (a.IsNull()) return a;
            std::string s = a.AsString();
            if (n.op == opUpper) {
                for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            } else if (n.op == opLower) {
                for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            } else {
                size_t b = s.find_first_not_of(' ');
                size_t e = s.find_last_not_of(' ');
                s = b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
            }
            return TvdlVariant(s);
        }
        default: Unknown(n.op);
        }
    }

    int Compare(const TvdlVariant& a, const TvdlVariant& b, bool& partialMatch) {
        partialMatch = false;
        if (IsText(a) && IsText(b)) {
            std::string x = a.AsString(), y = b.AsString();
            bool ci = o_ & foCaseInsensitive;
            if (!(o_ & foNoPartialCompare) && !y.empty() && y.back() == '*') {
                y.pop_back();
                if (x.size() > y.size()) x.resize(y.size());
                partialMatch = true;
            }
            return ci ? AnsiCompareText(x, y) : AnsiCompareStr(x, y);
        }
        double x, y;
        if (IsNum(a)) x = a.AsFloat();
        else if (!TextAsNumber(a, x)) return AnsiCompareStr(a.AsString(), b.AsString());
        if (IsNum(b)) y = b.AsFloat();
        else if (!TextAsNumber(b, y)) return AnsiCompareStr(a.AsString(), b.AsString());
        return x < y ? -1 : x > y ? 1 : 0;
    }

    TvdlVariant Binary(const Node& n) {
        if (n.op == opAnd || n.op == opOr) {
            TvdlVariant a = Eval(*n.a);
            bool av = !a.IsNull() && a.AsBool();
            if (n.op == opAnd && !av) return TvdlVariant(false);
            if (n.op == opOr && av) return TvdlVariant(true);
            TvdlVariant b = Eval(*n.b);
            return TvdlVariant(!b.IsNull() && b.AsBool());
        }
        TvdlVariant a = Eval(*n.a), b = Eval(*n.b);
        switch (n.op) {
        case opEq: case opNe: case opLt: case opGt: case opLe: case opGe: {
            if (a.IsNull() || b.IsNull()) return TvdlVariant(false);
            bool partial;
            int c = Compare(a, b, partial);
            switch (n.op) {
            case opEq: return TvdlVariant(c == 0);
            case opNe: return TvdlVariant(c != 0);
            case opLt: return TvdlVariant(c < 0);
            case opGt: return TvdlVariant(c > 0);
            case opLe: return TvdlVariant(c <= 0);
            default: return TvdlVariant(c >= 0);
            }
        }
        case opLike:
            if (a.IsNull() || b.IsNull()) return TvdlVariant(false);
            return TvdlVariant(Like(a.AsString(), 0, b.AsString(), 0, o_ & foCaseInsensitive));
        case opAdd: case opSub: case opMul: case opDiv: {
            if (a.IsNull() || b.IsNull()) return TvdlVariant();
            if (n.op == opAdd && IsText(a) && IsText(b)) return TvdlVariant(a.AsString() + b.AsString());
            if (!IsNum(a) || !IsNum(b)) Unknown(n.op);
            if (a.kind() == TvdlVariant::vkInt && b.kind() == TvdlVariant::vkInt && n.op != opDiv) {
                long long x = a.AsInt64(), y = b.AsInt64();
                long long r;
                bool ovf = n.op == opAdd ? __builtin_add_overflow(x, y, &r)
                         : n.op == opSub ? __builtin_sub_overflow(x, y, &r)
                                         : __builtin_mul_overflow(x, y, &r);
                if (!ovf) return TvdlVariant(r);
            }
            double x = a.AsFloat(), y = b.AsFloat();
            switch (n.op) {
            case opAdd: return TvdlVariant(x + y);
            case opSub: return TvdlVariant(x - y);
            case opMul: return TvdlVariant(x * y);
            default: return y == 0 ? TvdlVariant() : TvdlVariant(x / y);
            }
        }
        default: Unknown(n.op);
        }
    }

    TvdlCustomMemTable& t_;
    const Row& row_;
    TFilterOptions o_;
};

class TreeFilter : public FilterExpr {
public:
    explicit TreeFilter(std::unique_ptr<Node> root) : root_(std::move(root)) {}
    bool Matches(TvdlCustomMemTable& table, const Row& row, TFilterOptions options) const override {
        Evaluator e(table, row, options);
        TvdlVariant v = e.Eval(*root_);
        return !v.IsNull() && v.AsBool();
    }

private:
    std::unique_ptr<Node> root_;
};

}  // namespace

std::unique_ptr<FilterExpr> FilterExpr::Parse(const std::string& text, TvdlCustomMemTable& table) {
    Parser p(text, table);
    return std::make_unique<TreeFilter>(p.Parse());
}

}  // namespace memtable
