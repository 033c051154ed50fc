// The stack walker. It does not trust one source alone: the unwinder's
// chain (from the captured registers, through the modules' call frame
// information) gives anchors, and every 8-byte slot of the stack copy that
// holds a return address behind a call into loaded code is a candidate.
// Candidates are checked against the calls their callers really make,
// repeated recursion is folded, and between anchors only a chain of calls
// that connect survives. Every item is then named through the debug maps.
#include "zel_stacktrace.h"

#include <elfutils/libdwfl.h>
#include <link.h>
#include <setjmp.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <unordered_map>

#include "zel_disasm.h"
#include "zel_mapfile.h"
#include "zel_strings.h"

namespace zelStackTrace {

namespace testing {
void (*PhaseHook)(const char* phase) = nullptr;
}

// ---------------------------------------------------------------- progress

TProgress* NewProgress(std::function<std::uint32_t()> clock, std::function<void(int)> show) {
    auto* p = new TProgress;
    p->Clock = clock ? std::move(clock) : [] {
        return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
    };
    p->Show = std::move(show);
    p->StartTick = p->Clock();
    return p;
}

void AddProgressPhase(TProgress* progress, std::uint64_t weight) {
    if (!progress) return;
    progress->Phases.push_back({progress->TotalWeight, weight});
    progress->TotalWeight += weight;
}

int OverallProgress(const TProgress* progress) {
    if (!progress || progress->TotalWeight == 0) return 0;
    std::uint64_t done = 0;
    if (progress->Current < progress->Phases.size()) {
        const TProgress::Phase& phase = progress->Phases[progress->Current];
        done = phase.Start + phase.Weight * std::uint64_t(progress->Position) / 1000;
    } else {
        done = progress->TotalWeight;
    }
    return static_cast<int>(done * 1000 / progress->TotalWeight);
}

void SetProgress(TProgress* progress, int position) {
    if (!progress || !progress->Enabled) return;
    progress->Position = std::clamp(position, 0, 1000);
    int overall = OverallProgress(progress);
    if (!progress->Shown) {
        std::uint32_t elapsed = progress->Clock() - progress->StartTick;
        if (elapsed < 751 || overall >= 500) return;
        progress->Shown = true;
        progress->Base = overall;
    }
    // The bar counts from 0 where it appeared.
    int shown = progress->Base >= 1000 ? 1000 : (overall - progress->Base) * 1000 / (1000 - progress->Base);
    if (shown != progress->LastShown && progress->Show) progress->Show(shown);
    progress->LastShown = shown;
}

void EndProgressPhase(TProgress* progress) {
    if (!progress) return;
    SetProgress(progress, 1000);
    ++progress->Current;
    progress->Position = 0;
}

void FreeProgress(TProgress* progress) { delete progress; }

// ---------------------------------------------------------------- guards

namespace {

// A fault inside a phase ends the walk with an internal-error line instead
// of a second crash. The handlers are ours only while a walk runs; a fault
// of another thread meanwhile goes on to the handler that was there.
thread_local sigjmp_buf* guardJump = nullptr;
thread_local std::uint64_t guardFaultAddress = 0;
struct sigaction previousSegv, previousBus;
std::mutex guardLock;

void GuardHandler(int sig, siginfo_t* info, void* context) {
    if (guardJump) {
        guardFaultAddress = static_cast<std::uint64_t>(
            static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
        siglongjmp(*guardJump, 1);
    }
    const struct sigaction& previous = sig == SIGSEGV ? previousSegv : previousBus;
    if (previous.sa_flags & SA_SIGINFO) {
        previous.sa_sigaction(sig, info, context);
    } else if (previous.sa_handler == SIG_DFL || previous.sa_handler == SIG_IGN) {
        // Returning re-runs the faulting instruction under the default action.
        signal(sig, SIG_DFL);
    } else {
        previous.sa_handler(sig);
    }
}

class FaultGuards {
public:
    FaultGuards() : lock_(guardLock) {
        struct sigaction sa {};
        sa.sa_sigaction = GuardHandler;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSEGV, &sa, &previousSegv);
        sigaction(SIGBUS, &sa, &previousBus);
    }
    ~FaultGuards() {
        sigaction(SIGSEGV, &previousSegv, nullptr);
        sigaction(SIGBUS, &previousBus, nullptr);
    }
    FaultGuards(const FaultGuards&) = delete;
    FaultGuards& operator=(const FaultGuards&) = delete;

private:
    std::lock_guard<std::mutex> lock_;
};

// Runs one phase; false with `error` set when it faulted or threw.
template <typename F>
bool Guarded(const char* phase, std::string& error, F&& body) {
    sigjmp_buf jump;
    sigjmp_buf* outer = guardJump;
    if (sigsetjmp(jump, 1) != 0) {
        guardJump = outer;
        error = std::string(">> internal error in ") + phase;
        if (guardFaultAddress) error += ":\r\n" + FormatStackLine(guardFaultAddress);
        return false;
    }
    guardJump = &jump;
    try {
        if (testing::PhaseHook) testing::PhaseHook(phase);
        body();
    } catch (...) {
        guardJump = outer;
        error = std::string(">> internal error in ") + phase;
        return false;
    }
    guardJump = outer;
    return true;
}

// ---------------------------------------------------------------- modules

struct Module {
    std::uint64_t codeStart = 0, codeEnd = 0;
    std::uint64_t handle = 0;
    std::string name;  // without its folder
    std::shared_ptr<const zelMapFile::TMapFile> map;
    bool mapLoaded = false;
};

int CollectModule(dl_phdr_info* info, size_t, void* data) {
    auto* modules = static_cast<std::vector<Module>*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X)) continue;
        Module m;
        m.handle = info->dlpi_addr;
        m.codeStart = info->dlpi_addr + ph.p_vaddr;
        m.codeEnd = m.codeStart + ph.p_memsz;
        modules->push_back(std::move(m));
    }
    return 0;
}

