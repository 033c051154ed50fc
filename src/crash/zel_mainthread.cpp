// Work the exception thread gets done in the main thread: handler calls,
// the clipboard, and the main thread's own wait for its request, which
// keeps the event loop running (the report mail goes to our own SMTP
// server, which lives on that loop).
#include <poll.h>
#include <sys/eventfd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "zel_except_internal.h"
#include "zel_exception.h"

namespace zelExcept {

namespace {

std::atomic<QObject*> g_caller{nullptr};
// Set when the main thread has left its event loop for good: a call queued
// to it would never run, and its waiter must not wait for it.
std::atomic<bool> g_abandoned{false};
// Set when the main thread let a probe go unanswered during the exception
// in hand: one that cannot answer (held in a fault of its own, or stuck)
// would cost each later question the whole probe time again.
std::atomic<bool> g_unanswered{false};

struct TFlag {
    std::mutex Lock;
    std::condition_variable Wake;
    bool Set = false;

    void Raise() {
        std::lock_guard<std::mutex> guard(Lock);
        Set = true;
        Wake.notify_all();
    }
    bool Wait(int milliseconds) {
        std::unique_lock<std::mutex> guard(Lock);
        return Wake.wait_for(guard, std::chrono::milliseconds(milliseconds), [this] { return Set; });
    }
};

// Nothing queued to the main thread runs once it has left its loop or is
// held by a fault of its own.
bool MainThreadGone() { return g_abandoned || g_unanswered || internal::MainThreadHeld(); }

// Waits for the main thread to raise `flag`, at most `milliseconds`
// (below 0: as long as the main thread may still run it).
bool WaitForMain(TFlag& flag, int milliseconds) {
    for (int waited = 0; !flag.Wait(50); waited += 50)
        if (MainThreadGone() || (milliseconds >= 0 && waited >= milliseconds)) return false;
    return true;
}

bool Readable(int fd) {
    pollfd item{fd, POLLIN, 0};
    return ::poll(&item, 1, 0) == 1 && (item.revents & POLLIN);
}

}  // namespace

namespace internal {

void CreateMainThreadCaller() {
    g_abandoned = false;
    if (g_caller.load() == nullptr) g_caller = new QObject;
}

void DestroyMainThreadCaller() { delete g_caller.exchange(nullptr); }

void AbandonMainThreadCalls() { g_abandoned = true; }

void AskMainThreadAgain() { g_unanswered = false; }

bool WaitPumping(int fd) {
    if (QCoreApplication::instance() == nullptr) {
        eventfd_t value = 0;
        while (eventfd_read(fd, &value) != 0 && errno == EINTR) {
        }
        return true;
    }
    QEventLoop loop;
    QSocketNotifier notifier(fd, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &loop, [&loop] { loop.quit(); });
    while (!Readable(fd)) {
        loop.exec();
        // The program's quit ends every loop of the thread, ours too: the
        // quit stands and the wait ends.
        if (!Readable(fd)) return false;
    }
    eventfd_t value = 0;
    eventfd_read(fd, &value);
    return true;
}

bool PostToMainThread(std::function<void()> call) {
    QObject* target = g_caller.load();
    if (target == nullptr) return false;
    QMetaObject::invokeMethod(target, std::move(call), Qt::QueuedConnection);
    return true;
}

void SetClipboardText(const std::string& text) {
    CallInMainThread([&text] {
        if (const auto set = WindowHooks().SetClipboard) set(text);
    });
}

}  // namespace internal

bool CallInMainThread(const std::function<void()>& call, int probeMs) {
    QObject* target = g_caller.load();
    if (target == nullptr) return false;
    if (internal::CurrentTid() == internal::MainTid()) {
        call();
        return true;
    }
    if (MainThreadGone()) return false;
    auto probe = std::make_shared<TFlag>();
    QMetaObject::invokeMethod(target, [probe] { probe->Raise(); }, Qt::QueuedConnection);
    if (!WaitForMain(*probe, probeMs)) {
        g_unanswered = true;
        return false;
    }
    auto done = std::make_shared<TFlag>();
    QMetaObject::invokeMethod(
        target,
        [done, call] {
            try {
                call();
            } catch (...) {
            }
            done->Raise();
        },
        Qt::QueuedConnection);
    // No limit while the main thread lives: the reporting watchdog ends one
    // that never comes.
    return WaitForMain(*done, -1);
}

}  // namespace zelExcept
