// Stack capture: registers from a signal context and a fault-free copy of
// the stack, read with process_vm_readv so a damaged or half-unmapped stack
// only shortens the copy.
#include "zel_capture.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace zelCapture {

namespace {
constexpr std::uint64_t kRedZone = 128;
constexpr std::uint64_t kPage = 4096;
}  // namespace

bool TStackCapture::Read(std::uint64_t address, void* out, std::size_t count) const {
    if (address < Base || count > Bytes.size()) return false;
    std::uint64_t offset = address - Base;
    if (offset > Bytes.size() - count) return false;
    std::memcpy(out, Bytes.data() + offset, count);
    return true;
}

std::size_t SafeReadMemory(std::uint64_t address, void* out, std::size_t count) {
    std::size_t done = 0;
    // Page by page, so a partly readable range gives its readable start.
    while (done < count) {
        std::uint64_t at = address + done;
        std::size_t chunk = std::min<std::uint64_t>(count - done, kPage - (at % kPage));
        iovec local{static_cast<char*>(out) + done, chunk};
        iovec remote{reinterpret_cast<void*>(at), chunk};
        ssize_t n = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
        if (static_cast<std::size_t>(n) < chunk) break;
    }
    return done;
}

bool StackBounds(pthread_t thread, std::uint64_t& low, std::uint64_t& high) {
    pthread_attr_t attr;
    if (pthread_getattr_np(thread, &attr) != 0) return false;
    void* addr = nullptr;
    size_t size = 0;
    bool ok = pthread_attr_getstack(&attr, &addr, &size) == 0;
    pthread_attr_destroy(&attr);
    if (!ok) return false;
    low = reinterpret_cast<std::uint64_t>(addr);
    high = low + size;
    return true;
}

TRegisters RegistersFromContext(const ucontext_t& context) {
    const greg_t* g = context.uc_mcontext.gregs;
    TRegisters r;
    r.Rip = static_cast<std::uint64_t>(g[REG_RIP]);
    r.Rsp = static_cast<std::uint64_t>(g[REG_RSP]);
    r.Rbp = static_cast<std::uint64_t>(g[REG_RBP]);
    r.Rax = static_cast<std::uint64_t>(g[REG_RAX]);
    r.Rbx = static_cast<std::uint64_t>(g[REG_RBX]);
    r.Rcx = static_cast<std::uint64_t>(g[REG_RCX]);
    r.Rdx = static_cast<std::uint64_t>(g[REG_RDX]);
    r.Rsi = static_cast<std::uint64_t>(g[REG_RSI]);
    r.Rdi = static_cast<std::uint64_t>(g[REG_RDI]);
    r.R8 = static_cast<std::uint64_t>(g[REG_R8]);
    r.R9 = static_cast<std::uint64_t>(g[REG_R9]);
    r.R10 = static_cast<std::uint64_t>(g[REG_R10]);
    r.R11 = static_cast<std::uint64_t>(g[REG_R11]);
    r.R12 = static_cast<std::uint64_t>(g[REG_R12]);
    r.R13 = static_cast<std::uint64_t>(g[REG_R13]);
    r.R14 = static_cast<std::uint64_t>(g[REG_R14]);
    r.R15 = static_cast<std::uint64_t>(g[REG_R15]);
    r.Eflags = static_cast<std::uint64_t>(g[REG_EFL]);
    return r;
}

TStackCapture CaptureStack(const TRegisters& regs, std::uint64_t stackTop) {
    TStackCapture capture;
    capture.Regs = regs;
    capture.Top = stackTop;
    if (regs.Rsp == 0 || stackTop <= regs.Rsp) return capture;
    std::uint64_t base = regs.Rsp >= kRedZone ? regs.Rsp - kRedZone : 0;
    std::size_t want = static_cast<std::size_t>(stackTop - base);
    capture.Bytes.resize(want);
    std::size_t got = SafeReadMemory(base, capture.Bytes.data(), want);
    if (got == 0) {
        // The stack pointer may sit on the guard page (stack overflow):
        // copy from the first readable page above it.
        for (std::uint64_t page = regs.Rsp; page < stackTop; page = (page & ~(kPage - 1)) + kPage) {
            char probe;
            if (SafeReadMemory(page, &probe, 1) != 1) continue;
            base = page;
            want = static_cast<std::size_t>(stackTop - base);
            capture.Bytes.resize(want);
            got = SafeReadMemory(base, capture.Bytes.data(), want);
            break;
        }
    }
    capture.Bytes.resize(got);
    capture.Base = base;
    capture.Truncated = got < want;
    return capture;
}

TStackCapture CaptureCurrentThread() {
    ucontext_t context;
    getcontext(&context);
    std::uint64_t low = 0, high = 0;
    if (!StackBounds(pthread_self(), low, high)) return {};
    return CaptureStack(RegistersFromContext(context), high);
}

}  // namespace zelCapture