std::string ModuleBaseName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ---------------------------------------------------------------- items

// Candidates kept from one stack at most: an 8 MiB stack full of return
// addresses would otherwise take a million items.
constexpr std::size_t kMaxItems = 65536;

enum class LinkKind { None, Weak, Strong };

struct Item {
    std::uint64_t value = 0;
    std::uint64_t slot = 0;  // 0 for the exception address
    bool anchor = false;
    bool sure = false;
    bool removed = false;
    int module = -1;
    // The call before the value and where it leads (0: not known).
    std::uint64_t callAddress = 0;
    std::uint64_t callTarget = 0;
    bool callChecked = false;
    // Output.
    std::uint64_t shown = 0;
    std::uint64_t functionStart = 0;
    std::string function, unit, moduleName;
    std::uint32_t line = 0, functionLine = 0;
};

class Walker {
public:
    Walker(const TWalkOptions& options, const zelCapture::TStackCapture& stack, std::uint64_t exceptionAddress,
           const std::vector<TPresetItem>* preset, TProgress* progress)
        : options_(options), stack_(stack), exception_(exceptionAddress), preset_(preset), progress_(progress),
          code_(zelDisAsm::TMode::Bits64) {
        dl_iterate_phdr(CollectModule, &modules_);
        std::sort(modules_.begin(), modules_.end(),
                  [](const Module& a, const Module& b) { return a.codeStart < b.codeStart; });
        for (const Module& m : modules_) code_.AddLive(m.codeStart, m.codeEnd);
    }

    std::string Run(std::uint64_t* functionStart, std::uint64_t* shownAddress);

private:
    int ModuleIndex(std::uint64_t address) const;
    const zelMapFile::TMapFile* MapOf(int module);
    bool CallBefore(std::uint64_t value, std::uint64_t& callAddress, std::uint64_t& target);
    bool TryAdd(std::uint64_t value, std::uint64_t slot, bool anchor, bool sure);
    std::uint64_t FunctionStart(std::uint64_t address, std::string* name = nullptr);
    const std::set<std::uint64_t>& TargetsOf(std::uint64_t target);
    LinkKind Link(const Item& caller, const Item& callee);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> UnwinderChain();

    void Collect();
    void RemoveRecursion();
    void DeepChecks();
    void RealizeChains();
    void ChainStretch(std::size_t from, std::size_t to, bool toIsGoal);
    void Resolve();
    std::string Print(std::uint64_t* functionStart, std::uint64_t* shownAddress);
    void Phase(int from, int to, std::size_t done, std::size_t total);

    const TWalkOptions& options_;
    const zelCapture::TStackCapture& stack_;
    std::uint64_t exception_;
    const std::vector<TPresetItem>* preset_;
    TProgress* progress_;
    std::vector<Module> modules_;
    zelDisAsm::TCodeMemory code_;
    std::vector<Item> items_;
    std::map<std::uint64_t, std::set<std::uint64_t>> targets_;
    bool hasException_ = false;
    bool unwinderComplete_ = false;  // the chain reached the thread's first frame
};

int Walker::ModuleIndex(std::uint64_t address) const {
    auto it = std::upper_bound(modules_.begin(), modules_.end(), address,
                               [](std::uint64_t a, const Module& m) { return a < m.codeStart; });
    if (it == modules_.begin()) return -1;
    --it;
    return address < it->codeEnd ? static_cast<int>(it - modules_.begin()) : -1;
}

