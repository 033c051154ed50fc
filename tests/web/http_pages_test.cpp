// The dispatcher and the pages that need no login, run in-process on a
// private program directory without the other windows.
#include "web/http.h"

#include "filters/spam.h"


#include "platform/inifile.h"
#include "transport/settings_file.h"
#include "transport/table_owner.h"
#include "web/webmail.h"
#include "web_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

class WebPages : public WebHome {
protected:
    void SetUp() override {
        WebHome::SetUp();
        spam_ = std::make_unique<spam::TSpamFilter>();
        spam_->CreateSafeListFile();
        spam_->Load();
        server_ = std::make_unique<TFrmhttp>();
        Frmhttp = server_.get();
    }
    void TearDown() override {
        Frmhttp = nullptr;
        server_.reset();
        spam_.reset();
        WebHome::TearDown();
    }
    std::string Get(const std::string& target) {
        int defer = 0;
        return server_->HandleRequest("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:2600\r\n\r\n", "", defer);
    }
    void Spam(const std::string& folder, const std::string& name, const std::string& subject, long mtime) {
        Write(folder + "/" + name + ".dat",
              "From: Spammer <sp@junk.example>\r\nTo: bob@office.lan\r\nSubject: " + subject + "\r\n\r\nbuy\r\n.\r\n",
              mtime);
    }

    // True when the address is on the safe list already.
    static bool Safe(const std::string& address) { return !spam::AddSpamAddress(spam::SafeSender, address); }
    int Deleted() const { return platform::IniFile(settings::IniPath()).ReadInteger("SpamStats", "SpamDeleted", 0); }

    std::unique_ptr<spam::TSpamFilter> spam_;
    std::unique_ptr<TFrmhttp> server_;
};

TEST_F(WebPages, DispatchOfPathsThatNeedNoWindows) {
    struct {
        const char* target;
        const char* contains;
        bool html;
    } cases[] = {
        {"/", "Send/Recv now", true},
        {"/no/such/page?x=1", "Msgs to send: ", true},
        {"/empty", "", true},
        {"/favicon.ico", "", true},
        {"/webmail", "name=\"loginform\"", true},
        {"/WebMailList?user=bob&password=x", "value=\"bob\"", true},
        {"/settings", "Settings not available on browser - please see Remote setup in Tarnwick", true},
        {"/log?file=pop.log", "Settings not available on browser", true},
        {"/showmail?dir=Spam1&email=bob_gone", "Email no longer present - please refresh list", true},
        {"/showmail?dir=..&email=tarnwick", "Email no longer present - please refresh list", true},
        {"/spam", "src=\"/spamlist\"", true},
        {"/safeaddresses", "Instructions for adding your address book to the Tarnwick spam filters:", true},
    };
    for (const auto& c : cases) {
        const std::string r = Get(c.target);
        ASSERT_EQ(r.rfind("HTTP/1.1 200 OK\r\nServer: Tarnwick\r\nConnection: Close\r\n", 0), 0u) << c.target;
        EXPECT_NE(r.find(c.contains), std::string::npos) << c.target;
        EXPECT_EQ(r.find("Content-Type: text/html; charset=ISO-8859-1") != std::string::npos, c.html) << c.target;
        const std::string body = r.substr(r.find("\r\n\r\n") + 4);
        EXPECT_NE(r.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos) << c.target;
    }
    EXPECT_NE(Get("/").find("Set-Cookie: u=&p=; HttpOnly; SameSite=Strict\r\n"), std::string::npos);
    EXPECT_EQ(Get("/empty").find("Set-Cookie"), std::string::npos);
    int defer = 0;
    const std::string head = server_->HandleRequest("HEAD /spam HTTP/1.1\r\n\r\n", "", defer);
    EXPECT_NE(head.find("Send/Recv now"), std::string::npos);
    // Without a main window there is no cycle to start: the status page.
    EXPECT_NE(Get("/send").find("Send/Recv now"), std::string::npos);
}

