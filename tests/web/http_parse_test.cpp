// Request parsing of the web server: parameter lookup, multipart fields,
// when a request is whole, uploads, and the texts that go into pages and
// headers.
#include "codecs/qev_util.h"
#include "web/http.h"
#include "web/webmail.h"

#include "web_env.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ParamCase {
    const char* name;
    std::string text;
    const char* param;
    std::string want;
};

TEST(HttpRequestParam, LooksUpValuesTheWayBrowsersSendThem) {
    const std::vector<ParamCase> cases = {
        {"query", "GET /webmail?user=bob&password=x HTTP/1.1\r\n", "user", "bob"},
        {"name ignores case, value keeps it", "GET /?User=Bob HTTP/1.1", "user", "Bob"},
        // One pass: what an escape makes is never decoded again.
        {"plus and escapes", "GET /?v=a+b%20c%2541 HTTP/1.1", "v", "a b c%41"},
        {"upper-case digits", "GET /?v=%4A%4a HTTP/1.1", "v", "JJ"},
        {"mixed-case digits stay", "GET /?v=%aF HTTP/1.1", "v", "%aF"},
        {"nul escape stays", "GET /?v=x%00y HTTP/1.1", "v", "x%00y"},
        {"cookie value ends at semicolon", "GET / HTTP/1.1\r\nCookie: u=bob; theme=dark\r\n", "u", "bob"},
        {"ends at CR", "POST / HTTP/1.1\r\n\r\nfullname=Ann\r\nx=1", "fullname", "Ann"},
        {"missing", "GET /?a=1 HTTP/1.1", "b", ""},
        {"never from the referer", "GET / HTTP/1.1\r\nReferer: http://h/webmail?user=evil\r\n", "user", ""},
        {"referer masked, body still read",
         "POST / HTTP/1.1\r\nReferer: http://h/?user=evil\r\n\r\nuser=good", "user", "good"},
        {"first occurrence wins", "GET /?dir=websent HTTP/1.1\r\nCookie: dir=in\r\n", "dir", "websent"},
    };
    for (const auto& c : cases) EXPECT_EQ(http::GetRequestParam(c.param, c.text), c.want) << c.name;
}

TEST(HttpRequestParam, DecodingIsOnePassAndLinear) {
    // A value of a few megabytes of escapes decodes in one go (it used to
    // take minutes, holding every server of the program).
    std::string value;
    for (int i = 0; i < 1000000; ++i) value += "%41";
    const std::string decoded = http::DecodePercent(value);
    EXPECT_EQ(decoded, std::string(1000000, 'A'));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"%", "%"}, {"%4", "%4"}, {"100%", "100%"}, {"%%41", "%A"}, {"%2525", "%25"}, {"%e9%E9", "\xe9\xe9"},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(http::DecodePercent(in), want) << in;
}

TEST(HttpRequestParam, ParametersComeFromRequestLineCookieAndBodyOnly) {
    struct {
        const char* name;
        std::string request;
        bool multipart;
        const char* param;
        std::string want;
    } cases[] = {
        {"browser priority header is no user name",
         "GET /webmail HTTP/1.1\r\nHost: h\r\nPriority: u=0, i\r\nCookie: u=bob&p=pw\r\n\r\n", false, "u", "bob"},
        {"no header but the cookie", "GET /webmail HTTP/1.1\r\nX-Dir: dir=websent\r\n\r\n", false, "dir", ""},
        {"query first", "GET /webmail?u= HTTP/1.1\r\nCookie: u=bob\r\n\r\n", false, "u", ""},
        {"query ends at the blank", "GET /x?dir=in HTTP/1.1\r\n\r\n", false, "dir", "in"},
        {"fragment is not sent but cut", "GET /x?dir=in#top HTTP/1.1\r\n\r\n", false, "dir", "in"},
        {"cookie values", "GET / HTTP/1.1\r\nCookie: theme=dark; u=ann%20s\r\n\r\n", false, "u", "ann s"},
        {"form body", "POST /webmaillist HTTP/1.1\r\nContent-Length: 9\r\n\r\ndel1=bob_1", false, "Del1", "bob_1"},
        {"multipart body is no form", "POST /compose HTTP/1.1\r\n\r\n--b\r\nx; user=evil\r\n", true, "user", ""},
        {"referer is never read", "GET / HTTP/1.1\r\nReferer: http://h/?user=evil\r\n\r\n", false, "user", ""},
        {"lone CR lines", "GET /?a=1 HTTP/1.1\rCookie: u=x\r\r", false, "u", "x"},
    };
    for (const auto& c : cases) {
        const http::Params params(http::ParamSource(c.request, c.multipart));
        EXPECT_EQ(params.Get(c.param), c.want) << c.name;
    }
    const http::Params p(http::ParamSource("GET /settings?BtnPW=&users_name=x HTTP/1.1\r\n\r\n", false));
    EXPECT_TRUE(p.Has("btnpw"));
    EXPECT_FALSE(p.Has("btndel"));
    // A form of many fields is indexed once: every lookup is cheap.
    std::string body;
    for (int i = 0; i <= 1000; ++i) body += "del" + std::to_string(i) + "=bob_" + std::to_string(i) + "&";
    body += std::string(4 * 1024 * 1024, '\n');
    const http::Params many(http::ParamSource("POST / HTTP/1.1\r\n\r\n" + body, false));
    for (int i = 0; i <= 1000; i += 250) EXPECT_EQ(many.Get("Del" + std::to_string(i)), "bob_" + std::to_string(i));
}

