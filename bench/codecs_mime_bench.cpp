// Parse throughput of the MIME library: a corpus of generated messages
// (plain, alternative, attachments in Base64, quoted-printable, nested
// parts, encoded words) parsed repeatedly; prints MB/s, and the rate of
// header-value decoding.
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "codecs/codectables.h"
#include "codecs/headerwords.h"
#include "codecs/qevmsg.h"

namespace {

std::string MakeMessage(std::mt19937& gen, int i) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string text;
    for (int l = 0; l < 20 + i % 40; ++l) text += "Line " + std::to_string(l) + " of the message body, some words here.\r\n";
    std::string raw = "Received: from relay.example.org by mail.example.org\r\n"
                      "From: =?iso-8859-1?q?Andr=E9_Example?= <andre@example.org>\r\n"
                      "To: \"Bob\" <bob@example.org>, carol@example.org\r\n"
                      "Subject: =?utf-8?b?UmVwb3J0IGbDvHIgZGllIFdvY2hl?= " + std::to_string(i) + "\r\n"
                      "Date: Mon, 7 Dec 2026 09:00:00 +0000\r\nMessage-ID: <" + std::to_string(i) + "@example.org>\r\n"
                      "MIME-Version: 1.0\r\n";
    if (i % 4 == 0) return raw + "Content-Type: text/plain\r\n\r\n" + text;
    raw += "Content-Type: multipart/mixed; boundary=\"outer" + std::to_string(i) + "\"\r\n\r\n";
    const std::string d = "--outer" + std::to_string(i);
    raw += d + "\r\nContent-Type: multipart/alternative; boundary=inner\r\n\r\n--inner\r\n"
               "Content-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" + text +
           "--inner\r\nContent-Type: text/html\r\n\r\n<p>" + text + "</p>\r\n--inner--\r\n";
    int attachments = 1 + i % 3;
    for (int a = 0; a < attachments; ++a) {
        std::string blob;
        int size = 2000 + (i * 7919 + a * 104729) % 200000;
        for (int k = 0; k < size; ++k) blob += static_cast<char>(byte(gen));
        raw += d + "\r\nContent-Type: application/octet-stream; name=\"file" + std::to_string(a) +
               ".bin\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment\r\n\r\n" +
               CodecTables::EncodeBase64(blob, 76) + "\r\n";
    }
    return raw + d + "--\r\n";
}

}  // namespace

int main() {
    std::mt19937 gen(42);
    std::vector<std::string> corpus;
    std::size_t bytes = 0;
    for (int i = 0; i < 200; ++i) {
        corpus.push_back(MakeMessage(gen, i));
        bytes += corpus.back().size();
    }
    const int rounds = 5;
    std::size_t attachments = 0;
    auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r)
        for (const auto& raw : corpus) {
            TQevMsg msg;
            msg.SetRawMailText(raw);
            msg.ParseRawMail();
            attachments += msg.Attachments.Count();
        }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double mb = static_cast<double>(bytes) * rounds / 1e6;
    std::printf("corpus: %zu messages, %.1f MB, %zu attachments per round\n", corpus.size(), bytes / 1e6,
                attachments / rounds);
    std::printf("ParseRawMail (split lines + parse): %.1f MB/s\n", mb / seconds);

    std::vector<std::string> words = {"=?utf-8?b?UmVwb3J0IGbDvHIgZGllIFdvY2hl?=",
                                      "=?iso-8859-1?q?Andr=E9_Example?= <andre@example.org>", "plain subject line"};
    std::size_t wordBytes = 0;
    start = std::chrono::steady_clock::now();
    for (int r = 0; r < 100000; ++r)
        for (const auto& w : words) wordBytes += HeaderWords::DecodeHeaderText(w).size();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("DecodeHeaderText: %.0f values/s (%zu bytes out)\n", 300000 / seconds, wordBytes);
    return 0;
}
