// The report mail: the crash library's own small SMTP client on blocking
// sockets (it must work while the program's socket layer is what failed),
// the mail exchanger lookup of the direct route, and the routes in order.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "zel_settings.h"

namespace zelExcept {

struct TDnsServer {
    std::string Address;  // numeric IPv4 or IPv6 address
    int Port = 53;
};

// What the mail routes take from the machine; tests replace parts of it.
struct TMailEnvironment {
    // The connected-state query; empty: a non-loopback interface is up.
    std::function<bool()> Connected;
    // Name servers for the direct route; empty: those of /etc/resolv.conf.
    std::vector<TDnsServer> DnsServers;
    // Asked (and their referrals followed) when no configured server answers.
    std::vector<std::string> RootServers = {"a.root-servers.net", "k.root-servers.net"};
    std::array<int, 3> DnsWaitsMs = {2000, 10000, 15000};
    int MxPort = 25;
    int ReadTimeoutMs = 7000;      // per read of a reply
    int DeadlineMs = 120000;       // the whole SMTP exchange
    std::string HeloName;          // empty: the computer's name
    // The result box of an interactive mail; empty: a message box in the
    // main thread, or a log line when there is none.
    std::function<void(const std::string& caption, const std::string& text, bool sent)> ResultBox;
    // Opens a mailto: link; empty: the desktop's handler.
    std::function<bool(const std::string& url)> OpenUrl;
};

TMailEnvironment& MailEnvironment();

// Recipient list ("," or ";" separated) as trimmed, non-empty addresses.
std::vector<std::string> SplitRecipients(const std::string& list);
// "<a@b>" for SMTP commands: from the first "<" on, or the address wrapped.
std::string EnvelopeForm(const std::string& address);
// For headers: the whole text when it has a "<", else the address wrapped.
std::string HeaderForm(const std::string& address);
// "=?UTF-8?Q?...?=" with every character but letters and digits as "=XX".
std::string EncodedSubject(const std::string& subject);
// "7 Dec 2026 09:05:03 UT"
std::string MailDateText(platform::SystemTime now);
// "<" + 100 ns ticks since 1601 in 16 hex digits + "@zelExcept>"
std::string MailMessageId(platform::SystemTime now);

// The text between DATA and its end: headers, then the report alone or in
// a multipart with the existing attachment files ("|" separated). Line
// ends are CR LF and lines starting with "." are doubled, so nothing in
// the report can end the data early.
std::string MailData(const std::string& sender, const std::string& recipients, const std::string& subject,
                     const std::string& attachments, const std::string& body, platform::SystemTime now);

// One SMTP transaction; true when the server took the data and said 221
// to QUIT. An empty sender gives "zelExcept <first recipient>".
bool SendSmtpMail(const std::string& sender, const std::string& recipients, const std::string& subject,
                  const std::string& host, int port, const std::string& account, const std::string& password,
                  const std::string& attachments, const std::string& body);

// The best-preference mail exchanger of `domain` as a numeric address.
bool LookupMailExchanger(const std::string& domain, std::string& address);

// "mailto:" link with the subject and body percent-encoded.
std::string MailtoUrl(const std::string& recipients, const std::string& subject, const std::string& body);

// True when a network interface other than loopback is up.
bool MachineIsConnected();

}  // namespace zelExcept