const zelMapFile::TMapFile* Walker::MapOf(int module) {
    if (module < 0) return nullptr;
    Module& m = modules_[std::size_t(module)];
    if (!m.mapLoaded) {
        m.mapLoaded = true;
        m.map = zelMapFile::MapForAddress(m.codeStart);
        m.name = ModuleBaseName(m.map->ModuleFileName);
    }
    return m.map->Valid ? m.map.get() : nullptr;
}

void Walker::Phase(int from, int to, std::size_t done, std::size_t total) {
    if (!progress_ || total == 0) return;
    SetProgress(progress_, from + static_cast<int>((to - from) * done / total));
}

// The call instruction that ends right before `value`: a relative call
// five bytes back, or an indirect one (with or without REX) two to seven
// bytes back, confirmed by decoding it.
bool Walker::CallBefore(std::uint64_t value, std::uint64_t& callAddress, std::uint64_t& target) {
    unsigned char before[9];
    if (value < 9 || zelCapture::SafeReadMemory(value - 9, before, 9) != 9) return false;
    auto at = [&](int back) { return before[9 - back]; };
    auto confirm = [&](std::uint64_t start) {
        zelDisAsm::TCodeInfo ci;
        zelDisAsm::DecodeInstruction(code_, start, ci);
        if (!ci.Valid || ci.Next != value || ci.Flow != zelDisAsm::TFlow::Call) return false;
        callAddress = start;
        target = ci.Target;
        return true;
    };
    if (at(5) == 0xE8 && confirm(value - 5)) return true;
    for (int back : {2, 3, 4, 6, 7}) {
        if (at(back) != 0xFF) continue;
        int reg = (at(back - 1) >> 3) & 7;
        if (reg != 2 && reg != 3) continue;
        if ((at(back + 1) & 0xF0) == 0x40 && confirm(value - std::uint64_t(back) - 1)) return true;
        if (confirm(value - std::uint64_t(back))) return true;
    }
    return false;
}

bool Walker::TryAdd(std::uint64_t value, std::uint64_t slot, bool anchor, bool sure) {
    if (value <= 7) return false;
    int module = ModuleIndex(value);
    if (module < 0 && !sure) return false;
    Item item;
    item.value = value;
    item.slot = slot;
    item.anchor = anchor || sure;
    item.sure = sure;
    item.module = module;
    if (!sure) {
        if (!CallBefore(value, item.callAddress, item.callTarget)) {
            if (!anchor) return false;
        }
        item.callChecked = item.callAddress != 0;
    }
    items_.push_back(std::move(item));
    return true;
}

std::uint64_t Walker::FunctionStart(std::uint64_t address, std::string* name) {
    const zelMapFile::TMapFile* map = MapOf(ModuleIndex(address));
    if (!map) return 0;
    zelMapFile::TPublic p = map->PublicAt(address);
    if (!p.Used) return 0;
    if (name) *name = p.Name;
    return p.Address;
}

// Where a call really lands: the target itself, the functions its stubs
// jump on to (PLT entries through the GOT, thunks), and the functions a
// short target passes control to with a jump (tail calls).
const std::set<std::uint64_t>& Walker::TargetsOf(std::uint64_t target) {
    auto found = targets_.find(target);
    if (found != targets_.end()) return found->second;
    std::set<std::uint64_t>& out = targets_[target];
    std::vector<std::uint64_t> work{target};
    while (!work.empty() && out.size() < 16) {
        std::uint64_t t = work.back();
        work.pop_back();
        if (t == 0 || !out.insert(t).second) continue;
        std::uint64_t end = 0;
        const zelMapFile::TMapFile* map = MapOf(ModuleIndex(t));
        if (map) {
            zelMapFile::TPublic p = map->PublicAt(t);
            auto next = std::upper_bound(map->Publics.begin(), map->Publics.end(), t,
                                         [](std::uint64_t a, const zelMapFile::TPublic& q) { return a < q.Address; });
            if (p.Used && next != map->Publics.end()) end = next->Address;
        }
        zelDisAsm::TParseOptions parse;
        parse.MaxReach = end > t ? std::min<std::uint64_t>(end - t - 1, 65535) : 255;
        zelDisAsm::TFunctionInfo f;
        if (!zelDisAsm::ParseFunctionCode(code_, t, f, parse)) {
            // Still follow a plain stub at the entry.
            zelDisAsm::TCodeInfo ci;
            std::uint64_t at = t;
            for (int i = 0; i < 3; ++i) {
                zelDisAsm::DecodeInstruction(code_, at, ci);
                if (!ci.Valid) break;
                if (ci.Flow == zelDisAsm::TFlow::Jump) {
                    if (ci.Target) work.push_back(ci.Target);
                    break;
                }
                at = ci.Next;
            }
            continue;
        }
        for (const zelDisAsm::TFarCall& c : f.FarCalls)
            if (!c.IsCall && c.Target) work.push_back(c.Target);
    }
    return out;
}