TEST_F(WebPages, SpamListHonoursThePageLimitNewestFirst) {
    spam::Settings live = spam_->settings();
    live.webLimited = true;
    live.webPageLimit = 5;
    spam_->SetSettings(live);
    for (int i = 0; i < 7; ++i) Spam("Spam1", "bob_p" + std::to_string(i), "Possible " + std::to_string(i), 1700000000 + i);
    for (int i = 0; i < 3; ++i) Spam("Spam2", "bob_q" + std::to_string(i), "Probable " + std::to_string(i), 1700001000 + i);
    const std::string page = Get("/spamlist");
    EXPECT_NE(page.find("Spam list: showing 1-5 of 10"), std::string::npos);
    EXPECT_NE(page.find("Delete all 5"), std::string::npos);
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(page.find("Possible " + std::to_string(i)) != std::string::npos, i >= 2) << i;
    EXPECT_EQ(page.find("Probable"), std::string::npos);
    EXPECT_NE(page.find("name=\"Spam4\""), std::string::npos);
    EXPECT_EQ(page.find("name=\"Spam5\""), std::string::npos);
}

TEST_F(WebPages, SpamListTopBarAndActions) {
    EXPECT_NE(Get("/spamlist").find("No spam messages to display"), std::string::npos);
    Spam("Spam1", "bob_1", "One", 1700000000);
    EXPECT_NE(Get("/spamlist").find("Delete message"), std::string::npos);
    Spam("Spam2", "bob_2", "<b>Two</b>", 1700000001);
    const std::string page = Get("/spamlist");
    EXPECT_NE(page.find("Delete both"), std::string::npos);
    EXPECT_NE(page.find("&lt;b&gt;Two&lt;/b&gt;"), std::string::npos);

    Get("/spamlist?DeleteFile=Spam1%5Cbob_1");
    EXPECT_FALSE(Exists("Spam1/bob_1.dat"));
    EXPECT_TRUE(Exists("Deleted/bob_1.dat"));
    Get("/spamlist?DeleteFile=Spam1%5Cbob_1");  // gone: not counted again
    EXPECT_EQ(Deleted(), 1);

    // The safe sender is the message's own From, whatever the link says.
    Get("/spamlist?SaveFile=Spam2%5Cbob_2&FromAdd=*@anything.example");
    EXPECT_FALSE(Exists("Spam2/bob_2.dat"));
    EXPECT_EQ(smtp::ListUserFiles(smtp::StoreFolder("in"), "bob").size(), 1u);
    EXPECT_FALSE(Safe("*@anything.example"));
    EXPECT_TRUE(Safe("sp@junk.example"));
    // A quoted name holding an office address is no sender.
    Write("Spam1/bob_3.dat",
          "From: \"<boss@office.lan>\" <sp3@junk.example>\r\nTo: bob@office.lan\r\nSubject: Three\r\n\r\nbuy\r\n.\r\n");
    Get("/spamlist?SaveFile=Spam1%5Cbob_3&FromAdd=sp3@junk.example");
    EXPECT_FALSE(Exists("Spam1/bob_3.dat"));
    EXPECT_FALSE(Safe("boss@office.lan"));
    EXPECT_TRUE(Safe("sp3@junk.example"));
}