TEST(HttpRequestHead, OriginsAndHosts) {
    struct {
        const char* name;
        std::string head;
        bool crossSite;
    } cases[] = {
        {"no hints (curl)", "GET / HTTP/1.1\r\nHost: 127.0.0.1:2600\r\n\r\n", false},
        {"same origin", "POST / HTTP/1.1\r\nHost: 127.0.0.1:2600\r\nOrigin: http://127.0.0.1:2600\r\n\r\n", false},
        {"default port", "POST / HTTP/1.1\r\nHost: office:80\r\nOrigin: http://office\r\n\r\n", false},
        {"typed in", "GET / HTTP/1.1\r\nHost: a\r\nSec-Fetch-Site: none\r\n\r\n", false},
        {"other host", "POST / HTTP/1.1\r\nHost: 127.0.0.1:2600\r\nOrigin: http://127.0.0.2:2600\r\n\r\n", true},
        {"other port", "POST / HTTP/1.1\r\nHost: 127.0.0.1:2600\r\nOrigin: http://127.0.0.1:8080\r\n\r\n", true},
        {"opaque origin", "POST / HTTP/1.1\r\nHost: h\r\nOrigin: null\r\n\r\n", true},
        {"referer elsewhere", "GET / HTTP/1.1\r\nHost: h\r\nReferer: http://evil.example/h\r\n\r\n", true},
        {"referer with user part", "GET / HTTP/1.1\r\nHost: h\r\nReferer: http://h@evil.example/\r\n\r\n", true},
        {"fetch metadata", "GET / HTTP/1.1\r\nHost: h\r\nSec-Fetch-Site: cross-site\r\n\r\n", true},
    };
    for (const auto& c : cases) EXPECT_EQ(http::CrossSite(http::ParseHead(c.head)), c.crossSite) << c.name;

    const std::vector<std::string> own = {"mailhost", "mailhost.office.lan"};
    const std::vector<std::pair<std::string, bool>> hosts = {
        {"", true},           {"127.0.0.1:2600", true},      {"192.168.1.20", true},
        {"[::1]:2600", true}, {"localhost:2600", true},      {"MailHost:2600", true},
        {"mailhost.office.lan.", true},                      {"evil.example:2600", false},
        {"127.0.0.1.evil.example", false},                   {"256.1.1.1", false},
        {"mailhost:x", false}, {"1.2.3", false},
    };
    for (const auto& [host, ok] : hosts) EXPECT_EQ(http::HostAllowed(qev_util::LowerCase(host), own), ok) << host;

    const http::RequestHead h = http::ParseHead(
        "POST /Compose?x=1 HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=\"----q\"\r\n"
        "Content-Length: 12\r\nHost: A:1\r\n\r\nbody");
    EXPECT_EQ(h.method, "post");
    EXPECT_EQ(h.path, "/compose");
    EXPECT_EQ(h.contentLength, 12);
    EXPECT_TRUE(h.multipart);
    EXPECT_EQ(h.boundary, "----q");
    EXPECT_EQ(h.host, "a:1");
}