LinkKind Walker::Link(const Item& caller, const Item& callee) {
    if (!caller.callChecked) return LinkKind::None;
    std::uint64_t calleeAt = callee.callAddress ? callee.callAddress : callee.value;
    if (caller.callTarget == 0) return LinkKind::Weak;  // through a register or unknown memory
    std::uint64_t start = FunctionStart(calleeAt);
    const std::set<std::uint64_t>& targets = TargetsOf(caller.callTarget);
    if (start != 0 && targets.count(start)) return LinkKind::Strong;
    if (start == 0 && targets.count(caller.callTarget)) {
        // No map for the callee: its function may start at the target itself.
        if (calleeAt >= caller.callTarget && calleeAt - caller.callTarget < 65536) return LinkKind::Weak;
    }
    return LinkKind::None;
}

// ---------------------------------------------------------------- unwinder

struct UnwindState {
    const zelCapture::TStackCapture* stack;
    pid_t tid;
    // Each frame's return address and the stack slot the unwinder read it
    // from (0 when it came from elsewhere).
    std::vector<std::pair<std::uint64_t, std::uint64_t>> frames;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reads;  // stack reads: slot, value
    std::size_t readsUsed = 0;
};

pid_t NextThread(Dwfl*, void* arg, void** threadArg) {
    if (*threadArg) return 0;
    *threadArg = arg;
    return static_cast<UnwindState*>(arg)->tid;
}

bool MemoryRead(Dwfl*, Dwarf_Addr address, Dwarf_Word* result, void* arg) {
    auto* state = static_cast<UnwindState*>(arg);
    std::uint64_t value = 0;
    if (state->stack->ReadWord(address, value)) {
        state->reads.emplace_back(address, value);
        *result = value;
        return true;
    }
    if (zelCapture::SafeReadMemory(address, &value, 8) == 8) {
        *result = value;
        return true;
    }
    return false;
}

bool SetInitialRegisters(Dwfl_Thread* thread, void* arg) {
    const zelCapture::TRegisters& r = static_cast<UnwindState*>(arg)->stack->Regs;
    Dwarf_Word regs[17] = {r.Rax, r.Rdx, r.Rcx, r.Rbx, r.Rsi, r.Rdi, r.Rbp, r.Rsp, r.R8,
                           r.R9,  r.R10, r.R11, r.R12, r.R13, r.R14, r.R15, r.Rip};
    dwfl_thread_state_register_pc(thread, r.Rip);
    return dwfl_thread_state_registers(thread, 0, 17, regs);
}

int FindLocalDebuginfo(Dwfl_Module* mod, void** userdata, const char* modname, Dwarf_Addr base, const char* file,
                       const char* debuglink, GElf_Word crc, char** debuginfoFile) {
    return dwfl_build_id_find_debuginfo(mod, userdata, modname, base, file, debuglink, crc, debuginfoFile);
}

int OnFrame(Dwfl_Frame* frame, void* arg) {
    auto* state = static_cast<UnwindState*>(arg);
    Dwarf_Addr pc = 0;
    bool activation = false;
    if (!dwfl_frame_pc(frame, &pc, &activation)) return DWARF_CB_ABORT;
    // The slot is the first stack read, after the one used for the frame
    // before, that gave this value above that frame's slot. (The unwinder
    // reads a step ahead, so the read may come before this call.)
    std::uint64_t slot = 0;
    std::uint64_t above = state->frames.empty() ? 0 : state->frames.back().second;
    for (std::size_t i = state->readsUsed; i < state->reads.size(); ++i)
        if (state->reads[i].second == pc && state->reads[i].first > above) {
            slot = state->reads[i].first;
            state->readsUsed = i + 1;
            break;
        }
    state->frames.emplace_back(pc, slot);
    return state->frames.size() >= 4096 ? DWARF_CB_ABORT : DWARF_CB_OK;
}

