// Web administration pages: users, distribution list, log files.
#include "web/web_sets.h"

#include "settings/setup.h"
#include "settings/table_files.h"
#include "shell/globals.h"
#include "transport/servers.h"
#include "web/http.h"

#include <exception>

namespace web_sets {

using http::HtmlEscape;

namespace {

const char kTableHead[] = "<TABLE width=\"600\" border=\"1\" cellpadding=\"2\" cellspacing=\"0\">\r\n";

std::string BlueHead(const std::string& text, int columns) {
    return "<TR><TD colspan=\"" + std::to_string(columns) + "\" bgcolor=\"#000080\"><FONT color=\"#FFFFFF\"><B>" +
           text + "</B></FONT></TD></TR>\r\n";
}

// The name as the users table holds it; empty when no user has it.
std::string LocalUser(const std::string& name) {
    if (FrmServers == nullptr || !FrmServers->TblUsers.Active()) return std::string();
    try {
        FrmServers->TblUsers.CancelRange();
        if (FrmServers->TblUsers.FindKey({TvdlVariant(name)})) return FrmServers->TblUsers.FieldByName("Name").AsString();
    } catch (const std::exception&) {
    }
    return std::string();
}

// A save that fails takes the table back to what its file holds, so that
// the page, and whoever logs in, see what a restart would find; the page
// says so in a row of its own.
bool Save(TvdlMemTable& t, const std::string& file, std::string& page) {
    try {
        t.SaveToBinaryFile(ProgramDir + file);
        return true;
    } catch (const std::exception& e) {
        tablefiles::LogLine("Web administration could not save " + file + ": " + e.what());
        page += "<TR><TD colspan=\"3\"><B>The change could not be saved (" + HtmlEscape(file) + ": " +
                HtmlEscape(e.what()) + ") and was not made.</B></TD></TR>\r\n";
    }
    try {
        const std::string index = t.IndexName();
        t.LoadFromBinaryFile(ProgramDir + file);
        if (!index.empty()) t.SetIndexName(index);
    } catch (const std::exception& e) {
        tablefiles::LogLine("Web administration could not reload " + file + ": " + e.what());
    }
    return false;
}

}  // namespace

std::string SettingsPage(const std::string& PwUser, const std::string& PwPassword, const std::string& DelUser,
                         const std::string& NewLdEmail, const std::string& NewLdUser, std::string DelLdEmail,
                         std::string DelLdUser) {
    std::string p = http::PageHead("Tarnwick - WebMail") + "<BODY>\r\n";
    p += "<A href=\"/\" target=\"_top\"" + http::HintAttributes("Back to Tarnwick page") + ">Log out</A><BR><BR>\r\n";
    p += UsersTable(PwUser, PwPassword, DelUser);
    if (!DelUser.empty()) {
        DelLdEmail = "*";
        DelLdUser = DelUser;
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
    if (FrmServers == nullptr || !FrmServers->TblUsers.Active()) return p + "</TABLE>\r\n";
    TvdlMemTable& t = FrmServers->TblUsers;
    std::string highlight = PwUser;
    // A user name becomes mailbox file names: only names safe for that. A
    // refused name is told as the settings window tells it.
    if (!PwUser.empty() && !settings::IsSafeUserName(PwUser))
        p += "<TR><TD colspan=\"3\">Illegal characters (only letters and digits please) in User name.</TD></TR>\r\n";
    if (!PwUser.empty() && settings::IsSafeUserName(PwUser)) {
        try {
            t.CancelRange();
            if (t.FindKey({TvdlVariant(PwUser)})) {
                t.Edit();
            } else {
                t.Append();
                t.FieldByName("Name").SetAsString(PwUser);
            }
            t.FieldByName("Password").SetAsString(PwPassword);
            t.Post();
            Save(t, "users.dat", p);
        } catch (const std::exception&) {
            if (t.State() != dsBrowse) t.Cancel();
        }
    }
    if (!DelUser.empty()) {
        // Deleted and saved before the rows are shown, so that a failed
        // save shows the user still there.
        try {
            for (t.First(); !t.Eof();) {
                if (t.FieldByName("Name").AsString() == DelUser) t.Delete();
                else t.Next();
            }
        } catch (const std::exception&) {
        }
        Save(t, "users.dat", p);
    }
    try {
        t.First();
        while (!t.Eof()) {
            const std::string name = t.FieldByName("Name").AsString();
            const std::string colour = http::Lower(name) == http::Lower(highlight) ? "#99CCCCC" : "#CCCCCCC";
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

std::string DistributionListTable(const std::string& NewLdEmail, const std::string& NewLdUser,
                                  const std::string& DelLdEmail, const std::string& DelLdUser) {
    std::string p = kTableHead;
    p += BlueHead("Local distribution list", 3);
    p += "<TR><TD>Email</TD><TD>To user</TD><TD>Action</TD></TR>\r\n";
    if (FrmSettings == nullptr || !FrmSettings->tbleLink || !FrmSettings->tbleLink->Active())
        return p + "</TABLE>\r\n";
    TvdlMemTable& t = *FrmSettings->tbleLink;
    // Mail for the address goes into the user's mailbox: only a user of the
    // users table may be named, as the settings window's list allows.
    std::string user = NewLdEmail.empty() || NewLdUser.empty() ? std::string() : LocalUser(NewLdUser);
    if (!NewLdEmail.empty() && !NewLdUser.empty() && user.empty())
        p += std::string("<TR><TD colspan=\"3\">") +
             (settings::IsSafeUserName(NewLdUser) ? "Field User cannot be empty."
                                                  : "Illegal characters (only letters and digits please) in User name.") +
             "</TD></TR>\r\n";
    if (!user.empty()) {
        try {
            t.CancelRange();
            t.Append();
            t.FieldByName("Email").SetAsString(NewLdEmail);
            t.FieldByName("User").SetAsString(user);
            t.Post();
            Save(t, "elink.dat", p);
        } catch (const std::exception&) {
            // The address is already listed.
            if (t.State() != dsBrowse) t.Cancel();
        }
    }
    if (!DelLdUser.empty()) {
        try {
            for (t.First(); !t.Eof();) {
                const std::string email = t.FieldByName("Email").AsString();
                if (t.FieldByName("User").AsString() == DelLdUser && (DelLdEmail == "*" || email == DelLdEmail))
                    t.Delete();
                else
                    t.Next();
            }
        } catch (const std::exception&) {
        }
        Save(t, "elink.dat", p);
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
    if (FrmServers != nullptr && FrmServers->TblUsers.Active()) {
        TvdlMemTable& users = FrmServers->TblUsers;
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
