// When the collector may send DELE: only once every mailbox copy of the
// message, the copy's folder entry and the message's uidl.dat record are
// on disk, and none of that disk work on the event loop. A provider in this
// process writes each DELE it receives into the same journal as the file
// system calls, so the journal's order is the order things happened in.
#include "transport_test_util.h"

#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/globals.h"
#include "transport/setup_hooks.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

namespace {

using twtest::WindowsHome;

bool OnEventLoop() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }

bool StartsWith(const std::string& s, const std::string& head) { return s.rfind(head, 0) == 0; }

// Journals every call as FaultInjectionEnv does, and notes the syncs made
// on the event loop's thread in the folder watched. (The delivery filters
// run there and may write files of their own.)
class ThreadWatchingEnv : public platform::FaultInjectionEnv {
public:
    std::string watched;  // a folder, with its trailing "/"

    std::set<std::string> SyncedOnLoop() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return onLoop_;
    }

    platform::FsStatus NewWritableFile(const std::string& path, platform::CreateMode mode,
                                       std::unique_ptr<platform::WritableFile>& file) override {
        platform::FsStatus s = FaultInjectionEnv::NewWritableFile(path, mode, file);
        if (s.ok() && StartsWith(path, watched)) file = std::make_unique<Watched>(std::move(file), *this, path);
        return s;
    }
    platform::FsStatus SyncFolder(const std::string& path) override {
        if (StartsWith(path + "/", watched)) NoteSync("syncfolder " + path);
        return FaultInjectionEnv::SyncFolder(path);
    }

private:
    void NoteSync(const std::string& call) {
        if (!OnEventLoop()) return;
        std::lock_guard<std::mutex> lock(mutex_);
        onLoop_.insert(call);
    }
    struct Watched : platform::WritableFile {
        Watched(std::unique_ptr<platform::WritableFile> f, ThreadWatchingEnv& e, std::string p)
            : file(std::move(f)), env(e), path(std::move(p)) {}
        platform::FsStatus Append(std::string_view data) override { return file->Append(data); }
        platform::FsStatus Sync() override {
            env.NoteSync("sync " + path);
            return file->Sync();
        }
        platform::FsStatus Close() override { return file->Close(); }
        std::unique_ptr<platform::WritableFile> file;
        ThreadWatchingEnv& env;
        std::string path;
    };
    mutable std::mutex mutex_;
    std::set<std::string> onLoop_;
};

