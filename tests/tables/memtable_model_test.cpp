// Randomised differential test: thousands of operations on a table and on a
// brute-force model (plain vectors, sorted from scratch on every question),
// compared after every step; then a save and a load, compared again.
#include "tables/memtable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>

namespace {

struct MRec {
    std::int64_t id = 0;
    std::optional<std::string> name;
    std::optional<std::int64_t> n;
    std::optional<bool> flag;
    std::int64_t seq = 0;  // insertion order
};

enum FieldId { fId, fName, fN, fFlag };

struct MIndex {
    const char* name;
    const char* fields;
    TIndexOptions options;
    std::vector<FieldId> keys;
};

const std::vector<MIndex> kIndexes = {
    {"ixId", "Id", ixUnique, {fId}},
    {"ixName", "Name", ixCaseInsensitive, {fName}},
    {"ixNameN", "Name;N", ixPrimary, {fName, fN}},
    {"ixNDesc", "N", ixDescending, {fN}},
    {"ixFlagName", "Flag;Name", ixDescending | ixCaseInsensitive, {fFlag, fName}},
    {"ixNameFlag", "Name;Flag", ixCaseInsensitive, {fName, fFlag}},
};

// A key of the model: one optional value per field (only key fields used).
struct MKey {
    std::optional<std::int64_t> id;
    std::optional<std::string> name;
    std::optional<std::int64_t> n;
    std::optional<bool> flag;
};

MKey KeyOf(const MRec& r) { return {r.id, r.name, r.n, r.flag}; }

int Cmp3(bool ha, bool hb) { return ha && !hb ? 1 : !ha && hb ? -1 : 0; }

// Compare of key field f: null before any value; ignoreNull skips null keys.
int FieldCmp(FieldId f, const MKey& a, const MKey& b, bool ci, bool partial, bool ignoreNull, int& result) {
    auto num = [&](const std::optional<std::int64_t>& x, const std::optional<std::int64_t>& y) {
        if (ignoreNull && !x) return 0;
        if (!x || !y) return Cmp3(x.has_value(), y.has_value());
        return *x < *y ? -1 : *x > *y ? 1 : 0;
    };
    switch (f) {
    case fId: result = num(a.id, b.id); break;
    case fN: result = num(a.n, b.n); break;
    case fFlag:
        if (ignoreNull && !a.flag) { result = 0; break; }
        if (!a.flag || !b.flag) { result = Cmp3(a.flag.has_value(), b.flag.has_value()); break; }
        result = *a.flag == *b.flag ? 0 : *a.flag ? 1 : -1;
        break;
    case fName:
        if (ignoreNull && !a.name) { result = 0; break; }
        if (!a.name || !b.name) { result = Cmp3(a.name.has_value(), b.name.has_value()); break; }
        {
            std::string bs = *b.name;
            if (partial && bs.size() > a.name->size()) bs.resize(a.name->size());
            result = ci ? memtable::AnsiCompareText(*a.name, bs) : memtable::AnsiCompareStr(*a.name, bs);
        }
        break;
    }
    return result;
}

int KeyCmp(const std::vector<FieldId>& keys, const MKey& a, const MKey& b, bool ci, bool desc, bool partial = false,
           bool ignoreNull = false) {
    for (FieldId f : keys) {
        int r;
        FieldCmp(f, a, b, ci, partial, ignoreNull, r);
        if (r) return desc ? -r : r;
    }
    return 0;
}

class Model {
public:
    std::vector<MRec> recs;
    int index = -1;  // -1 = row order
    bool range = false;
    MKey rangeStart, rangeEnd;
    std::optional<std::int64_t> cursor;  // id of the current record

    const MIndex* Idx() const { return index < 0 ? nullptr : &kIndexes[static_cast<size_t>(index)]; }

