// Pages of the web server that need no login: the status page, the spam
// frameset and list with its actions, the safe-address upload, and the
// log text of the administration page.
#include "codecs/details.h"
#include "codecs/qev_util.h"
#include "filters/holiday.h"
#include "filters/spam.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/files.h"
#include "transport/events.h"
#include "transport/globals.h"
#include "transport/logfile.h"
#include "transport/mail_settings.h"
#include "transport/servers.h"
#include "transport/smtp.h"
#include "transport/store.h"
#include "web/http.h"
#include "web/webmail.h"

#include <exception>
#include <unistd.h>

namespace webmail {
std::string FileDayMonth(const std::string& path);
std::string FileHourMinute(const std::string& path);
std::vector<std::string> SortedByDate(const std::vector<std::string>& paths);
}  // namespace webmail

namespace http {

namespace {

using platform::TwoDigits;

// Addresses from the web are single senders: a wildcard ("*@domain") would
// let a whole domain past the filter.
void AddSafeAddress(const std::string& address) {
    if (address.find('*') != std::string::npos) return;
    spam::AddSpamAddress(spam::SafeSender, address);
}

// The sender address of a message file, from its From field as written:
// the shown text has lost the quotes that keep a "<" in a name from being
// the address.
std::string SenderAddress(const std::string& path) {
    return qev_util::HeaderAddress(holiday::GetHeaderValue(path, "from:", true));
}

void Recount() {
    if (FrmServers != nullptr) FrmServers->RefreshMailCounts(false);
}

// Moves a held message to Deleted (the source stays when the copy fails)
// and counts it.
void DeleteSpam(const std::string& path) {
    const std::string name = path.substr(path.find_last_of('/') + 1);
    if (platform::FileExists(path) && smtp::CopyFileKeepDate(path, smtp::StoreFolder(smtp::FolderDeleted) + name))
        platform::Env::Current()->Unlink(path);
    spam::IncSpamStat("SpamDeleted");
}

}  // namespace

std::string StatusPage() {
    const events::WindowView view = events::Get().View();
    const bool running = view.present && !view.sendReceiveEnabled;
    std::string p = PageHead("Tarnwick", true,
                             running && !view.settingsOpen ? "<META http-equiv=\"refresh\" content=\"2; URL=/\">\r\n" : "");
    p += "<BODY>\r\n<FORM method=\"post\" action=\"/\">\r\n";
    p += "<TABLE width=\"500\" border=\"1\" cellpadding=\"4\" cellspacing=\"0\">\r\n";
    const std::string caption = view.present ? HtmlEscape(view.caption) : "Tarnwick";
    p += "<TR><TD colspan=\"2\" bgcolor=\"#000080\"><FONT color=\"#FFFFFF\"><B>" + caption + " on " +
         HtmlEscape(procs::GetComputerName()) + "</B></FONT></TD></TR>\r\n";
    p += "<TR><TD colspan=\"2\" bgcolor=\"#CCCCCC\"><A href=\"/\">Refresh</A> | <A href=\"/webmail\">Webmail</A> | "
         "<A href=\"/settings\">Settings</A></TD></TR>\r\n";
    p += "<TR><TD rowspan=\"2\" valign=\"top\">Inbox:<BR>Last Check: " + HtmlEscape(view.lastCollection) +
         "<BR><BR>\r\n";
    if (view.mailboxes.empty()) {
        p += "No messages<BR>\r\n";
    } else {
        for (const auto& [user, count] : view.mailboxes) {
            p += "<A href=\"/webmail?user=" + HtmlEscape(UrlEncode(user)) + "\">" + HtmlEscape(user) + ": " +
                 HtmlEscape(count) + "</A><BR>\r\n";
        }
    }
    p += "<BR>Spam: <A href=\"spam\">" + HtmlEscape(view.possibleSpam) + ", " + HtmlEscape(view.probableSpam) +
         "</A></TD>\r\n";
    p += "<TD valign=\"top\">Outbox:<BR>Msgs to send: " + HtmlEscape(view.outbox) +
         "<BR>Last delivery: " + HtmlEscape(view.lastDelivery) + "</TD></TR>\r\n";
    p += "<TR><TD valign=\"top\">Connection:<BR>Last connection: " + HtmlEscape(view.lastConnection) +
         "<BR>Next connection: " + HtmlEscape(view.nextConnection) + "<BR><BR><CENTER>";
    const bool allowed = mailsettings::Current()->allowSendRec;
    if (view.sendReceiveEnabled && allowed)
        p += "<INPUT type=\"button\" value=\"Send/Recv now\" onClick=\"window.location='/send'\">";
    else
        p += "<INPUT type=\"submit\" name=\"btnSendRec\" value=\"Send/Recv now\" disabled>";
    p += "</CENTER></TD></TR>\r\n";
    auto now = platform::NowLocal();
    p += "<TR><TD>" + HtmlEscape(view.status) + "</TD><TD align=\"right\">" + TwoDigits(now.hour) +
         ":" + TwoDigits(now.minute) + ":" + TwoDigits(now.second) + "</TD></TR>\r\n";
    p += "</TABLE></FORM>\r\n";
    p += PageEnd;
    return p;
}

std::string SpamFrameset() {
    int preview = CurrentSpamPageSettings().preview;
    return "<HTML><HEAD><TITLE>Tarnwick - Spam</TITLE></HEAD>\r\n<FRAMESET rows=\"" + std::to_string(100 - preview) +
           "%," + std::to_string(preview) +
           "%\" frameborder=\"1\" border=\"1\" framespacing=\"2\">\r\n"
           "<FRAME name=\"topFrame\" src=\"/spamlist\" scrolling=\"yes\" noresize>\r\n"
           "<FRAME name=\"bottomFrame\" src=\"\" scrolling=\"yes\" noresize>\r\n"
           "</FRAMESET>\r\n<NOFRAMES><BODY>You need a frames capable browser</BODY></NOFRAMES></HTML>";
}

std::string SpamKeyPath(const std::string& key) {
    std::size_t sep = key.find_first_of("\\/");
    if (sep == std::string::npos) return std::string();
    const std::string folder = qev_util::LowerCase(key.substr(0, sep));
    const std::string name = key.substr(sep + 1);
    if ((folder != "spam1" && folder != "spam2") || !IsPlainName(name)) return std::string();
    return platform::ResolveNoCase(smtp::StoreFolder(folder == "spam1" ? smtp::FolderSpam1 : smtp::FolderSpam2),
                                   name + ".dat");
}

void SpamListActions(const Params& request) {
    if (const std::string path = SpamKeyPath(request.Get("DeleteFile"));
        !path.empty() && platform::FileExists(path)) {
        DeleteSpam(path);
        Recount();
    }
    if (const std::string path = SpamKeyPath(request.Get("SaveFile"));
        !path.empty() && platform::FileExists(path)) {
        // The safe sender is the released message's own: a link's FromAdd
        // could name anyone, or a whole domain.
        const std::string from = SenderAddress(path);
        spam::ReleaseSpam(path);
        if (!from.empty()) AddSafeAddress(from);
    }
    int taken = 0;
    for (int n = 0; n <= kMaxSpamTicks; ++n) {
        const std::string key = request.Get("Spam" + std::to_string(n));
        if (key.empty()) break;
        ++taken;
        // Only held spam can be deleted from here, whatever a request names.
        if (const std::string path = SpamKeyPath(key); !path.empty()) DeleteSpam(path);
    }
    if (taken > 0) Recount();
}

std::string SpamRows(const std::string& Folder, int& Count, int Limit, bool oneLine) {
    const std::string folder = smtp::StoreFolder(Folder);
    std::vector<std::string> paths;
    for (const auto& f : smtp::ListFiles(folder, ".dat")) paths.push_back(folder + f);
    const std::vector<std::string> sorted = webmail::SortedByDate(paths);
    const bool probable = qev_util::LowerCase(Folder) == "spam2";
    std::string rows;
    for (int pos = static_cast<int>(sorted.size()) - 1; pos >= 0 && Count < Limit; --pos) {
        const std::string& path = sorted[pos];
        if (!platform::FileExists(path)) continue;
        const char* colour = probable ? (pos % 2 == 0 ? "#FF9999" : "#FFCCCC") : (pos % 2 == 0 ? "#99BBCC" : "#99CCCC");
        std::string from, to, subject, date;
        int attCount = -1;
        std::vector<std::string> names;
        try {
            details::ReadMessageHeaders(path, from, to, subject, date, attCount, names);
        } catch (const std::exception&) {
            continue;
        }
        const std::string file = path.substr(path.find_last_of('/') + 1);
        const std::string base = file.substr(0, file.size() - 4);
        const std::string key = Folder + "\\" + base;
        const std::string recipient = base.substr(0, base.find('_'));
        const std::string address = SenderAddress(path);
        const std::string eFrom = HtmlEscape(from), eTo = HtmlEscape(to);
        std::string eSubject = HtmlEscape(subject);
        if (eSubject.empty()) eSubject = "&lt;no subject&gt;";
        std::string shownFrom = eFrom;
        if (oneLine) {
            std::size_t lt = eFrom.find("&lt;");
            if (lt != std::string::npos && lt > 3) shownFrom = eFrom.substr(0, lt);
        }
        const std::string action =
            "<A href=\"spamlist?SaveFile=" + HtmlEscape(UrlEncode(key)) + "&FromAdd=" + HtmlEscape(UrlEncode(address)) +
            "\"" + HintAttributes("Put message into " + recipient + "'s inbox and add <" + address + "> to safe list") +
            ">Save</A> <A href=\"spamlist?DeleteFile=" + HtmlEscape(UrlEncode(key)) + "\"" +
            HintAttributes("Delete if spam!") + ">Delete</A>";
        const std::string subjectLink = "<B><A href=\"/showmail?dir=" + HtmlEscape(UrlEncode(Folder)) + "&email=" +
                                        HtmlEscape(UrlEncode(base)) +
                                        "\" target=\"bottomFrame\" onClick=\"showEmail(this,'" + colour + "')\"" +
                                        HintAttributes("Click to view message in lower pane") + ">" + eSubject +
                                        "</A></B>";
        rows += "<TR><TD colspan=\"4\" bgcolor=\"#FFFFFF\" height=\"1\"></TD></TR>\r\n";
        if (oneLine) {
            rows += std::string("<TR bgcolor=\"") + colour + "\"><TD>" + action + "</TD><TD>" + subjectLink +
                    "</TD><TD><B>" + shownFrom + "</B></TD><TD>" + webmail::FileDayMonth(path) + "</TD></TR>\r\n";
        } else {
            rows += std::string("<TR bgcolor=\"") + colour + "\"><TD rowspan=\"2\">" + action + "</TD><TD><B>" +
                    shownFrom + "</B></TD><TD>" + HtmlEscape(recipient) + "</TD><TD>" + webmail::FileDayMonth(path) +
                    "</TD></TR>\r\n";
            rows += std::string("<TR bgcolor=\"") + colour + "\"><TD colspan=\"2\">" + subjectLink + "</TD><TD>" +
                    webmail::FileHourMinute(path) + " </TD></TR>\r\n";
        }
        rows += "<INPUT type=\"hidden\" name=\"Spam" + std::to_string(Count) + "\" value=\"" + HtmlEscape(key) +
                "\">\r\n";
        ++Count;
    }
    return rows;
}

std::string SpamListPage() {
    const SpamPageSettings s = CurrentSpamPageSettings();
    const int limit = s.limited ? s.limit : 99999999;
    const int possible = spam::HeldSpamCount(smtp::FolderSpam1), probable = spam::HeldSpamCount(smtp::FolderSpam2);
    const int total = possible + probable;
    const std::string script =
        "<SCRIPT language=\"JavaScript\">\r\nvar lastRow = null; var lastColour = '';\r\n"
        "function showEmail(link, colour) {\r\n"
        "  var row = link.parentNode.parentNode.parentNode;\r\n"
        "  if (lastRow) { lastRow.style.backgroundColor = lastColour;\r\n"
        "    var p = lastRow.previousSibling; while (p && p.nodeType != 1) p = p.previousSibling;\r\n"
        "    if (p) p.style.backgroundColor = lastColour; }\r\n"
        "  row.style.backgroundColor = '#BCF0BC';\r\n"
        "  var q = row.previousSibling; while (q && q.nodeType != 1) q = q.previousSibling;\r\n"
        "  if (q) q.style.backgroundColor = '#BCF0BC';\r\n"
        "  lastRow = row; lastColour = colour; return true;\r\n}\r\n</SCRIPT>\r\n";
    std::string p = PageHead("Tarnwick - Spam", false, script);
    p += "<BODY onLoad=\"parent.bottomFrame.location='/empty'\">\r\n<FORM name=\"form1\" method=\"post\" action=\"spamlist\">\r\n";
    p += "<TABLE width=\"100%\" border=\"0\" cellpadding=\"2\" cellspacing=\"0\">\r\n<TR bgcolor=\"#CCCCCC\"><TD colspan=\"2\">";
    p += "<A href=\"/\" target=\"_top\"" + HintAttributes("Back to Tarnwick page") + ">Back to main page</A> | ";
    p += "<A href=\"spamlist\"" + HintAttributes("Refresh spam list") + ">Refresh list</A></TD><TD colspan=\"2\" align=\"right\">";
    if (total == 1)
        p += "<A href=\"javascript:document.form1.submit()\">Delete message</A>";
    else if (total == 2)
        p += "<A href=\"javascript:document.form1.submit()\"" + HintAttributes("Delete both messages") + ">Delete both</A>";
    else if (total > 2) {
        const std::string n = std::to_string(std::min(total, limit));
        p += "<A href=\"javascript:document.form1.submit()\"" + HintAttributes("Delete all " + n + " messages") +
             ">Delete all " + n + "</A>";
    }
    p += "</TD></TR>\r\n";
    std::string title;
    if (total > limit)
        title = "Spam list: showing 1-" + std::to_string(limit) + " of " + std::to_string(total);
    else
        // The counters' own wording, from the folders as they are now: the
        // main window's labels are only as fresh as its last recount.
        title = "Spam list: " + std::to_string(possible) + " possible, " + std::to_string(probable) + " probable";
    p += "<TR><TD colspan=\"4\" bgcolor=\"#000080\"><FONT color=\"#FFFFFF\"><B>" + title + "</B></FONT></TD></TR>\r\n";
    p += s.oneLine ? "<TR><TD>Action</TD><TD>Subject</TD><TD>From</TD><TD>Rec'd</TD></TR>\r\n"
                   : "<TR><TD>Action</TD><TD>From/Subject</TD><TD>To</TD><TD>Rec'd</TD></TR>\r\n";
    int count = 0;
    p += SpamRows(smtp::FolderSpam1, count, limit, s.oneLine);
    p += SpamRows(smtp::FolderSpam2, count, limit, s.oneLine);
    if (total == 0) p += "<TR><TD colspan=\"4\">No spam messages to display</TD></TR>\r\n";
    p += "</TABLE></FORM>\r\n";
    if (s.bookmark) {
        const std::string address = mailsettings::Current()->browserAddress + "/spam";
        p += "<HR><A href=\"javascript:window.external.AddFavorite('" + JsString(address) +
             "','Tarnwick - Spam')\">Bookmark this page...</A> (Internet Explorer only)\r\n";
    }
    p += PageEnd;
    return p;
}

std::string SafeAddressesPage(bool IsUpload, const std::string& RequestLines) {
    std::string p = PageHead("Tarnwick - Spam Address setup", false) + "<BODY>\r\n";
    if (IsUpload) {
        int count = 0;
        std::vector<std::string> addresses;
        ForEachLineWith(RequestLines, '@', [&](const std::string& line) {
            std::size_t from = 0, begin = 0, end = 0;
            while (line.find('@', from) != std::string::npos) {
                const std::string address = webmail::AddressAround(line, from, &begin, &end);
                from = end;
                if (address.empty() || address == "@" || address.find('*') != std::string::npos) continue;
                addresses.push_back(address);
                ++count;
            }
        });
        spam::AddSpamAddresses(spam::SafeSender, addresses);
        if (count > 0)
            p += "<b>Success!</b><BR><BR>You have successfully uploaded " + std::to_string(count) +
                 " email addresses.<BR><BR>Please close this browser now.";
        else
            p += "<b>No addresses found</b><BR><BR>Please click <b>Back</B> on browser and start again, or contact "
                 "your network guy for help.";
        return p + PageEnd;
    }
    p += "<H3>Instructions for adding your address book to the Tarnwick spam filters:</H3>\r\n";
    p += "<P>Your administrator asks you to add your address book to the spam filters, so that mail from the "
         "people you know is never marked as spam.</P>\r\n";
    auto box = [](const std::string& title, const std::string& steps) {
        return "<TABLE width=\"500\" border=\"1\" cellpadding=\"4\" cellspacing=\"0\"><TR><TD><B>" + title +
               "</B><OL>" + steps + "</OL></TD></TR></TABLE><BR>\r\n";
    };
    p += box("Outlook Express:",
             "<LI>Open File, Export, Address Book, and choose Text File (Comma Separated Values).</LI>"
             "<LI>Save it as c:\\address.csv with the name and e-mail address fields.</LI>"
             "<LI>Send the file with the form below, then delete it.</LI>");
    p += box("Outlook:",
             "<LI>Open File, Import and Export, Export to a file, Comma Separated Values, and choose Contacts.</LI>"
             "<LI>Save it as c:\\address.txt.</LI><LI>Send the file with the form below, then delete it.</LI>");
    p += box("Other email applications:",
             "<LI>Export your address book as comma-separated text.</LI>"
             "<LI>Send the file with the form below, then delete it.</LI>");
    p += "<FORM method=\"post\" enctype=\"multipart/form-data\" action=\"/safeaddresses\">Address Book File: "
         "<INPUT type=\"file\" name=\"uploaded_file\" size=\"50\"> <INPUT type=\"submit\" value=\"Send\"></FORM>\r\n";
    return p + PageEnd;
}

std::string LogText(const std::string& FileName, bool& isHtml) {
    isHtml = false;
    static const char* const kLogs[] = {"pop.log", "popsvr.log", "smtp.log", "smtpsvr.log", "connect.log"};
    for (const char* log : kLogs) {
        if (qev_util::LowerCase(FileName) != log) continue;
        std::string text;
        if (platform::ReadFile(ProgramDir + log, text)) return text;
    }
    return "No log available";
}

}  // namespace http
