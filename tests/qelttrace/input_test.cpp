// qelttrace's inputs as users save them, below the program (so also under
// Wine): each compression and encoding of one dump gives the plain dump's
// records in every output, by name and from bytes at hand; the decoding
// layer's bytes at the edges (marks cut short, surrogates, odd bytes, empty
// and padded members, damage of every kind) read in blocks of every small
// size; streams that expand far beyond their size; the check of a named file
// before a run.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "input/byte_source.h"
#include "input/input_reader.h"
#include "pipeline.h"
#include "platform/platform.h"
#include "support/encodings.h"
#include "trace/sata_format.h"

namespace {

using namespace qelttrace;
using qelttest::gzipped;
using qelttest::utf16;
using qelttest::zstdFrames;

namespace fs = std::filesystem;

// A directory of the test's own, removed with what it holds.
class TempDir {
  public:
    TempDir() {
        static int made = 0;
        path_ =
            fs::temp_directory_path() /
            ("qelttrace-input-" + std::to_string(qelt_process_id()) + "-" + std::to_string(++made));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string write(const std::string& name, const std::string& content) const {
        const std::string file = (path_ / name).string();
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }
    std::string path(const std::string& name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

std::string readAll(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A dump of some length (past two read blocks): the banner, records of
// several tags, a line that does not decode, an empty line, a record longer
// than the chunk limit, and one character past ASCII in a record text.
std::string sampleDump() {
    std::string dump = "SATA history dump\r\n";
    for (int i = 0; i < 5000; ++i) {
        const std::string time =
            std::to_string(1523 + i / 1000) + "." + std::to_string(100000000 + (i % 1000) * 1000);
        dump += "  " + time + " 0 " + std::to_string(i % 7 + 2) + " " + std::to_string(i) + "\r\n";
        if (i == 1000) dump += "  1524.000000001 ABCD 2 0\r\n\r\n";
        if (i == 2000) dump += "  1525.000000001 0 2 " + std::string(5000, 'x') + "\r\n";
        if (i == 4000) dump += "  1525.500000001 0 2 5 \xc2\xb5s\r\n";
    }
    return dump;
}

struct Decoding {
    bool ok = true;
    std::string text, csv, jsonl, stats, diagnostics;
};

// One run of qelttrace's pipeline, every record output kept.
Decoding decode(const std::function<bool(InputReader&)>& feed) {
    static int runs = 0;
    const TempDir dir;
    const std::string diagnosticsPath = dir.path("diagnostics" + std::to_string(++runs));
    FILE* diagnostics = std::fopen(diagnosticsPath.c_str(), "wb");
    EXPECT_NE(diagnostics, nullptr);
    Decoding run;
    SataResetTiming();
    {
        Output text(&run.text), csv(&run.csv), jsonl(&run.jsonl), stats(&run.stats);
        Settings settings;
        settings.stats = StatsFormat::kJson;
        settings.title = "input";
        Outputs outputs;
        outputs.text = &text;
        outputs.csv = &csv;
        outputs.jsonl = &jsonl;
        outputs.stats = &stats;
        Pipeline pipeline(settings, outputs, diagnostics);
        run.ok = feed(pipeline.input());
        pipeline.finish();
    }
    std::fclose(diagnostics);
    run.diagnostics = readAll(diagnosticsPath);
    return run;
}

Decoding decodeBytes(const std::string& name, const std::string& bytes) {
    return decode([&](InputReader& in) { return in.feedFile(name, bytes.data(), bytes.size()); });
}

struct Decoded {
    std::string bytes;
    std::string error;
};

// The decoding layer alone, read `block` bytes at a time.
Decoded layer(const std::string& input, std::size_t block = 64 * 1024) {
    auto source = decodedInput(std::make_unique<MemorySource>(input.data(), input.size()));
    Decoded d;
    std::vector<char> buffer(block);
    while (const std::size_t got = source->read(buffer.data(), buffer.size())) {
        d.bytes.append(buffer.data(), got);
    }
    EXPECT_EQ(source->read(buffer.data(), buffer.size()), 0u) << "nothing after the end";
    d.error = source->error();
    return d;
}

// Every form a dump is saved or archived in gives the plain dump's output,
// every byte of every output, from bytes at hand and by name; a form this
// build cannot read is refused, with nothing decoded.
TEST(InputForms, EachFormGivesThePlainDumpsOutput) {
    const std::string dump = sampleDump();
    ASSERT_GT(dump.size(), 2u * 64 * 1024);
    const Decoding plain = decodeBytes("plain", dump);
    ASSERT_TRUE(plain.ok);
    ASSERT_EQ(plain.diagnostics, "");
    ASSERT_NE(plain.text.find("PARSE ERROR - ABCD 2 0"), std::string::npos);
    ASSERT_NE(plain.csv.find("5 \xc2\xb5s"), std::string::npos);

    struct Form {
        const char* name;
        std::string bytes;
        bool zstd;
    } const forms[] = {
        {"UTF-8 with its mark", "\xef\xbb\xbf" + dump, false},
        {"UTF-16LE with its mark", utf16(dump, false), false},
        {"UTF-16BE with its mark", utf16(dump, true), false},
        {"gzip", gzipped(dump), false},
        {"gzip of UTF-16LE", gzipped(utf16(dump, false)), false},
        {"gzip of UTF-8 with its mark", gzipped("\xef\xbb\xbf" + dump), false},
        {"gzip in seven members, zero padding after them", gzipped(dump, 7) + std::string(9, '\0'),
         false},
        {"an empty gzip member, then the dump's", gzipped("") + gzipped(dump), false},
        {"zstd", zstdFrames(dump), true},
        {"zstd in three frames after a skippable one",
         qelttest::zstdSkippable("qelt") + zstdFrames(dump, 3), true},
        {"zstd of UTF-16BE", zstdFrames(utf16(dump, true)), true},
    };
    const TempDir dir;
    for (const Form& form : forms) {
        const std::string file = dir.write("form", form.bytes);
        const Decoding fromBytes = decodeBytes("form", form.bytes);
        const Decoding byName = decode([&](InputReader& in) { return in.read(file); });
        if (form.zstd && !canReadZstd()) {
            for (const Decoding* run : {&fromBytes, &byName}) {
                EXPECT_FALSE(run->ok) << form.name;
                EXPECT_NE(run->diagnostics.find(kZstdUnsupported), std::string::npos)
                    << run->diagnostics;
                EXPECT_EQ(run->jsonl, "") << form.name;
            }
            continue;
        }
        for (const Decoding* run : {&fromBytes, &byName}) {
            EXPECT_TRUE(run->ok) << form.name;
            EXPECT_EQ(run->diagnostics, "") << form.name;
            EXPECT_EQ(run->text, plain.text) << form.name;
            EXPECT_EQ(run->csv, plain.csv) << form.name;
            EXPECT_EQ(run->jsonl, plain.jsonl) << form.name;
            EXPECT_EQ(run->stats, plain.stats) << form.name;
        }
    }
}

// The layer's bytes for inputs at its edges, read whole and in blocks of one
// to seven bytes (a character cut at the end of a read, a mark cut short).
TEST(InputForms, TheDecodingLayerAtItsEdges) {
    const std::string sample = "  1523.104233120 0 4 0000\r\n";
    const std::string replacement = "\xef\xbf\xbd";
    const std::string gz = gzipped(sample);
    std::string badCrc = gz;
    badCrc[badCrc.size() - 6] = static_cast<char>(badCrc[badCrc.size() - 6] ^ 1);
    std::string badDeflate = gzipped(std::string(2000, 'a') + sample);
    badDeflate[10] = '\x07';  // the first block: the last, of the reserved type
    const std::string zst = zstdFrames(sample);
    std::string badZstd = qelttest::zstdRun('a', 10);
    badZstd[6] = static_cast<char>(badZstd[6] | 0x06);  // a block of the reserved type
    struct Case {
        const char* name;
        std::string input;
        std::string bytes;  // what the layer gives
        std::string error;  // what its error begins with, or ""
        bool zstd = false;
    } const cases[] = {
        {"nothing", "", "", ""},
        {"one byte", "x", "x", ""},
        {"half a gzip magic", "\x1f", "\x1f", ""},
        {"half a UTF-16 mark", "\xff", "\xff", ""},
        {"two thirds of a UTF-8 mark", "\xef\xbb", "\xef\xbb", ""},
        {"a UTF-8 mark alone", "\xef\xbb\xbf", "", ""},
        {"a UTF-16 mark alone", "\xff\xfe", "", ""},
        {"UTF-16 without a mark stays bytes", std::string("a\0b\0", 4), std::string("a\0b\0", 4),
         ""},
        {"UTF-16LE, an odd last byte",
         std::string("\xff\xfe"
                     "a\0b",
                     5),
         "a" + replacement, ""},
        {"UTF-16BE, an odd last byte", std::string("\xfe\xff\0a\0", 5), "a" + replacement, ""},
        {"UTF-16LE past ASCII", std::string("\xff\xfe\xe9\0\xac\x20\xff\xfe", 8),
         "\xc3\xa9\xe2\x82\xac\xef\xbb\xbf", ""},
        {"UTF-16LE, a surrogate pair", std::string("\xff\xfe\x3d\xd8\x00\xde", 6),
         "\xf0\x9f\x98\x80", ""},
        {"UTF-16BE, a surrogate pair", std::string("\xfe\xff\xd8\x3d\xde\x00", 6),
         "\xf0\x9f\x98\x80", ""},
        {"UTF-16LE, a high surrogate at the end",
         std::string("\xff\xfe"
                     "a\0\x3d\xd8",
                     6),
         "a" + replacement, ""},
        {"UTF-16LE, a high surrogate and an odd byte", std::string("\xff\xfe\x3d\xd8z", 5),
         replacement + replacement, ""},
        {"UTF-16LE, a high surrogate before a letter",
         std::string("\xff\xfe\x3d\xd8"
                     "a\0",
                     6),
         replacement + "a", ""},
        {"UTF-16LE, two high surrogates then a low one",
         std::string("\xff\xfe\x3d\xd8\x3d\xd8\x00\xde", 8), replacement + "\xf0\x9f\x98\x80", ""},
        {"UTF-16LE, a lone low surrogate",
         std::string("\xff\xfe\x00\xde"
                     "a\0",
                     6),
         replacement + "a", ""},
        {"UTF-16LE, a NUL", std::string("\xff\xfe\0\0", 4), std::string(1, '\0'), ""},
        {"an empty gzip", gzipped(""), "", ""},
        {"gzip, zero padding", gz + std::string(1000, '\0'), sample, ""},
        {"gzip cut in its trailer", gz.substr(0, gz.size() - 3), sample,
         "gzip data cut short: the file ends inside its compressed data"},
        {"gzip cut after its header", gz.substr(0, 10), "", "gzip data cut short"},
        {"gzip with a wrong CRC", badCrc, sample, "gzip data damaged (incorrect data check)"},
        {"gzip with a bad block", badDeflate, "", "gzip data damaged (invalid block type)"},
        {"gzip, then something else", gz + "trailing words", sample,
         "gzip data damaged (incorrect header check)"},
        {"zstd", zst, sample, "", true},
        {"zstd cut short", zst.substr(0, zst.size() - 2), sample, "zstd data cut short", true},
        {"zstd magic alone", zst.substr(0, 4), "", "zstd data cut short", true},
        {"zstd with a bad block", badZstd, "", "zstd data damaged", true},
        {"zstd, skippable frames only", qelttest::zstdSkippable("a") + qelttest::zstdSkippable(""),
         "", "", true},
    };
    for (const Case& c : cases) {
        for (const std::size_t block : {std::size_t{64 * 1024}, std::size_t{1}, std::size_t{2},
                                        std::size_t{3}, std::size_t{5}, std::size_t{7}}) {
            const Decoded d = layer(c.input, block);
            if (c.zstd && !canReadZstd()) {
                EXPECT_EQ(d.bytes, "") << c.name;
                EXPECT_EQ(d.error, kZstdUnsupported) << c.name;
                continue;
            }
            // Damage may show before the last bytes decoded out of a block.
            if (c.error.empty()) {
                EXPECT_EQ(d.bytes, c.bytes) << c.name << ", blocks of " << block;
                EXPECT_EQ(d.error, "") << c.name << ", blocks of " << block;
            } else {
                EXPECT_EQ(c.bytes.rfind(d.bytes, 0), 0u) << c.name << ", blocks of " << block;
                EXPECT_EQ(d.error.rfind(c.error, 0), 0u) << d.error;
            }
        }
    }
}

// A surrogate pair and an odd byte across the transcoder's blocks, under a
// gzip stage whose own blocks fall elsewhere: the bytes come out as the
// whole text gives them, read in blocks of any size.
TEST(InputForms, CharactersAcrossBlocks) {
    std::string text(64 * 1024 / 2 - 1, 'a');  // the pair's halves in two blocks
    text += "\xf0\x9f\x98\x80";
    for (int i = 0; i < 70000; ++i) text += (i % 3 == 0) ? "\xc3\xa9" : "z";
    text += "\xe2\x82\xac";
    for (const bool bigEndian : {false, true}) {
        const std::string encoded = utf16(text, bigEndian);
        for (const std::string& input : {encoded, gzipped(encoded, 3)}) {
            for (const std::size_t block : {std::size_t{64 * 1024}, std::size_t{4093}}) {
                const Decoded d = layer(input, block);
                EXPECT_EQ(d.error, "");
                EXPECT_TRUE(d.bytes == text) << "big endian " << bigEndian << ", blocks " << block;
            }
        }
        const Decoded odd = layer(encoded + "z");
        EXPECT_EQ(odd.bytes, text + "\xef\xbf\xbd");
    }
}

// A small input that decompresses to far more than any buffer is read as a
// stream: every byte arrives, in blocks, whatever it expands to.
TEST(InputForms, StreamsThatExpandFarBeyondTheirSize) {
    const std::size_t gzipSize = 32u << 20;
    const std::size_t zstdSize = 64u << 20;
    const std::string gzipBomb = gzipped(std::string(gzipSize, 'a'));
    const std::string zstdBomb = qelttest::zstdRun('b', zstdSize);
    EXPECT_LT(gzipBomb.size(), gzipSize / 500);
    EXPECT_LT(zstdBomb.size(), zstdSize / 10000);
    struct Case {
        const std::string& input;
        std::size_t size;
        char byte;
    } const cases[] = {{gzipBomb, gzipSize, 'a'}, {zstdBomb, zstdSize, 'b'}};
    for (const Case& c : cases) {
        if (&c.input == &zstdBomb && !canReadZstd()) continue;
        auto source = decodedInput(std::make_unique<MemorySource>(c.input.data(), c.input.size()));
        std::vector<char> block(64 * 1024);
        std::size_t total = 0, others = 0;
        while (const std::size_t got = source->read(block.data(), block.size())) {
            total += got;
            for (std::size_t i = 0; i < got; ++i) others += block[i] != c.byte;
        }
        EXPECT_EQ(source->error(), "");
        EXPECT_EQ(total, c.size);
        EXPECT_EQ(others, 0u);
    }
}

// What the up-front check says of a name: nothing of a file it can read, the
// system's reason otherwise, and of a zstd file in a build without zstd the
// refusal. A damaged compressed file opens: its damage shows when it is read.
TEST(InputForms, FilesCheckedBeforeARun) {
    const TempDir dir;
    const std::string dump = dir.write("dump.txt", "  1523.104233120 0 4 0000\r\n");
    const std::string zst = dir.write("dump.zst", zstdFrames("  1523.104233120 0 4 0000\r\n"));
    const std::string damaged = dir.write("damaged.gz",
                                          "\x1f\x8b"
                                          "damaged");
    const std::string empty = dir.write("empty.txt", "");
    EXPECT_EQ(cannotRead(dump), "");
    EXPECT_EQ(cannotRead(damaged), "");
    EXPECT_EQ(cannotRead(empty), "");
    EXPECT_EQ(cannotRead(zst), canReadZstd() ? "" : kZstdUnsupported);
    EXPECT_NE(cannotRead(dir.path("missing.txt")), "");
    EXPECT_NE(cannotRead(dir.path("")), "") << "a directory";

    // Read, the damage is reported with what came before it; an empty input
    // gets its warning.
    const Decoding read = decode([&](InputReader& in) { return in.read(damaged); });
    EXPECT_FALSE(read.ok);
    EXPECT_EQ(read.diagnostics.rfind("qelttrace: " + damaged + ": gzip data damaged", 0), 0u)
        << read.diagnostics;
    const Decoding none = decode([&](InputReader& in) { return in.read(empty); });
    EXPECT_TRUE(none.ok);
    EXPECT_EQ(none.diagnostics, "qelttrace: " + empty + ": empty\n");
    EXPECT_EQ(decodeBytes("no bytes", gzipped("")).diagnostics, "qelttrace: no bytes: empty\n");
}

}  // namespace
