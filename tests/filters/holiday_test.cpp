// Out-of-office responder: who gets a reply and where it goes, the reply
// and notice texts, automatic mail that is never answered, expiry of
// entries and the table layout.
#include "filters/forward.h"
#include "filters/holiday.h"
#include "transport/smtp.h"
#include "platform/clock.h"

#include "filters_env.h"
#include "transport/table_owner.h"

#include <set>

namespace {

using filters_test::FiltersEnv;
using filters_test::Read;
using filters_test::Shell;
using filters_test::Write;

class Holiday : public FiltersEnv {
protected:
    void AddEntry(const std::string& user, int who, TDateTime endDate = 0,
                  const std::string& subject = "Out of Office AutoReply: [Subject]",
                  const std::string& message = "I am away.\r\n.hidden dot line\r\nBack soon.") {
        TvdlMemTable& t = tables::Holidays().Table();
        t.Append();
        t.FieldByName("User").SetAsString(user);
        if (endDate != 0) t.FieldByName("EndDate").SetAsDateTime(endDate);
        t.FieldByName("Subject").SetAsString(subject);
        t.FieldByName("Message").SetAsString(message);
        t.FieldByName("Who").SetAsInteger(who);
        t.Post();
    }

    std::string Incoming(const std::string& from, const std::string& extra = "") {
        return Deliver("bob", "080000001",
                       "From: Sender <" + from + ">\r\nTo: bob@office.example\r\nSubject: Budget meeting\r\n" + extra +
                           "\r\nPlease come.\r\n.\r\n");
    }

    void ClearStore() {
        platform::DeleteFiles(In(), "*");
        platform::DeleteFiles(Out(), "*");
        std::remove(smtp::PortsFileName().c_str());
    }

