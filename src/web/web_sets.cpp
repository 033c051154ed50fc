// Web administration pages: users, distribution list, log files.
#include "web/web_sets.h"

#include "codecs/qev_util.h"
#include "transport/account_tables.h"
#include "transport/table_files.h"
#include "transport/globals.h"
#include "transport/table_owner.h"
#include "transport/user_rename.h"
#include "web/http.h"

#include <exception>
#include <functional>

namespace web_sets {

using http::HtmlEscape;

namespace {

const char kTableHead[] = "<TABLE width=\"600\" border=\"1\" cellpadding=\"2\" cellspacing=\"0\">\r\n";

std::string BlueHead(const std::string& text, int columns) {
    return "<TR><TD colspan=\"" + std::to_string(columns) + "\" bgcolor=\"#000080\"><FONT color=\"#FFFFFF\"><B>" +
           text + "</B></FONT></TD></TR>\r\n";
}

// The name as the users table holds it, found without regard to case;
// empty when no user has it.
std::string LocalUser(const std::string& name) {
    try {
        return settings::StoredUserName(tables::Users().Table(), name);
    } catch (const std::exception&) {
    }
    return std::string();
}

// A change that cannot be saved is not made: the owner keeps the table as
// its file holds it, so that the page, and whoever logs in, see what a
// restart would find; the page says so in a row of its own.
bool Change(tables::TableOwner& owner, const std::function<void(TvdlMemTable&)>& edit, std::string& page) {
    std::string error;
    if (owner.Change(ProgramDir, edit, &error)) return true;
    tablefiles::LogLine("Web administration could not save " + owner.FileName() + ": " + error);
    page += "<TR><TD colspan=\"3\"><B>The change could not be saved (" + HtmlEscape(owner.FileName()) + ": " +
            HtmlEscape(error) + ") and was not made.</B></TD></TR>\r\n";
    return false;
}

}  // namespace

std::string SettingsPage(const std::string& PwUser, const std::string& PwPassword, const std::string& DelUser,
                         const std::string& NewLdEmail, const std::string& NewLdUser, std::string DelLdEmail,
                         std::string DelLdUser) {
    std::string p = http::PageHead("Tarnwick - WebMail") + "<BODY>\r\n";
    p += "<A href=\"/\" target=\"_top\"" + http::HintAttributes("Back to Tarnwick page") + ">Log out</A><BR><BR>\r\n";
    // The distribution list names the user as the users table does.
    const std::string deleted = DelUser.empty() ? std::string() : LocalUser(DelUser);
    p += UsersTable(PwUser, PwPassword, DelUser);
    if (!DelUser.empty()) {
        DelLdEmail = "*";
        DelLdUser = deleted.empty() ? DelUser : deleted;
    }
    p += "<BR>\r\n" + DistributionListTable(NewLdEmail, NewLdUser, DelLdEmail, DelLdUser);
    p += "<BR>\r\n" + LogFilesTable();
    p += http::PageEnd;
    return p;
}

std::string UsersTable(const std::string& PwUser, const std::string& PwPassword, const std::string& DelUser) {
    std::string p = kTableHead;
    p += BlueHead("User list", 3);
    p += "<TR><TD>Username</TD><TD>Password</TD><TD>Action</TD></TR>\r\n";
    tables::TableOwner& owner = tables::Users();
    TvdlMemTable& t = owner.Table();
    if (!t.Active()) return p + "</TABLE>\r\n";
    std::string highlight = PwUser;
    // A user name becomes mailbox file names: only names safe for that. A
    // refused name is told as the settings window tells it.
    if (!PwUser.empty() && !settings::IsSafeUserName(PwUser))
        p += "<TR><TD colspan=\"3\">Illegal characters (only letters and digits please) in User name.</TD></TR>\r\n";
    // A name of a rename left to the next start still has mail under it; a
    // user that exists only has her password changed.
    std::string refused;
    if (!PwUser.empty() && settings::IsSafeUserName(PwUser) && LocalUser(PwUser).empty())
        refused = settings::PendingRenameRefusesAdd(ProgramDir, PwUser);
    if (!refused.empty()) p += "<TR><TD colspan=\"3\">" + HtmlEscape(refused) + "</TD></TR>\r\n";
    if (!PwUser.empty() && settings::IsSafeUserName(PwUser) && refused.empty()) {
        // Names differ in more than case or they are one user: mailbox
        // files and logins match names without case, so a second row would
        // read the first one's mail. The one button changes that user's
        // password and keeps the name as it is stored.
        Change(owner, [&](TvdlMemTable& users) {
            users.CancelRange();
            const int row = settings::FindUserRow(users, PwUser);
            if (row >= 0) {
                users.GotoBookmark(row);
                users.Edit();
            } else {
                users.Append();
                users.FieldByName("Name").SetAsString(PwUser);
            }
            users.FieldByName("Password").SetAsString(PwPassword);
            users.Post();
        }, p);
    }
    if (!DelUser.empty()) {
        // Deleted and saved before the rows are shown, so that a failed
        // save shows the user still there.
        Change(owner, [&](TvdlMemTable& users) {
            users.CancelRange();
            const int row = settings::FindUserRow(users, DelUser);
            if (row < 0) return;
            users.GotoBookmark(row);
            users.Delete();
        }, p);
    }
    try {
        t.First();
        while (!t.Eof()) {
            const std::string name = t.FieldByName("Name").AsString();
            const std::string colour = qev_util::LowerCase(name) == qev_util::LowerCase(highlight) ? "#99CCCCC" : "#CCCCCCC";
            p += "<FORM name=\"" + HtmlEscape(name) + "Form\" method=\"post\" action=\"/settings\">";
            p += "<TR bgcolor=\"" + colour + "\"><TD>" + HtmlEscape(name) +
                 "<INPUT type=\"hidden\" name=\"users_name\" value=\"" + HtmlEscape(name) + "\"></TD>";
            p += "<TD><INPUT type=\"password\" name=\"users_pw\" size=\"12\" value=\"" +
                 HtmlEscape(t.FieldByName("Password").AsString()) + "\"></TD>";
            p += "<TD><INPUT type=\"submit\" name=\"BtnPW\" value=\"Change Password\"> "
                 "<INPUT type=\"submit\" name=\"BtnDel\" value=\"Delete User\"></TD></TR></FORM>\r\n";
            t.Next();
        }
    } catch (const std::exception&) {
    }
    p += "<FORM name=\"NewUserForm\" method=\"post\" action=\"/settings\"><TR><TD>"
         "<INPUT type=\"text\" name=\"users_name\" size=\"12\"></TD><TD>"
         "<INPUT type=\"password\" name=\"users_pw\" size=\"12\"></TD><TD>"
         "<INPUT type=\"submit\" name=\"BtnPW\" value=\"Add New User\"></TD></TR></FORM>\r\n";
    p += "</TABLE>\r\n";
    return p;
}

std::string DistributionListTable(const std::string& typedEmail, const std::string& NewLdUser,
                                  const std::string& DelLdEmail, const std::string& DelLdUser) {
    // Addresses are kept in lower case, whoever adds them: one spelling for
    // every lookup and for the check against duplicates.
    const std::string NewLdEmail = qev_util::LowerCase(typedEmail);
    std::string p = kTableHead;
    p += BlueHead("Local distribution list", 3);
    p += "<TR><TD>Email</TD><TD>To user</TD><TD>Action</TD></TR>\r\n";
    tables::TableOwner& owner = tables::Aliases();
    TvdlMemTable& t = owner.Table();
    if (!t.Active()) return p + "</TABLE>\r\n";
    // Mail for the address goes into the user's mailbox: only a user of the
    // users table may be named, as the settings window's list allows.
    std::string user = NewLdEmail.empty() || NewLdUser.empty() ? std::string() : LocalUser(NewLdUser);
    if (!NewLdEmail.empty() && !NewLdUser.empty() && user.empty())
        p += std::string("<TR><TD colspan=\"3\">") +
             (settings::IsSafeUserName(NewLdUser) ? "Field User cannot be empty."
                                                  : "Illegal characters (only letters and digits please) in User name.") +
             "</TD></TR>\r\n";
    if (!user.empty()) {
        Change(owner, [&](TvdlMemTable& links) {
            try {
                links.CancelRange();
                links.Append();
                links.FieldByName("Email").SetAsString(NewLdEmail);
                links.FieldByName("User").SetAsString(user);
                links.Post();
            } catch (const EDatabaseError&) {
                // The address is already listed.
                if (links.State() != dsBrowse) links.Cancel();
            }
        }, p);
    }
    if (!DelLdUser.empty()) {
        Change(owner, [&](TvdlMemTable& links) {
            links.First();
            while (!links.Eof()) {
                const std::string email = links.FieldByName("Email").AsString();
                if (links.FieldByName("User").AsString() == DelLdUser && (DelLdEmail == "*" || email == DelLdEmail))
                    links.Delete();
                else
                    links.Next();
            }
        }, p);
    }
    try {
        t.First();
        while (!t.Eof()) {
            const std::string email = t.FieldByName("Email").AsString();
            const std::string rowUser = t.FieldByName("User").AsString();
            const bool added = !NewLdEmail.empty() && email == NewLdEmail && rowUser == user;
            p += "<FORM method=\"post\" action=\"/settings\"><TR bgcolor=\"" +
                 std::string(added ? "#99CCCCC" : "#CCCCCCC") + "\"><TD>" + HtmlEscape(email) +
                 "<INPUT type=\"hidden\" name=\"ld_email\" value=\"" + HtmlEscape(email) + "\"></TD><TD>" +
                 HtmlEscape(rowUser) + "<INPUT type=\"hidden\" name=\"ld_username\" value=\"" + HtmlEscape(rowUser) +
                 "\"></TD><TD><INPUT type=\"submit\" name=\"BtnDelLD\" value=\"Delete Entry\"></TD></TR></FORM>\r\n";
            t.Next();
        }
    } catch (const std::exception&) {
    }
    p += "<FORM method=\"post\" action=\"/settings\"><TR><TD><INPUT type=\"text\" name=\"ld_email\" size=\"18\"></TD>"
         "<TD><SELECT name=\"ld_username\"><OPTION value=\"\" selected>Select User...</OPTION>";
    if (tables::Users().Table().Active()) {
        TvdlMemTable& users = tables::Users().Table();
        try {
            tablefiles::ForEach(users, [&] {
                const std::string name = HtmlEscape(users.FieldByName("Name").AsString());
                p += "<OPTION value=\"" + name + "\">" + name + "</OPTION>";
            });
        } catch (const std::exception&) {
        }
    }
    p += "</SELECT></TD><TD><INPUT type=\"submit\" name=\"BtnNewLD\" value=\"Add New Entry\"></TD></TR></FORM>\r\n";
    p += "</TABLE>\r\n";
    return p;
}

std::string LogFilesTable() {
    static const char* const kLogs[][2] = {{"Pop collection", "pop.log"},
                                           {"Pop server", "popsvr.log"},
                                           {"SMTP delivery", "smtp.log"},
                                           {"SMTP server", "smtpsvr.log"},
                                           {"Connection", "connect.log"}};
    std::string p = kTableHead;
    p += BlueHead("Log files", 2);
    p += "<TR><TD>File</TD><TD>Link</TD></TR>\r\n";
    for (const auto& log : kLogs)
        p += std::string("<TR><TD>") + log[0] + "</TD><TD><A href=\"/log?file=" + log[1] + "\" target=\"_blank\">" +
             log[1] + "</A></TD></TR>\r\n";
    p += "</TABLE>\r\n";
    return p;
}

}  // namespace web_sets
