// Deflate and CRC-32 of the crash library against python3's zlib: intact
// streams of every block kind, damaged and truncated streams, and the
// container rules around them.
#include <fcntl.h>
#include <unistd.h>

#include <random>

#include "crash/zel_types.h"
#include "crash/zel_zip.h"
#include "crash_test_util.h"

using namespace crashtest;

namespace {

// Writes intact cases (c*.z / c*.p) and damaged ones (d*.z with python's
// verdict in d*.r: "ok" plus d*.p, or "err").
const char* kZlibCases = R"PY(
import os, random, sys, zlib
out = sys.argv[1]
rnd = random.Random(1234)
def raw(data, level=6, strategy=zlib.Z_DEFAULT_STRATEGY, wbits=-15, mem=8):
    c = zlib.compressobj(level, zlib.DEFLATED, wbits, mem, strategy)
    return c.compress(data) + c.flush()
words = [b"mail", b"server", b"queue", b"\r\n", b"From: ", b"relay", b" "]
def text(n):
    s = b""
    while len(s) < n: s += rnd.choice(words)
    return s[:n]
cases = [
  (b"", 6, zlib.Z_DEFAULT_STRATEGY),
  (b"a", 6, zlib.Z_DEFAULT_STRATEGY),
  (bytes(rnd.getrandbits(8) for _ in range(70000)), 6, zlib.Z_DEFAULT_STRATEGY),
  (bytes(rnd.getrandbits(8) for _ in range(100000)), 0, zlib.Z_DEFAULT_STRATEGY),
  (text(200000), 9, zlib.Z_DEFAULT_STRATEGY),
  (text(50000), 6, zlib.Z_FIXED),
  (text(50000), 6, zlib.Z_HUFFMAN_ONLY),
  (text(50000), 6, zlib.Z_RLE),
  (b"\0" * 300000, 9, zlib.Z_DEFAULT_STRATEGY),
  (b"ab" * 40000, 1, zlib.Z_DEFAULT_STRATEGY),
]
# far matches: a random block repeated just under 32 KiB later
blk = bytes(rnd.getrandbits(8) for _ in range(1000))
cases.append((blk + bytes(rnd.getrandbits(8) for _ in range(31700)) + blk, 9, zlib.Z_DEFAULT_STRATEGY))
for i, (data, level, strat) in enumerate(cases):
    open(os.path.join(out, "c%d.z" % i), "wb").write(raw(data, level, strat))
    open(os.path.join(out, "c%d.p" % i), "wb").write(data)
# damaged: bit flips, truncation, random bytes, wrong block type
n = 0
for k in range(400):
    data = text(rnd.randint(1, 3000)) if k % 2 else bytes(rnd.getrandbits(8) for _ in range(rnd.randint(1, 600)))
    z = bytearray(raw(data, rnd.choice([0, 1, 6, 9]), rnd.choice([zlib.Z_DEFAULT_STRATEGY, zlib.Z_FIXED])))
    kind = k % 4
    if kind == 0:
        for _ in range(rnd.randint(1, 3)):
            p = rnd.randrange(len(z)); z[p] ^= 1 << rnd.randrange(8)
    elif kind == 1:
        z = z[:rnd.randrange(len(z))]
    elif kind == 2:
        z = bytearray(rnd.getrandbits(8) for _ in range(rnd.randint(0, 200)))
    else:
        p = rnd.randrange(len(z)); z[p] = rnd.getrandbits(8)
    d = zlib.decompressobj(-15)
    try:
        res = d.decompress(bytes(z)); ok = d.eof
    except zlib.error:
        ok = False
    open(os.path.join(out, "d%d.z" % n), "wb").write(bytes(z))
    open(os.path.join(out, "d%d.r" % n), "w").write("ok" if ok else "err")
    if ok: open(os.path.join(out, "d%d.p" % n), "wb").write(res)
    n += 1
print(len(cases), n)
)PY";

std::string Container(const std::string& deflated, std::uint32_t size, std::uint32_t crc) {
    std::string c(12, '\0');
    for (int i = 0; i < 4; ++i) {
        c[i] = static_cast<char>(size >> (8 * i));
        c[4 + i] = 'x';
        c[8 + i] = static_cast<char>(crc >> (8 * i));
    }
    return c + deflated;
}