    std::vector<std::string> Queued() const { return Files(Out(), "*.txt"); }
};

TEST(HolidayHeaders, GetHeaderValue) {
    QTemporaryDir dir;
    const std::string file = dir.path().toStdString() + "/m.dat";
    ASSERT_TRUE(platform::WriteFileAtomic(file,
                                          "Return-Path: <bounce@x.example>\r\n"
                                          "From: \"Sender, Name\" <sender@x.example>\r\n"
                                          "Subject:  two blanks\r\n"
                                          "To: plain@x.example\r\n"
                                          "Delivered-To: <deliv@office.example>\r\n"
                                          "\r\n"
                                          "Cc: body@x.example\r\n"));
    struct Case {
        const char* header;
        bool angle;
        const char* value;
    };
    const Case cases[] = {
        {"from:", true, "<sender@x.example>"},
        {"FROM:", false, "\"Sender, Name\" <sender@x.example>"},
        {"subject:", false, " two blanks"},
        {"to:", true, "plain@x.example"},
        {"cc:", false, ""},  // after the header block
        {"reply-to:", false, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(holiday::GetHeaderValue(file, c.header, c.angle), c.value) << c.header;
    EXPECT_EQ(holiday::GetRecipientHeader(file), "<deliv@office.example>");
    EXPECT_EQ(holiday::LoadHeaderLines(file).size(), 6u);
    EXPECT_EQ(holiday::LoadHeaderLines(file).back(), "");
    EXPECT_EQ(holiday::GetHeaderValue(dir.path().toStdString() + "/none.dat", "from:", true), "");
}

TEST_F(Holiday, WhoGetsAReplyAndWhere) {
    struct Case {
        int who;
        bool internal;
        const char* sender;
        const char* mailbox;  // user whose mailbox gets the reply, or ""
        bool queued;
    };
    const Case cases[] = {
        {0, true, "alice@office.example", "alice", false},
        {0, false, "someone@outside.example", "", true},
        // A fetched message from a colleague's own address is answered locally.
        {0, false, "alice@office.example", "alice", false},
        {1, false, "someone@outside.example", "", false},
        {1, true, "carol@office.example", "carol", false},
        {2, true, "alice@office.example", "", false},
        {2, false, "someone@outside.example", "", true},
        // Flagged internal but from outside: nobody to answer locally.
        {0, true, "someone@outside.example", "", false},
    };
    for (const auto& c : cases) {
        ClearStore();
        AdvanceClock(std::chrono::hours(25));
        tables::Holidays().Table().EmptyTable();
        AddEntry("bob", c.who);
        const std::string file = Incoming(c.sender);
        const int replies = holiday::AutoRespond("<bob@office.example>", "bob", file, c.internal);
        const std::string what = std::string(c.sender) + " who " + std::to_string(c.who);
        EXPECT_EQ(replies, (*c.mailbox || c.queued) ? 1 : 0) << what;
        EXPECT_EQ(Queued().size(), c.queued ? 1u : 0u) << what;
        for (const char* user : {"alice", "carol"})
            EXPECT_EQ(smtp::ListUserFiles(In(), user).size(), std::string(c.mailbox) == user ? 1u : 0u) << what;
        EXPECT_TRUE(platform::FileExists(file));
    }
}

TEST_F(Holiday, ReplyToAnOutsideSenderIsQueuedWithItsRecord) {
    twtest::ChangeSettings([](MailSettings& s) {
        s.footerLines = {"Office footer"};
        s.footerAll = true;
    });
    AddEntry("bob", 0);
    const std::string file = Incoming("someone@outside.example");
    ASSERT_EQ(holiday::AutoRespond("<bob@office.example>", "bob", file, false), 1);
    ASSERT_EQ(Queued(), std::vector<std::string>{"20260314103015250.txt"});
    const std::string id = "20260314103015250";
    EXPECT_EQ(smtp::ReadPortsValue(id, "Rcpt"), "1");
    EXPECT_EQ(smtp::ReadPortsValue(id, "To1"), "<someone@outside.example>");
    EXPECT_EQ(smtp::ReadPortsValue(id, "From"), "<bob@office.example>");
    EXPECT_EQ(Read(Out() + id + ".txt"),
              "Message-ID: <103015250@" + smtp::MessageIdHost() + ">\r\n"
              "From: bob <bob@office.example>\r\n"
              "To: <someone@outside.example>\r\n"
              "Subject: Out of Office AutoReply: Budget meeting\r\n"
              "Date: Sat, 14 Mar 2026 10:30:15 " + smtp::ZoneText(platform::NowLocal().utcOffsetMinutes) + "\r\n"
              "MIME-Version: 1.0\r\n"
              "Content-Type: text/plain; charset=utf-8\r\n"
              "Content-Transfer-Encoding: 7bit\r\n"
              "Auto-Submitted: auto-replied\r\n"
              "\r\n"
              "I am away.\r\n"
              "..hidden dot line\r\n"
              "Back soon.\r\n"
              "\r\n"
              "Office footer\r\n"
              "\r\n"
              ".\r\n");
    // No receiving file is left behind.
    EXPECT_EQ(Files(Out()).size(), 1u);

    // With the footer for internal mail only, outside replies go without it.
    ClearStore();
    AdvanceClock(std::chrono::hours(25));
    twtest::ChangeSettings([](MailSettings& s) { s.footerAll = false; });
    ASSERT_EQ(holiday::AutoRespond("<bob@office.example>", "bob", Incoming("someone@outside.example"), false), 1);
    EXPECT_EQ(Read(Out() + Queued().at(0)).find("Office footer"), std::string::npos);
}

TEST_F(Holiday, SubjectPlaceholderInAnyCase) {
    AddEntry("bob", 0, 0, "Re: [SUBJECT] (away)");
    holiday::AutoRespond("bob@office.example", "bob", Incoming("alice@office.example"), true);
    const auto files = smtp::ListUserFiles(In(), "alice");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(Read(In() + files[0]).find("\r\nSubject: Re: Budget meeting (away)\r\n"), std::string::npos);

    // A lone CR in the incoming subject cannot start a header line of its own.
    platform::DeleteFiles(In(), "*");
    const std::string file =
        Deliver("bob", "080000003", "From: alice@office.example\r\nSubject: a\rBcc: x@y.example\r\n\r\nHi\r\n");
    holiday::AutoRespond("bob@office.example", "bob", file, true);
    const std::string reply = Read(In() + smtp::ListUserFiles(In(), "alice").at(0));
    EXPECT_NE(reply.find("\r\nSubject: Re: a Bcc: x@y.example (away)\r\n"), std::string::npos) << reply;
}

TEST_F(Holiday, AutomaticMailIsNeverAnswered) {
    AddEntry("bob", 0);
    struct Case {
        const char* sender;
        const char* extra;
        bool answered;
    };
    const Case cases[] = {
        {"someone@outside.example", "", true},
        {"someone@outside.example", "Auto-Submitted: no\r\n", true},
        {"someone@outside.example", "Auto-Submitted: auto-replied\r\n", false},
        {"someone@outside.example", "auto-submitted: Auto-Generated\r\n", false},
        {"someone@outside.example", "Precedence: bulk\r\n", false},
        {"someone@outside.example", "Precedence: list\r\n", false},
        {"MAILER-DAEMON@outside.example", "", false},
        {"tarnwick@localhost", "", false},
        {"", "", false},
        {"postmaster@outside.example", "Return-Path: <>\r\n", false},
        {"someone@outside.example", "Return-Path: <someone@outside.example>\r\n", true},
        {"someone@outside.example", "List-Id: Team <team.lists.example>\r\n", false},
        {"someone@outside.example", "X-Autoreply: yes\r\n", false},
        {"someone@outside.example", "Content-Type: multipart/report; report-type=delivery-status;\r\n\tboundary=b\r\n",
         false},
        {"someone@outside.example", "Content-Type:\r\n message/disposition-notification\r\n", false},
        {"someone@outside.example", "content-type: Message/Delivery-Status\r\n", false},
        {"someone@outside.example", "Content-Type: multipart/mixed; boundary=report\r\n", true},
    };
    for (const auto& c : cases) {
        ClearStore();
        AdvanceClock(std::chrono::hours(25));
        const int replies = holiday::AutoRespond("<bob@office.example>", "bob", Incoming(c.sender, c.extra), false);
        EXPECT_EQ(replies, c.answered ? 1 : 0) << c.sender << " " << c.extra;
    }
    // Two responders answering each other: our reply is itself marked, so
    // a copy of it coming back is not answered again.
    ClearStore();
    AdvanceClock(std::chrono::hours(25));
    ASSERT_EQ(holiday::AutoRespond("<bob@office.example>", "bob", Incoming("someone@outside.example"), false), 1);
    const std::string reply = Read(Out() + Queued().at(0));
    const std::string bounced = Deliver("bob", "080000002", reply);
    ClearStore();
    Write(bounced, reply);
    EXPECT_EQ(holiday::AutoRespond("<bob@office.example>", "bob", bounced, false), 0);
}

TEST_F(Holiday, OutsideSenderIsAnsweredOnceADay) {
    AddEntry("bob", 0);
    auto answer = [&](const char* sender, bool internal = false) {
        return holiday::AutoRespond("<bob@office.example>", "bob", Incoming(sender), internal);
    };
    EXPECT_EQ(answer("someone@outside.example"), 1);
    AdvanceClock(std::chrono::hours(23));
    // A responder that marks nothing would answer our reply; the exchange
    // stops here.
    EXPECT_EQ(answer("Someone@Outside.example"), 0);
    EXPECT_EQ(answer("other@outside.example"), 1);
    // Colleagues are answered every time: their replies cannot loop.
    EXPECT_EQ(answer("alice@office.example", true), 1);
    EXPECT_EQ(answer("alice@office.example", true), 1);
    AdvanceClock(std::chrono::hours(2));
    EXPECT_EQ(answer("someone@outside.example"), 1);
    EXPECT_EQ(Queued().size(), 3u);
}

// The once-a-day guard belongs to each entry: a user's second entry still
// answers the sender the first one has just answered.
TEST_F(Holiday, EveryEntryOfAUserAnswersAnOutsideSender) {
    AddEntry("bob", 0, 0, "Away: [Subject]", "On leave.");
    AddEntry("bob", 2, 0, "Urgent matters", "Call the office.");
    EXPECT_EQ(holiday::AutoRespond("<bob@office.example>", "bob", Incoming("someone@outside.example"), false), 2);
    std::set<std::string> subjects;
    for (const auto& name : Queued()) {
        const std::string text = Read(Out() + name);
        subjects.insert(text.substr(text.find("Subject: ") + 9, text.find("\r\n", text.find("Subject: ")) -
                                                                     text.find("Subject: ") - 9));
    }
    EXPECT_EQ(subjects, (std::set<std::string>{"Away: Budget meeting", "Urgent matters"}));
    // Within the day, neither entry answers that sender again.
    AdvanceClock(std::chrono::hours(1));
    EXPECT_EQ(holiday::AutoRespond("<bob@office.example>", "bob", Incoming("someone@outside.example"), false), 0);
    EXPECT_EQ(Queued().size(), 2u);
}

TEST_F(Holiday, ReplyAndForwardOfOneDeliveryGetTheirOwnIds) {
    AddEntry("bob", 0);
    TvdlMemTable& fw = tables::Forwards().Table();
    fw.Append();
    fw.FieldByName("User").SetAsString("bob");
    fw.FieldByName("IsLocal").SetAsBoolean(false);
    fw.FieldByName("ForwardTo").SetAsString("bob@home.example");
    fw.FieldByName("Copy").SetAsString("Yes");
    fw.Post();
    const std::string file = Incoming("someone@outside.example");
    // The clock stands still: both are made in the same millisecond.
    ASSERT_EQ(holiday::AutoRespond("<bob@office.example>", "bob", file, false), 1);
    ASSERT_EQ(forward::ForwardMessage("bob", file), 1);
    const auto queued = Queued();
    ASSERT_EQ(queued.size(), 2u);
    const std::string a = queued[0].substr(0, queued[0].size() - 4), b = queued[1].substr(0, queued[1].size() - 4);
    EXPECT_NE(a, b);
    std::set<std::string> recipients = {smtp::ReadPortsValue(a, "To1"), smtp::ReadPortsValue(b, "To1")};
    EXPECT_EQ(recipients, (std::set<std::string>{"<someone@outside.example>", "<bob@home.example>"}));
}

TEST_F(Holiday, ExpiryRemovesEntriesWhoseDayHasCome) {
    const TDateTime today = memtable::EncodeDate(2026, 3, 14);
    AddEntry("alice", 1, today);
    AddEntry("bob", 0, today + 1);
    AddEntry("carol", 2, today - 5);
    AddEntry("bob", 0);  // no end date
    holiday::CheckExpiry();
    std::vector<std::string> left;
    tablefiles::ForEach(tables::Holidays().Table(), [&] {
        left.push_back(tables::Holidays().Table().FieldByName("User").AsString());
    });
    EXPECT_EQ(left, (std::vector<std::string>{"bob", "bob"}));
    // The saved file holds the same.
    TvdlMemTable saved;
    saved.LoadFromBinaryFile(Dir() + "holiday.dat");
    EXPECT_EQ(saved.RecordCount(), 2);

    const auto alice = smtp::ListUserFiles(In(), "alice");
    ASSERT_EQ(alice.size(), 1u);
    EXPECT_NE(Read(In() + alice[0]).find("\r\nDear alice\r\n\r\nYour Auto-responding for any internal incoming email "
                                         "has just been removed - if you were on holiday then welcome home!\r\n"),
              std::string::npos);
    EXPECT_EQ(smtp::ListUserFiles(In(), "carol").size(), 1u);
    EXPECT_TRUE(smtp::ListUserFiles(In(), "bob").empty());
}

TEST_F(Holiday, SetOnNoticeNamesTheEndDate) {
    holiday::NotifyUser(true, "bob", "Gone fishing", memtable::EncodeDate(2026, 4, 2), 2);
    const auto files = smtp::ListUserFiles(In(), "bob");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(Read(In() + files[0]),
              "Message-ID: <103015250@" + smtp::MessageIdHost() + ">\r\n"
              "From: \"Tarnwick\" <tarnwick@localhost>\r\n"
              "To: \"bob\" <bob@localhost>\r\n"
              "Subject: Tarnwick auto-respond\r\n"
              "Date: Sat, 14 Mar 2026 10:30:15 " + smtp::ZoneText(platform::NowLocal().utcOffsetMinutes) + "\r\n"
              "MIME-Version: 1.0\r\n"
              "Content-Type: text/plain; charset=utf-8\r\n"
              "Content-Transfer-Encoding: 7bit\r\n"
              "\r\n"
              "Dear bob\r\n"
              "\r\n"
              "Your Auto-responding is set on for any external incoming email. \r\n"
              "It will run until 02 Apr 2026. \r\n"
              "The Auto-repsond message is as follows:\r\n"
              "\r\n"
              "Gone fishing\r\n"
              "\r\n"
              "########## Do not reply to this message ##########\r\n"
              "\r\n"
              ".\r\n");
    // No end date: no "run until" line.
    holiday::NotifyUser(true, "carol", "x", 0, 0);
    EXPECT_EQ(Read(In() + smtp::ListUserFiles(In(), "carol").at(0)).find("It will run until"), std::string::npos);
}

// Replies and notices as a mail reader sees them: one end marker, no
// defects, and the user's texts back line for line, dots included.
TEST_F(Holiday, RepliesAndNoticesParseAsMail) {
    Write(Dir() + "parse.py",
          "import email, email.policy, sys\n"
          "raw = open(sys.argv[1], 'rb').read()\n"
          "assert raw.endswith(b'\\r\\n.\\r\\n') and raw.count(b'\\r\\n.\\r\\n') == 1, 'end marker'\n"
          "data = raw[:-3].replace(b'\\r\\n..', b'\\r\\n.')\n"
          "m = email.message_from_bytes(data)\n"
          "d = email.message_from_bytes(data, policy=email.policy.default)\n"
          "bad = list(m.defects) + list(d.defects)\n"
          "for k, v in d.items():\n"
          "    if k.lower() != 'message-id': bad += list(getattr(v, 'defects', []))\n"
          "print('ok' if not bad else 'defects %r' % bad)\n"
          "print(d['subject'])\n"
          "sys.stdout.write(d.get_content().replace('\\r\\n', '\\n'))\n");
    auto parse = [&](const std::string& file) {
        return Shell("/usr/bin/python3 " + Dir() + "parse.py " + file + " 2>&1");
    };

    twtest::ChangeSettings([](MailSettings& s) {
        s.footerLines = {"Office footer", ".sig"};
        s.footerAll = true;
    });
    AddEntry("bob", 0, 0, "Away: [Subject]", "I am away.\n.\rBack soon.");
    const std::string reply =
        "ok\nAway: Budget meeting\nI am away.\n.\nBack soon.\n\nOffice footer\n.sig\n\n";
    ASSERT_EQ(holiday::AutoRespond("<bob@office.example>", "bob", Incoming("someone@outside.example"), false), 1);
    EXPECT_EQ(parse(Out() + Queued().at(0)), reply);
    ASSERT_EQ(holiday::AutoRespond("<bob@office.example>", "bob", Incoming("alice@office.example"), true), 1);
    EXPECT_EQ(parse(In() + smtp::ListUserFiles(In(), "alice").at(0)), reply);

    // An entry's subject beyond ASCII around an encoded incoming subject:
    // the reply's subject is encoded once, whole.
    AddEntry("erin", 0, 0, "Abwesend \xe2\x80\x93 [Subject]", "Bin weg.");
    const std::string encoded =
        Deliver("erin", "080000002",
                "From: carol@office.example\r\nSubject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\r\n\r\nHi\r\n.\r\n");
    ASSERT_EQ(holiday::AutoRespond("<erin@office.example>", "erin", encoded, true), 1);
    EXPECT_EQ(parse(In() + smtp::ListUserFiles(In(), "carol").at(0)),
              "ok\nAbwesend \xe2\x80\x93 Gr\xc3\xbc\xc3\x9f" "e\nBin weg.\n\nOffice footer\n.sig\n\n");
    std::remove((In() + smtp::ListUserFiles(In(), "carol").at(0)).c_str());

    holiday::NotifyUser(true, "carol", ".\nGone", 0, 1);
    EXPECT_EQ(parse(In() + smtp::ListUserFiles(In(), "carol").at(0)),
              "ok\nTarnwick auto-respond\nDear carol\n\n"
              "Your Auto-responding is set on for any internal incoming email. \n"
              "The Auto-repsond message is as follows:\n\n.\nGone\n\n"
              "########## Do not reply to this message ##########\n\n");
    holiday::NotifyUser(false, "dave", "", 0, 0);
    EXPECT_EQ(parse(In() + smtp::ListUserFiles(In(), "dave").at(0)),
              "ok\nTarnwick auto-respond\nDear dave\n\n"
              "Your Auto-responding for any incoming email has just been removed - if you were on holiday then "
              "welcome home!\n\n"
              "########## Do not reply to this message ##########\n\n");
}

TEST_F(Holiday, TableLayoutAndUpgrade) {
    // An existing file that could not be read is never replaced by an empty one.
    Write(Dir() + "holiday.dat", "damaged");
    TvdlMemTable fresh;
    holiday::DefineHolidayFields(fresh);
    EXPECT_EQ(Read(Dir() + "holiday.dat"), "damaged");
    EXPECT_NE(fresh.FindField("Subject"), nullptr);
    std::remove((Dir() + "holiday.dat").c_str());
    holiday::DefineHolidayFields(fresh);
    EXPECT_TRUE(platform::FileExists(Dir() + "holiday.dat"));

    // The older layout without Subject keeps its rows and gets the subject.
    TvdlMemTable old;
    tablefiles::Define(old,
                       {{"User", ftString, 64}, {"EndDate", ftDate, 0}, {"Message", ftMemo, 240}, {"Who", ftInteger, 0}},
                       "ixUser", "User", ixPrimary | ixCaseInsensitive);
    old.Append();
    old.FieldByName("User").SetAsString("bob");
    old.FieldByName("Message").SetAsString("Away");
    old.FieldByName("Who").SetAsInteger(1);
    old.Post();
    old.SaveToBinaryFile(Dir() + "holiday.dat");
    holiday::UpgradeHolidayTable(old);
    TvdlMemTable saved;
    saved.LoadFromBinaryFile(Dir() + "holiday.dat");
    ASSERT_EQ(saved.RecordCount(), 1);
    saved.First();
    EXPECT_EQ(saved.FieldByName("Subject").AsString(), "Out of Office AutoReply: [Subject]");
    EXPECT_EQ(saved.FieldByName("Message").AsString(), "Away");
    EXPECT_EQ(saved.FieldByName("Who").AsInteger(), 1);
    EXPECT_FALSE(platform::FileExists(Dir() + "holiday.old"));
}

}  // namespace
