// The small codecs of SMTP authentication: Base64 for AUTH LOGIN and AUTH
// PLAIN, the AUTH PLAIN credential split, and MD5, HMAC-MD5 and hex for
// CRAM-MD5 answers. Every routine works on bytes held in std::string and
// keeps no state between calls.
#pragma once

#include <string>

namespace auth {

// The standard alphabet with the pad character as its 65th symbol.
extern const std::string Base64Alphabet;
// Reverse table for DecodeBase64WithTable: 96 bytes indexed by
// (character code - 33), each the symbol's 6-bit value or 64 ("@") for a
// character that is not a symbol.
extern const std::string Base64DecodeTable;

std::string EncodeBase64(const std::string& bytes);
std::string DecodeBase64(const std::string& text);

// Three bytes to four symbols; a last group of one or two bytes is completed
// with the alphabet's 65th character. Throws std::invalid_argument when the
// alphabet has fewer than 65 characters.
std::string EncodeBase64WithAlphabet(const std::string& bytes, const std::string& alphabet);
// Characters that are not symbols (line breaks, blanks, anything outside
// the table) are passed over; "=" ends the data. Left-over symbols at the
// end give what whole bytes they hold (two symbols one byte, three two).
std::string DecodeBase64WithTable(const std::string& text, const std::string& table);

// Splits a decoded AUTH PLAIN message: authorisation identity, NUL, user,
// NUL, password. Without two NULs the message is malformed and user and
// password come back empty. authzid, when given, receives the authorisation
// identity (empty when the client asked for none).
void SplitPlainCredentials(const std::string& decoded, std::string& user, std::string& password,
                           std::string* authzid = nullptr);

// The 16-byte digest as a 16-character string.
std::string MD5Digest(const std::string& bytes);
// HMAC-MD5 of text under key; note the order: text first.
std::string HmacMD5(const std::string& text, const std::string& key);
// Two lower-case hex digits per byte.
std::string DigestToHex(const std::string& bytes);

}  // namespace auth