// The return addresses the unwinder finds from the captured registers and
// their slots, most recent first (the current instruction not included).
std::vector<std::pair<std::uint64_t, std::uint64_t>> Walker::UnwinderChain() {
    if (stack_.Regs.Rip == 0 || stack_.Regs.Rsp == 0) return {};
    static char debugPath[] = "/usr/lib/debug";
    static char* debugPaths = debugPath;
    Dwfl_Callbacks callbacks{};
    callbacks.find_elf = dwfl_linux_proc_find_elf;
    callbacks.find_debuginfo = FindLocalDebuginfo;
    callbacks.debuginfo_path = &debugPaths;
    std::unique_ptr<Dwfl, void (*)(Dwfl*)> dwfl(dwfl_begin(&callbacks), dwfl_end);
    if (!dwfl) return {};
    if (dwfl_linux_proc_report(dwfl.get(), getpid()) != 0) return {};
    dwfl_report_end(dwfl.get(), nullptr, nullptr);
    UnwindState state{&stack_, getpid(), {}, {}, 0};
    static const Dwfl_Thread_Callbacks threadCallbacks = {NextThread, nullptr, MemoryRead, SetInitialRegisters,
                                                          nullptr, nullptr};
    if (!dwfl_attach_state(dwfl.get(), nullptr, state.tid, &threadCallbacks, &state)) return {};
    // 0: the unwinder went all the way to the thread's first frame.
    unwinderComplete_ = dwfl_getthread_frames(dwfl.get(), state.tid, OnFrame, &state) == 0;
    if (!state.frames.empty()) state.frames.erase(state.frames.begin());
    return state.frames;
}

// ---------------------------------------------------------------- phases

void Walker::Collect() {
    if (exception_ != 0) {
        TryAdd(exception_, 0, true, true);
        hasException_ = !items_.empty();
    }
    if (preset_) {
        // Stack order: the outermost call first, as a scan from the top meets them.
        for (std::size_t i = preset_->size(); i-- > 0;) {
            TryAdd((*preset_)[i].Value, 0, (*preset_)[i].Anchor, false);
            Phase(0, 25, preset_->size() - i, preset_->size());
        }
        return;
    }
    // Slots of the unwinder's chain: where it read each return address.
    std::set<std::uint64_t> anchorSlots;
    std::uint64_t low = std::max(stack_.Base, stack_.Regs.Rsp);
    std::uint64_t end = stack_.Base + stack_.Bytes.size();
    std::uint64_t at = (low + 7) & ~std::uint64_t(7);
    for (const auto& [pc, slot] : UnwinderChain()) {
        if (slot == 0 || slot < at || slot % 8 != 0) {
            unwinderComplete_ = false;
            break;
        }
        anchorSlots.insert(slot);
        at = slot + 8;
    }
    // Every slot, listed from the top down. A huge stack (a runaway
    // recursion) keeps its most recent and its oldest items and loses the
    // middle: the scan takes half the room from the stack pointer upward,
    // then the rest from the top down to where the first pass stopped.
    std::size_t total = end > low ? (end - low) / 8 : 1;
    std::size_t done = 0;
    auto scan = [&](std::uint64_t slot) {
        std::uint64_t v = 0;
        if (stack_.ReadWord(slot, v)) TryAdd(v, slot, anchorSlots.count(slot) != 0, false);
        if ((++done & 1023) == 0) Phase(0, 25, done, total);
    };
    std::size_t first = items_.size();
    std::uint64_t slot = (low + 7) & ~std::uint64_t(7);
    for (; slot + 8 <= end && items_.size() - first < kMaxItems / 2; slot += 8) scan(slot);
    std::vector<Item> newest(std::make_move_iterator(items_.begin() + long(first)),
                             std::make_move_iterator(items_.end()));
    items_.resize(first);
    for (std::uint64_t top = (end - 8) & ~std::uint64_t(7); top >= slot && top + 8 <= end; top -= 8) {
        if (items_.size() - first >= kMaxItems / 2) break;
        scan(top);
        if (top < 8) break;
    }
    items_.insert(items_.end(), std::make_move_iterator(newest.rbegin()), std::make_move_iterator(newest.rend()));
}

