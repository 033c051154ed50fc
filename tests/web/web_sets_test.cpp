// Web administration: a change whose table cannot be saved is not made, in
// memory either, and the page says so.
#include "web_env.h"

#include "settings/setup.h"
#include "transport/servers.h"
#include "web/web_sets.h"

#include <unistd.h>

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
        FrmServers = nullptr;
        servers_.reset();
        WebHome::TearDown();
    }
    // The table library writes users.dat through this temp name; a folder
    // in its place makes every save fail, as a full disk would.
    std::string Blocker() const { return ProgramDir + "users.dat.tmp" + std::to_string(::getpid()); }
    std::unique_ptr<TFrmServers> servers_;
};

TEST_F(WebSets, AFailedSaveChangesNothingAndIsShown) {
    const std::string before = Read("users.dat");
    std::filesystem::create_directory(Blocker());

    std::string page = web_sets::UsersTable("carol", "carolpw", "");
    EXPECT_NE(page.find("The change could not be saved (users.dat: "), std::string::npos) << page;
    EXPECT_EQ(page.find("value=\"carol\""), std::string::npos) << "not listed as added";
    EXPECT_FALSE(servers_->CheckUserPassword("carol", "carolpw")) << "cannot log in";

    page = web_sets::UsersTable("", "", "alice");
    EXPECT_NE(page.find("The change could not be saved"), std::string::npos);
    EXPECT_NE(page.find("value=\"alice\""), std::string::npos) << "still listed";
    EXPECT_TRUE(servers_->CheckUserPassword("alice", "alicepw"));
    EXPECT_EQ(Read("users.dat"), before);

    std::filesystem::remove(Blocker());
    page = web_sets::UsersTable("carol", "carolpw", "");
    EXPECT_EQ(page.find("could not be saved"), std::string::npos);
    EXPECT_TRUE(servers_->CheckUserPassword("carol", "carolpw"));
    EXPECT_NE(Read("users.dat"), before);
}

}  // namespace
