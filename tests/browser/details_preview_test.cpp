// Message preview: what the panel shows for plain and HTML messages, that
// HTML never runs scripts or loads anything, and which links are opened.
#include "browser/details.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QTcpServer>
#include <QTextDocument>
#include <QTreeWidget>

#include "browser_env.h"

namespace {

using browsertest::Message;

const char kHtmlMessage[] =
    "From: \"Ann\" <ann@example.org>\r\n"
    "To: anna@office\r\n"
    "Subject: Pictures\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
    "\r\n"
    "--b1\r\n"
    "Content-Type: text/html; charset=utf-8\r\n"
    "\r\n"
    "<html><body><p>Visible text</p>\r\n"
    "<SCRIPT type=\"text/javascript\">document.write('scripted')</SCRIPT>\r\n"
    "<script>alert('again')</script >\r\n"
    "<img src=\"http://127.0.0.1:%PORT%/track.png\">\r\n"
    "<img src=\"file://%FILE%\">\r\n"
    "<a href=\"http://example.org/\">link</a></body></html>\r\n"
    "--b1\r\n"
    "Content-Type: application/pdf; name=\"report.pdf\"\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "JVBERi0=\r\n"
    "--b1--\r\n"
    ".\r\n";

class DetailsPreview : public browsertest::BrowserEnv {
protected:
    void SetUp() override {
        BrowserEnv::SetUp();
        form = std::make_unique<TFrmDetails>();
        platform::SetHeadlessLogHook([this](const std::string& line) { logged.push_back(line); });
    }
    void TearDown() override {
        platform::SetHeadlessLogHook({});
        form.reset();
        BrowserEnv::TearDown();
    }
    std::string Text(QPlainTextEdit* memo) const { return memo->toPlainText().toStdString(); }
    std::unique_ptr<TFrmDetails> form;
    std::vector<std::string> logged;
};

TEST_F(DetailsPreview, PlainMessageFillsTheTextMemo) {
    const std::string path = Put("in/anna_1.dat",
                                 "From: Bob <bob@x>\r\nTo: anna\r\nSubject: Lunch\r\n\r\nAt noon?\r\n..dotted\r\n.\r\n");
    form->PreviewMessage(path);
    EXPECT_EQ(Text(form->Memo1), "At noon?\n.dotted");
    EXPECT_FALSE(form->Viewer->isVisibleTo(form.get()));
    EXPECT_EQ(Text(form->MemHeaders), "From: Bob <bob@x>\nTo: anna\nSubject: Lunch");
    EXPECT_EQ(form->LblSubj->text().toStdString(), "Subject: Lunch");
    EXPECT_EQ(form->LblFrom->text().toStdString().rfind("From: ", 0), 0u);
    EXPECT_NE(form->LblFrom->text().toStdString().find("bob@x"), std::string::npos);
    EXPECT_EQ(Text(form->Memo2), "");
}

TEST_F(DetailsPreview, HtmlMessageShowsTheViewWithoutScriptsOrPictures) {
    QTcpServer tracker;
    ASSERT_TRUE(tracker.listen(QHostAddress::LocalHost, 0));
    const std::string picture = Put("picture.png", "\x89PNG\r\n\x1a\n not really");
    std::string text = kHtmlMessage;
    text.replace(text.find("%PORT%"), 6, std::to_string(tracker.serverPort()));
    text.replace(text.find("%FILE%"), 6, picture);
    const std::string path = Put("in/anna_2.dat", text);

    form->PreviewMessage(path);
    // Laying the document out is what asks for its pictures.
    form->Viewer->document()->setTextWidth(400);
    form->Viewer->document()->size();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    EXPECT_TRUE(form->Viewer->isVisibleTo(form.get()));
    EXPECT_FALSE(form->Memo1->isVisibleTo(form.get()));
    const std::string shown = form->Viewer->toPlainText().toStdString();
    EXPECT_NE(shown.find("Visible text"), std::string::npos);
    const std::string html = form->Viewer->toHtml().toStdString();
    for (const char* gone : {"scripted", "alert", "document.write"})
        EXPECT_EQ(html.find(gone), std::string::npos) << gone;
    // Only the real attachment is listed; the first part is the HTML body.
    EXPECT_EQ(Text(form->Memo2), "report.pdf");
    // Nothing was fetched: not the tracker, not the local file.
    EXPECT_GT(form->Viewer->RefusedResources(), 0);
    EXPECT_FALSE(tracker.hasPendingConnections());
    const QUrl local = QUrl::fromLocalFile(QString::fromStdString(picture));
    EXPECT_TRUE(form->Viewer->document()->resource(QTextDocument::ImageResource, local).toByteArray().isEmpty());
}

TEST_F(DetailsPreview, MissingFileShowsAnEmptyPreview) {
    const std::string path = Put("in/anna_1.dat", Message("bob@x", "anna", "Lunch", "At noon?"));
    form->PreviewMessage(path);
    ASSERT_FALSE(Text(form->Memo1).empty());
    std::remove(path.c_str());
    form->PreviewMessage(path);
    EXPECT_EQ(Text(form->Memo1), "");
    EXPECT_EQ(Text(form->MemHeaders), "");
    EXPECT_EQ(Text(form->Memo2), "");
    EXPECT_EQ(form->LblSubj->text().toStdString(), "Subject:");
    EXPECT_EQ(form->LblFrom->text().toStdString(), "From:");
}

TEST_F(DetailsPreview, SelectingARowPreviewsIt) {
    Put("in/anna_1.dat", Message("bob@x", "anna", "First", "one"), std::chrono::minutes(5));
    Put("in/anna_2.dat", Message("bob@x", "anna", "Second", "two"));
    form->FillMessageList(details::ModeInbox, "anna");
    form->ListView1->setCurrentItem(form->Row(1));
    EXPECT_EQ(form->LblSubj->text().toStdString(), "Subject: First");
    form->ListView1->setCurrentItem(form->Row(0));
    EXPECT_EQ(form->LblSubj->text().toStdString(), "Subject: Second");
}

TEST_F(DetailsPreview, OnlyWebAndMailLinksAreOpened) {
    struct Case {
        const char* url;
        bool opened;
    } cases[] = {
        {"http://example.org/", true},   {"HTTP://EXAMPLE.ORG/", true}, {"https://example.org/", true},
        {"mailto:bob@example.org", true}, {"javascript:alert(1)", false}, {"file:///etc/passwd", false},
        {"/etc/passwd", false},          {"", false},
    };
    for (const Case& c : cases) {
        logged.clear();
        bool handled = false;
        form->ViewerHotSpotClick(c.url, handled);
        EXPECT_TRUE(handled) << c.url;
        EXPECT_EQ(logged.size(), c.opened ? 1u : 0u) << c.url;
        if (c.opened && !logged.empty()) {
            EXPECT_NE(logged[0].find(c.url), std::string::npos);
        }
    }
}

TEST(DetailsSafeHtml, RemovesScriptElementsOnly) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"<p>a</p><script>x()</script><p>b</p>", "<p>a</p><p>b</p>"},
        {"a<ScRiPt src='http://x/y.js'></sCrIpT>b", "ab"},
        {"a<script\n type=x>1</script\n>b<script>2</script>c", "abc"},
        {"a<script>never closed", "a"},
        {"<scripts>kept</scripts><scriptx>", "<scripts>kept</scripts><scriptx>"},
        {"no markup", "no markup"},
    };
    for (const Case& c : cases) EXPECT_EQ(details::SafeHtml(c.in), c.out) << c.in;
}

}  // namespace