// Folds repeated stretches: for each item, the nearest earlier item with
// the same value; when the values between them repeat right before that
// item too, one copy goes. Done in one pass over the items kept so far, and
// bounded, so a very deep stack still gives what has been folded by then.
void Walker::RemoveRecursion() {
    std::size_t budget = 50000000;
    std::vector<std::size_t> kept;                      // item indices, in order
    std::unordered_map<std::uint64_t, std::size_t> lastPos;  // value -> position in kept
    for (std::size_t i = hasException_ ? 1 : 0; i < items_.size(); ++i) {
        if (items_[i].removed) continue;
        kept.push_back(i);
        lastPos[items_[i].value] = kept.size() - 1;
        while (budget > 0) {
            std::size_t k = kept.size() - 1;
            std::uint64_t v = items_[kept[k]].value;
            // The nearest earlier copy of the value.
            std::size_t j = k;
            auto it = lastPos.find(v);
            if (it != lastPos.end() && it->second < k && items_[kept[it->second]].value == v) j = it->second;
            if (j == k) {
                for (std::size_t m = k; m-- > 0 && k - m <= 64;)
                    if (items_[kept[m]].value == v) {
                        j = m;
                        break;
                    }
            }
            if (j == k) break;
            std::size_t len = k - j;
            if (j + 1 < len) break;
            bool same = true;
            for (std::size_t m = 0; m < len && same; ++m, --budget)
                same = items_[kept[j - m]].value == items_[kept[k - m]].value;
            if (!same) break;
            for (std::size_t m = 0; m < len; ++m) {
                // The copy that stays is as sure as the one that goes.
                Item& gone = items_[kept.back()];
                Item& stays = items_[kept[kept.size() - 1 - len]];
                stays.anchor = stays.anchor || gone.anchor;
                gone.removed = true;
                kept.pop_back();
            }
            lastPos[v] = kept.size() - 1;
        }
    }
}

void Walker::DeepChecks() {
    std::size_t total = items_.size();
    for (std::size_t i = hasException_ ? 1 : 0; i < items_.size(); ++i) {
        Item& item = items_[i];
        Phase(25, 650, i, total);
        if (item.removed || item.sure) continue;
        if (!item.callChecked && !item.anchor) item.removed = true;
    }
}

// Between two anchors (or an anchor and an end of the list) keeps the chain
// of items whose calls connect, preferring calls whose target is known.
void Walker::ChainStretch(std::size_t from, std::size_t to, bool toIsGoal) {
    // from < to; from is the outer end. Nodes: from, live items between, to.
    std::vector<std::size_t> nodes{from};
    for (std::size_t i = from + 1; i < to; ++i)
        if (!items_[i].removed) nodes.push_back(i);
    nodes.push_back(to);
    if (nodes.size() == 2) return;
    // A known direct call from one anchor to the next leaves nothing between.
    if (toIsGoal && Link(items_[from], items_[to]) == LinkKind::Strong) {
        for (std::size_t k = 1; k + 1 < nodes.size(); ++k) items_[nodes[k]].removed = true;
        return;
    }
    const long kNone = -1000000;
    std::vector<long> best(nodes.size(), kNone);
    std::vector<std::size_t> prev(nodes.size(), 0);
    best[0] = 0;
    for (std::size_t b = 1; b < nodes.size(); ++b) {
        for (std::size_t a = 0; a < b; ++a) {
            if (best[a] == kNone) continue;
            LinkKind link = Link(items_[nodes[a]], items_[nodes[b]]);
            long gain = link == LinkKind::Strong ? 4 : link == LinkKind::Weak ? 1 : kNone;
            if (gain == kNone && !(a == 0 && b + 1 == nodes.size() && toIsGoal)) continue;
            if (gain == kNone) gain = 0;  // the anchors themselves always connect
            // Each item taken in costs: only known calls pay for a detour.
            if (b + 1 < nodes.size() || !toIsGoal) gain -= 2;
            if (best[a] + gain > best[b]) {
                best[b] = best[a] + gain;
                prev[b] = a;
            }
        }
    }
    std::vector<bool> keep(nodes.size(), false);
    std::size_t endNode = nodes.size() - 1;
    if (!toIsGoal) {
        // An open end: the best chain that starts at `from`, ending anywhere.
        endNode = 0;
        for (std::size_t b = 1; b < nodes.size(); ++b)
            if (best[b] > best[endNode]) endNode = b;
    }
    for (std::size_t k = endNode; best[k] != kNone; k = prev[k]) {
        keep[k] = true;
        if (k == 0) break;
    }
    for (std::size_t k = 1; k < nodes.size(); ++k)
        if (!keep[k] && !(toIsGoal && k + 1 == nodes.size())) items_[nodes[k]].removed = true;
}