    std::vector<const MRec*> Ordered() const {
        std::vector<const MRec*> v;
        for (auto& r : recs) v.push_back(&r);
        const MIndex* ix = Idx();
        std::sort(v.begin(), v.end(), [&](const MRec* a, const MRec* b) {
            if (ix) {
                int c = KeyCmp(ix->keys, KeyOf(*a), KeyOf(*b), ix->options & ixCaseInsensitive,
                               ix->options & ixDescending);
                if (c) return c < 0;
            }
            return a->seq < b->seq;
        });
        return v;
    }
    bool Accepted(const MRec& r) const {
        if (!range) return true;
        const MIndex* ix = Idx();
        return KeyCmp(ix->keys, rangeStart, KeyOf(r), false, false, false, true) <= 0 &&
               KeyCmp(ix->keys, rangeEnd, KeyOf(r), false, false, false, true) >= 0;
    }
    std::vector<std::int64_t> View() const {
        std::vector<std::int64_t> out;
        for (const MRec* r : Ordered())
            if (Accepted(*r)) out.push_back(r->id);
        return out;
    }
    MRec* Find(std::int64_t id) {
        for (auto& r : recs)
            if (r.id == id) return &r;
        return nullptr;
    }
    void First() {
        auto v = View();
        cursor = v.empty() ? std::nullopt : std::optional<std::int64_t>(v.front());
    }
};

class Harness {
public:
    explicit Harness(unsigned seed) : rng_(seed) {
        t.FieldDefs().Add("Id", ftInteger);
        t.FieldDefs().Add("Name", ftString, 6);
        t.FieldDefs().Add("N", ftInteger);
        t.FieldDefs().Add("Flag", ftBoolean);
        t.CreateTable();
        for (auto& ix : kIndexes) t.AddIndex(ix.name, ix.fields, ix.options);
        t.Open();
    }

    TvdlMemTable t;
    Model m;

    std::optional<std::string> RandName() {
        static const char* names[] = {"a", "A", "b", "B", "ab", "Ab", "aB", "abc", "abcdefg", "", "\xE9t\xE9", "\xC9T\xC9"};
        if (Pick(8) == 0) return std::nullopt;
        std::string s = names[Pick(12)];
        if (s.size() > 6) s.resize(6);  // the field's size
        return s;
    }
    std::optional<std::int64_t> RandN() {
        static const std::int64_t ns[] = {-2, -1, 0, 1, 2, 7, INT32_MAX, INT32_MIN, INT32_MAX - 1, 100000};
        if (Pick(8) == 0) return std::nullopt;
        return ns[Pick(10)];
    }
    std::optional<bool> RandFlag() {
        if (Pick(8) == 0) return std::nullopt;
        return Pick(2) == 1;
    }
    unsigned Pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }

    void SetFields(const MRec& r) {
        t.FieldByName("Id").SetAsInteger(r.id);
        if (r.name) t.FieldByName("Name").SetAsString(*r.name); else t.FieldByName("Name").Clear();
        if (r.n) t.FieldByName("N").SetAsInteger(*r.n); else t.FieldByName("N").Clear();
        if (r.flag) t.FieldByName("Flag").SetAsBoolean(*r.flag); else t.FieldByName("Flag").Clear();
    }

    TvdlVariant Var(FieldId f, const MKey& k) {
        switch (f) {
        case fId: return k.id ? TvdlVariant(static_cast<long long>(*k.id)) : TvdlVariant();
        case fName: return k.name ? TvdlVariant(*k.name) : TvdlVariant();
        case fN: return k.n ? TvdlVariant(static_cast<long long>(*k.n)) : TvdlVariant();
        case fFlag: return k.flag ? TvdlVariant(*k.flag) : TvdlVariant();
        }
        return TvdlVariant();
    }

    MKey RandKey() {
        // Mostly keys of existing records, so searches hit.
        if (!m.recs.empty() && Pick(3) != 0) return KeyOf(m.recs[Pick(static_cast<unsigned>(m.recs.size()))]);
        return {static_cast<std::int64_t>(Pick(static_cast<unsigned>(nextId_ + 2))), RandName(), RandN(), RandFlag()};
    }

    // After a post the record may lie outside the range; both sides then
    // go to the first record.
    void SettleAfterPost() {
        MRec* r = m.Find(*m.cursor);
        if (!m.Accepted(*r)) {
            t.First();
            m.First();
        }
    }

