#include "zel_settings.h"

#include "zel_crypt.h"

namespace zelExcept {

namespace {
// The two fixed vectors of the password scrambling: a 32-bit constant in
// the low half, 0 in the high half.
constexpr std::uint64_t kHostIv = 0x2B5F71C3u;
constexpr std::uint64_t kAccountIv = 0x6E0A94D7u;
constexpr std::size_t kPasswordLimit = 75;
}  // namespace

// Kept for the process's life: a report under way may read it while the
// exit handlers run.
TSettingsBlock& Settings() {
    static auto& block = *new TSettingsBlock;
    return block;
}

std::mutex& SettingsLock() {
    static auto& lock = *new std::mutex;
    return lock;
}

TSettingsBlock SettingsCopy() {
    std::lock_guard<std::mutex> guard(SettingsLock());
    return Settings();
}

void ApplyWindowSettings(bool showDialog, bool autoMail, const std::string& sender, int smtpPort) {
    std::lock_guard<std::mutex> guard(SettingsLock());
    TSettingsBlock& block = Settings();
    block.ShowDialog = showDialog;
    block.AutoMail = autoMail;
    block.Sender = sender;
    block.SmtpPort = smtpPort;
}

void UnscrambleSmtpPassword(TSettingsBlock& block) {
    if (block.SmtpPassword.empty()) return;
    zelCrypt::DecryptStrIv(block.SmtpPassword, block.SmtpHost, kHostIv);
    zelCrypt::DecryptStrIv(block.SmtpPassword, block.SmtpAccount, kAccountIv);
    if (block.SmtpPassword.size() > kPasswordLimit) block.SmtpPassword.resize(kPasswordLimit);
}

}  // namespace zelExcept
