// Shared set-up of the rules tests: add-in libraries built for the test
// from one source in several variants, copied into the Addins folder.
#pragma once

#include "filters/addinrule.h"

#include "filters/filters_env.h"

#include <QTemporaryDir>

#include <filesystem>
#include <string>
#include <vector>

namespace rules_test {

using filters_test::FiltersEnv;
using filters_test::Read;
using filters_test::Shell;
using filters_test::Write;
using AddInRule::TRule;
namespace fs = std::filesystem;

// Every add-in variant the tests use comes from this one source.
const char* const AddinSource = R"(
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
static void put(unsigned char* b, const char* s) {
    size_t n = strlen(s); if (n > 255) n = 255;
    b[0] = (unsigned char)n; memcpy(b + 1, s, n);
}
static void get(const unsigned char* b, char* out) { memcpy(out, b + 1, b[0]); out[b[0]] = 0; }
#ifdef ADDIN_NAME
void TWAddinName(unsigned char* b) { put(b, ADDIN_NAME); }
#endif
#ifdef ADDIN_DESC
void TWAddinDesc(unsigned char* b) { put(b, ADDIN_DESC); }
#endif
#ifdef ADDIN_PARAMS
void TWAddinParams(unsigned char* b) { put(b, ADDIN_PARAMS); }
#endif
#ifdef WITH_CONFIGURE
void TWConfigure(void) { FILE* f = fopen(getenv("TW_TEST_CONFIGURE_MARK"), "w"); if (f) fclose(f); }
#endif
static unsigned char act(const char* tag, int32_t kind, unsigned char* f, unsigned char* p, unsigned char* u) {
    char file[256], params[256], user[256] = "-";
    get(f, file); get(p, params); if (u) get(u, user);
#ifdef CRASH
    abort();
#endif
    /* Scribbling on the buffers must not reach the caller. */
    memset(p, 'Z', 256);
    if (strcmp(params, "delete") == 0) { remove(file); return 1; }
    FILE* out = fopen(file, "ab");
    if (!out) return 0;
    fprintf(out, "X-%s: kind=%d params=%s user=%s\r\n", tag, (int)kind, params, user);
    fclose(out);
    return strcmp(params, "stop") == 0 ? 0 : 256 + 1; /* only the low byte counts */
}
#ifdef WITH_NEW
unsigned char TWNewAddinAction(int32_t k, unsigned char* f, unsigned char* p, unsigned char* u) {
    return act(TAG "-new", k, f, p, u);
}
#endif
#ifdef WITH_OLD
unsigned char TWAddinAction(int32_t k, unsigned char* f, unsigned char* p) { return act(TAG "-old", k, f, p, 0); }
#endif
)";

struct Variant {
    const char* file;
    const char* flags;
};
const Variant Variants[] = {
    {"stamp.so",
     "-Wl,-soname,libstamp.so.2.5.1 -DADDIN_NAME='\"Stamper\"' -DADDIN_DESC='\"Adds a header line\"' "
     "-DADDIN_PARAMS='\"The text to add\"' -DWITH_NEW -DWITH_CONFIGURE -DTAG='\"Stamper\"'"},
    {"legacy.so", "-DADDIN_NAME='\"Legacy\"' -DADDIN_DESC='\"Old style\"' -DWITH_OLD -DTAG='\"Legacy\"'"},
    {"both.so",
     "-Wl,-soname,libboth.so -DADDIN_NAME='\"Both\"' -DADDIN_DESC='\"Two entry points\"' -DWITH_NEW -DWITH_OLD "
     "-DTAG='\"Both\"'"},
    {"crash.so", "-DADDIN_NAME='\"Crasher\"' -DADDIN_DESC='\"Dies\"' -DWITH_NEW -DCRASH -DTAG='\"Crasher\"'"},
    {"quiet.so", "-DADDIN_NAME='\"Quiet\"' -DWITH_NEW -DTAG='\"Quiet\"'"},
    {"noname.so", "-DWITH_NEW -DTAG='\"Noname\"'"},
};

class RulesEnv : public FiltersEnv {
protected:
    static void SetUpTestSuite() {
        libs_ = new QTemporaryDir;
        const std::string dir = libs_->path().toStdString() + "/";
        Write(dir + "addin.c", AddinSource);
        for (const auto& v : Variants) {
            int status = -1;
            const std::string out = Shell("cc -shared -fPIC -o " + dir + v.file + " " + v.flags + " " + dir +
                                              "addin.c 2>&1",
                                          &status);
            ASSERT_EQ(status, 0) << out;
        }
    }
    static void TearDownTestSuite() {
        delete libs_;
        libs_ = nullptr;
    }

    void SetUp() override {
        FiltersEnv::SetUp();
        AddInRule::SetHostProgram(TW_ADDIN_HOST);
        const std::string addins = smtp::StoreFolder(smtp::FolderAddins);
        for (const auto& v : Variants)
            fs::copy_file(libs_->path().toStdString() + "/" + v.file, addins + v.file);
        // Not a library at all.
        Write(addins + "broken.so", "this is no library\n");
        Start();
    }
    void TearDown() override {
        Stop();
        AddInRule::SetCallLimit(std::chrono::seconds(30));
        AddInRule::SetHostProgram("");
        FiltersEnv::TearDown();
    }

    // The add-in table as start-up loads it; the windows' tests start the
    // windows instead.
    virtual void Start() { AddInRule::LoadAddinTable(smtp::StoreFolder(smtp::FolderAddins)); }
    virtual void Stop() { AddInRule::FreeAddinTable(); }

    static TRule Rule(const std::string& name, const std::string& addin1, const std::string& params1 = "") {
        TRule r;
        r.Name = name;
        r.InTo = "All Users";
        r.POP = r.Internal = r.Spam = "yes";
        r.Addin[0] = addin1;
        r.Params[0] = params1;
        return r;
    }

    std::string Message(const std::string& user = "bob") {
        return Deliver(user, "090000001", "From: x@outside.example\r\nSubject: Hello\r\n\r\nBody\r\n");
    }

    // The lines the add-ins appended, in order.
    static std::vector<std::string> Added(const std::string& file) {
        std::vector<std::string> lines;
        for (const auto& line : smtp::SplitLines(Read(file)))
            if (line.rfind("X-", 0) == 0) lines.push_back(line);
        return lines;
    }

    static inline QTemporaryDir* libs_ = nullptr;
};

}  // namespace rules_test
