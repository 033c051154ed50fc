// Message browser: the preview of the selected message. A message is
// hostile input: its HTML is shown without scripts, and the view loads
// nothing from anywhere (no pictures, no style sheets, no local files), so
// opening a message never tells a sender that it was read.
#include "browser/details.h"
#include "browser/details_internal.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QStringDecoder>
#include <QTabWidget>

#include <exception>

#include "codecs/details.h"
#include "codecs/qev_util.h"
#include "codecs/qevmsg.h"
#include "platform/files.h"
#include "platform/shell.h"

using namespace details::internal;

namespace {

// Message text is bytes in whatever character set the sender used; UTF-8
// when it is valid as such, else Latin-1 (the MIME library's default set).
QString ToText(const std::string& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (!utf8.hasError()) return text;
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QString HtmlToText(const std::string& html) {
    const QByteArrayView data(html.data(), static_cast<qsizetype>(html.size()));
    QStringDecoder decoder = QStringDecoder::decoderForHtml(data);
    if (decoder.isValid()) {
        QString text = decoder(data);
        if (!decoder.hasError()) return text;
    }
    return ToText(html);
}

QString JoinText(const std::vector<std::string>& lines, std::size_t from = 0) {
    QStringList out;
    for (std::size_t i = from; i < lines.size(); ++i) out << ToText(lines[i]);
    return out.join('\n');
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

namespace details {

std::string SafeHtml(const std::string& html) {
    std::string out;
    out.reserve(html.size());
    const std::string lower = qev_util::LowerCase(html);
    std::size_t pos = 0;
    for (;;) {
        std::size_t open = lower.find("<script", pos);
        // "<scripts>" or "<scriptx" is not a script element.
        while (open != std::string::npos && open + 7 < lower.size()) {
            const char next = lower[open + 7];
            if (next == '>' || next == '/' || next == ' ' || next == '\t' || next == '\r' || next == '\n') break;
            open = lower.find("<script", open + 7);
        }
        if (open == std::string::npos) break;
        out.append(html, pos, open - pos);
        const std::size_t close = lower.find("</script", open + 7);
        if (close == std::string::npos) return out;  // an unclosed script runs to the end
        const std::size_t end = lower.find('>', close);
        if (end == std::string::npos) return out;
        pos = end + 1;
    }
    out.append(html, pos, std::string::npos);
    return out;
}

}  // namespace details

// ---------------------------------------------------------------------------
// The HTML view
// ---------------------------------------------------------------------------

TMessageViewer::TMessageViewer(QWidget* parent) : QTextBrowser(parent) {
    setReadOnly(true);
    setOpenLinks(false);
    setOpenExternalLinks(false);
}

QVariant TMessageViewer::loadResource(int, const QUrl&) {
    ++refused_;
    // An empty value, not a null one: on a null value the document would
    // go and read local files (and data: URLs) itself.
    return QVariant(QByteArray());
}

// ---------------------------------------------------------------------------
// Preview
// ---------------------------------------------------------------------------

void TFrmDetails::ClearPreview() {
    Memo1->clear();
    MemHeaders->clear();
    Memo2->clear();
    Viewer->clear();
    Viewer->hide();
    Memo1->show();
    LblSubj->setText("Subject:");
    LblFrom->setText("From:");
}

void TFrmDetails::PreviewMessage(const std::string& path) {
    ClearPreview();
    if (path.empty() || !platform::FileExists(path)) return;

    TQevMsg msg;
    msg.CharSet = "ISO-8859-1";
    try {
        std::string text;
        if (!details::LoadStoredMessage(path, text)) return;
        msg.SetRawMailText(text);
        msg.ParseRawMail();
    } catch (const std::exception&) {
        return;  // unreadable meanwhile: the preview stays empty
    }

    const bool html =
        !msg.Attachments.Empty() && EndsWith(qev_util::LowerCase(msg.Attachments[0].FileName), ".html");
    if (html) {
        Viewer->setHtml(HtmlToText(details::SafeHtml(msg.Attachments[0].GetBody())));
        Memo1->hide();
        Viewer->show();
        Viewer->raise();
    } else {
        Memo1->setPlainText(JoinText(msg.Text));
    }
    MemHeaders->setPlainText(JoinText(msg.Headers));
    LblSubj->setText("Subject: " + ToText(msg.Subject));
    LblFrom->setText("From: " + ToText(msg.From));

    std::vector<std::string> names;
    for (std::size_t i = html ? 1 : 0; i < msg.Attachments.Count(); ++i)
        names.push_back(msg.Attachments[i].FileName);
    Memo2->setPlainText(JoinText(names));
}

void TFrmDetails::ViewerHotSpotClick(const std::string& url, bool& handled) {
    handled = true;
    const std::string lower = qev_util::LowerCase(url);
    // Web and mail links go to the desktop's programs; anything else
    // (javascript:, file:, relative names) is ignored.
    if (StartsWith(lower, "http:") || StartsWith(lower, "https:") || StartsWith(lower, "mailto:"))
        platform::OpenUrl(url);
}