TEST_F(WebPages, SafeAddressUploadTakesEveryAddressOfTheFileOnly) {
    const std::string boundary = "XyZ";
    auto upload = [&](const std::string& file, bool withLength) {
        const std::string body = "--" + boundary +
                                 "\r\nContent-Disposition: form-data; name=\"uploaded_file\"; filename=\"a.csv\"\r\n\r\n" +
                                 file + "\r\n--" + boundary + "--\r\n";
        std::string req = "POST /safeaddresses HTTP/1.1\r\nCookie: u=me@home.example&p=x\r\n"
                          "Content-Type: multipart/form-data; boundary=" + boundary + "\r\n";
        if (withLength) req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        int defer = 0;
        return server_->HandleRequest(req + "\r\n" + body, "", defer);
    };
    std::string page = upload("Ann,Ann@X.example,\"Joe\" <joe@y.example>\r\nnobody here\r\nz@z.example\r\n"
                              "Evil,*@evil.example", true);
    EXPECT_NE(page.find("You have successfully uploaded 3 email addresses."), std::string::npos);
    for (const char* a : {"ann@x.example", "joe@y.example", "z@z.example"}) EXPECT_TRUE(Safe(a)) << a;
    EXPECT_FALSE(Safe("*@evil.example")) << "a wildcard lets a whole domain past the filter";
    EXPECT_FALSE(Safe("me@home.example")) << "taken from the cookie";
    page = upload("no addresses at all", true);
    EXPECT_NE(page.find("<b>No addresses found</b>"), std::string::npos);
    page = upload("a@b.example", false);
    EXPECT_NE(page.find("Instructions for adding"), std::string::npos);
}

TEST_F(WebPages, RequestsFromOtherSitesOrUnknownHostsChangeNothing) {
    struct {
        const char* headers;
        bool acted;
    } cases[] = {
        {"Host: 127.0.0.1:2600\r\n", true},
        {"Host: localhost:2600\r\nOrigin: http://localhost:2600\r\nSec-Fetch-Site: same-origin\r\n", true},
        {"Host: 127.0.0.1:2600\r\nReferer: http://127.0.0.1:2600/spamlist\r\n", true},
        {"Host: 127.0.0.1:2600\r\nOrigin: http://127.0.0.2:8000\r\n", false},
        {"Host: 127.0.0.1:2600\r\nOrigin: null\r\n", false},
        {"Host: 127.0.0.1:2600\r\nReferer: http://127.0.0.2:8000/a.html\r\n", false},
        {"Host: 127.0.0.1:2600\r\nSec-Fetch-Site: cross-site\r\n", false},
        {"Host: 127.0.0.1:2600\r\nSec-Fetch-Site: same-site\r\n", false},
        {"Host: 127.0.0.1:2601\r\nOrigin: http://127.0.0.1:2600\r\n", false},
        {"Host: rebound.attacker.example:2600\r\n", false},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "bob_x" + std::to_string(++n);
        Spam("Spam1", name, "Held", 1700000000);
        int defer = 0;
        const std::string r = server_->HandleRequest(
            "GET /spamlist?DeleteFile=Spam1%5C" + name + " HTTP/1.1\r\n" + c.headers + "\r\n", "", defer);
        EXPECT_EQ(!Exists("Spam1/" + name + ".dat"), c.acted) << c.headers;
        EXPECT_EQ(r.find("Request refused") == std::string::npos, c.acted) << c.headers;
        EXPECT_NE(r.find("X-Frame-Options: SAMEORIGIN\r\n"), std::string::npos);
    }
    // Reading needs no such care: a link from elsewhere still shows the list.
    int defer = 0;
    EXPECT_NE(server_->HandleRequest("GET /spamlist HTTP/1.1\r\nHost: 127.0.0.1\r\nSec-Fetch-Site: cross-site\r\n\r\n",
                                     "", defer)
                  .find("Spam list:"),
              std::string::npos);
}