// A provider's POP3 server for one mailbox, answering at once; DELE n is
// journalled as "provider DELE n".
class JournallingProvider {
public:
    JournallingProvider(platform::FaultInjectionEnv& env, std::vector<std::pair<std::string, std::string>> messages)
        : env_(env), messages_(std::move(messages)) {
        server_.listen(QHostAddress("127.0.0.1"), 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                s->write("+OK ready\r\n");
                QObject::connect(s, &QTcpSocket::readyRead, [this, s] { Read(s); });
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    int Port() const { return server_.serverPort(); }
    std::vector<int> Deleted() const { return deleted_; }
    // Runs as DELE n arrives, before its reply.
    std::function<void(int n)> onDele;

private:
    void Read(QTcpSocket* s) {
        buffer_ += s->readAll().toStdString();
        size_t lf;
        while ((lf = buffer_.find('\n')) != std::string::npos) {
            std::string line = buffer_.substr(0, lf);
            buffer_.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            s->write(Answer(line).c_str());
            if (StartsWith(line, "QUIT")) s->disconnectFromHost();
        }
    }
    std::string Answer(const std::string& line) {
        const std::string word = line.substr(0, line.find(' '));
        const int n = line.size() > word.size() ? std::atoi(line.c_str() + word.size() + 1) : 0;
        const bool exists = n >= 1 && n <= static_cast<int>(messages_.size());
        if (word == "STAT") return "+OK " + std::to_string(messages_.size()) + " 1000\r\n";
        if (word == "UIDL") {
            std::string out = "+OK\r\n";
            for (size_t i = 0; i < messages_.size(); ++i)
                out += std::to_string(i + 1) + " " + messages_[i].first + "\r\n";
            return out + ".\r\n";
        }
        if (word == "RETR" && exists) return "+OK\r\n" + Stuffed(messages_[n - 1].second);
        if (word == "DELE" && exists) {
            env_.Record("provider DELE " + std::to_string(n));
            deleted_.push_back(n);
            if (onDele) onDele(n);
            return "+OK\r\n";
        }
        if (word == "QUIT") return "+OK bye\r\n";
        return exists || word == "USER" || word == "PASS" || word == "NOOP" ? "+OK\r\n" : "-ERR\r\n";
    }

public:
    static std::string Stuffed(const std::string& text) {
        std::string out;
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find("\r\n", start);
            const std::string line = text.substr(start, end - start);
            out += (StartsWith(line, ".") ? "." : "") + line + "\r\n";
            start = end + 2;
        }
        return out + ".\r\n";
    }

private:
    platform::FaultInjectionEnv& env_;
    std::vector<std::pair<std::string, std::string>> messages_;
    QTcpServer server_;
    std::string buffer_;
    std::vector<int> deleted_;
};

std::string Mail(const std::string& to, const std::string& id, const std::string& body) {
    return "To: " + to + "\r\nMessage-ID: <" + id + "@far.example>\r\nSubject: " + id + "\r\n\r\n" + body + "\r\n";
}

class CollectorCommitOrder : public WindowsHome {
protected:
    void Account(int port) {
        twtest::SavePopFile({{"work", "127.0.0.1", "w1", "wpw", "1", "0", "0", "alice"}});
        platform::IniFile ini(ProgramDir + "tarnwick.ini");
        ini.WriteString("POP", "work_port", std::to_string(port));
        ini.WriteString("POP", "Timeout", "5");
    }
    void Cycle() {
        ::SendOnly = false;
        SingleAccountName.clear();
        servers_->StartPopCollection();
        ASSERT_TRUE(twtest::Until([&] { return !servers_->Collecting(); }, 60000))
            << twtest::ReadBytes(ProgramDir + "pop.log");
    }
};

TEST_F(CollectorCommitOrder, EveryDeleFollowsTheSyncOfEachCopyItsNameAndItsRecord) {
    // Two recipients, the default user, a message of several megabytes
    // (streamed from mess.txt) and an empty one (written from memory).
    const std::vector<std::pair<std::string, std::string>> messages = {
        {"u-1", Mail("team@office.example", "one", "for both")},
        {"u-2", Mail("stranger@far.example", "two", "for the default user")},
        {"u-3", Mail("team@office.example", "three", std::string(3 << 20, 'x'))},
        {"u-4", ""},
    };
    const std::map<int, size_t> copiesOf = {{1, 2}, {2, 1}, {3, 2}, {4, 1}};

    const std::string in = smtp::StoreFolder("in");
    ThreadWatchingEnv env;
    env.watched = in;
    platform::ScopedEnv scoped(&env);
    JournallingProvider provider(env, messages);
    twtest::SaveLinkFile({{"team@office.example", "alice"}, {"team@office.example", "bob"}});
    Account(provider.Port());
    CreateWindows();
    Cycle();
    ASSERT_EQ(provider.Deleted(), (std::vector<int>{1, 2, 3, 4})) << twtest::ReadBytes(ProgramDir + "pop.log");
    const std::set<std::string> onLoop = env.SyncedOnLoop();

    const std::vector<std::string> journal = env.Journal();
    auto find = [&](auto pred, size_t from, size_t to) {
        for (size_t i = from; i < to && i < journal.size(); ++i)
            if (pred(journal[i])) return static_cast<int>(i);
        return -1;
    };
    const std::string inSynced = "syncfolder " + in.substr(0, in.size() - 1);
    const std::string home = ProgramDir.substr(0, ProgramDir.size() - 1);
    size_t since = 0;  // the journal after the previous DELE
    for (int n = 1; n <= 4; ++n) {
        SCOPED_TRACE("message " + std::to_string(n));
        const int dele = find([&](const std::string& e) { return e == "provider DELE " + std::to_string(n); }, 0,
                              journal.size());
        ASSERT_GE(dele, 0);
        // Every copy of the message: its content synced under a temp name,
        // then linked to its mailbox name, then the folder synced.
        const std::string stored = messages[n - 1].second.empty()
                                       ? std::string("\r\n\r\n.\r\n")
                                       : JournallingProvider::Stuffed(messages[n - 1].second);
        size_t copies = 0;
        int lastLink = -1;
        for (const auto& name : platform::ListFiles(in, "*.dat")) {
            if (twtest::ReadBytes(in + name) != stored) continue;
            ++copies;
            const int link = find([&](const std::string& e) { return StartsWith(e, "link ") &&
                                                                     e.size() > name.size() &&
                                                                     e.substr(e.size() - in.size() - name.size()) ==
                                                                         in + name; },
                                  since, journal.size());
            ASSERT_GE(link, 0) << name;
            ASSERT_LT(link, dele) << name;
            const std::string temp = journal[link].substr(5, journal[link].find(" -> ") - 5);
            EXPECT_GE(find([&](const std::string& e) { return e == "sync " + temp; }, since, link), 0) << name;
            EXPECT_EQ(onLoop.count("sync " + temp), 0u) << name << ": the event loop waited on the disk";
            EXPECT_GE(find([&](const std::string& e) { return e == inSynced; }, link, dele), 0)
                << name << ": its name was not synced before DELE";
            lastLink = std::max(lastLink, link);
        }
        EXPECT_EQ(copies, copiesOf.at(n));
        // The record that keeps the message from being fetched again.
        const int recorded = find([&](const std::string& e) {
            return StartsWith(e, "rename ") && e.size() > 9 && e.substr(e.size() - 9) == "/uidl.dat";
        }, lastLink, dele);
        ASSERT_GE(recorded, 0) << "uidl.dat not written before DELE";
        EXPECT_GE(find([&](const std::string& e) { return e == "syncfolder " + home; }, recorded, dele), 0);
        since = static_cast<size_t>(dele);
    }
    EXPECT_EQ(onLoop.count(inSynced), 0u) << "the event loop waited on the disk";
    for (const auto& e : journal) EXPECT_FALSE(StartsWith(e, "failed")) << e;
}

// Holds the renames onto uidl.dat made off the event loop until opened.
class HeldRecordEnv : public platform::FaultInjectionEnv {
public:
    platform::FsStatus Rename(const std::string& from, const std::string& to) override {
        if (!OnEventLoop() && to.size() > 9 && to.substr(to.size() - 9) == "/uidl.dat") {
            std::unique_lock<std::mutex> lock(mutex_);
            entered_ = true;
            changed_.notify_all();
            changed_.wait(lock, [&] { return open_; });
        }
        return FaultInjectionEnv::Rename(from, to);
    }
    bool Entered() {
        std::lock_guard<std::mutex> lock(mutex_);
        return entered_;
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false, open_ = false;
};

// The record written off the event loop is older than a change made while
// it was on its way (the settings window forgetting the account's
// downloads): it must not land over the newer one.
TEST_F(CollectorCommitOrder, ARecordOnItsWayDoesNotUndoALaterChange) {
    HeldRecordEnv env;
    platform::ScopedEnv scoped(&env);
    JournallingProvider provider(env, {{"u-1", Mail("team@office.example", "one", "text")}});
    int rowsAtDele = -1;
    provider.onDele = [&](int) {
        TvdlMemTable saved;
        saved.LoadFromBinaryFile(ProgramDir + "uidl.dat");
        rowsAtDele = saved.RecordCount();
    };
    Account(provider.Port());
    CreateWindows();
    ::SendOnly = false;
    SingleAccountName.clear();
    servers_->StartPopCollection();
    ASSERT_TRUE(twtest::Until([&] { return env.Entered(); }, 30000)) << twtest::ReadBytes(ProgramDir + "pop.log");
    EXPECT_TRUE(servers_->HasDownloaded("work"));
    ASSERT_TRUE(setup::hooks.forgetDownloaded);
    setup::hooks.forgetDownloaded("work");
    env.Open();
    ASSERT_TRUE(twtest::Until([&] { return !servers_->Collecting(); }, 30000));
    EXPECT_EQ(provider.Deleted(), std::vector<int>{1});
    EXPECT_EQ(rowsAtDele, 0) << "the older record came back";
}

// Takes mess.txt away as soon as the collector has closed it, as a second
// program on the folder or a hand tidying it up would.
class TakenTempFileEnv : public platform::FaultInjectionEnv {
public:
    platform::FsStatus NewWritableFile(const std::string& path, platform::CreateMode mode,
                                       std::unique_ptr<platform::WritableFile>& file) override {
        platform::FsStatus s = FaultInjectionEnv::NewWritableFile(path, mode, file);
        if (s.ok() && path == ProgramDir + "mess.txt") file = std::make_unique<Taken>(std::move(file), *this, path);
        return s;
    }

private:
    struct Taken : platform::WritableFile {
        Taken(std::unique_ptr<platform::WritableFile> f, TakenTempFileEnv& e, std::string p)
            : file(std::move(f)), env(e), path(std::move(p)) {}
        platform::FsStatus Append(std::string_view data) override { return file->Append(data); }
        platform::FsStatus Sync() override { return file->Sync(); }
        platform::FsStatus Close() override {
            const platform::FsStatus s = file->Close();
            env.FaultInjectionEnv::Unlink(path);
            return s;
        }
        std::unique_ptr<platform::WritableFile> file;
        TakenTempFileEnv& env;
        std::string path;
    };
};

// A message whose file is gone before it was distributed was stored
// nowhere: recording it or sending DELE would lose it.
TEST_F(CollectorCommitOrder, AMessageWhoseFileIsGoneIsNeitherRecordedNorDeleted) {
    TakenTempFileEnv env;
    platform::ScopedEnv scoped(&env);
    JournallingProvider provider(env, {{"u-1", Mail("team@office.example", "one", "text")}});
    twtest::SaveLinkFile({{"team@office.example", "alice"}});
    Account(provider.Port());
    CreateWindows();
    Cycle();
    const std::string log = twtest::ReadBytes(ProgramDir + "pop.log");
    EXPECT_TRUE(provider.Deleted().empty()) << log;
    EXPECT_FALSE(servers_->HasDownloaded("work")) << log;
    EXPECT_NE(log.find("message 1 not stored: mess.txt is gone"), std::string::npos) << log;
}

}  // namespace