std::int64_t InflateText(const std::string& deflated, std::string& out, std::size_t limit = SIZE_MAX) {
    out.clear();
    return zelZip::InflateStreams(zelZip::TZipStream::Memory(deflated.data(), deflated.size()),
                                  zelZip::TZipStream::Text(out, limit));
}

class ZelZipPython : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        bool ok = false;
        std::string counts = RunPython(*dir_, kZlibCases, dir_->File(""), &ok);
        ASSERT_TRUE(ok) << counts;
        std::istringstream(counts) >> intact_ >> damaged_;
    }
    static void TearDownTestSuite() { delete dir_; }
    static TempDir* dir_;
    static int intact_, damaged_;
};
TempDir* ZelZipPython::dir_ = nullptr;
int ZelZipPython::intact_ = 0;
int ZelZipPython::damaged_ = 0;

}  // namespace

TEST_F(ZelZipPython, IntactStreamsOfEveryBlockKindInflateExactly) {
    ASSERT_GT(intact_, 0);
    for (int i = 0; i < intact_; ++i) {
        std::string z = ReadFile(dir_->File("c" + std::to_string(i) + ".z"));
        std::string plain = ReadFile(dir_->File("c" + std::to_string(i) + ".p"));
        std::string out;
        EXPECT_EQ(InflateText(z, out), std::int64_t(plain.size())) << "case " << i;
        EXPECT_TRUE(out == plain) << "case " << i;

        // The container form, and the CRC the inflater keeps while writing.
        std::uint32_t crc = zelZip::Crc32(plain.data(), plain.size());
        std::string viaContainer;
        EXPECT_TRUE(zelZip::Inflate(Container(z, std::uint32_t(plain.size()), crc), viaContainer));
        EXPECT_TRUE(viaContainer == plain) << "case " << i;
        std::string fixed(plain.size(), '\0');
        std::uint32_t running = 0xFFFFFFFFu;
        EXPECT_EQ(zelZip::InflateStreams(zelZip::TZipStream::Memory(z.data(), z.size()),
                                         zelZip::TZipStream::MemoryOut(fixed.data(), fixed.size()),
                                         &running),
                  std::int64_t(plain.size()));
        EXPECT_EQ(running ^ 0xFFFFFFFFu, crc) << "case " << i;
    }
}

TEST_F(ZelZipPython, DamagedStreamsFailLikeZlibAndNeverOverrun) {
    ASSERT_GT(damaged_, 0);
    int failures = 0;
    for (int i = 0; i < damaged_; ++i) {
        std::string base = dir_->File("d" + std::to_string(i));
        std::string z = ReadFile(base + ".z");
        bool zlibOk = ReadFile(base + ".r") == "ok";
        std::string out;
        std::int64_t n = InflateText(z, out);
        if (zlibOk) {
            std::string expect = ReadFile(base + ".p");
            EXPECT_EQ(n, std::int64_t(expect.size())) << "stream " << i;
            EXPECT_TRUE(out == expect) << "stream " << i;
        } else {
            EXPECT_EQ(n, -1) << "stream " << i;
            ++failures;
        }
        // A destination one byte too small must stop the stream, not overflow.
        if (zlibOk && n > 0) {
            std::vector<char> tight(static_cast<std::size_t>(n - 1));
            EXPECT_EQ(zelZip::InflateStreams(zelZip::TZipStream::Memory(z.data(), z.size()),
                                             zelZip::TZipStream::MemoryOut(tight.data(), tight.size())),
                      -1);
        }
    }
    EXPECT_GT(failures, damaged_ / 4);  // the damage really was damage
}

