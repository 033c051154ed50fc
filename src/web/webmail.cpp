// Web mail pages: login form, mail window, message list and its actions,
// address book popup.
#include "web/webmail.h"

#include "codecs/details.h"
#include "codecs/qev_util.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/settings_file.h"
#include "transport/table_files.h"
#include "transport/globals.h"
#include "transport/mail_settings.h"
#include "transport/servers.h"
#include "transport/store.h"
#include "transport/table_owner.h"
#include "web/http.h"

#include <algorithm>
#include <unordered_map>
#include <cstdio>
#include <exception>
#include <sys/stat.h>
#include <unistd.h>

namespace webmail {

using http::HintAttributes;
using http::HtmlEscape;
using http::UrlEncode;

namespace {

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

using platform::TwoDigits;

std::string WebsetsPath() { return ProgramDir + "websets.dat"; }

}  // namespace

// Shared by the spam rows: "dd mmm" and "hh:mm" of a file's date.
std::string FileDayMonth(const std::string& path);
std::string FileHourMinute(const std::string& path);
// Files of a folder sorted oldest first by date.
std::vector<std::string> SortedByDate(const std::vector<std::string>& paths);

std::string FileDayMonth(const std::string& path) {
    platform::SystemTime t;
    if (!platform::GetFileTime(path, t)) return std::string();
    auto lt = platform::ToLocal(t);
    return TwoDigits(lt.day) + " " + kMonths[(lt.month + 11) % 12];
}

std::string FileHourMinute(const std::string& path) {
    platform::SystemTime t;
    if (!platform::GetFileTime(path, t)) return std::string();
    auto lt = platform::ToLocal(t);
    return TwoDigits(lt.hour) + ":" + TwoDigits(lt.minute);
}

std::vector<std::string> SortedByDate(const std::vector<std::string>& paths) {
    std::vector<std::string> keys;
    for (const auto& p : paths) {
        platform::SystemTime t{};
        platform::GetFileTime(p, t);
        auto lt = platform::ToLocal(t);
        char key[32];
        std::snprintf(key, sizeof key, "%04d%02d%02d%02d%02d%02d,", lt.year, lt.month, lt.day, lt.hour,
                      lt.minute, lt.second);
        keys.push_back(key + p);
    }
    std::sort(keys.begin(), keys.end());
    for (auto& k : keys) k = k.substr(k.find(',') + 1);
    return keys;
}

std::string LoginPage(const std::string& User, bool ForAdmin) {
    std::string p = http::PageHead("Tarnwick", true);
    p += std::string("<BODY onLoad=\"document.loginform.") + (User.empty() ? "user" : "password") +
         ".focus()\">\r\n<H3>Login</H3>\r\n";
    p += "<TABLE width=\"300\" border=\"1\" cellpadding=\"4\" cellspacing=\"0\"><TR><TD>Please log in:<BR><BR>\r\n";
    p += std::string("<FORM name=\"loginform\" method=\"post\" action=\"") + (ForAdmin ? "/settings" : "/webmail") +
         "\">\r\n";
    p += "<TABLE><TR><TD>Username:</TD><TD><INPUT type=\"text\" name=\"user\" size=\"12\" maxlength=\"32\" value=\"" +
         HtmlEscape(User) + "\"></TD></TR>\r\n";
    p += "<TR><TD>Password:</TD><TD><INPUT type=\"password\" name=\"password\" size=\"12\"></TD></TR>\r\n";
    p += "<TR><TD></TD><TD><INPUT type=\"submit\" name=\"Login\" value=\"   OK  \"></TD></TR></TABLE>\r\n";
    p += "</FORM></TD></TR></TABLE>\r\n";
    p += http::PageEnd;
    return p;
}

std::string FolderOf(const std::string& dir) {
    std::string d = qev_util::LowerCase(dir);
    if (d == "websent" || d == "webdeleted" || d == "websaved" || d == "settings") return d;
    return "in";
}

std::string UserEmailFromLink(const std::string& User) {
    std::string found;
    TvdlMemTable& t = tables::Aliases().Table();
    if (!t.Active()) return found;
    try {
        tablefiles::ForEach(t, [&] {
            if (found.empty() && t.FieldByName("User").AsString() == User) found = t.FieldByName("Email").AsString();
        });
    } catch (const std::exception&) {
    }
    return found;
}

std::string WebsetsName(const std::string& User) {
    return platform::IniFile(WebsetsPath()).ReadString(User, "Name", User);
}

std::string WebsetsEmail(const std::string& User) {
    std::string email = platform::IniFile(WebsetsPath()).ReadString(User, "Email", "");
    return email.empty() ? UserEmailFromLink(User) : email;
}

std::string SenderAddress(const std::string& User) {
    std::string email = WebsetsEmail(User);
    if (!email.empty()) return email;
    // A user without an alias is still reachable under every local domain.
    TvdlMemTable& t = tables::Domains().Table();
    if (t.Active()) {
        try {
            tablefiles::ForEach(t, [&] {
                if (email.empty()) email = t.FieldByName("Domain").AsString();
            });
        } catch (const std::exception&) {
            email.clear();
        }
    }
    return User + "@" + (email.empty() ? std::string("localhost") : email);
}

// --- List actions -----------------------------------------------------------------

namespace {

// The user's own message of a folder, by its name from a request; empty
// when the name is not the user's or the file is gone.
std::string OwnMessage(const std::string& user, const std::string& dir, const std::string& name) {
    if (!http::IsPlainName(name) || !smtp::IsUserFile(name + ".dat", user)) return std::string();
    std::string path = platform::ResolveNoCase(smtp::StoreFolder(dir), name + ".dat");
    return platform::FileExists(path) ? path : std::string();
}

std::string BaseName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// True when both names reach one file (a folder spelt in another case, a
// move into the folder the message is already in).
bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Copies into the folder, then removes the source. The source stays unless
// a copy to a different file is on disk: a failed copy keeps it, and so
// does a "move" into the folder it is already in.
bool CopyInto(const std::string& path, const std::string& folder) {
    const std::string target = platform::ResolveNoCase(smtp::StoreFolder(folder), BaseName(path));
    if (SameFile(path, target) || smtp::StoreFolder(folder) == path.substr(0, path.find_last_of('/') + 1))
        return false;
    return smtp::CopyFileKeepDate(path, target) && !SameFile(path, target) && platform::FileExists(target);
}

bool MoveInto(const std::string& path, const std::string& folder) {
    if (!CopyInto(path, folder)) return false;
    return platform::Env::Current()->Unlink(path).ok();
}

}  // namespace

bool ListActions(const std::string& User, const std::string& Dir, const http::Params& Request) {
    bool changed = false;
    const std::string inputType = qev_util::LowerCase(Request.Get("Inputtype"));
    const std::string folder = Dir == "settings" ? "in" : Dir;
    if (!inputType.empty()) {
        int delCount = settings::IntFromText(Request.Get("DelCount"), 0);
        delCount = std::clamp(delCount, 0, 1000);
        // The folder is listed once for all ticked names, not once per name.
        std::unordered_map<std::string, std::string> files;
        const std::string folderPath = smtp::StoreFolder(folder);
        for (const auto& f : smtp::ListUserFiles(folderPath, User)) files.emplace(qev_util::LowerCase(f), folderPath + f);
        for (int i = 0; i <= delCount; ++i) {
            const std::string name = Request.Get("Del" + std::to_string(i));
            if (name.empty() || !http::IsPlainName(name) || !smtp::IsUserFile(name + ".dat", User)) continue;
            auto found = files.find(qev_util::LowerCase(name + ".dat"));
            if (found == files.end() || !platform::FileExists(found->second)) continue;
            const std::string path = found->second;
            if (path.empty()) continue;
            bool ok = true;
            if (inputType == "delete" && folder == "in" && mailsettings::Current()->deletedDays > 0)
                ok = CopyInto(path, "webdeleted");
            else if (inputType == "save")
                ok = CopyInto(path, "websaved");
            else if (inputType == "restore")
                ok = CopyInto(path, "in");
            if (ok && platform::Env::Current()->Unlink(path).ok()) changed = true;
        }
    }
    if (auto path = OwnMessage(User, folder, Request.Get("RestoreFile")); !path.empty())
        changed |= MoveInto(path, "in");
    if (auto path = OwnMessage(User, folder, Request.Get("SaveFile")); !path.empty())
        changed |= MoveInto(path, "websaved");
    if (changed && FrmServers != nullptr) {
        FrmServers->RefreshMailCounts(false);
        FrmServers->QueueNewMailAlert(User);
    }
    const std::string fullName = Request.Get("fullname");
    if (fullName.empty()) return false;
    platform::IniFile ini(WebsetsPath());
    ini.WriteString(User, "Name", platform::IniSafe(fullName));
    const std::string reply = Request.Get("replyaddress");
    if (!reply.empty()) ini.WriteString(User, "Email", platform::IniSafe(reply));
    return true;
}

// --- Pages ---------------------------------------------------------------------------

std::string WebmailFrameset() {
    return "<HTML><HEAD><TITLE>Tarnwick - WebMail</TITLE></HEAD>\r\n"
           "<FRAMESET rows=\"40%,60%\" frameborder=\"1\" border=\"1\" framespacing=\"2\">\r\n"
           "<FRAME name=\"topFrame\" src=\"/webmaillist\" scrolling=\"yes\" noresize>\r\n"
           "<FRAME name=\"bottomFrame\" src=\"\" scrolling=\"yes\" noresize>\r\n"
           "</FRAMESET>\r\n<NOFRAMES><BODY>You need a frames capable browser</BODY></NOFRAMES></HTML>";
}

std::string FolderTabs(const std::string& Dir, const std::string& Caption, const std::string& Current) {
    if (Dir == Current) return "| <B><FONT color=\"#000000\">" + Caption + "</FONT></B> ";
    return "| <A href=\"webmaillist?dir=" + Dir + "\"" + HintAttributes(Caption) + ">" + Caption + "</A> ";
}

namespace {

const char kListScript[] =
    "<SCRIPT language=\"JavaScript\">\r\n"
    "var lastRow = null; var lastColour = '';\r\n"
    "function colorRow(row, checked, expanded) {\r\n"
    "  if (expanded) row.style.backgroundColor = checked ? '#FF9999' : '#BCF0BC';\r\n"
    "  else row.style.backgroundColor = checked ? '#CC6666' : '#99CCCC';\r\n"
    "}\r\n"
    "function rowBox(row) { var b = row.getElementsByTagName('input'); return b.length ? b[0] : null; }\r\n"
    "function showEmail(link, colour, LNo) {\r\n"
    "  var row = LNo == 1 ? link.parentNode.parentNode : link.parentNode.parentNode.parentNode;\r\n"
    "  if (lastRow) { var b = rowBox(lastRow); colorRow(lastRow, b && b.checked, false);\r\n"
    "    var d = lastRow.nextSibling; while (d && d.nodeType != 1) d = d.nextSibling;\r\n"
    "    if (d) d.style.display = 'none'; }\r\n"
    "  var b2 = rowBox(row); colorRow(row, b2 && b2.checked, true);\r\n"
    "  var det = row.nextSibling; while (det && det.nodeType != 1) det = det.nextSibling;\r\n"
    "  if (det) det.style.display = '';\r\n"
    "  lastRow = row; return true;\r\n"
    "}\r\n"
    "function CheckAll() {\r\n"
    "  var f = document.form1;\r\n"
    "  for (var i = 0; i < f.elements.length; i++) { var e = f.elements[i];\r\n"
    "    if (e.type == 'checkbox' && e.name != 'allbox') { e.checked = f.allbox.checked; changeChecked(e); } }\r\n"
    "}\r\n"
    "function changeChecked(box) {\r\n"
    "  var row = box.parentNode.parentNode; colorRow(row, box.checked, row == lastRow);\r\n"
    "}\r\n"
    "function GoURL(URL) { if (URL != 'attachcount') window.open(URL, 'attach'); }\r\n"
    "function postform(type) { document.form1.inputtype.value = type; document.form1.submit(); }\r\n"
    "</SCRIPT>\r\n";

}  // namespace

std::string WebmailListPage(const std::string& User, const std::string& Dir, int StartFrom, bool SettingsSaved) {
    std::string p = http::PageHead("Tarnwick - WebMail", false, kListScript);
    p += "<BODY onLoad=\"parent.bottomFrame.location='/empty'\">\r\n";
    p += "<FORM name=\"form1\" method=\"post\" action=\"webmaillist?dir=" + Dir + "\">\r\n";
    p += "<TABLE width=\"100%\" border=\"1\" cellspacing=\"0\" cellpadding=\"2\">\r\n";
    std::string head = "Webmail for " + HtmlEscape(User);
    if (Dir == "websent") head += " -  Sent items";
    else if (Dir == "webdeleted") head += " -  Deleted items";
    else head += " - Inbox";
    p += "<TR><TD colspan=\"6\" bgcolor=\"#000080\"><FONT color=\"#FFFFFF\"><B>" + head + "</B></FONT></TD></TR>\r\n";
    p += "<TR><TD colspan=\"6\" bgcolor=\"#CCCCCC\">";
    p += "<A href=\"/webmail?u=\" target=\"_top\"" + HintAttributes("Log out") + ">Log out</A> | ";
    p += "<A href=\"/compose\" target=\"bottomFrame\"" + HintAttributes("New Message") + ">Compose message</A> | ";
    p += "<A href=\"webmaillist?dir=" + Dir + "\"" + HintAttributes("Refresh list") + ">Refresh list</A> ";
    p += FolderTabs("in", "Inbox", Dir);
    p += FolderTabs("websaved", "Saved Items", Dir);
    p += FolderTabs("websent", "Sent Items", Dir);
    p += FolderTabs("webdeleted", "Deleted Items", Dir);
    p += FolderTabs("settings", "Settings", Dir);
    p += "</TD></TR>\r\n";
    if (Dir == "settings") {
        p += "</TABLE></FORM>\r\n<FORM method=\"post\" action=\"webmaillist?dir=settings\">\r\n";
        p += SettingsSaved ? "Your settings have been updated.<BR><BR>\r\n"
                           : "Your full name and email address will be used when composing emails.<BR><BR>\r\n";
        p += "<TABLE><TR><TD>Your full name:</TD><TD><INPUT type=\"text\" name=\"fullname\" size=\"32\" value=\"" +
             HtmlEscape(WebsetsName(User)) + "\"></TD></TR>\r\n";
        p += "<TR><TD>Your email address:</TD><TD><INPUT type=\"text\" name=\"replyaddress\" size=\"32\" value=\"" +
             HtmlEscape(WebsetsEmail(User)) + "\"></TD></TR>\r\n";
        p += "<TR><TD></TD><TD><INPUT type=\"submit\" value=\"   OK  \"></TD></TR></TABLE></FORM>\r\n";
        p += http::PageEnd;
        return p;
    }
    int shown = 0;
    p += MessageRows(User, Dir, "#99CCCC", StartFrom, 10, shown);
    if (shown == 0) {
        p += "<TR><TD colspan=\"6\">No messages to display</TD></TR>\r\n";
    } else {
        p += "<TR><TD colspan=\"6\" bgcolor=\"#CCCCCC\">";
        p += "<INPUT type=\"checkbox\" name=\"allbox\" onClick=\"CheckAll()\"> <A href=\"#\" "
             "onClick=\"document.form1.allbox.checked=!document.form1.allbox.checked; CheckAll(); return false\">"
             "Select all</A>\r\n";
        p += "<INPUT type=\"hidden\" name=\"delcount\" value=\"" + std::to_string(shown) + "\">\r\n";
        p += "<INPUT type=\"hidden\" name=\"StartFrom\" value=\"" + std::to_string(std::max(StartFrom, 1)) + "\">\r\n";
        p += "<INPUT type=\"hidden\" name=\"inputtype\" value=\"\">\r\n";
        p += " | <A href=\"javascript:postform('delete')\">Delete ticked</A>";
        if (Dir == "in") p += " | <A href=\"javascript:postform('save')\">Save ticked</A>";
        if (Dir == "webdeleted" || Dir == "websaved")
            p += " | <A href=\"javascript:postform('restore')\">Restore ticked</A>";
        p += "</TD></TR>\r\n";
    }
    p += "</TABLE></FORM>\r\n";
    p += http::PageEnd;
    return p;
}

namespace {

// The display name of a from value (already escaped): the text before its
// "&lt;" when that stands after the third character.
std::string DisplayName(const std::string& escapedFrom) {
    std::size_t lt = escapedFrom.find("&lt;");
    if (lt != std::string::npos && lt > 3) return escapedFrom.substr(0, lt);
    return escapedFrom;
}

}  // namespace

std::string MessageRows(const std::string& User, const std::string& Dir, const std::string& RowColour,
                        int StartFrom, int PageSize, int& Shown) {
    Shown = 0;
    const std::string folder = smtp::StoreFolder(Dir);
    std::vector<std::string> paths;
    for (const auto& f : smtp::ListUserFiles(folder, User)) paths.push_back(folder + f);
    std::vector<std::string> sorted = SortedByDate(paths);
    const int count = static_cast<int>(sorted.size());
    std::string rows;
    if (StartFrom < 1) StartFrom = 1;
    if (count > PageSize) {
        rows += "<TR><TD colspan=\"6\" align=\"center\">";
        if (StartFrom == 1)
            rows += "<FONT color=\"#999999\">&lt; back </FONT>";
        else
            rows += "<A href=\"webmaillist?dir=" + Dir + "&startfrom=" + std::to_string(std::max(StartFrom - 10, 1)) +
                    "\"" + HintAttributes("Previous messages") + ">&lt; back </A>";
        rows += "Showing " + std::to_string(StartFrom) + " - " + std::to_string(std::min(StartFrom + 9, count)) +
                " of " + std::to_string(count);
        if (count <= StartFrom + 9)
            rows += "<FONT color=\"#999999\"> next &gt;</FONT>";
        else
            rows += "<A href=\"webmaillist?dir=" + Dir + "&startfrom=" + std::to_string(StartFrom + 10) + "\"" +
                    HintAttributes("Next messages") + "> next &gt;</A>";
        rows += "</TD></TR>\r\n";
    }
    rows += std::string("<TR><TD width=\"10\"></TD><TD>Rec'd</TD><TD>") + (Dir == "websent" ? "To" : "From") +
            "</TD><TD>Subject</TD><TD>Action</TD><TD>Attachments</TD></TR>\r\n";
    const int last = std::min(StartFrom + PageSize - 1, count);
    for (int k = StartFrom; k <= last; ++k) {
        const std::string& path = sorted[count - k];
        if (!platform::FileExists(path)) continue;
        std::string from, to, subject, date;
        int attCount = -1;
        std::vector<std::string> attachments;
        try {
            details::ReadMessageHeaders(path, from, to, subject, date, attCount, attachments);
        } catch (const std::exception&) {
            continue;
        }
        const std::string name = path.substr(path.find_last_of('/') + 1, std::string::npos);
        const std::string msg = name.substr(0, name.size() - 4);
        const std::string eFrom = HtmlEscape(from), eTo = HtmlEscape(to);
        std::string eSubject = HtmlEscape(subject);
        if (eSubject.empty()) eSubject = "&lt;no subject&gt;";
        const std::string who = Dir == "websent" ? eTo : DisplayName(eFrom);
        const std::string uMsg = UrlEncode(msg);
        ++Shown;
        rows += "<TR><TD colspan=\"6\" bgcolor=\"#FFFFFF\" height=\"1\"></TD></TR>\r\n";
        rows += "<TR bgcolor=\"" + RowColour + "\"><TD><INPUT type=\"checkbox\" name=\"del" + std::to_string(Shown) +
                "\" value=\"" + HtmlEscape(msg) + "\" onClick=\"changeChecked(this)\"></TD>";
        rows += "<TD>" + FileDayMonth(path) + "</TD><TD><B>" + who + "</B></TD>";
        // The link sits inside <B>: its row is its great-grandparent.
        rows += "<TD><B><A href=\"/showmail?dir=" + Dir + "&email=" + uMsg +
                "\" target=\"bottomFrame\" onClick=\"showEmail(this,'#BCF0BC',2)\"" +
                HintAttributes("Click to view message in lower pane") + ">" + eSubject + "</A></B></TD><TD>";
        const std::string start = std::to_string(StartFrom);
        // Save moves a message to the saved folder, Restore back to the inbox;
        // both come back to this page of this folder.
        auto saveLink = [&] {
            return "<A href=\"/webmaillist?savefile=" + uMsg + "&dir=" + Dir + "&StartFrom=" + start + "\"" +
                   HintAttributes("Save item") + ">Save</A>";
        };
        auto restoreLink = [&] {
            return "<A href=\"/webmaillist?restorefile=" + uMsg + "&dir=" + Dir + "&StartFrom=" + start + "\"" +
                   HintAttributes("Restore to inbox") + ">Restore</A>";
        };
        if (Dir == "websent")
            rows += saveLink();
        else if (Dir == "webdeleted")
            rows += restoreLink();
        else
            rows += "<A href=\"/compose?dir=" + Dir + "&replyfile=" + uMsg +
                    "\" target=\"bottomFrame\" onClick=\"showEmail(this,'#BCF0BC',1)\"" +
                    HintAttributes("Reply to message") + ">Reply</A>";
        rows += "</TD><TD>";
        auto link = [&](const std::string& att) {
            return "/" + UrlEncode(att) + "?AttachFile=" + uMsg + "&Dir=" + Dir;
        };
        if (attachments.size() == 1) {
            rows += "<A href=\"" + HtmlEscape(link(attachments[0])) + "\" target=\"_blank\">" +
                    HtmlEscape(attachments[0]) + "</A>";
        } else if (attachments.size() > 1) {
            rows += "<SELECT name=\"select" + std::to_string(k) +
                    "\" onChange=\"GoURL(this.options[this.selectedIndex].value)\">";
            rows += "<OPTION value=\"attachcount\" selected>" + std::to_string(attachments.size()) +
                    " attachments...</OPTION>";
            for (const auto& a : attachments)
                rows += "<OPTION value=\"" + HtmlEscape(link(a)) + "\">" + HtmlEscape(a) + "</OPTION>";
            rows += "</SELECT>";
        }
        rows += "</TD></TR>\r\n";
        rows += "<TR bgcolor=\"#BCF0BC\" style=\"display:none\"><TD></TD><TD>" + FileHourMinute(path) +
                "</TD><TD colspan=\"4\">";
        if (Dir == "websent") {
            rows += "From: " + eFrom;
        } else {
            rows += "To: " + eTo;
            if (Dir == "in")
                rows += " " + saveLink();
            else if (Dir == "websaved")
                rows += " " + restoreLink();
        }
        rows += "</TD></TR>\r\n";
    }
    return rows;
}

// --- Address book ---------------------------------------------------------------

namespace {
constexpr int kMaxAddressEntries = 10000;
}  // namespace

std::string AddressBookPage(const std::string& User, bool ForCC, bool IsUpload, const std::string& RequestLines) {
    const std::string field = ForCC ? "emailcc" : "emailto";
    std::string script =
        "<SCRIPT language=\"JavaScript\">\r\nfunction GoEmail(value) {\r\n"
        "  var f = window.opener.document.EMailForm." + field + ";\r\n"
        "  if (f.value == '') f.value = value; else f.value = f.value + ', ' + value;\r\n"
        "  window.close();\r\n}\r\n</SCRIPT>\r\n";
    std::string p = http::PageHead("Tarnwick - WebMail", false, script);
    p += "<BODY>\r\n<TABLE width=\"100%\" border=\"0\" cellpadding=\"2\">\r\n";
    if (tables::Users().Table().Active()) {
        TvdlMemTable& users = tables::Users().Table();
        tablefiles::ForEach(users, [&] {
            const std::string name = users.FieldByName("Name").AsString();
            p += "<TR><TD><A href=\"#\" onClick=\"GoEmail('" + http::JsString(name) + "'); return false\">" +
                 HtmlEscape(name) + "</A></TD></TR>\r\n";
        });
    }
    p += "<TR><TD>=====================</TD></TR>\r\n";
    if (Frmhttp != nullptr && Frmhttp->TblAddress.Active()) {
        TvdlMemTable& t = Frmhttp->TblAddress;
        try {
            if (IsUpload) {
                // The user's book is replaced whole; other users' entries
                // are the owner's current rows, never an older copy.
                std::string error;
                const bool saved = tables::Addresses().Change(ProgramDir, [&](TvdlMemTable& book) {
                    book.SetRange({TvdlVariant(User)}, {TvdlVariant(User)});
                    book.First();
                    while (!book.Eof()) book.Delete();
                    // An address book has hundreds of entries, not millions: the
                    // table lives in memory.
                    int taken = 0;
                    http::ForEachLineWith(RequestLines, '@', [&](const std::string& line) {
                        std::string email = AddressAround(line);
                        if (email.empty() || taken >= kMaxAddressEntries) return;
                        ++taken;
                        std::string name;
                        if (!line.empty() && line[0] == '"') {
                            std::size_t q = line.find("\",", 1);
                            name = q == std::string::npos ? line : line.substr(0, q + 1);
                        } else {
                            name = line.substr(0, line.find(','));
                        }
                        if (name.empty()) name = email;
                        try {
                            book.Append();
                            book.FieldByName("User").SetAsString(User);
                            book.FieldByName("Name").SetAsString(name.substr(0, 64));
                            book.FieldByName("Email").SetAsString(email.substr(0, 64));
                            book.Post();
                        } catch (const std::exception&) {
                            // The same name twice: the first entry stays.
                            if (book.State() != dsBrowse) book.Cancel();
                        }
                    });
                    book.CancelRange();
                }, &error);
                if (!saved) tablefiles::LogLine("The address book could not save address.dat: " + error);
            }
            t.SetRange({TvdlVariant(User)}, {TvdlVariant(User)});
            t.First();
            while (!t.Eof()) {
                std::string entry = t.FieldByName("Name").AsString() + " <" + t.FieldByName("Email").AsString() + ">";
                entry.erase(std::remove(entry.begin(), entry.end(), '"'), entry.end());
                p += "<TR><TD><A href=\"#\" onClick=\"GoEmail('" + http::JsString(entry) + "'); return false\">" +
                     HtmlEscape(entry) + "</A></TD></TR>\r\n";
                t.Next();
            }
        } catch (const std::exception&) {
        }
        try {
            t.CancelRange();
        } catch (const std::exception&) {
        }
    }
    p += "</TABLE><HR>\r\n";
    p += std::string("<FORM method=\"post\" enctype=\"multipart/form-data\" action=\"/address?") +
         (ForCC ? "cc=1" : "to=1") + "\">\r\nUpload: (ensure that export starts <B>name, email</B>)<BR>\r\n";
    p += "<INPUT type=\"file\" name=\"uploaded_file\" size=\"30\"> <INPUT type=\"submit\" value=\"Send\">\r\n</FORM>\r\n";
    p += http::PageEnd;
    return p;
}

}  // namespace webmail