    void Step(std::string& log) {
        unsigned op = Pick(100);
        if (op < 25) {  // append
            MRec r;
            r.id = Pick(10) == 0 && !m.recs.empty() ? m.recs[Pick(static_cast<unsigned>(m.recs.size()))].id : nextId_++;
            r.name = RandName();
            r.n = RandN();
            r.flag = RandFlag();
            log += "append " + std::to_string(r.id) + "\n";
            t.Append();
            SetFields(r);
            if (m.Find(r.id)) {
                EXPECT_THROW(t.Post(), EMemTableError) << log;
                EXPECT_EQ(t.State(), dsInsert);
                t.Cancel();
                return;
            }
            t.Post();
            r.seq = seq_++;
            m.recs.push_back(r);
            m.cursor = r.id;
            SettleAfterPost();
        } else if (op < 40) {  // edit the current record
            if (!m.cursor) return;
            MRec r = *m.Find(*m.cursor);
            switch (Pick(4)) {
            case 0: r.name = RandName(); break;
            case 1: r.n = RandN(); break;
            case 2: r.flag = RandFlag(); break;
            case 3: r.id = Pick(2) ? nextId_++ : m.recs[Pick(static_cast<unsigned>(m.recs.size()))].id; break;
            }
            log += "edit " + std::to_string(*m.cursor) + "\n";
            t.Edit();
            SetFields(r);
            MRec* other = m.Find(r.id);
            if (other && other->id != *m.cursor) {
                EXPECT_THROW(t.Post(), EMemTableError) << log;
                EXPECT_EQ(t.State(), dsEdit);
                t.Cancel();
                return;
            }
            t.Post();
            *m.Find(*m.cursor) = r;
            m.cursor = r.id;
            SettleAfterPost();
        } else if (op < 52) {  // delete the current record
            if (!m.cursor) return;
            log += "delete " + std::to_string(*m.cursor) + "\n";
            auto view = m.View();
            size_t p = static_cast<size_t>(std::find(view.begin(), view.end(), *m.cursor) - view.begin());
            t.Delete();
            m.recs.erase(std::remove_if(m.recs.begin(), m.recs.end(), [&](const MRec& r) { return r.id == *m.cursor; }),
                         m.recs.end());
            view.erase(view.begin() + static_cast<long>(p));
            m.cursor = view.empty() ? std::nullopt
                                    : std::optional<std::int64_t>(p < view.size() ? view[p] : view.back());
        } else if (op < 60) {  // select an index
            int i = static_cast<int>(Pick(static_cast<unsigned>(kIndexes.size() + 1))) - 1;
            log += "index " + std::to_string(i) + "\n";
            t.SetIndexName(i < 0 ? "" : kIndexes[static_cast<size_t>(i)].name);
            if (i != m.index) {
                m.index = i;
                m.range = false;
                if (!m.cursor) m.First();
            }
        } else if (op < 72) {  // FindKey
            const MIndex* ix = m.Idx();
            if (!ix) return;
            MKey k = RandKey();
            size_t given = 1 + Pick(static_cast<unsigned>(ix->keys.size()));
            TvdlValues vals;
            MKey mk;
            for (size_t i = 0; i < given; ++i) {
                vals.push_back(Var(ix->keys[i], k));
                switch (ix->keys[i]) {
                case fId: mk.id = k.id; break;
                case fName: mk.name = k.name; break;
                case fN: mk.n = k.n; break;
                case fFlag: mk.flag = k.flag; break;
                }
            }
            log += "findkey\n";
            std::optional<std::int64_t> want;
            for (const MRec* r : m.Ordered())
                if (m.Accepted(*r) && KeyCmp(ix->keys, mk, KeyOf(*r), ix->options & ixCaseInsensitive, false) == 0) {
                    want = r->id;
                    break;
                }
            EXPECT_EQ(t.FindKey(vals), want.has_value()) << log;
            if (want) m.cursor = want;
        } else if (op < 78) {  // range
            const MIndex* ix = m.Idx();
            if (!ix) return;
            MKey a = RandKey(), b = Pick(2) ? a : RandKey();
            size_t given = 1 + Pick(static_cast<unsigned>(ix->keys.size()));
            TvdlValues sv, ev;
            MKey ms, me;
            for (size_t i = 0; i < given; ++i) {
                FieldId f = ix->keys[i];
                sv.push_back(Var(f, a));
                ev.push_back(Var(f, b));
                auto copy = [&](MKey& dst, const MKey& src) {
                    switch (f) {
                    case fId: dst.id = src.id; break;
                    case fName: dst.name = src.name; break;
                    case fN: dst.n = src.n; break;
                    case fFlag: dst.flag = src.flag; break;
                    }
                };
                copy(ms, a);
                copy(me, b);
            }
            log += "range\n";
            t.SetRange(sv, ev);
            m.range = true;
            m.rangeStart = ms;
            m.rangeEnd = me;
            m.First();
        } else if (op < 82) {
            log += "cancelrange\n";
            t.CancelRange();
            if (m.range) {
                m.range = false;
                if (!m.cursor) m.First();
            }
        } else if (op < 90) {  // Locate
            static const std::vector<std::pair<const char*, std::vector<FieldId>>> sets = {
                {"Name", {fName}}, {"N", {fN}}, {"Name;N", {fName, fN}}, {"Flag", {fFlag}}, {"Id", {fId}}};
            auto& s = sets[Pick(static_cast<unsigned>(sets.size()))];
            MKey k = RandKey();
            TLocateOptions opts = Pick(4);
            std::vector<TvdlVariant> vals;
            for (FieldId f : s.second) vals.push_back(Var(f, k));
            TvdlVariant key = vals.size() == 1 ? vals[0] : TvdlVariant::Array(vals);
            log += std::string("locate ") + s.first + "\n";
            std::optional<std::int64_t> want;
            for (const MRec* r : m.Ordered())
                if (m.Accepted(*r) && KeyCmp(s.second, k, KeyOf(*r), opts & loCaseInsensitive, false,
                                             opts & loPartialKey) == 0) {
                    want = r->id;
                    break;
                }
            EXPECT_EQ(t.Locate(s.first, key, opts), want.has_value()) << log;
            if (want) m.cursor = want;
        } else {  // navigation
            unsigned what = Pick(4);
            auto view = m.View();
            log += "nav " + std::to_string(what) + "\n";
            if (what == 0) {
                t.First();
                m.First();
            } else if (what == 1) {
                t.Last();
                m.cursor = view.empty() ? std::nullopt : std::optional<std::int64_t>(view.back());
            } else if (what == 2 && m.cursor) {
                t.Next();
                auto it = std::find(view.begin(), view.end(), *m.cursor);
                if (it != view.end() && it + 1 != view.end()) m.cursor = *(it + 1);
                else EXPECT_TRUE(t.Eof()) << log;
            } else if (m.cursor) {
                t.Prior();
                auto it = std::find(view.begin(), view.end(), *m.cursor);
                if (it != view.end() && it != view.begin()) m.cursor = *(it - 1);
                else EXPECT_TRUE(t.Bof()) << log;
            }
        }
    }

