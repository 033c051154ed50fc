// The engine's state after start-up, made without any window: every data
// table is read from the program directory into its owner (an empty table,
// and file, where none is there yet), and the settings value is read from
// tarnwick.ini and footer.dat and published. When the object goes the value
// is withdrawn and the owners forget their rows, so that nothing of one
// test's program directory reaches the next.
#pragma once

#include "tables/memtable.h"
#include "transport/account_tables.h"
#include "transport/engine_tables.h"
#include "transport/globals.h"
#include "transport/logfile.h"
#include "transport/mail_settings.h"
#include "transport/setup_hooks.h"
#include "transport/table_files.h"
#include "transport/table_owner.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace twtest {

// Reads the tables of ProgramDir into their owners.
inline void LoadEngineTables() { tables::LoadEngineTables(ProgramDir); }

// The settings value as tarnwick.ini and footer.dat hold it now.
inline void PublishSettingsFromFiles() {
    mailsettings::Publish(
        std::make_shared<MailSettings>(mailsettings::Read(ProgramDir, tables::UserNames(), procs::GetComputerName())));
}

// Publishes the current value with change made to it, as saving the
// settings would.
inline void ChangeSettings(const std::function<void(MailSettings&)>& change) {
    auto value = std::make_shared<MailSettings>(*mailsettings::Current());
    change(*value);
    mailsettings::Publish(std::move(value));
}

inline void CloseEngineTables() {
    mailsettings::Publish(nullptr);
    for (tables::TableOwner* owner : {&tables::Users(), &tables::PopAccounts(), &tables::Links(), &tables::Aliases(),
                                      &tables::Domains(), &tables::Forwards(), &tables::Holidays()})
        owner->Close();
}

// Tables loaded and settings published for the object's life.
class EngineState {
public:
    EngineState() {
        LoadEngineTables();
        PublishSettingsFromFiles();
    }
    ~EngineState() { CloseEngineTables(); }
    EngineState(const EngineState&) = delete;
    EngineState& operator=(const EngineState&) = delete;
};

}  // namespace twtest