void Walker::RealizeChains() {
    std::size_t first = hasException_ ? 1 : 0;
    if (items_.size() <= first) return;
    std::vector<std::size_t> anchors;
    for (std::size_t i = first; i < items_.size(); ++i)
        if (items_[i].anchor && !items_[i].removed) anchors.push_back(i);
    if (anchors.empty()) {
        // Nothing sure on the stack: the best connected chain, wherever it starts.
        std::size_t bestStart = first;
        std::size_t bestCount = 0;
        std::vector<Item> saved = items_;
        for (std::size_t s = first; s < items_.size(); ++s) {
            if (saved[s].removed) continue;
            items_ = saved;
            for (std::size_t i = first; i < s; ++i) items_[i].removed = true;
            ChainStretch(s, items_.size(), false);
            std::size_t count = 0;
            for (std::size_t i = s; i < items_.size(); ++i) count += !items_[i].removed;
            if (count > bestCount) {
                bestCount = count;
                bestStart = s;
            }
            if (s - first > 64) break;  // bounded
        }
        items_ = saved;
        for (std::size_t i = first; i < bestStart; ++i) items_[i].removed = true;
        if (bestStart < items_.size()) ChainStretch(bestStart, items_.size(), false);
        return;
    }
    // Below the innermost anchor lies only the current function's frame.
    std::size_t innermost = anchors.back();
    for (std::size_t i = innermost + 1; i < items_.size(); ++i)
        if (!preset_) items_[i].removed = true;
    if (preset_ && innermost + 1 < items_.size()) ChainStretch(innermost, items_.size(), false);
    for (std::size_t k = anchors.size(); k-- > 1;) {
        ChainStretch(anchors[k - 1], anchors[k], true);
        Phase(650, 1000, anchors.size() - k, anchors.size());
    }
    // Above the outermost anchor: when the unwinder reached the thread's
    // first frame, nothing real; otherwise the chain goes on upward through
    // the nearest caller of each item, a known call before an unknown one.
    std::size_t current = anchors.front();
    if (current > first && (unwinderComplete_ && !preset_)) {
        for (std::size_t i = first; i < current; ++i) items_[i].removed = true;
    } else if (current > first) {
        std::vector<bool> keep(current, false);
        for (;;) {
            std::size_t next = current, weak = current;
            for (std::size_t i = current; i-- > first;) {
                if (items_[i].removed) continue;
                LinkKind link = Link(items_[i], items_[current]);
                if (link == LinkKind::Strong) {
                    next = i;
                    break;
                }
                if (link == LinkKind::Weak && weak == current) weak = i;
            }
            if (next == current) next = weak;
            if (next == current) break;
            keep[next] = true;
            current = next;
        }
        for (std::size_t i = first; i < keep.size(); ++i)
            if (!keep[i]) items_[i].removed = true;
    }
}

void Walker::Resolve() {
    bool raised = options_.RaisedThroughRunTime;
    bool presetCut = preset_ != nullptr;
    for (std::size_t i = items_.size(); i-- > 0;) {
        Item& item = items_[i];
        if (item.removed) continue;
        item.shown = item.callAddress ? item.callAddress : item.value;
        // A return address whose call is not known is looked up a byte back:
        // what follows a call may be another line, or another function.
        const std::uint64_t at = item.callAddress || item.sure ? item.shown : item.shown - 1;
        int module = ModuleIndex(at);
        const zelMapFile::TMapFile* map = MapOf(module);
        if (module >= 0) item.moduleName = modules_[std::size_t(module)].name;
        if (map) {
            zelMapFile::TPublic p = map->PublicAt(at);
            if (p.Used) {
                item.function = p.Name;
                item.functionStart = p.Address;
            }
            item.unit = map->SegmentAt(zelMapFile::scCode, at).Unit;
            std::uint64_t next = 0;
            item.line = map->LineAt(at, next);
            if (options_.RelativeLines && item.functionStart) item.functionLine = map->LineAt(item.functionStart, next);
        }
        // The raise machinery and the signal delivery are not the caller's
        // code: cut them and everything more recent.
        bool raiseFrame = item.function == "__cxa_throw" || item.function == "__cxa_rethrow" ||
                          item.function == "_Unwind_RaiseException" || item.function == "_Unwind_Resume_or_Rethrow";
        if (raised && raiseFrame) {
            for (std::size_t j = i; j < items_.size(); ++j) items_[j].removed = true;
            raised = false;
        } else if (presetCut && item.function == "__restore_rt") {
            // A stack recorded inside a signal handler: the handler's frames
            // and the return trampoline are the reporter's, not the program's.
            for (std::size_t j = i; j < items_.size(); ++j) items_[j].removed = true;
            presetCut = false;
        }
    }
}

