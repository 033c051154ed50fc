// Threads as the crash reporter sees them: the list of names, stack bounds
// and creators (kept by interposing pthread_create), the alternate signal
// stack every thread needs to report a stack overflow, and the snapshots
// of all threads that a report prints.
#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "zel_except.h"
#include "zel_except_internal.h"
#include "zel_exception.h"

namespace zelExcept::internal {

std::atomic<bool> g_hooksOn{false};

namespace {

// The list and its lock are never destroyed: threads started through our
// pthread_create (Qt's own among them) may still run their last steps,
// which strike them off the list, while the exit handlers run.
std::timed_mutex& ListLock() {
    static auto& lock = *new std::timed_mutex;
    return lock;
}

std::map<pid_t, TThreadEntry>& List() {
    static auto& list = *new std::map<pid_t, TThreadEntry>;
    return list;
}

thread_local std::uint64_t t_stackTop = 0;

// ---------------------------------------------------------------------
// Alternate signal stack
// ---------------------------------------------------------------------

constexpr std::size_t kAltStackSize = 256 * 1024;
thread_local void* t_altStack = nullptr;
thread_local stack_t t_previousAltStack{};

// ---------------------------------------------------------------------
// Thread creation
// ---------------------------------------------------------------------

struct TStart {
    void* (*Function)(void*) = nullptr;
    void* Argument = nullptr;
    pid_t Creator = 0;
    std::vector<std::uint64_t> CreatorStack;
};

// Registers the new thread for its life, and removes it when the thread
// function returns, throws, or the thread is cancelled or exits.
class TThreadLife {
public:
    explicit TThreadLife(const TStart& start) : tid_(CurrentTid()) {
        // A fresh entry: a reused id must not inherit a dead thread's name.
        TThreadEntry entry;
        entry.Creator = start.Creator;
        entry.CreatorStack = start.CreatorStack;
        std::uint64_t low = 0, high = 0;
        if (zelCapture::StackBounds(pthread_self(), low, high)) {
            entry.StackLow = low;
            entry.StackHigh = high;
            SetStackTopOfThisThread(high);
        }
        UpdateThread(tid_, entry);
        InstallAltStack();
    }
    ~TThreadLife() {
        RemoveThread(tid_);
        RemoveAltStack();
    }

private:
    pid_t tid_;
};

void* ThreadStart(void* raw) {
    TStart start = std::move(*static_cast<TStart*>(raw));
    delete static_cast<TStart*>(raw);
    TThreadLife life(start);
    try {
        return start.Function(start.Argument);
    } catch (abi::__forced_unwind&) {
        throw;  // pthread_exit and cancellation unwind through here
    } catch (...) {
        // A worker's exception: reported as one the program survives;
        // the thread ends.
        ThreadFunctionFailed();
        return nullptr;
    }
}

using TCreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

TCreateFn NextCreate() {
    static const auto next = reinterpret_cast<TCreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
    return next;
}

// ---------------------------------------------------------------------
// Capture signal: the target thread copies its own registers and stack
// into a slot the exception thread prepared, then goes on.
// ---------------------------------------------------------------------

constexpr std::size_t kSlotBytes = 1024 * 1024;

struct TCaptureSlot {
    zelCapture::TRegisters Regs;
    std::uint64_t Base = 0;
    std::uint64_t Top = 0;
    std::size_t Size = 0;
    bool Truncated = false;
    char* Bytes = nullptr;  // kSlotBytes, mapped once
};

std::atomic<pid_t> g_captureTid{0};  // the thread asked; -1 while it writes
TCaptureSlot g_slot;
sem_t g_captureAck;
std::mutex g_snapshotLock;  // one capture at a time
int g_captureSignal = 0;
struct sigaction g_previousCapture {};

void OnCapture(int, siginfo_t*, void* context) {
    const int savedErrno = errno;
    pid_t expected = static_cast<pid_t>(syscall(SYS_gettid));
    if (g_captureTid.compare_exchange_strong(expected, -1)) {
        const auto* uc = static_cast<const ucontext_t*>(context);
        g_slot.Regs = zelCapture::RegistersFromContext(*uc);
        const std::uint64_t sp = g_slot.Regs.Rsp;
        const std::uint64_t base = sp >= 128 ? sp - 128 : 0;
        std::uint64_t end = base + kSlotBytes;
        if (t_stackTop > base && t_stackTop < end) end = t_stackTop;
        g_slot.Base = base;
        g_slot.Top = t_stackTop;
        g_slot.Size = zelCapture::SafeReadMemory(base, g_slot.Bytes, static_cast<std::size_t>(end - base));
        g_slot.Truncated = t_stackTop == 0 || t_stackTop > base + kSlotBytes;
        g_captureTid.store(0);
        sem_post(&g_captureAck);
    }
    errno = savedErrno;
}

bool WaitAck(int milliseconds) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (sem_timedwait(&g_captureAck, &deadline) != 0)
        if (errno != EINTR) return false;
    return true;
}

std::string ReadSmallFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool SignalBlocked(pid_t tid, int signal) {
    std::istringstream status(ReadSmallFile("/proc/self/task/" + std::to_string(tid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigBlk:", 0) != 0) continue;
        const unsigned long long mask = std::strtoull(line.c_str() + 7, nullptr, 16);
        return (mask >> (signal - 1)) & 1u;
    }
    return false;
}

// The end of the mapping that holds `address`: the top of a stack that
// no bounds were recorded for.
std::uint64_t MappingEnd(std::uint64_t address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long long low = 0, high = 0;
        if (std::sscanf(line.c_str(), "%llx-%llx", &low, &high) != 2) continue;
        if (address >= low && address < high) return high;
    }
    return 0;
}

std::uint64_t StackTopOf(pid_t tid, std::uint64_t sp) {
    TThreadEntry entry;
    if (FindThread(tid, entry) && entry.StackHigh > sp && entry.StackLow <= sp) return entry.StackHigh;
    return MappingEnd(sp);
}

// A thread that does not take the signal: where the kernel last saw it.
bool RegistersFromProc(pid_t tid, zelCapture::TRegisters& regs) {
    std::istringstream text(ReadSmallFile("/proc/self/task/" + std::to_string(tid) + "/syscall"));
    std::vector<std::string> fields;
    std::string field;
    while (text >> field) fields.push_back(field);
    if (fields.size() < 3) return false;  // "running", or nothing
    regs.Rsp = std::strtoull(fields[fields.size() - 2].c_str(), nullptr, 16);
    regs.Rip = std::strtoull(fields[fields.size() - 1].c_str(), nullptr, 16);
    return regs.Rsp != 0;
}

zelCapture::TStackCapture CaptureOther(pid_t tid) {
    zelCapture::TStackCapture capture;
    if (g_captureSignal != 0 && !SignalBlocked(tid, g_captureSignal)) {
        g_captureTid.store(tid);
        if (syscall(SYS_tgkill, getpid(), tid, g_captureSignal) == 0) {
            bool got = WaitAck(300);
            if (!got) {
                pid_t expected = tid;
                // Not started yet: withdrawn, so a late signal does nothing.
                // Already writing: it is about to answer.
                if (!g_captureTid.compare_exchange_strong(expected, 0)) got = WaitAck(1000);
            }
            if (got) {
                capture.Regs = g_slot.Regs;
                capture.Base = g_slot.Base;
                capture.Top = g_slot.Top != 0 ? g_slot.Top : StackTopOf(tid, g_slot.Regs.Rsp);
                std::size_t size = g_slot.Size;
                if (capture.Top > capture.Base && capture.Top - capture.Base < size)
                    size = static_cast<std::size_t>(capture.Top - capture.Base);
                capture.Bytes.assign(g_slot.Bytes, size);
                capture.Truncated = capture.Base + size < capture.Top;
                return capture;
            }
        } else {
            g_captureTid.store(0);
        }
    }
    zelCapture::TRegisters regs;
    if (!RegistersFromProc(tid, regs)) return capture;
    return zelCapture::CaptureStack(regs, StackTopOf(tid, regs.Rsp));
}

std::vector<pid_t> ProcessThreads() {
    std::vector<pid_t> tids;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return tids;
    while (dirent* item = readdir(dir)) {
        const pid_t tid = static_cast<pid_t>(std::atoi(item->d_name));
        if (tid > 0) tids.push_back(tid);
    }
    closedir(dir);
    std::sort(tids.begin(), tids.end());
    return tids;
}

std::string Comm(pid_t tid) {
    std::string name = ReadSmallFile("/proc/self/task/" + std::to_string(tid) + "/comm");
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
    return name;
}

// The headline's notes: a stopped thread, and its nice value (0 normal).
void ReadThreadState(pid_t tid, TThreadSnapshot& snapshot) {
    const std::string stat = ReadSmallFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return;
    std::istringstream fields(stat.substr(close + 1));
    std::vector<std::string> values;
    std::string value;
    while (fields >> value) values.push_back(value);
    if (values.size() < 17) return;
    snapshot.Suspended = values[0] == "T" || values[0] == "t";
    snapshot.Priority = std::atoi(values[16].c_str());
}

std::string Hex(pid_t id) {
    char text[16];
    std::snprintf(text, sizeof text, "$%x", static_cast<unsigned>(id));
    return text;
}

}  // namespace

// ---------------------------------------------------------------------

pid_t CurrentTid() {
    static thread_local pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    return tid;
}

bool FindThread(pid_t tid, TThreadEntry& entry) {
    std::unique_lock<std::timed_mutex> lock(ListLock(), std::chrono::milliseconds(50));
    if (!lock.owns_lock()) return false;
    auto it = List().find(tid);
    if (it == List().end()) return false;
    entry = it->second;
    return true;
}

void UpdateThread(pid_t tid, const TThreadEntry& entry) {
    std::lock_guard<std::timed_mutex> lock(ListLock());
    List()[tid] = entry;
}

void RemoveThread(pid_t tid) {
    std::lock_guard<std::timed_mutex> lock(ListLock());
    List().erase(tid);
}

void SetStackTopOfThisThread(std::uint64_t top) { t_stackTop = top; }

void InstallAltStack() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) &&
        current.ss_size >= kAltStackSize)
        return;  // one of the right size is there already (the sanitizer's)
    void* memory = mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return;
    stack_t ours{};
    ours.ss_sp = memory;
    ours.ss_size = kAltStackSize;
    if (sigaltstack(&ours, &t_previousAltStack) != 0) {
        munmap(memory, kAltStackSize);
        return;
    }
    t_altStack = memory;
}

