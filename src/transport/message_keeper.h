// The disk side of taking in a message the SMTP server has received: the
// mailbox copies, the queue record, the queued file. Each step reports
// whether its result is on disk (data and folder entry synced); Undo takes
// back what the steps made, so a message the client is not told "250" for
// leaves nothing a reader could take for it. All file access goes through
// the Env it is given, which is all it touches apart from the ports.dat
// owner; it reads no settings and no window, so it can run off the event
// loop.
#pragma once

#include "platform/env.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace smtp {

class MessageKeeper {
public:
    // spool: the received message (out/<id>.txo), synced.
    MessageKeeper(platform::Env& env, std::string id, std::string spool);

    // A copy of the spool file at target (a mailbox file), with the spool's
    // date, its name synced into its folder.
    bool Copy(const std::string& target);
    // The queue record of the message, replacing any of its id.
    bool Record(const std::vector<std::pair<std::string, std::string>>& values);
    // Dates the spool file and renames it to queued; the relay may take it
    // from here.
    bool Queue(std::chrono::system_clock::time_point date);
    // With nothing queued: the record erased and the spool file removed.
    bool DropSpool();
    // Removes every copy, the record and the queued file.
    void Undo();

    const std::string& Id() const { return id_; }
    const std::string& QueuedPath() const { return queued_; }
    const std::vector<std::string>& Copies() const { return copies_; }

private:
    platform::Env& env_;
    std::string id_, spool_, queued_;
    std::vector<std::string> copies_;
};

}  // namespace smtp