TEST_F(WebPages, MessageBodyGoesInTheCharsetItIsIn) {
    struct {
        const char* name;
        std::string headers;
        std::string body;
        const char* charset;
        std::string shown;
    } cases[] = {
        {"utf8", "Content-Type: text/plain; charset=UTF-8\r\n", "Sch\xc3\xb6ne Gr\xc3\xbc\xc3\x9f" "e", "UTF-8",
         "Sch\xc3\xb6ne Gr\xc3\xbc\xc3\x9f" "e"},
        {"utf8 undeclared", "", "Gr\xc3\xbc\xc3\x9f" "e", "UTF-8", "Gr\xc3\xbc\xc3\x9f" "e"},
        {"latin1", "Content-Type: text/plain; charset=iso-8859-1\r\n", "Sch\xf6ne", "ISO-8859-1", "Sch\xf6ne"},
        {"undeclared 8-bit", "", "Sch\xf6ne", "ISO-8859-1", "Sch\xf6ne"},
        {"latin2 folded and quoted", "Content-Type: text/plain;\r\n\tcharset=\"ISO-8859-2\"\r\n", "\xb3\xf3" "d\xbc",
         "UTF-8", "\xc5\x82\xc3\xb3" "d\xc5\xba"},
        {"cyrillic", "Content-Type: text/plain; charset=windows-1251\r\n", "\xcc\xe8\xf0", "UTF-8",
         "\xd0\x9c\xd0\xb8\xd1\x80"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "bob_cs" + std::to_string(++n);
        Write("Spam1/" + name + ".dat", "From: a@b.example\r\nSubject: s\r\n" + c.headers + "\r\n" + c.body + "\r\n.\r\n");
        const std::string r = Get("/showmail?dir=Spam1&email=" + name);
        EXPECT_NE(r.find(std::string("Content-Type: text/plain; charset=") + c.charset + "\r\n"), std::string::npos)
            << c.name;
        EXPECT_NE(r.find("\r\n\r\n" + c.shown), std::string::npos) << c.name;
    }
}

TEST_F(WebPages, AddressBookIsMadeAndAnUnreadableOneSetAside) {
    EXPECT_TRUE(Exists("address.dat"));
    EXPECT_TRUE(server_->TblAddress.Active());
    server_.reset();
    Write("address.dat", "not a table");
    server_ = std::make_unique<TFrmhttp>();
    Frmhttp = server_.get();
    EXPECT_TRUE(server_->TblAddress.Active());
    EXPECT_EQ(Read("address.dat.bad"), "not a table");
}

// An upload replaces the uploading user's book only, on the rows as the
// owner holds them now: an entry that reached address.dat meanwhile stays.
TEST_F(WebPages, AddressBookUploadKeepsWhatOthersChanged) {
    ASSERT_TRUE(tables::Addresses().Change(ProgramDir, [](TvdlMemTable& t) {
        t.Append();
        t.FieldByName("User").SetAsString("alice");
        t.FieldByName("Name").SetAsString("Ann");
        t.FieldByName("Email").SetAsString("ann@a.example");
        t.Post();
    }));
    auto fileRows = [] {
        TvdlMemTable t;
        t.LoadFromBinaryFile(ProgramDir + "address.dat");
        std::vector<std::string> rows;
        for (t.First(); !t.Eof(); t.Next())
            rows.push_back(t.FieldByName("User").AsString() + ":" + t.FieldByName("Email").AsString());
        std::sort(rows.begin(), rows.end());
        return rows;
    };
    struct Step {
        const char* upload;
        std::vector<std::string> rows;
    } steps[] = {
        {"\"Bob Friend\",friend@b.example\r\nOld,old@b.example\r\n",
         {"alice:ann@a.example", "bob:friend@b.example", "bob:old@b.example"}},
        {"New,new@b.example\r\n", {"alice:ann@a.example", "bob:new@b.example"}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.upload);
        const std::string page = webmail::AddressBookPage("bob", false, true, step.upload);
        EXPECT_EQ(page.find("ann@a.example"), std::string::npos);
        EXPECT_EQ(fileRows(), step.rows);
    }
    EXPECT_EQ(tables::Addresses().Table().RecordCount(), 2);
}

TEST_F(WebPages, LogPageServesOnlyTheLogFiles) {
    Write("pop.log", "10:00: collected\r\n");
    Write("users.dat", "secret");
    bool html = true;
    EXPECT_EQ(http::LogText("pop.log", html), "10:00: collected\r\n");
    EXPECT_FALSE(html);
    for (const char* name : {"users.dat", "../pop.log", "smtp.log", ""})
        EXPECT_EQ(http::LogText(name, html), "No log available") << name;
}

}  // namespace
