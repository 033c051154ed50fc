// An SMTP server on 127.0.0.1 over a fresh program folder that serves the
// office of WriteOffice, with both servers' objects and the engine's tables.
#pragma once

#include "engine_state.h"
#include "transport_test_util.h"

#include "platform/dialogs.h"
#include "platform/env.h"
#include "transport/servers.h"
#include "transport/smtp.h"

#include <cstdlib>
#include <memory>

namespace twtest {

class SmtpOffice : public TempHome {
protected:
    void StartServer() {
        setenv("TARNWICK_BIND_ADDRESS", "127.0.0.1", 1);
        platform::SetDialogHandlerForTesting([](platform::DialogCall&) { return platform::MsgResult::Ok; });
        WriteBytes(ProgramDir + "tarnwick.ini", "[POP]\nLocalPort=0\n[SMTP]\nLocalPort=0\n");
        ASSERT_TRUE(WriteOffice(ProgramDir));
        engine_ = std::make_unique<EngineState>();
        servers_ = std::make_unique<TFrmServers>();
        FrmServers = servers_.get();
        smtp_ = std::make_unique<TFrmSMTP>();
        FrmSMTP = smtp_.get();
        ASSERT_TRUE(smtp_->SMTPServer.Active());
    }
    void StopServer() {
        scoped_.reset();
        smtp_.reset();
        FrmSMTP = nullptr;
        servers_.reset();
        FrmServers = nullptr;
        engine_.reset();
        platform::SetDialogHandlerForTesting({});
    }

    std::unique_ptr<platform::ScopedEnv> scoped_;
    std::unique_ptr<EngineState> engine_;
    std::unique_ptr<TFrmServers> servers_;
    std::unique_ptr<TFrmSMTP> smtp_;
};

}  // namespace twtest