TEST_F(ZelZipPython, Crc32MatchesZlibAndContinues) {
    std::mt19937 rng(7);
    std::string data(100000, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    WriteFile(dir_->File("crc.bin"), data);
    bool ok = false;
    std::string expect = RunPython(*dir_,
        "import sys,zlib\nd=open(sys.argv[1],'rb').read()\n"
        "print(zlib.crc32(d), zlib.crc32(d[:1]), zlib.crc32(b''), zlib.crc32(d[:33333]))\n",
        dir_->File("crc.bin"), &ok);
    ASSERT_TRUE(ok);
    std::istringstream in(expect);
    std::uint32_t whole, one, none, part;
    in >> whole >> one >> none >> part;
    EXPECT_EQ(zelZip::Crc32(data.data(), data.size()), whole);
    EXPECT_EQ(zelZip::Crc32(data.data(), 1), one);
    EXPECT_EQ(zelZip::Crc32(data.data(), 0), none);
    EXPECT_EQ(zelZip::Crc32(data.data(), 33333), part);
    std::uint32_t running = zelZip::UpdateCrc32(0xFFFFFFFFu, data.data(), 1000);
    running = zelZip::UpdateCrc32(running, data.data() + 1000, data.size() - 1000);
    EXPECT_EQ(running ^ 0xFFFFFFFFu, whole);
}

TEST_F(ZelZipPython, FilesGoThroughInWindowsAndWriteFailuresRaise) {
    // c4 is 200000 bytes of text: several output flushes, one input window.
    std::string src = dir_->File("c4.z"), dst = dir_->File("c4.out");
    int in = open(src.c_str(), O_RDONLY);
    int out = open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    std::uint32_t crc = 0xFFFFFFFFu;
    std::int64_t n = zelZip::InflateStreams(zelZip::TZipStream::File(in), zelZip::TZipStream::File(out), &crc);
    close(in);
    close(out);
    std::string plain = ReadFile(dir_->File("c4.p"));
    EXPECT_EQ(n, std::int64_t(plain.size()));
    EXPECT_TRUE(ReadFile(dst) == plain);
    EXPECT_EQ(crc ^ 0xFFFFFFFFu, zelZip::Crc32(plain.data(), plain.size()));

    int full = open("/dev/full", O_WRONLY);
    if (full < 0) GTEST_SKIP() << "no /dev/full";
    std::string z = ReadFile(src);
    try {
        zelZip::InflateStreams(zelZip::TZipStream::Memory(z.data(), z.size()), zelZip::TZipStream::File(full));
        ADD_FAILURE() << "no exception";
    } catch (const ZelException& e) {
        EXPECT_EQ(e.Message, "Stream write error.");
    }
    close(full);
}

TEST(ZelZip, ContainerRules) {
    // "hello" as a fixed-Huffman block, from zlib.
    const std::string hello = FromHex("cb48cdc9c90700");
    const std::uint32_t crc = zelZip::Crc32("hello", 5);
    struct Case {
        const char* what;
        std::string container;
        bool ok;
        std::string plain;
    } cases[] = {
        {"intact", Container(hello, 5, crc), true, "hello"},
        {"crc mismatch", Container(hello, 5, crc ^ 1), false, ""},
        {"header only", Container("", 5, crc), false, ""},
        {"twelve bytes or fewer", Container("", 0, 0).substr(0, 12), false, ""},
        {"empty", "", false, ""},
        {"stated length larger: cut to what was produced", Container(hello, 100, crc), true, "hello"},
        {"stated length smaller: output would not fit", Container(hello, 3, crc), false, ""},
        {"stated length huge: no huge allocation", Container(hello, 0xFFFFFFFFu, crc), true, "hello"},
        {"truncated stream", Container(hello.substr(0, 3), 5, crc), false, ""},
        {"reserved block type", Container(FromHex("07"), 5, crc), false, ""},
    };
    for (const auto& c : cases) {
        std::string plain = "stale";
        EXPECT_EQ(zelZip::Inflate(c.container, plain), c.ok) << c.what;
        EXPECT_EQ(plain, c.plain) << c.what;
    }
}

TEST(ZelZip, BackReferencesBeforeTheStartAreRejected) {
    // Fixed block: literal 'a', then length 3 at distance 2 (only 1 byte
    // produced so far), then end of block.
    struct Case {
        const char* what;
        std::string stream;
    } cases[] = {
        {"distance beyond output", FromHex("4b044200")},
        {"stored block with bad complement", FromHex("010500050068656c6c6f")},
        {"dynamic block with too many length codes", FromHex("fd")},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(InflateText(c.stream, out), -1) << c.what;
    }
}
