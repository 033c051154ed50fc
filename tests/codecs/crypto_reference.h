// The cipher and codec tests' independent reference: python3's hashlib,
// hmac, base64 and the cryptography package, run through
// codecs/scripts/crypto_reference.py.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace cryptoref {

// Hex text to bytes; "-" stands for the empty string.
inline std::string FromHex(const std::string& hex) {
    if (hex == "-") return {};
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// Runs the reference script and gives back its lines split into fields;
// empty when the script fails.
inline std::vector<std::vector<std::string>> Reference(const std::string& command) {
    const std::string cmd = "/usr/bin/python3 " TW_TEST_SOURCE_DIR
                            "/codecs/scripts/crypto_reference.py " + command;
    std::vector<std::vector<std::string>> rows;
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return rows;
    std::string text;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
    if (pclose(pipe) != 0) return {};
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<std::string> row;
        std::string field;
        while (fields >> field) row.push_back(field);
        rows.push_back(row);
    }
    return rows;
}

}  // namespace cryptoref