    std::vector<std::int64_t> TableView() {
        std::vector<std::int64_t> out;
        int bookmark = t.GetBookmark();
        for (t.First(); !t.Eof(); t.Next()) out.push_back(t.FieldByName("Id").AsInteger());
        if (bookmark >= 0 && t.BookmarkValid(bookmark)) t.GotoBookmark(bookmark);
        return out;
    }

    void Compare(const std::string& log) {
        ASSERT_EQ(t.State(), dsBrowse) << log;
        if (m.cursor) {
            ASSERT_FALSE(t.FieldByName("Id").IsNull()) << log;
            ASSERT_EQ(t.FieldByName("Id").AsInteger(), *m.cursor) << log;
            const MRec& r = *m.Find(*m.cursor);
            ASSERT_EQ(t.FieldByName("Name").IsNull(), !r.name) << log;
            if (r.name) {
                ASSERT_EQ(t.FieldByName("Name").AsString(), *r.name) << log;
            }
            if (r.n) {
                ASSERT_EQ(t.FieldByName("N").AsInteger(), *r.n) << log;
            }
        } else {
            ASSERT_TRUE(t.FieldByName("Id").IsNull()) << log;
        }
        auto want = m.View();
        ASSERT_EQ(t.RecordCount(), static_cast<int>(want.size())) << log;
        ASSERT_EQ(TableView(), want) << log;
    }

private:
    std::mt19937 rng_;
    std::int64_t nextId_ = 1;
    std::int64_t seq_ = 0;
};