TEST(HttpRequestParam, LoginCookieComesBackAsTyped) {
    const std::vector<std::pair<std::string, std::string>> logins = {
        {"bob", "secret"}, {"ann smith", "p;w&x=1"}, {"x\r\nSet-Cookie: evil", "50%+off"}, {"", ""}};
    // Logging out leaves no password in the browser.
    EXPECT_EQ(http::LoginCookie("", "secret"), "u=&p=");
    for (const auto& [user, password] : logins) {
        const std::string cookie = http::LoginCookie(user, password);
        EXPECT_EQ(cookie.find_first_of("\r\n; "), std::string::npos) << cookie;
        const std::string request = "GET / HTTP/1.1\r\nCookie: " + cookie + "\r\n\r\n";
        EXPECT_EQ(http::GetRequestParam("u", request), user);
        EXPECT_EQ(http::GetRequestParam("p", request), password);
    }
    EXPECT_EQ(http::LoginCookie("bob", "pw"), "u=bob&p=pw");
}

const std::string kBoundary = "----WebKitFormBoundaryQ1";

std::string Multipart(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string body;
    for (const auto& [name, value] : fields)
        body += "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
    body += "--" + kBoundary + "--\r\n";
    return "POST /compose HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=" + kBoundary +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(HttpMultipartField, ReadsFieldsWhole) {
    const std::string text = Multipart({{"emailto", "a@b.example, c"},
                                        {"emailbody", "line 1\r\n--not a boundary\r\n100%41 + more\r\n"},
                                        {"delete10", "ten.txt"},
                                        {"delete1", "one.txt"},
                                        {"empty", ""}});
    EXPECT_EQ(http::GetRequestParam("Boundary", text), kBoundary);
    struct {
        const char* name;
        std::string want;
    } cases[] = {
        {"emailto", "a@b.example, c"},
        {"emailbody", "line 1\r\n--not a boundary\r\n100%41 + more\r\n"},
        {"delete1", "one.txt"},
        {"delete10", "ten.txt"},
        {"empty", ""},
        {"absent", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(http::GetMultipartField(c.name, text, kBoundary), c.want) << c.name;
    EXPECT_EQ(http::GetMultipartField("emailto", text, ""), "");
}

TEST(HttpMultipartField, UrlEncodedFormsAreDecoded) {
    const std::string text = "POST /webmaillist HTTP/1.1\r\nContent-Length: 40\r\n\r\nDelCount=2&del1=bob_1&del2=bob%5F2&x=a+b";
    EXPECT_EQ(http::GetMultipartField("delcount", text, ""), "2");
    EXPECT_EQ(http::GetMultipartField("Del2", text, ""), "bob_2");
    EXPECT_EQ(http::GetMultipartField("x", text, ""), "a b");
}

struct FramingCase {
    const char* name;
    std::string text;
    http::RequestState want;
};

TEST(HttpFraming, KnowsWhenARequestIsWhole) {
    using S = http::RequestState;
    const std::string big(static_cast<std::size_t>(http::kMaxHeaderBytes) + 10, 'a');
    const std::vector<FramingCase> cases = {
        {"get", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", S::Complete},
        {"get with bare LF", "GET / HTTP/1.1\nHost: x\n\n", S::Complete},
        {"header not ended", "GET / HTTP/1.1\r\nHost: x\r\n", S::Incomplete},
        {"header end split after CR", "GET / HTTP/1.1\r\nHost: x\r\n\r", S::Incomplete},
        {"lone CR line ends", "GET / HTTP/1.1\rHost: x\r\r", S::Complete},
        {"post with lone CRs", "POST / HTTP/1.1\rContent-Length: 2\r\rab", S::Complete},
        {"post whole", "POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", S::Complete},
        {"post short", "POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\nabc", S::Incomplete},
        {"post no space", "POST / HTTP/1.1\r\ncontent-length:3\r\n\r\nabc", S::Complete},
        {"post without length", "POST / HTTP/1.1\r\nHost: x\r\n\r\nabc", S::CompleteWhenQuiet},
        {"length in the body does not count",
         "POST / HTTP/1.1\r\nContent-Length: 30\r\n\r\nContent-Length: 1\r\n", S::Incomplete},
        {"path with get in it", "POST /budget HTTP/1.1\r\nContent-Length: 2\r\n\r\nx", S::Incomplete},
        {"declared body too large", "POST / HTTP/1.1\r\nContent-Length: 999999999\r\n\r\n", S::TooLarge},
        {"length of twenty digits is none", "POST / HTTP/1.1\r\nContent-Length: 44444444444444444444\r\n\r\n",
         S::CompleteWhenQuiet},
        {"header too long", "GET / HTTP/1.1\r\nX: " + big, S::TooLarge},
        {"head request", "HEAD / HTTP/1.1\r\n\r\n", S::Complete},
    };
    for (const auto& c : cases) EXPECT_EQ(http::CheckRequest(c.text), c.want) << c.name;
}

TEST(HttpText, Utf8IsRecognised) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"Sch\xc3\xb6ne Gr\xc3\xbc\xc3\x9f" "e", true}, {"\xe6\x9d\xb1\xe4\xba\xac", true},
        {"plain ASCII", false}, {"Sch\xf6ne", false}, {"\xc3", false}, {"\xed\xa0\x80", false},
        {"\xf0\x9f\x98\x80", true}, {"\xc0\xaf", false},
    };
    for (const auto& [text, utf8] : cases) EXPECT_EQ(http::IsUtf8Text(text), utf8) << text;
}

TEST(HttpText, HtmlEscapeAndNames) {
    const std::vector<std::pair<std::string, std::string>> escapes = {
        {"<script>alert('x')</script>", "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"},
        {"a & \"b\"", "a &amp; &quot;b&quot;"},
        {"\xc3\xa9t\xc3\xa9", "&#233;t&#233;"},
        {"\xe2\x82\xac", "&#8364;"},
        {"\xe9t\xe9", "\xe9t\xe9"},         // not UTF-8: the page's own charset
        {"\xc3", "\xc3"},                   // cut short
        {"\xed\xa0\x80", "\xed\xa0\x80"},   // a surrogate is no character
    };
    for (const auto& [in, want] : escapes) EXPECT_EQ(http::HtmlEscape(in), want) << in;
    EXPECT_EQ(http::UrlEncode("a b/c.d~_-\\"), "a%20b%2Fc.d~_-%5C");
    EXPECT_EQ(http::HintAttributes("it's"),
              " title=\"it&#39;s\" onMouseOver=\"window.status='it\\&#39;s'; return true\" "
              "onMouseOut=\"window.status=''; return true\"");

    for (const char* bad : {"", ".", "..", "a/b", "..\\x", "a\nb"}) EXPECT_FALSE(http::IsPlainName(bad)) << bad;
    for (const char* good : {"bob_123", "a.b", "x y"}) EXPECT_TRUE(http::IsPlainName(good)) << good;

    const std::vector<std::pair<std::string, std::string>> uploads = {
        {"report.pdf", "report.pdf"},   {"C:\\docs\\a.txt", "a.txt"}, {"../../etc/passwd", "passwd"},
        {"", "unknown.txt"},            {"..", "unknown.txt"},        {"dir/", "unknown.txt"},
        {"a\x01" "b.txt", "ab.txt"},
    };
    for (const auto& [in, want] : uploads) EXPECT_EQ(http::SafeUploadName(in), want) << in;
}

TEST(WebmailText, SplitFirstAndAddresses) {
    std::string text = "a, b,c";
    EXPECT_EQ(webmail::SplitFirst(text, ','), "a");
    EXPECT_EQ(text, " b,c");
    text = "last";
    EXPECT_EQ(webmail::SplitFirst(text, ','), "last");
    EXPECT_EQ(text, "");

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Bob <bob@office.lan>", "bob@office.lan"},
        {"\"Smith, Ann\",ann@x.example,extra", "ann@x.example"},
        {"mailto=joe@x.example|y", "joe@x.example"},
        {"no address", ""},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(webmail::AddressAround(in), want) << in;
}

TEST_F(WebHome, SpamKeysNameOnlyHeldSpam) {
    const std::vector<std::pair<std::string, bool>> keys = {
        {"Spam1\\bob_1", true}, {"spam2/bob_1", true},    {"in\\bob_1", false},
        {"Spam1\\..", false},   {"Spam1\\a\\b", false},   {"..\\Spam1\\x", false},
        {"Spam1", false},       {"Deleted\\bob_1", false},
    };
    for (const auto& [key, ok] : keys) {
        const std::string path = http::SpamKeyPath(key);
        EXPECT_EQ(!path.empty(), ok) << key;
        if (ok) {
            EXPECT_EQ(path.rfind(ProgramDir, 0), 0u) << path;
        }
    }
}

TEST_F(WebHome, ComposeFormIsReadWithoutItsFileData) {
    const std::string data(200000, '\x01');
    const std::string request =
        "POST /compose HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=" + kBoundary + "\r\n\r\n--" +
        kBoundary + "\r\nContent-Disposition: form-data; name=\"emailto\"\r\n\r\nann\r\n--" + kBoundary +
        "\r\nContent-Disposition: form-data; name=\"atchfile\"; filename=\"a.bin\"\r\n"
        "Content-Type: application/octet-stream\r\n\r\n" + data + "\r\n--" + kBoundary +
        "\r\nContent-Disposition: form-data; name=\"emailbody\"\r\n\r\nline 1\r\n--x\r\n--" + kBoundary + "--\r\n";
    Write("spool", request);
    std::string text;
    ASSERT_TRUE(http::LoadRequestWithoutFiles(ProgramDir + "spool", kBoundary, text));
    EXPECT_LT(text.size(), 1000u);
    EXPECT_EQ(http::GetMultipartField("emailto", text, kBoundary), "ann");
    EXPECT_EQ(http::GetMultipartField("emailbody", text, kBoundary), "line 1\r\n--x");
    EXPECT_EQ(http::GetMultipartField("atchfile", text, kBoundary), "");
    // The upload itself is still copied from the spool.
    ASSERT_TRUE(http::SaveUploadedAttachment(ProgramDir + "spool", "bob", kBoundary));
    EXPECT_EQ(Read("attach/bob/a.bin"), data);
    EXPECT_FALSE(http::LoadRequestWithoutFiles(ProgramDir + "missing", kBoundary, text));
}

TEST(WebmailText, FormTextArrivesAsUtf8) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain", "plain"},
        {"Gr\xc3\xbc\xc3\x9f" "e", "Gr\xc3\xbc\xc3\x9f" "e"},           // UTF-8 as it is
        {"Gr\xfc\xdf" "e \x80", "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac"},  // windows-1252
        {"&#26481;&#x4EAC;", "\xe6\x9d\xb1\xe4\xba\xac"},
        {"&#38; &#60;b&#62; &#65;", "&#38; &#60;b&#62; &#65;"},         // typed by the user
        {"&#26481 &#; &#xZZ; &#99999999;", "&#26481 &#; &#xZZ; &#99999999;"},
        {"\xfc&#26481;", "\xc3\xbc\xe6\x9d\xb1"},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(webmail::FormText(in), want) << in;
}