std::string Walker::Print(std::uint64_t* functionStart, std::uint64_t* shownAddress) {
    // The printed order: the most recent call first, the outermost last,
    // then the exception address, which was collected first.
    std::vector<const Item*> lines;
    std::uint64_t previous = 0;
    bool havePrevious = false;
    auto consider = [&](const Item& item) {
        if (item.removed) return;
        if (!item.sure) {
            if (item.function.empty()) return;
            if (options_.HideItemsWithoutLines && item.line == 0) return;
            if (havePrevious && item.shown == previous) return;
        }
        lines.push_back(&item);
        previous = item.shown;
        havePrevious = true;
    };
    for (std::size_t i = items_.size(); i-- > (hasException_ ? 1u : 0u);) consider(items_[i]);
    if (hasException_) consider(items_[0]);
    if (lines.empty()) return {};

    bool relativeColumn = false;
    std::size_t offsetWidth = 0, moduleWidth = 0, unitWidth = 0, lineWidth = 0, relWidth = 0;
    auto lineText = [&](const Item& item) {
        return options_.RelativeLines && item.line ? std::to_string(item.line) : std::string();
    };
    auto relText = [&](const Item& item) -> std::string {
        if (!item.line) return {};
        if (options_.RelativeLines && item.functionLine && item.line >= item.functionLine)
            return "+" + std::to_string(item.line - item.functionLine);
        return std::to_string(item.line);
    };
    for (const Item* item : lines) {
        if (item->functionStart) {
            relativeColumn = options_.RelativeAddressColumn;
            offsetWidth = std::max(offsetWidth, zelStrings::HexText(item->shown - item->functionStart).size() - 1);
        }
        moduleWidth = std::max(moduleWidth, item->moduleName.size() + 1);
        unitWidth = std::max(unitWidth, item->unit.size() + 1);
        lineWidth = std::max(lineWidth, lineText(*item).size());
        relWidth = std::max(relWidth, relText(*item).size());
    }
    std::string out;
    for (const Item* item : lines) {
        if (!out.empty()) out += "\r\n";
        out += zelStrings::HexText(item->shown, 16).substr(1) + " ";
        if (relativeColumn) {
            std::string offset = item->functionStart ? zelStrings::HexText(item->shown - item->functionStart).substr(1)
                                                     : std::string();
            out += "+" + std::string(offsetWidth - std::min(offsetWidth, offset.size()), '0') + offset + " ";
        }
        out += zelStrings::PadText(item->moduleName, -static_cast<int>(moduleWidth), ' ');
        out += zelStrings::PadText(item->unit, -static_cast<int>(unitWidth), ' ');
        if (lineWidth) out += zelStrings::PadText(lineText(*item), static_cast<int>(lineWidth), ' ') + " ";
        if (relWidth) out += zelStrings::PadText(relText(*item), static_cast<int>(relWidth), ' ') + " ";
        out += item->function;
    }
    if (functionStart) *functionStart = lines.front()->functionStart;
    if (shownAddress) *shownAddress = lines.front()->shown;
    return out;
}

std::string Walker::Run(std::uint64_t* functionStart, std::uint64_t* shownAddress) {
    std::string error;
    if (!Guarded("CollectPossibleStackItems", error, [&] { Collect(); })) return error;
    if (!Guarded("RemoveRecursiveStackAreas", error, [&] { RemoveRecursion(); })) return error;
    if (!Guarded("InDeepChecks", error, [&] { DeepChecks(); })) return error;
    if (!options_.SkipLinkChains &&
        !Guarded("RealizeOptimalLinkChains", error, [&] {
            RealizeChains();
            RemoveRecursion();
        }))
        return error;
    std::string text;
    if (!Guarded("RealizeOptimalLinkChains", error, [&] {
            Resolve();
            text = Print(functionStart, shownAddress);
        }))
        return error;
    return text;
}

}  // namespace

std::string FormatStackLine(std::uint64_t address) {
    std::string line = zelStrings::HexText(address, 16).substr(1);
    std::string module, unit, function;
    std::uint32_t number = 0;
    std::uint64_t start = 0;
    if (!zelMapFile::LookupAddress(address, module, unit, number, start, function)) return line + " ???";
    line += " " + ModuleBaseName(module) + " " + unit + " ";
    if (number != 0) line += std::to_string(number) + " ";
    return line + function;
}

std::string WalkStack(const TWalkOptions& options, const zelCapture::TStackCapture& stack,
                      std::uint64_t exceptionAddress, const std::vector<TPresetItem>* preset, TProgress* progress,
                      std::uint64_t* functionStart, std::uint64_t* shownAddress) {
    if (functionStart) *functionStart = 0;
    if (shownAddress) *shownAddress = 0;
    if (!preset && !stack.Valid() && exceptionAddress == 0) return {};
    FaultGuards guards;
    Walker walker(options, stack, exceptionAddress, preset, progress);
    return walker.Run(functionStart, shownAddress);
}

}  // namespace zelStackTrace
