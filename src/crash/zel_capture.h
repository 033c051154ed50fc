// What the crash reporter keeps of a thread at the moment it is reported:
// its registers and a copy of its stack. The walker works from such a copy
// only, so a thread that goes on running (or a stack that is already gone)
// cannot make the walk fault.
#pragma once

#include <pthread.h>
#include <ucontext.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelCapture {

struct TRegisters {
    std::uint64_t Rip = 0, Rsp = 0, Rbp = 0;
    std::uint64_t Rax = 0, Rbx = 0, Rcx = 0, Rdx = 0, Rsi = 0, Rdi = 0;
    std::uint64_t R8 = 0, R9 = 0, R10 = 0, R11 = 0, R12 = 0, R13 = 0, R14 = 0, R15 = 0;
    std::uint64_t Eflags = 0;
};

struct TStackCapture {
    TRegisters Regs;
    std::uint64_t Base = 0;  // address of Bytes[0]
    std::uint64_t Top = 0;   // one past the highest address of the thread's stack
    std::string Bytes;       // copy of [Base, Base + Bytes.size())
    bool Truncated = false;  // the copy stopped at an unreadable page before Top

    bool Valid() const { return !Bytes.empty(); }
    // Reads from the copy; false when any byte lies outside it.
    bool Read(std::uint64_t address, void* out, std::size_t count) const;
    bool ReadWord(std::uint64_t address, std::uint64_t& value) const {
        return Read(address, &value, sizeof value);
    }
};

// Reads memory of this process without faulting on unmapped or protected
// pages; returns how many bytes from the start could be read.
std::size_t SafeReadMemory(std::uint64_t address, void* out, std::size_t count);

// The stack of a thread of this process as [low, high).
bool StackBounds(pthread_t thread, std::uint64_t& low, std::uint64_t& high);

TRegisters RegistersFromContext(const ucontext_t& context);

// Copies the stack from just below the stack pointer (the red zone the
// ABI lets leaf code use) up to `stackTop`; an unreadable page ends the copy.
// A stack pointer on an unreadable guard page (stack overflow) gives a copy
// from the first readable page above it.
TStackCapture CaptureStack(const TRegisters& regs, std::uint64_t stackTop);

// The calling thread, captured where this is called.
TStackCapture CaptureCurrentThread();

}  // namespace zelCapture