TEST_F(WebHome, UploadedAttachmentIsStoredByteForByte) {
    std::string data;
    for (int i = 0; i < 3; ++i)
        for (int c = 0; c < 256; ++c) data += static_cast<char>(c);
    data += "\r\n--" + kBoundary.substr(0, 10) + "\r\n\r\n";
    auto request = [&](const std::string& filename, const std::string& bytes) {
        return "POST /compose HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=" + kBoundary + "\r\n\r\n--" +
               kBoundary + "\r\nContent-Disposition: form-data; name=\"emailto\"\r\n\r\nx\r\n--" + kBoundary +
               "\r\nContent-Disposition: form-data; name=\"atchfile\"; filename=\"" + filename +
               "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + bytes + "\r\n--" + kBoundary +
               "\r\nContent-Disposition: form-data; name=\"addfile\"\r\n\r\nadd\r\n--" + kBoundary + "--\r\n";
    };
    struct {
        std::string filename, bytes, stored;
    } cases[] = {
        {"C:\\My Files\\data.bin", data, "data.bin"},
        {"data.bin", "second", "data.bin"},  // the same name replaces the first upload
        {"", "", "unknown.txt"},
        {"../../../escape.txt", "E", "escape.txt"},
    };
    for (const auto& c : cases) {
        Write("req", request(c.filename, c.bytes));
        ASSERT_TRUE(http::SaveUploadedAttachment(ProgramDir + "req", "bob", kBoundary)) << c.filename;
        EXPECT_EQ(Read("attach/bob/" + c.stored), c.bytes) << c.filename;
    }
    EXPECT_FALSE(Exists("escape.txt"));
    EXPECT_FALSE(http::SaveUploadedAttachment(ProgramDir + "req", "../x", kBoundary));
    EXPECT_FALSE(http::SaveUploadedAttachment(ProgramDir + "req", "bob", ""));
}

}  // namespace