void RemoveAltStack() {
    if (t_altStack == nullptr) return;
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == t_altStack) {
        if (t_previousAltStack.ss_flags & SS_DISABLE) {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
        } else {
            sigaltstack(&t_previousAltStack, nullptr);
        }
        munmap(t_altStack, kAltStackSize);
    }
    t_altStack = nullptr;
}

void LinkThreadHooks() { (void)NextCreate(); }

void InstallCaptureSignal() {
    if (g_slot.Bytes == nullptr) {
        void* memory = mmap(nullptr, kSlotBytes, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (memory == MAP_FAILED) return;
        g_slot.Bytes = static_cast<char*>(memory);
        sem_init(&g_captureAck, 0, 0);
    }
    g_captureSignal = SIGRTMIN + 4;
    struct sigaction action {};
    action.sa_sigaction = OnCapture;
    action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(g_captureSignal, &action, &g_previousCapture);
}

void RemoveCaptureSignal() {
    if (g_captureSignal == 0) return;
    sigaction(g_captureSignal, &g_previousCapture, nullptr);
    g_captureSignal = 0;
}

}  // namespace zelExcept::internal

namespace zelExcept {

using namespace internal;

void SetThreadName(pid_t tid, const std::string& name) {
    std::lock_guard<std::timed_mutex> lock(ListLock());
    auto it = List().find(tid);
    if (name.empty()) {
        // Clearing keeps what else the list knows of a running thread.
        if (it != List().end()) it->second.Name.clear();
        return;
    }
    List()[tid].Name = name;
}

std::string ThreadDisplayName(pid_t tid) {
    if (tid == MainTid()) return "main thread";
    TThreadEntry entry;
    std::string name;
    if (FindThread(tid, entry)) name = entry.Name;
    if (name.empty()) {
        // A name the thread gave itself (pthread_setname_np) differs from
        // the process's own.
        const std::string comm = Comm(tid);
        if (!comm.empty() && comm != Comm(MainTid())) name = comm;
    }
    if (name.empty()) return "thread " + Hex(tid);
    return name + " (" + Hex(tid) + ")";
}

namespace internal {

std::vector<TThreadSnapshot> TakeSnapshots(pid_t first, const zelCapture::TRegisters* firstRegs,
                                           const std::vector<zelStackTrace::TPresetItem>& firstPreset,
                                           bool allThreads) {
    std::lock_guard<std::mutex> lock(g_snapshotLock);
    std::vector<pid_t> order{first};
    if (first != MainTid()) order.push_back(MainTid());
    if (allThreads)
        for (pid_t tid : ProcessThreads())
            if (std::find(order.begin(), order.end(), tid) == order.end()) order.push_back(tid);

    std::vector<TThreadSnapshot> threads;
    const pid_t self = CurrentTid();
    for (pid_t tid : order) {
        if (tid == self || tid == ExceptionTid()) continue;
        TThreadEntry entry;
        const bool known = FindThread(tid, entry);
        if (known && entry.Name == "-") continue;
        TThreadSnapshot snapshot;
        snapshot.Tid = tid;
        snapshot.IsMain = tid == MainTid();
        snapshot.DisplayName = ThreadDisplayName(tid);
        ReadThreadState(tid, snapshot);
        if (tid == first && firstRegs != nullptr)
            snapshot.Stack = zelCapture::CaptureStack(*firstRegs, StackTopOf(tid, firstRegs->Rsp));
        else
            snapshot.Stack = CaptureOther(tid);
        snapshot.StackReadable = snapshot.Stack.Valid();
        if (tid == first && !firstPreset.empty()) {
            snapshot.Preset = firstPreset;
            snapshot.RaisedThroughRunTime = true;
        }
        if (known && entry.Creator != 0) {
            snapshot.HasCreator = true;
            snapshot.CreatorName = ThreadDisplayName(entry.Creator);
            for (std::uint64_t value : entry.CreatorStack) snapshot.CreatorStack.push_back({true, value});
        }
        threads.push_back(std::move(snapshot));
    }
    return threads;
}

}  // namespace internal
}  // namespace zelExcept

extern "C" int pthread_create(pthread_t* __restrict thread, const pthread_attr_t* __restrict attr,
                              void* (*function)(void*), void* __restrict argument) noexcept {
    using namespace zelExcept::internal;
    const TCreateFn next = NextCreate();
    if (next == nullptr) return EAGAIN;
    if (!g_hooksOn.load(std::memory_order_relaxed)) return next(thread, attr, function, argument);
    auto* start = new (std::nothrow) TStart;
    if (start == nullptr) return next(thread, attr, function, argument);
    start->Function = function;
    start->Argument = argument;
    start->Creator = CurrentTid();
    std::uint64_t frames[kMaxFrames];
    const int count = Backtrace(frames, kMaxFrames, 1);
    start->CreatorStack.assign(frames, frames + count);
    const int result = next(thread, attr, &ThreadStart, start);
    if (result != 0) delete start;
    return result;
}
