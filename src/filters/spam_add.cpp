// Address book requests: the mail that asks a local user to upload an
// address book through the web server so that the contacts become safe
// senders.
#include "filters/spam_add.h"

#include "filters/shown.h"

#include "transport/account_tables.h"
#include "transport/mail_settings.h"
#include "transport/smtp.h"
#include "transport/store.h"

namespace spam_add {

std::string AddressBookRequest(const std::string& user, const std::string& browserAddress) {
    smtp::GeneratedMail request;
    request.to = smtp::LocalRecipient(user);
    request.subject = "Tarnwick address book import";
    request.messageId = false;
    request.mailerHeaders = false;
    request.footer = false;
    request.body = {
        "Dear " + user,
        "",
        "Your Tarnwick administrator is setting up an anti-spam filter which will cut out spam and only let "
        "valid emails through.  ",
    };
    if (browserAddress.find("http:") != std::string::npos)
        request.body.push_back("Please visit " + browserAddress +
                               "/safeaddresses to upload your address book and let your contacts' emails through "
                               "safely");
    request.body.insert(request.body.end(), {"", "", ""});
    return smtp::GeneratedMessage(request);
}

int WriteRequests(const std::vector<std::string>& users) {
    const std::string browser = mailsettings::Current()->browserAddress;
    int written = 0;
    for (const std::string& user : users) {
        if (!settings::IsSafeUserName(user)) continue;
        if (!smtp::WriteMailboxFile(smtp::FolderIn, user, smtp::TimeStamp(), AddressBookRequest(user, browser))
                 .empty())
            ++written;
    }
    filters::MailCountsChanged();
    return written;
}

}  // namespace spam_add
