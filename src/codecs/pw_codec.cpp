// Stored-password schemes: the settings password's substitution and the
// enciphered logins and passwords.
#include "codecs/pw_codec.h"

#include "codecs/cipher.h"

namespace PW {

namespace {

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz1234567890_-";
const std::string kCodeTable = "zA9yB8xC7wD6vE5uF4tG3sH2rI1qJ0pK_oL-nMmNlOkPjQiRhSgTfUeVdWcXbYaZ";
const std::string kPassPhrase = "tremvoxa";

std::string Substitute(const std::string& text, const std::string& from, const std::string& to) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const std::size_t pos = from.find(c);
        // A character the table does not know stays as it is; dropping or
        // mangling it would leave a password nobody can type again.
        out += pos == std::string::npos ? c : to[pos];
    }
    return out;
}

// Keyed afresh and burnt on every call, so the results never depend on
// whose cipher it is; one per thread, so that the engine's threads never
// key or burn it under each other.
TBlowfishCipher& Cipher() {
    thread_local TBlowfishCipher own;
    return own;
}

// Runs one keyed operation and burns the key whatever happens.
template <typename Operation>
std::string WithFreshKey(Operation op) {
    TBlowfishCipher& cipher = Cipher();
    cipher.InitStr(kPassPhrase, &TSha1Hash::Create);
    try {
        std::string result = op(cipher);
        cipher.Burn();
        return result;
    } catch (...) {
        cipher.Burn();
        throw;
    }
}

// What the settings file gives back for a stored value: blanks at the ends
// and one pair of surrounding quotes are lost. The substitution keeps such
// characters as they are, so a password typed with them must be compared in
// the form in which it could be stored.
std::string AsStored(const std::string& text) {
    std::size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t' || text[e - 1] == '\r')) --e;
    std::string t = text.substr(b, e - b);
    if (t.size() >= 2 && ((t.front() == '"' && t.back() == '"') || (t.front() == '\'' && t.back() == '\'')))
        t = t.substr(1, t.size() - 2);
    return t;
}

}  // namespace

std::string EncodeText(const std::string& text) { return Substitute(text, kAlphabet, kCodeTable); }

std::string DecodeText(const std::string& text) { return Substitute(text, kCodeTable, kAlphabet); }

std::string EncryptPassword(const std::string& plain) {
    if (plain.empty()) return {};
    return WithFreshKey([&](TBlowfishCipher& c) { return c.EncryptString(plain); });
}

std::string DecryptPassword(const std::string& text) {
    if (text.empty()) return {};
    return WithFreshKey([&](TBlowfishCipher& c) { return c.DecryptString(text); });
}

bool SettingsPasswordAccepted(const std::string& storedId,
                              const std::function<std::string()>& askPassword) {
    const std::string password = DecodeText(storedId);
    if (password.empty()) return true;
    const std::string entry = askPassword();
    return entry == password || AsStored(entry) == password;
}

}  // namespace PW
