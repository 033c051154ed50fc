// Stored-password schemes. Two encodings keep passwords out of plain sight
// in tarnwick.ini:
//   [SMTP] ID (the settings password)            PW::EncodeText / PW::DecodeText
//   [Remote] Login, PW; [Connect] <entry>L, <entry>P
//                                                PW::EncryptPassword / PW::DecryptPassword
// Neither is protection against someone who has the program: the code table
// and the pass phrase are compiled in. Every other password is plain text.
#pragma once

#include <functional>
#include <string>

namespace PW {

// The substitution of the settings password: each of the 64 symbols
// A-Z a-z 1-9 0 _ - becomes the code table's symbol at the same position.
// Any other character is kept as it is, so every text comes back whole.
std::string EncodeText(const std::string& text);
std::string DecodeText(const std::string& text);

// Blowfish keyed by the SHA-1 of a fixed pass phrase, 8-bit cipher feedback
// from the encrypted zero block, Base64 text. Every call starts afresh, so
// equal inputs give equal outputs; empty stays empty.
std::string EncryptPassword(const std::string& plain);
std::string DecryptPassword(const std::string& text);

// Whether the settings window may open: yes when storedId (the [SMTP] ID
// value as the file holds it) is empty, otherwise when the text that
// askPassword returns is the decoded settings password.
bool SettingsPasswordAccepted(const std::string& storedId,
                              const std::function<std::string()>& askPassword);
}  // namespace PW