TEST(TableModel, RandomOperationsMatchBruteForce) {
    for (unsigned seed : {1u, 2u, 3u, 4u, 5u}) {
        Harness h(seed);
        std::string log = "seed " + std::to_string(seed) + "\n";
        for (int step = 0; step < 2500; ++step) {
            h.Step(log);
            h.Compare(log);
            if (HasFatalFailure() || HasNonfatalFailure()) return;
            if (log.size() > 4000) log = "seed " + std::to_string(seed) + " (...)\n" + log.substr(log.size() - 1500);
        }
        // Save and load: every record, and every index in the same order
        // (saved in row order, so equal keys keep their insertion order).
        h.t.SetIndexName("");
        TvdlMemTable back;
        back.LoadFromBinaryString(h.t.SaveToBinaryString());
        for (int i = -1; i < static_cast<int>(kIndexes.size()); ++i) {
            const char* name = i < 0 ? "" : kIndexes[static_cast<size_t>(i)].name;
            h.t.SetIndexName(name);
            back.SetIndexName(name);
            h.m.index = i;
            h.m.range = false;
            std::vector<std::int64_t> got;
            for (back.First(); !back.Eof(); back.Next()) got.push_back(back.FieldByName("Id").AsInteger());
            EXPECT_EQ(got, h.m.View()) << "index " << name;
        }
    }
}

}  // namespace

namespace {

// Versions and nested transactions against snapshots of a plain map.
TEST(TableModel, TransactionsMatchSnapshots) {
    using Row = std::pair<std::string, std::int64_t>;
    for (unsigned seed : {21u, 22u, 23u}) {
        std::mt19937 rng(seed);
        auto pick = [&](unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng); };
        TvdlMemTable t;
        t.FieldDefs().Add("Id", ftInteger);
        t.FieldDefs().Add("Name", ftString, 8);
        t.FieldDefs().Add("N", ftInteger);
        t.CreateTable();
        t.AddIndex("ixId", "Id", ixUnique);
        t.AddIndex("ixName", "Name", 0);
        t.EnableVersioning = true;
        t.VersioningMode = mtvmAllSinceCheckPoint;
        t.Open();
        t.SetIndexName(pick(2) ? "ixId" : "ixName");
        std::map<std::int64_t, Row> model;
        std::vector<std::map<std::int64_t, Row>> saved;
        std::int64_t nextId = 1;
        std::string log = "seed " + std::to_string(seed) + "\n";
        for (int step = 0; step < 1500; ++step) {
            unsigned op = pick(100);
            std::string name(1, static_cast<char>('a' + pick(5)));
            if (op < 30) {
                std::int64_t id = nextId++;
                t.Append();
                t.FieldByName("Id").SetAsInteger(id);
                t.FieldByName("Name").SetAsString(name);
                t.FieldByName("N").SetAsInteger(step);
                t.Post();
                model[id] = {name, step};
                log += "append\n";
            } else if (op < 55 && !model.empty()) {
                auto it = std::next(model.begin(), pick(static_cast<unsigned>(model.size())));
                ASSERT_TRUE(t.Locate("Id", static_cast<long long>(it->first), 0)) << log;
                t.Edit();
                t.FieldByName("Name").SetAsString(name);
                t.FieldByName("N").SetAsInteger(step);
                t.Post();
                it->second = {name, step};
                log += "edit\n";
            } else if (op < 70 && !model.empty()) {
                auto it = std::next(model.begin(), pick(static_cast<unsigned>(model.size())));
                ASSERT_TRUE(t.Locate("Id", static_cast<long long>(it->first), 0)) << log;
                t.Delete();
                model.erase(it);
                log += "delete\n";
            } else if (op < 80 && saved.size() < 4) {
                t.StartTransaction();
                saved.push_back(model);
                log += "start\n";
            } else if (op < 88 && !saved.empty()) {
                t.Commit();
                saved.pop_back();
                log += "commit\n";
            } else if (op < 96 && !saved.empty()) {
                t.Rollback();
                model = saved.back();
                saved.pop_back();
                log += "rollback\n";
            } else if (saved.empty()) {
                t.CheckPoint();
                EXPECT_EQ(t.DeletedCount(), 0);
                log += "checkpoint\n";
            }
            ASSERT_EQ(t.TransactionLevel(), static_cast<int>(saved.size())) << log;
            std::map<std::int64_t, Row> got;
            for (t.First(); !t.Eof(); t.Next())
                got[t.FieldByName("Id").AsInteger()] = {t.FieldByName("Name").AsString(), t.FieldByName("N").AsInteger()};
            ASSERT_EQ(got, model) << log;
            ASSERT_EQ(t.RecordCount(), static_cast<int>(model.size())) << log;
            if (log.size() > 3000) log = log.substr(log.size() - 1000);
        }
    }
}

}  // namespace
