// Web administration: a change whose table cannot be saved is not made, in
// memory either, and the page says so; what it adds is stored as the rest
// of the program stores it.
#include "web_env.h"

#include "engine_state.h"

#include "platform/env.h"
#include "transport/account_tables.h"
#include "transport/setup_hooks.h"
#include "transport/servers.h"
#include "web/web_sets.h"

#include <cerrno>
#include <memory>

namespace {

class WebSets : public WebHome {
protected:
    void SetUp() override {
        WebHome::SetUp();
        setenv("TARNWICK_BIND_ADDRESS", "127.0.0.1", 1);
        Write("tarnwick.ini", "[POP]\nLocalPort=0\n");
        ASSERT_TRUE(settings::AddLocalUser(ProgramDir, "alice", "alicepw"));
        servers_ = std::make_unique<TFrmServers>();
        FrmServers = servers_.get();
    }
    void TearDown() override {
        MendDisk();
        FrmServers = nullptr;
        servers_.reset();
        WebHome::TearDown();
    }
    // A disk on which every write fails, as a full one would.
    void BreakDisk() {
        broken_.FailAt(platform::FaultInjectionEnv::Op::Append, 0, ENOSPC);
        scoped_ = std::make_unique<platform::ScopedEnv>(&broken_);
    }
    void MendDisk() { scoped_.reset(); }
    platform::FaultInjectionEnv broken_;
    std::unique_ptr<platform::ScopedEnv> scoped_;
    std::unique_ptr<TFrmServers> servers_;
};

TEST_F(WebSets, AFailedSaveChangesNothingAndIsShown) {
    const std::string before = Read("users.dat");
    BreakDisk();

    std::string page = web_sets::UsersTable("carol", "carolpw", "");
    EXPECT_NE(page.find("The change could not be saved (users.dat: "), std::string::npos) << page;
    EXPECT_EQ(page.find("value=\"carol\""), std::string::npos) << "not listed as added";
    EXPECT_FALSE(servers_->CheckUserPassword("carol", "carolpw")) << "cannot log in";

    page = web_sets::UsersTable("", "", "alice");
    EXPECT_NE(page.find("The change could not be saved"), std::string::npos);
    EXPECT_NE(page.find("value=\"alice\""), std::string::npos) << "still listed";
    EXPECT_TRUE(servers_->CheckUserPassword("alice", "alicepw"));
    EXPECT_EQ(Read("users.dat"), before);

    MendDisk();
    page = web_sets::UsersTable("carol", "carolpw", "");
    EXPECT_EQ(page.find("could not be saved"), std::string::npos);
    EXPECT_TRUE(servers_->CheckUserPassword("carol", "carolpw"));
    EXPECT_NE(Read("users.dat"), before);
}

TEST_F(WebSets, AnAddedAddressIsStoredInLowerCase) {
    twtest::EngineState engine;
    const std::string page = web_sets::DistributionListTable("Info@Office.Test", "alice", "", "");
    EXPECT_NE(page.find("bgcolor=\"#99CCCCC\"><TD>info@office.test<"), std::string::npos) << page;
    EXPECT_NE(Read("elink.dat").find("info@office.test"), std::string::npos);
    EXPECT_EQ(Read("elink.dat").find("Info@Office.Test"), std::string::npos);
}

}  // namespace
