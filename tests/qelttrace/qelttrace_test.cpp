// qelttrace as a process: what it prints for plain dumps, -raw captures,
// captures of the wire, session logs, several files, standard input,
// oversized lines and NUL bytes, and how it fails on a file it cannot read.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/exit_status.h"
#include "common/version.h"
#include "support/e2e_support.h"
#include "support/encodings.h"
#include "support/files.h"
#include "support/planted_dump.h"
#include "support/terminal.h"

namespace {

using namespace std::chrono_literals;
using qelttest::kPrompt;
using qelttest::kToolMessage;
using qelttest::readFile;
using qelttest::sampleTracePath;
using qelttest::ToolRun;
using qelttrace::exit_status::kInputOutput;
using qelttrace::exit_status::kUsage;

// The header of a listing of before its outcome column: still replaced as a
// listing of its own.
constexpr char kListingHeader[] =
    "rule,key,kind,start_record,end_record,start_ns,duration_ns,records,errors";

class Qelttrace : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        dir_ = temp_.path();
    }

    std::string write(const std::string& name, const std::string& content) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    // Runs qelttrace with `args`, standard input read from `input`.
    ToolRun run(const std::vector<std::string>& args, const std::string& input = "") {
        std::vector<std::string> argv{qelttest::qelttracePath()};
        argv.insert(argv.end(), args.begin(), args.end());
        qelttest::ChildProcess qelttrace(argv);
        qelttrace.input(input);
        return qelttest::runToEnd(qelttrace, 60s, qelttest::StandardError::kOwnFile);
    }

    // The names in the test's directory, for telling that nothing was left.
    std::vector<std::string> names() const {
        std::vector<std::string> list;
        if (DIR* d = opendir(dir_.c_str())) {
            while (const dirent* e = readdir(d)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..") list.push_back(name);
            }
            closedir(d);
        }
        std::sort(list.begin(), list.end());
        return list;
    }

    // A character device of the test's own (major, minor as /dev/null's or
    // /dev/full's) where the system lets a test make one, so that no run
    // can harm the system's; else the system's `fallback`.
    std::string device(const std::string& name, unsigned minor, const std::string& fallback) {
        const std::string path = dir_ + "/" + name;
        if (mknod(path.c_str(), S_IFCHR | 0666, makedev(1, minor)) == 0) return path;
        return fallback;
    }

    const qelttest::TempDir temp_{"qelttrace-test"};
    std::string dir_;
};

bool isKind(const std::string& path, mode_t kind) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == kind;
}

// Lines of the built-in sample, each with the bridge's CR LF.
std::vector<std::string> sampleLines() {
    std::istringstream in(readFile(sampleTracePath()));
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line + "\r\n");
    return lines;
}

TEST_F(Qelttrace, WorkedExample) {
    ToolRun r = run({},
                    "SATA history dump\n  11.999999900 01 2 0\n12.000000500 01 2 0\n"
                    "11.500000000 ABCD 2 0\n\n12.000001000 01 2 0\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "SATA history dump\n\n"
              "\n    11.999999900\t     0.000000000\tCancelAll 01 0"
              "\n    12.000000500\t     0.000000600\tCancelAll 01 0"
              "\n    12.000000500\t     0.000000000\tPARSE ERROR - ABCD 2 0 "
              "\t     0.000000600\n"
              "\n    12.000001000\t     0.000000500\tCancelAll 01 0"
              "\t     0.000000000\n");
}

TEST_F(Qelttrace, PlainDumpRawCaptureAndWireCaptureDecodeAlike) {
    std::vector<std::string> lines = sampleLines();
    ASSERT_GT(lines.size(), 100u);

    std::string plain = "SATA history dump\r\n";
    for (const std::string& line : lines) plain += line;

    // What `qelttelnet -satatrace -raw` prints: its own messages, then each
    // line with the line break that puts adds.
    std::string raw = kToolMessage + "About to collect stats from QELT at 127.0.0.1\n";
    raw += "SATA history dump\r\n\n";
    for (const std::string& line : lines) raw += line + "\n";
    raw += kToolMessage + "Telnet session ok, rv=0, state=10\n";

    // The bytes as the bridge sends them: pages closed by DUMP_RESULT= and a
    // prompt, the next page following the prompt.
    std::string wire = "SATA history dump\r\n";
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0 && i % 64 == 0) {
            wire += "DUMP_RESULT=" + std::to_string(i) + "\r\n" + kPrompt;
        }
        wire += lines[i];
    }
    wire += "DUMP_RESULT=0\r\n" + kPrompt;

    ToolRun fromPlain = run({write("plain.txt", plain)});
    ToolRun fromRaw = run({write("raw.txt", raw)});
    ToolRun fromWire = run({write("wire.txt", wire)});
    // The session log of a status job and then a trace job of the sample, as
    // an older library wrote it: the status session is no trace and no junk.
    ToolRun fromLog = run({QELT_OLDER_LOG});
    ToolRun fromLogOnStdin = run({}, readFile(QELT_OLDER_LOG));
    EXPECT_EQ(fromPlain.status, 0);
    EXPECT_EQ(fromRaw.status, 0);
    EXPECT_EQ(fromWire.status, 0);
    EXPECT_EQ(fromLog.status, 0);
    EXPECT_EQ(fromRaw.out, fromPlain.out);
    EXPECT_EQ(fromWire.out, fromPlain.out);
    EXPECT_EQ(fromLog.out, fromPlain.out);
    EXPECT_EQ(fromLog.err, "");
    EXPECT_EQ(fromLogOnStdin.out, fromPlain.out);
    EXPECT_NE(fromPlain.out.find("PARSE ERROR - ATAPI 50 3/a  "), std::string::npos);
    EXPECT_EQ(fromPlain.out.rfind("SATA history dump\r\n\n", 0), 0u);
}

// A dump as users save and archive it (from a Windows console, gzip, zstd)
// decodes to the plain file's bytes in every output, named and on standard
// input; a mark and a magic number written to the pipe a byte at a time are
// read alike.
TEST_F(Qelttrace, FilesAsUsersSaveThemDecodeAsThePlainFile) {
    const std::string plain = readFile(sampleTracePath());
    struct Form {
        const char* name;
        std::string bytes;
    } const forms[] = {
        {"utf8.txt", "\xef\xbb\xbf" + plain},
        {"powershell.txt", qelttest::utf16(plain, false)},
        {"utf16be.txt", qelttest::utf16(plain, true)},
        {"powershell.txt.gz", qelttest::gzipped(qelttest::utf16(plain, false))},
        {"members.gz", qelttest::gzipped(plain, 3)},
        {"frames.zst", qelttest::zstdFrames(plain, 2)},
    };
    const std::vector<std::vector<std::string>> modes = {
        {}, {"--format", "csv"}, {"--format", "jsonl"}, {"--stats=json"}};
    for (const std::vector<std::string>& mode : modes) {
        std::vector<std::string> args = mode;
        args.push_back(sampleTracePath());
        const ToolRun reference = run(args);
        ASSERT_EQ(reference.status, 0);
        ASSERT_EQ(reference.err, "");
        for (const Form& form : forms) {
            const bool refused =
                !QELT_HAVE_ZSTD && std::string(form.name).find(".zst") != std::string::npos;
            args.back() = write(form.name, form.bytes);
            const ToolRun named = run(args);
            args.back() = "-";
            const ToolRun piped = run(args, form.bytes);
            if (refused) {
                EXPECT_EQ(named.status, kInputOutput);
                EXPECT_EQ(named.out, "");
                EXPECT_NE(named.err.find("cannot read zstd"), std::string::npos) << named.err;
                EXPECT_EQ(piped.status, kInputOutput);
                EXPECT_NE(piped.err.find("cannot read zstd"), std::string::npos) << piped.err;
                continue;
            }
            for (const ToolRun* r : {&named, &piped}) {
                EXPECT_EQ(r->status, 0) << form.name;
                EXPECT_EQ(r->err, "") << form.name;
                EXPECT_EQ(r->out, reference.out) << form.name << " " << args[0];
            }
        }
    }

    // The first bytes of a gzip of UTF-16 come through a pipe one by one.
    const std::string bytes = forms[3].bytes;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    qelttest::ChildProcess child({qelttest::qelttracePath()});
    child.redirect(0, fds[0]);
    std::string error;
    ASSERT_TRUE(child.start(error, qelttest::StandardError::kOwnFile)) << error;
    close(fds[0]);
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = i < 4 ? 1 : bytes.size() - i;
        ASSERT_EQ(::write(fds[1], bytes.data() + i, n), static_cast<ssize_t>(n));
        i += n;
        std::this_thread::sleep_for(20ms);
    }
    close(fds[1]);
    EXPECT_EQ(child.wait(30s), 0) << child.errors();
    EXPECT_EQ(child.output(), run({sampleTracePath()}).out);

    // A named FIFO (as `qelttrace <(ssh host cat dump.gz)` gives) is opened
    // once, when it is read: the check before the run leaves it alone.
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        if (fd < 0) return;
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        EXPECT_EQ(written, static_cast<ssize_t>(bytes.size()));
        close(fd);
    });
    const ToolRun fromFifo = run({fifo});
    // A writer still waiting for its reader must not wait for ever.
    const int unblock = fromFifo.status != 0 ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    writer.join();
    if (unblock >= 0) close(unblock);
    EXPECT_EQ(fromFifo.status, 0) << fromFifo.err;
    EXPECT_EQ(fromFifo.out, run({sampleTracePath()}).out);
}

TEST_F(Qelttrace, BarePromptBeforeAResultIsAnEmptyLine) {
    std::string input = std::string("1.000000000 0 2 a\r\n") + kPrompt + "2.000000000 0 2 b\r\n";
    ToolRun r = run({}, input);
    EXPECT_EQ(r.out,
              "\n     1.000000000\t     0.000000000\tCancelAll 0 a"
              "\t     0.000000000\n"
              "\n     2.000000000\t     1.000000000\tCancelAll 0 b"
              "\t     0.000000000\n");
}

TEST_F(Qelttrace, SeveralFilesJoinAsCatJoinsThem) {
    std::string all = readFile(sampleTracePath());
    size_t cut = all.size() / 2 + 7;  // inside a line
    std::string first = write("first.txt", all.substr(0, cut));
    std::string second = write("second.txt", all.substr(cut));
    ToolRun whole = run({sampleTracePath()});
    ToolRun joined = run({first, second});
    EXPECT_EQ(joined.status, 0);
    EXPECT_EQ(joined.out, whole.out);

    ToolRun withStdin = run({first, "-"}, all.substr(cut));
    EXPECT_EQ(withStdin.out, whole.out);
    ToolRun stdinOnly = run({}, all);
    EXPECT_EQ(stdinOnly.out, whole.out);

    // The trace session of a log is a run of its own, closed by its span,
    // which neither a dump before it nor one after it joins.
    const std::string fromLog = run({QELT_OLDER_LOG}).out;
    ToolRun around = run({QELT_OLDER_LOG, sampleTracePath(), QELT_OLDER_LOG});
    EXPECT_EQ(around.status, 0);
    EXPECT_EQ(around.out, fromLog + whole.out + fromLog);
    EXPECT_EQ(run({first, second, QELT_OLDER_LOG}).out, whole.out + fromLog);
}

// Every named input is opened before anything is read or written: one that
// cannot be (missing, a directory, zstd where the build cannot read it) is
// named, and the run writes nothing, no record and no report. A failure once
// reading has begun (a session log that does not read, damaged compressed
// data) is named with what it failed on, and the other inputs are decoded,
// like cat, the bytes before the damage included; the reports are not put in
// place.
TEST_F(Qelttrace, UnreadableFilesAreNamedBeforeAnythingIsWritten) {
    const std::string record = "1.000000000 0 2 a\n";
    std::string good = write("good.txt", record);
    const std::string goodOut =
        "\n     1.000000000\t     0.000000000\tCancelAll 0 a\t     0.000000000\n";
    std::string missing = dir_ + "/missing.txt";
    const std::string page = dir_ + "/page.html";
    struct Case {
        std::vector<std::string> inputs;
        std::string err;
    } cases[] = {
        {{missing, good}, "qelttrace: " + missing + ": No such file or directory\n"},
        {{good, dir_, missing},
         "qelttrace: " + dir_ + ": Is a directory\nqelttrace: " + missing +
             ": No such file or directory\n"},
    };
#if !QELT_HAVE_ZSTD
    const std::string zst = write("dump.zst", qelttest::zstdFrames(record));
    cases[0].inputs.push_back(zst);
    cases[0].err += "qelttrace: " + zst +
                    ": zstd-compressed, and this build of qelttrace cannot "
                    "read zstd; decompress it first (zstd -d)\n";
#endif
    for (const Case& c : cases) {
        for (const bool report : {false, true}) {
            std::vector<std::string> args = c.inputs;
            if (report) args.insert(args.begin(), {"--html", page});
            const ToolRun r = run(args);
            EXPECT_EQ(r.status, kInputOutput);
            EXPECT_EQ(r.err, c.err);
            EXPECT_EQ(r.out, "");
            EXPECT_NE(access(page.c_str(), F_OK), 0);
        }
    }

    // A session log that does not read, by the reader's word: its line and why.
    const std::string log = readFile(QELT_OLDER_LOG);
    std::string broken = write("broken.log", log.substr(0, log.find('\n') + 1) + "login: qelt\n");
    ToolRun badLog = run({broken, good});
    EXPECT_EQ(badLog.status, kInputOutput);
    EXPECT_EQ(badLog.err, "qelttrace: " + broken +
                              ": line 2: not a session log line (it does not begin with a time)\n");
    EXPECT_EQ(badLog.out, goodOut);

    // Compressed data damaged after a whole member, or cut inside the next:
    // what came before is decoded, then the next file, as if it had ended
    // there.
    const std::string first = readFile(sampleTracePath());
    const std::string joined = run({sampleTracePath(), good}).out;
    ASSERT_NE(joined.find("FPGA_Reset"), std::string::npos);
    struct Damage {
        std::string bytes, error;
    } const damages[] = {
        {qelttest::gzipped(first) + "no gzip", "gzip data damaged (incorrect header check)"},
        {qelttest::gzipped(first) + qelttest::gzipped(record).substr(0, 15),
         "gzip data cut short: the file ends inside its compressed data (truncated)"},
    };
    for (const Damage& d : damages) {
        const std::string damaged = write("damaged.gz", d.bytes);
        ToolRun r = run({"--html", page, damaged, good});
        EXPECT_EQ(r.status, kInputOutput);
        EXPECT_EQ(r.err, "qelttrace: " + damaged + ": " + d.error + "\nqelttrace: " + page +
                             ": not written, as an input could not be read\n");
        EXPECT_NE(access(page.c_str(), F_OK), 0);
        EXPECT_EQ(run({damaged, good}).out, joined) << d.error;
    }
}

TEST_F(Qelttrace, LineOfSeveralMegabytesComesInPieces) {
    // Pieces of 4095 bytes: the first fails to decode (its argument is too
    // long), the middle ones hold no blank, the last is a lone token with its
    // line end.
    const size_t xs = 5 * 1024 * 1024;
    std::string input = "1.000000000 0 2 " + std::string(xs, 'x') + "\n2.000000000 0 2 a\n";
    size_t lineLength = 16 + xs + 1;
    ASSERT_NE(lineLength % 4095, 0u);
    ASSERT_NE(lineLength % 4095, 1u);
    ToolRun r = run({write("long.txt", input)});
    EXPECT_EQ(r.status, 0);
    std::string expected = "\n     1.000000000\t     0.000000000\tPARSE ERROR - 0 2 " +
                           std::string(4095 - 16, 'x') +
                           "\n     0.000000000\t     0.000000000\t  "
                           "\n     2.000000000\t     0.000000000\tCancelAll 0 a"
                           "\t     2.000000000\n";
    EXPECT_EQ(r.out, expected);
}

TEST_F(Qelttrace, NulBytesAreDropped) {
    const std::string nul(1, '\0');
    std::string input = "1.0" + nul + nul + " 0 2 a\n" + nul + "2.0 0 2 b" + nul + "\n";
    ToolRun r = run({}, input);
    EXPECT_EQ(r.out,
              "\n     1.000000000\t     0.000000000\tCancelAll 0 a"
              "\n     2.000000000\t     1.000000000\tCancelAll 0 b"
              "\t     1.000000000\n");
}

TEST_F(Qelttrace, EmptyInputPrintsAZeroSpan) {
    ToolRun r = run({}, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\t     0.000000000\n");
}

// The help reads as the manual page's synopsis does, every option in it,
// nothing of a parser's own words, within 80 columns.
TEST_F(Qelttrace, HelpVersionAndUnknownOptions) {
    ToolRun help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: qelttrace [--format text|csv|jsonl] [--event PATTERN]", 0),
              0u);
    EXPECT_EQ(run({"-h"}).out, help.out);
    for (const char* option :
         {"--format", "--event", "--from", "--to", "--errors", "--context", "--stats", "--top",
          "--pair", "--perfetto", "--html", "--transactions", "--compare", "--version"}) {
        EXPECT_NE(help.out.find(std::string("\n  ") + option), std::string::npos) << option;
    }
    for (const char* internal : {"{", "}", "TEXT", "REQUIRED", "At Most", "OPTIONS", "[Option"}) {
        EXPECT_EQ(help.out.find(internal), std::string::npos) << internal;
    }
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 79u) << line;

    ToolRun version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "qelttrace " QELT_VERSION "\n");
    EXPECT_EQ(version.err, "");
    // After "--" it names a file like any other argument.
    EXPECT_EQ(run({"--", "--version"}).status, kInputOutput);

    ToolRun unknown = run({"-raw"});
    EXPECT_EQ(unknown.status, kUsage);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err.rfind("qelttrace: unknown option -raw\n", 0), 0u);
}

// A repeatable option takes one value each time; what follows is a file, also
// one that is missing.
TEST_F(Qelttrace, RepeatableOptionsTakeOneValueEach) {
    const std::string events =
        run({"--event", "DMA*", "--event", "FatalError", sampleTracePath()}).out;
    EXPECT_EQ(events, run({"--event=DMA*", "--event=FatalError", "--", sampleTracePath()}).out);
    EXPECT_NE(events.find("\tDMA Start 0 0200"), std::string::npos) << events;
    EXPECT_NE(events.find("\tFatalError 0 dead"), std::string::npos) << events;
    ToolRun pair = run({"--pair", "DMA Start,DMA End", "--stats=json", sampleTracePath()});
    EXPECT_EQ(pair.status, 0) << pair.err;
    // The default pair and the one given.
    const std::string rule = "\"start\":\"DMA Start\",\"end\":\"DMA End\"";
    ASSERT_NE(pair.out.find(rule), std::string::npos) << pair.out;
    EXPECT_NE(pair.out.find(rule), pair.out.rfind(rule));

    const std::string missing = dir_ + "/missing.txt";
    ToolRun absent = run({"--event", "DMA*", missing});
    EXPECT_EQ(absent.status, kInputOutput);
    EXPECT_EQ(absent.err, "qelttrace: " + missing + ": No such file or directory\n");
    ToolRun absentPair = run({"--pair", "DMA Start,DMA End", "--stats", missing});
    EXPECT_EQ(absentPair.status, kInputOutput);
    EXPECT_EQ(absentPair.err.rfind("qelttrace: " + missing + ": No such file or directory\n", 0),
              0u);
}

// The decoded output of a dump read back gives the records the dump gives
// (the record text aside, which decoded output no longer holds), and printed
// again it is the same output: every table entry of the sample, the
// qualifiers and event names with blanks, the error lines.
TEST_F(Qelttrace, DecodedOutputReadsBackAsTheDumpDoes) {
    ToolRun decoded = run({sampleTracePath()});
    ASSERT_EQ(decoded.status, 0);
    const std::string archive = kToolMessage + "About to collect stats from QELT at 10.0.0.5\n" +
                                decoded.out + kToolMessage + "Telnet session ok, rv=0, state=10\n";
    const std::string saved = write("decoded.txt", archive);
    EXPECT_EQ(run({saved}).out, decoded.out);

    ToolRun fromDump = run({"--format", "jsonl", sampleTracePath()});
    ToolRun fromDecoded = run({"--format", "jsonl", saved});
    std::vector<std::string> a, b;
    std::istringstream da(fromDump.out), db(fromDecoded.out);
    for (std::string line; std::getline(da, line);) a.push_back(line);
    for (std::string line; std::getline(db, line);) b.push_back(line);
    ASSERT_EQ(a.size(), 166u);
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        // Decoded records (unknown tags too) have no record text; error
        // lines keep theirs.
        std::string dump = a[i];
        if (dump.find("\"status\":\"parse_error\"") == std::string::npos &&
            dump.find("\"status\":\"invalid_parameter\"") == std::string::npos) {
            dump = dump.substr(0, dump.rfind(",\"text\":")) + ",\"text\":\"\"}";
        }
        EXPECT_EQ(b[i], dump);
    }
    // Saved from a Windows console: every line end is CR LF.
    std::string crlf;
    for (const char c : archive) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(run({"--format", "jsonl", write("windows.txt", crlf)}).out, fromDecoded.out);
    EXPECT_NE(fromDecoded.out.find("\"event\":\"VARN:\",\"qualifier\":\"Close request "
                                   "sent/Begin receive response\""),
              std::string::npos);
    EXPECT_NE(fromDecoded.out.find("\"event\":\"Log from VARN\",\"qualifier\":\"\""),
              std::string::npos);
}

// A dump line is never read as decoded output: only "TIME\tDELTA\t" with nine
// nanosecond digits is.
TEST_F(Qelttrace, DumpLinesWithTabsStayDumpLines) {
    const std::string dump =
        "1.5\t2.500000000\tx 0 2 a\n  1.000000000 0 2 b\t     0.000000000\tc\n";
    ToolRun r = run({write("tabs.txt", dump)});
    EXPECT_EQ(r.out,
              "\n     1.000000005\t     0.000000000\tCancelAll 0 a"
              "\n     1.000000005\t     0.000000000\tCancelAll 0 b\t"
              "\t     0.000000000\n");
}

// Hostile bytes in every field: CSV quotes what needs it and keeps the bytes;
// JSON escapes controls and writes high bytes as their code points.
TEST_F(Qelttrace, CsvAndJsonCarryHostileBytes) {
    const std::string input =
        std::string("1.000000000 0 2 q\"u,o\x01\xe9\r\n") + "2.000000000 ABCD 2 x\rz\x7f\n";
    ToolRun csv = run({"--format", "csv"}, input);
    EXPECT_EQ(csv.out,
              "record,time,time_ns,delta_ns,event,qualifier,argument,status,text\r\n"
              "1,1.000000000,1000000000,0,CancelAll,0,\"q\"\"u,o\x01\xe9\",ok,\"0 2 "
              "q\"\"u,o\x01\xe9\"\r\n"
              "2,2.000000000,2000000000,1000000000,,,,parse_error,\"ABCD 2 x\rz\x7f\"\r\n");
    ToolRun jsonl = run({"--format", "jsonl"}, input);
    EXPECT_EQ(
        jsonl.out,
        "{\"record\":1,\"time\":\"1.000000000\",\"time_ns\":1000000000,\"delta_ns\":0,"
        "\"event\":\"CancelAll\",\"qualifier\":\"0\",\"argument\":\"q\\\"u,o\\u0001\xc3\xa9\","
        "\"status\":\"ok\",\"text\":\"0 2 q\\\"u,o\\u0001\xc3\xa9\"}\n"
        "{\"record\":2,\"time\":\"2.000000000\",\"time_ns\":2000000000,\"delta_ns\":1000000000,"
        "\"event\":\"\",\"qualifier\":\"\",\"argument\":\"\",\"status\":\"parse_error\","
        "\"text\":\"ABCD 2 x\\rz\\u007f\"}\n");
}

// Record numbers the filters keep, from their first CSV column.
std::string keptRecords(const std::string& csv) {
    std::istringstream in(csv);
    std::string line, kept;
    std::getline(in, line);  // the header
    while (std::getline(in, line))
        kept += (kept.empty() ? "" : " ") + line.substr(0, line.find(','));
    return kept;
}

// Junk is no good record: a line whose timestamp holds no digit, a timestamp
// without record text, a tag without a row. Each has its status in the
// exports, is counted by --stats, selected by --errors and listed on the
// page; the text output stays the trace job's, byte for byte.
TEST_F(Qelttrace, JunkIsToldFromRecords) {
    struct Line {
        const char* text;
        const char* status;
    } const lines[] = {
        {"abc", "no_time"},
        {"1.0", "no_text"},
        {"1.5  ", "no_text"},
        {"2.000000000 0 999 0000", "unknown_tag"},
        {"2.5 0 2 a", "ok"},
        {"3.0  0 2 a", "unknown_tag"},  // two blanks: no code, no tag
        {"3.1 AB", "unknown_tag"},
        {"xyz 0 2 a", "no_time"},
        {"4.0 ABCD 2 0", "parse_error"},
        {"abc ABCD 2 0", "no_time"},
    };
    std::string dump, expected;
    for (const Line& l : lines) {
        dump += std::string(l.text) + "\r\n";
        expected += std::string(l.status) + " ";
    }
    const std::string file = write("junk.txt", dump);
    ToolRun csv = run({"--format", "csv", file});
    std::istringstream rows(csv.out);
    std::string row, statuses;
    std::getline(rows, row);
    while (std::getline(rows, row)) {
        const std::vector<std::string> fields = [&] {
            std::vector<std::string> f;
            std::istringstream cells(row);
            for (std::string cell; std::getline(cells, cell, ',');) f.push_back(cell);
            return f;
        }();
        ASSERT_GE(fields.size(), 8u) << row;
        statuses += fields[7] + " ";
    }
    EXPECT_EQ(statuses, expected);

    ToolRun stats = run({"--stats=json", file});
    EXPECT_NE(stats.out.find("\"statuses\":{\"ok\":1,\"parse_error\":1,\"invalid_parameter\":0,"
                             "\"no_time\":3,\"no_text\":2,\"unknown_tag\":3}"),
              std::string::npos)
        << stats.out;
    EXPECT_NE(stats.out.find("\"decoded\":1,"), std::string::npos);
    EXPECT_EQ(keptRecords(run({"--errors", "--format", "csv", file}).out), "1 2 3 4 6 7 8 9 10");
    const std::string page = dir_ + "/junk.html";
    ASSERT_EQ(run({"--html", page, file}).status, 0);
    const std::string html = readFile(page);
    for (const char* listed : {"no_time: 0 2 a", "no_text: ", "unknown_tag: 0 999 0000"}) {
        EXPECT_NE(html.find(listed), std::string::npos) << listed;
    }
    // As the trace job prints them.
    EXPECT_EQ(run({file}).out,
              "\n     0.000000000\t     0.000000000\t  "
              "\n     1.000000000\t     0.000000000\t  "
              "\n     1.000000005\t     0.000000005\t  "
              "\n     2.000000000\t     0.999999995\t999 0 0000"
              "\n     2.000000005\t     0.000000005\tCancelAll 0 a"
              "\n     3.000000000\t     0.999999995\t  "
              "\n     3.000000001\t     0.000000001\t AB "
              "\n     3.000000001\t     0.000000000\tCancelAll 0 a"
              "\n     4.000000000\t     0.999999999\tPARSE ERROR - ABCD 2 0  "
              "\n     3.000000001\t     0.000000000\tPARSE ERROR - ABCD 2 0  "
              "\t     3.000000001\n");
}

// An input that looks like no trace (fewer than half of its lines are records
// with a timestamp, or NUL bytes in it) is named in one warning; the run goes
// on as before.
TEST_F(Qelttrace, InputsThatLookLikeNoTraceAreNamed) {
    std::mt19937 random(17);
    std::string bytes(1 << 20, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    std::string prose;
    for (int i = 0; i < 10; ++i) prose += "This is no trace but a letter of some length.\n";
    const std::string sample = readFile(sampleTracePath());
    const std::string log = readFile(QELT_OLDER_LOG);
    const std::string statusLog = log.substr(0, log.find('\n', log.find(" result ")) + 1);
    const std::string notATrace = "does not look like a trace (";
    struct Case {
        std::string name, content;
        std::string warning;  // what follows "qelttrace: FILE: ", or none
    } const cases[] = {
        {"random.bin", bytes, notATrace},
        {"letter.txt", prose, notATrace},
        {"letter-with-a-record.txt", prose + "1.0 0 2 a\n", notATrace},
        {"nul.txt", "1.0 0 2 a\n2.0 0 2 a" + std::string(1, '\0') + "\n", notATrace},
        {"sample.txt", sample, ""},
        {"empty.txt", "", "empty"},
        {"empty.gz", qelttest::gzipped(""), "empty"},
        // UTF-16 without its byte-order mark is read as the bytes it is.
        {"utf16-without-a-mark.txt", qelttest::utf16(sample, false).substr(2), notATrace},
        {"records-and-prose.txt", "1.0 0 2 a\n2.0 0 2 a\nsome words\n\n\n", ""},
        // A status job's lines are no records, and no junk either.
        {"status.log", statusLog, "a session log without a trace session (sessions: 1)"},
        {"status-and-trace.log", log, ""},
    };
    for (const Case& c : cases) {
        const std::string file = write(c.name, c.content);
        ToolRun r = run({"--stats", file});
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_NE(r.out.find("records"), std::string::npos) << c.name;
        if (c.warning.empty()) {
            EXPECT_EQ(r.err, "") << c.name;
            continue;
        }
        EXPECT_EQ(r.err.rfind("qelttrace: " + file + ": " + c.warning, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    // Decoded output and a capture of the sample are traces too.
    const std::string decoded = write("decoded.txt", run({sampleTracePath()}).out);
    EXPECT_EQ(run({"--stats", decoded}).err, "");
}

TEST_F(Qelttrace, FiltersAtTheirEdges) {
    // 1..8; record 5 went backwards (shown at record 4's time), 7 is fatal.
    const std::string dump =
        "1.000000000 0 70 a\n2.000000000 0 71 a\n3.000000000 0 2 a\n4.000000000 0 2 a\n"
        "3.500000000 0 2 a\n5.000000000 0 2 a\n6.000000000 0 0 a\n7.000000000 0 70 b\n";
    const std::string file = write("filters.txt", dump);
    struct Case {
        std::vector<std::string> args;
        const char* kept;
    } const cases[] = {
        {{"--event", "DMA*"}, "1 2 8"},
        {{"--event", "DMA?End"}, "2"},
        {{"--event", "[CF]*"}, "3 4 5 6 7"},
        {{"--event", "DMA End", "--event", "Fatal*"}, "2 7"},
        {{"--event", "dma*"}, ""},
        {{"--from", "2", "--to", "4"}, "2 3 4 5"},
        {{"--from", "2.000000001", "--to", "3.999999999"}, "3"},
        {{"--from", "4.0", "--to", "4"}, "4 5"},
        {{"--errors"}, "5 7"},
        {{"--errors", "--context", "1"}, "4 5 6 7 8"},
        {{"--errors", "--context", "3"}, "2 3 4 5 6 7 8"},
        {{"--errors", "--from", "5"}, "7"},
        {{"--errors", "--event", "Cancel*"}, "5"},
        {{"--event", "DMA Start", "--context", "1"}, "1 2 7 8"},
        {{"--from", "5", "--context", "1"}, "5 6 7 8"},
        {{"--to", "2", "--context", "2"}, "1 2 3 4"},
        {{"--from", "3", "--to", "3", "--context", "1"}, "2 3 4"},
        {{"--errors", "--from", "5", "--context", "1"}, "6 7 8"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--format", "csv", file});
        ToolRun r = run(args);
        EXPECT_EQ(r.status, 0) << args[1];
        EXPECT_EQ(keptRecords(r.out), c.kept) << args[0] << " " << args[1];
    }
    // The text format prints the records kept exactly as the trace job does,
    // with the times of the whole dump, and ends their last line.
    ToolRun text = run({"--errors", file});
    EXPECT_EQ(text.out,
              "\n     4.000000000\t     0.000000000\tCancelAll 0 a"
              "\n     6.000000000\t     1.000000000\tFatalError 0 a\n");
    // With --context, groups that are not next to each other are parted by a
    // line "--", as grep parts them; touching ones are one group.
    EXPECT_EQ(run({"--event", "DMA Start", "--context", "1", file}).out,
              "\n     1.000000000\t     0.000000000\tDMA Start 0 a"
              "\n     2.000000000\t     1.000000000\tDMA End 0 a"
              "\n--"
              "\n     6.000000000\t     1.000000000\tFatalError 0 a"
              "\n     7.000000000\t     1.000000000\tDMA Start 0 b\n");
    EXPECT_EQ(run({"--errors", "--context", "1", file}).out.find("--"), std::string::npos);
}

// Every transaction of every pair rule, in the order they end, then the starts
// left open in start order, their end fields empty; an end with no start is
// no row. A transaction's records run from its start to its end, both
// included, its errors are those of them --errors selects; its outcome the
// end's code. The JSON lines hold the same rows, an empty field null; the
// listing comes out the same beside every other output in one pass. Two
// rules of the same events are told apart in every output.
TEST_F(Qelttrace, TransactionsListedAsTheyEndThenTheUnmatchedStarts) {
    const std::string dump = write("small.txt",
                                   "1.000000000 07 1 0001\n"
                                   "1.001000000 25 1 0002\n"
                                   "1.002000000 0 70 a\n"
                                   "1.003000000 ABCD 2 0\n"  // a parse error inside three
                                   "1.004000000 0 71 a\n"
                                   "1.005000000 0 3 0002\n"    // aborted
                                   "1.006000000 07 1 0003\n"   // open at the end
                                   "1.007000000 0 70 b\n"      // open at the end
                                   "1.008000000 1 3 0001\n"    // completed
                                   "1.009000000 0 3 0009\n");  // an end with no start
    const std::string rule = "ActivateTransaction->CompleteTransation,";
    const std::string expected =
        "rule,key,kind,start_record,end_record,start_ns,duration_ns,records,errors,outcome\r\n"
        "DMA Start->DMA End,,,3,5,1002000000,2000000,3,1,\r\n" +
        rule + "0002,25,2,6,1001000000,4000000,5,1,0\r\n" + rule +
        "0001,07,1,9,1000000000,8000000,9,1,1\r\n" + rule +
        "0003,07,7,,1006000000,,,,\r\n"
        "DMA Start->DMA End,,,8,,1007000000,,,,\r\n";
    ToolRun alone = run({"--transactions", "-", dump});
    EXPECT_EQ(alone.status, 0) << alone.err;
    EXPECT_EQ(alone.out, expected);

    const std::string csv = dir_ + "/t.csv", jsonl = dir_ + "/t.jsonl";
    const std::string perfetto = dir_ + "/p.json";
    ToolRun all = run({"--transactions", jsonl, "--stats=json", "--perfetto", perfetto, "--html",
                       dir_ + "/r.html", dump});
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_NE(all.out.find("\"unmatched_starts\":1,\"unmatched_ends\":1"), std::string::npos);
    EXPECT_NE(all.out.find("\"open_at_end\":{\"count\":1,\"oldest\":[{\"key\":\"0003\",\"kind\":"
                           "\"07\",\"start_record\":7,\"start_ns\":1006000000,\"age_ns\":3000000}"
                           "]}"),
              std::string::npos)
        << all.out;
    std::istringstream lines(readFile(jsonl));
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line,
              "{\"rule\":\"DMA Start->DMA End\",\"key\":null,\"kind\":null,\"start_record\":3,"
              "\"end_record\":5,\"start_ns\":1002000000,\"duration_ns\":2000000,\"records\":3,"
              "\"errors\":1,\"outcome\":null}");
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line,
              "{\"rule\":\"ActivateTransaction->CompleteTransation\",\"key\":\"0002\",\"kind\":"
              "\"25\",\"start_record\":2,\"end_record\":6,\"start_ns\":1001000000,\"duration_ns\":"
              "4000000,\"records\":5,\"errors\":1,\"outcome\":\"0\"}");
    std::string last;
    int rows = 2;
    while (std::getline(lines, line)) last = line, ++rows;
    EXPECT_EQ(rows, 5);
    EXPECT_EQ(last,
              "{\"rule\":\"DMA Start->DMA End\",\"key\":null,\"kind\":null,\"start_record\":8,"
              "\"end_record\":null,\"start_ns\":1007000000,\"duration_ns\":null,\"records\":null,"
              "\"errors\":null,\"outcome\":null}");
    ASSERT_EQ(run({"--transactions", csv, "--format", "jsonl", dump}).status, 0);
    EXPECT_EQ(readFile(csv), expected);

    // The default DMA rule and one keyed by the argument: two names, in the
    // listing, the reports and the trace.
    const std::string keyed = "DMA Start->DMA End (key argument)";
    ToolRun two = run({"--pair", "DMA Start,DMA End,argument", "--transactions", csv, "--perfetto",
                       perfetto, "--stats", dump});
    EXPECT_EQ(two.status, 0) << two.err;
    EXPECT_NE(readFile(csv).find(keyed + ",a,,3,5,"), std::string::npos) << readFile(csv);
    EXPECT_NE(readFile(perfetto).find("\"cat\":\"" + keyed + "\""), std::string::npos);
    EXPECT_NE(two.out.find("\n" + keyed + ", keyed by the argument\n"), std::string::npos)
        << two.out;
    EXPECT_NE(two.out.find("\nDMA Start->DMA End\n"), std::string::npos) << two.out;
}

// What a failing device's dump says of its commands, read from its lines
// alone ("%6d.%09d CODE TAG ARG"; tag 1 is ActivateTransaction, keyed by ARG
// and of the kind CODE, but for the codes F3 and D1, which are other events;
// tag 3 CompleteTransation, its CODE the outcome),
// without qelttrace: the latencies by kind and outcome of the commands that
// end inside the window [fromNs, toNs], and those open when it closes (at the
// end, or at `toNs`), as --stats=json writes them with --top `top`.
struct CommandsOfADump {
    std::string outcomes, openAtEnd;
};

CommandsOfADump commandsOf(const std::string& capture, std::size_t top, std::int64_t fromNs,
                           std::int64_t toNs) {
    struct Open {
        std::int64_t startNs = 0;
        std::uint64_t record = 0;
        std::string kind;
    };
    struct Left {
        std::int64_t startNs = 0;
        std::uint64_t record = 0;
        std::string key, kind;
        std::int64_t ageNs = 0;
    };
    std::map<std::string, Open> open;
    std::vector<std::string> kinds;  // in the order first seen at an end
    std::map<std::string, std::map<std::string, std::vector<std::int64_t>>> latencies;
    std::vector<Left> left;
    std::uint64_t record = 0;
    std::int64_t lastNs = 0;
    const auto leave = [&](const std::string& key, const Open& o, std::int64_t atNs) {
        left.push_back({o.startNs, o.record, key, o.kind, atNs - o.startNs});
    };
    std::istringstream lines(capture);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string time, code, tag, arg, more;
        if (!(words >> time >> code >> tag >> arg) || (words >> more)) continue;
        const std::size_t point = time.find('.');
        if (point == std::string::npos || time.size() - point != 10 ||
            time.find_first_not_of("0123456789.") != std::string::npos) {
            continue;
        }
        ++record;
        const std::int64_t ns =
            std::stoll(time.substr(0, point)) * 1000000000 + std::stoll(time.substr(point + 1));
        lastNs = ns;
        const auto found = open.find(arg);
        const bool activate =
            tag == "1" && code != "F3" && code != "f3" && code != "D1" && code != "d1";
        if (activate) {
            // A second start with its key open: the first never ended, and
            // was open at --to if it began before it and was left after.
            if (found != open.end() && found->second.startNs <= toNs && ns > toNs) {
                leave(arg, found->second, toNs);
            }
            open[arg] = Open{ns, record, code};
        } else if (tag == "3" && found != open.end()) {
            const Open o = found->second;
            open.erase(found);
            if (ns >= fromNs && ns <= toNs) {
                if (std::find(kinds.begin(), kinds.end(), o.kind) == kinds.end()) {
                    kinds.push_back(o.kind);
                }
                latencies[o.kind][code].push_back(ns - o.startNs);
            } else if (ns > toNs && o.startNs <= toNs) {
                leave(arg, o, toNs);
            }
        }
    }
    for (const auto& [key, o] : open) {
        if (o.startNs <= toNs) leave(key, o, std::min(toNs, lastNs));
    }
    // The kinds by their count, the first seen first among equals; the
    // outcomes of each by their words.
    const auto count = [&latencies](const std::string& kind) {
        std::size_t n = 0;
        for (const auto& [word, values] : latencies[kind]) n += values.size();
        return n;
    };
    std::stable_sort(
        kinds.begin(), kinds.end(),
        [&count](const std::string& a, const std::string& b) { return count(a) > count(b); });
    CommandsOfADump dump;
    dump.outcomes = "\"outcomes\":[";
    for (const std::string& kind : kinds) {
        for (auto& [word, values] : latencies[kind]) {
            std::sort(values.begin(), values.end());
            long double sum = 0;
            for (const std::int64_t v : values) sum += static_cast<long double>(v);
            const auto nearest = [&values](double q) {
                const auto rank =
                    static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
                return values[std::max<std::size_t>(rank, 1) - 1];
            };
            if (dump.outcomes.back() == '}') dump.outcomes += ",";
            dump.outcomes += "{\"kind\":\"" + kind + "\",\"outcome\":\"" + word +
                             "\",\"count\":" + std::to_string(values.size()) +
                             ",\"min_ns\":" + std::to_string(values.front()) + ",\"mean_ns\":" +
                             std::to_string(std::llround(static_cast<double>(
                                 sum / static_cast<long double>(values.size())))) +
                             ",\"p50_ns\":" + std::to_string(nearest(0.5)) +
                             ",\"p90_ns\":" + std::to_string(nearest(0.9)) +
                             ",\"p99_ns\":" + std::to_string(nearest(0.99)) +
                             ",\"p999_ns\":" + std::to_string(nearest(0.999)) +
                             ",\"max_ns\":" + std::to_string(values.back()) + "}";
        }
    }
    dump.outcomes += "]";
    std::sort(left.begin(), left.end(), [](const Left& a, const Left& b) {
        return a.startNs != b.startNs ? a.startNs < b.startNs : a.record < b.record;
    });
    dump.openAtEnd = "\"open_at_end\":{\"count\":" + std::to_string(left.size()) + ",\"oldest\":[";
    for (std::size_t i = 0; i < left.size() && i < top; ++i) {
        const Left& t = left[i];
        dump.openAtEnd += std::string(i ? "," : "") + "{\"key\":\"" + t.key + "\",\"kind\":\"" +
                          t.kind + "\",\"start_record\":" + std::to_string(t.record) +
                          ",\"start_ns\":" + std::to_string(t.startNs) +
                          ",\"age_ns\":" + std::to_string(t.ageNs) + "}";
    }
    dump.openAtEnd += "]}";
    return dump;
}

// The dump of a device that hangs and is reset, fetched by the real trace job
// from a live bridge: its commands' outcomes (aborted by the resets, or
// completed) and those still open, counted from its lines alone, are what
// --stats=json says; and so they are in a window from a quarter to half-way
// through the dump, the commands matched over the whole dump. Each (kind, outcome) holds fewer than
// 10,000 latencies, so that every percentile is the one that occurred.
TEST_F(Qelttrace, OutcomesAndOpenCommandsOfAFailingDeviceAsItsDumpHasThem) {
    const auto bridge =
        qelttest::startBridge({"--records", "20000", "--seed", "7", "--scenario", "hang,resets",
                               "--error-rate", "0", "--page-size", "1000000"});
    ASSERT_TRUE(bridge);
    const ToolRun job = qelttest::runTool({"-satatrace", "-raw", qelttest::addressOf(*bridge)});
    ASSERT_EQ(job.status, 0) << job.err;
    const std::string capture = write("capture.txt", job.out);
    const std::size_t top = 7;
    const CommandsOfADump whole = commandsOf(job.out, top, INT64_MIN, INT64_MAX);
    // A dump of a failing device: commands aborted, and many left open.
    ASSERT_NE(whole.outcomes.find("\"outcome\":\"0\""), std::string::npos) << whole.outcomes;
    ASSERT_EQ(whole.openAtEnd.find("\"count\":0,"), std::string::npos);
    ToolRun stats = run({"--stats=json", "--top", std::to_string(top), capture});
    ASSERT_EQ(stats.status, 0) << stats.err;
    EXPECT_NE(stats.out.find(whole.outcomes), std::string::npos) << whole.outcomes << "\n"
                                                                 << stats.out;
    EXPECT_NE(stats.out.find(whole.openAtEnd), std::string::npos) << whole.openAtEnd << "\n"
                                                                  << stats.out;

    // From a quarter to half-way through the dump's time.
    std::int64_t firstNs = -1, lastNs = 0;
    std::istringstream lines(job.out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string time;
        if (!(words >> time) || time.size() < 11 || time[time.size() - 10] != '.' ||
            !std::isdigit(static_cast<unsigned char>(time[0]))) {
            continue;
        }
        const std::int64_t ns = std::stoll(time.substr(0, time.size() - 10)) * 1000000000 +
                                std::stoll(time.substr(time.size() - 9));
        if (firstNs < 0) firstNs = ns;
        lastNs = ns;
    }
    const std::int64_t fromNs = firstNs + (lastNs - firstNs) / 4;
    const std::int64_t toNs = firstNs + (lastNs - firstNs) / 2;
    const CommandsOfADump half = commandsOf(job.out, top, fromNs, toNs);
    const auto seconds = [](std::int64_t ns) {
        char text[32];
        std::snprintf(text, sizeof text, "%lld.%09lld", static_cast<long long>(ns / 1000000000),
                      static_cast<long long>(ns % 1000000000));
        return std::string(text);
    };
    ToolRun window = run({"--stats=json", "--top", std::to_string(top), "--from", seconds(fromNs),
                          "--to", seconds(toNs), capture});
    ASSERT_EQ(window.status, 0) << window.err;
    EXPECT_NE(window.out.find(half.outcomes), std::string::npos) << half.outcomes << "\n"
                                                                 << window.out;
    EXPECT_NE(window.out.find(half.openAtEnd), std::string::npos) << half.openAtEnd << "\n"
                                                                  << window.out;
    EXPECT_NE(half.openAtEnd, whole.openAtEnd);
}

// The events of a Perfetto trace, one a line as qelttrace writes them.
struct TraceEvent {
    std::string phase, name, cat, id;
    long tid = 0;
    std::int64_t ts = 0, dur = 0;  // nanoseconds
};

std::vector<TraceEvent> traceEvents(const std::string& trace) {
    const auto text = [](const std::string& line, const std::string& key) {
        const std::size_t at = line.find("\"" + key + "\":\"");
        if (at == std::string::npos) return std::string();
        const std::size_t begin = at + key.size() + 4;
        return line.substr(begin, line.find('"', begin) - begin);
    };
    // Microseconds as written: read as a double, times 1000, truncated.
    const auto ns = [](const std::string& line, const std::string& key) -> std::int64_t {
        const std::size_t at = line.find("\"" + key + "\":");
        if (at == std::string::npos) return 0;
        return static_cast<std::int64_t>(std::strtod(line.c_str() + at + key.size() + 3, nullptr) *
                                         1000);
    };
    std::vector<TraceEvent> events;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("{\"ph\":", 0) != 0) continue;
        TraceEvent e;
        e.phase = text(line, "ph");
        e.name = text(line, "name");
        e.cat = text(line, "cat");
        e.id = text(line, "id");
        e.tid = std::strtol(line.c_str() + line.find("\"tid\":") + 6, nullptr, 10);
        e.ts = ns(line, "ts");
        e.dur = ns(line, "dur");
        events.push_back(e);
    }
    return events;
}

// Complete slices of one thread that overlap without nesting, in start order.
std::string overlapping(const std::vector<TraceEvent>& events) {
    std::map<long, std::vector<std::pair<std::int64_t, std::int64_t>>> threads;
    for (const TraceEvent& e : events) {
        if (e.phase == "X") threads[e.tid].emplace_back(e.ts, e.ts + e.dur);
    }
    std::string found;
    for (auto& [tid, slices] : threads) {
        std::stable_sort(slices.begin(), slices.end(), [](const auto& a, const auto& b) {
            return a.first != b.first ? a.first < b.first : a.second > b.second;
        });
        std::vector<std::int64_t> ends;  // of the slices that hold the next one
        for (const auto& [begin, end] : slices) {
            while (!ends.empty() && ends.back() <= begin) ends.pop_back();
            if (!ends.empty() && end > ends.back()) {
                found += "thread " + std::to_string(tid) + " at " + std::to_string(begin) + "; ";
            }
            ends.push_back(end);
        }
    }
    return found;
}

// No thread of the trace holds two complete slices that overlap without
// nesting, on a generated workload (transactions open up to eight at once)
// nor on decoded output whose times run backwards; the keyed transactions
// are async slices, one id each, begun and ended with the same name, as many
// as the listing holds, and the depth counter climbs as high as the report
// says.
TEST_F(Qelttrace, PerfettoSlicesNeverOverlapOnAThread) {
    const std::string dump =
        write("generated.txt", qelttest::dumpLines(qelttest::generatedRecords(100000, 18)));
    const std::string trace = dir_ + "/trace.json", listing = dir_ + "/t.csv";
    ToolRun r = run({"--perfetto", trace, "--transactions", listing, "--stats=json", dump});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<TraceEvent> events = traceEvents(readFile(trace));
    EXPECT_EQ(overlapping(events), "");
    std::map<std::string, std::string> begun;  // id: name
    std::size_t ended = 0, depthMax = 0;
    for (const TraceEvent& e : events) {
        if (e.phase == "b") {
            EXPECT_TRUE(begun.emplace(e.id, e.name).second) << e.id;
        }
        if (e.phase == "e") {
            ++ended;
            EXPECT_EQ(begun[e.id], e.name) << e.id;
        }
        EXPECT_NE(e.cat, "overlapping") << "no unkeyed transaction overlaps another";
    }
    std::size_t started = 0, matched = 0;
    std::istringstream rows(readFile(listing));
    for (std::string row; std::getline(rows, row);) {
        if (row.rfind("ActivateTransaction->CompleteTransation,", 0) != 0) continue;
        ++started;
        if (row.find(",,") == std::string::npos) ++matched;
    }
    EXPECT_GT(matched, 1000u);
    EXPECT_EQ(begun.size(), started);
    EXPECT_EQ(ended, matched);
    std::istringstream counters(readFile(trace));
    for (std::string line; std::getline(counters, line);) {
        const std::size_t at = line.find("\"ph\":\"C\"");
        if (at != std::string::npos) {
            depthMax = std::max<std::size_t>(depthMax,
                                             std::stoul(line.substr(line.find("\"depth\":") + 8)));
        }
    }
    EXPECT_NE(r.out.find("\"depth\":{\"max\":" + std::to_string(depthMax) + ","), std::string::npos)
        << depthMax;

    // Decoded output may hold any times: a transfer that starts before the
    // last one ended, a state entered back in time.
    const std::string decoded =
        write("backwards.txt",
              "     5.000000000\t     0.000000000\tDMA Start 0 a\n"
              "     6.000000000\t     1.000000000\tDMA End 0 a\n"
              "     5.500000000\t     0.000000000\tDMA Start 0 b\n"
              "     6.500000000\t     1.000000000\tDMA End 0 b\n"
              "     8.000000000\t     1.000000000\tSATAWakeup 0 x state=IDLE\n"
              "     9.000000000\t     1.000000000\tSATAWakeup 0 x state=RCV\n"
              "     8.500000000\t     0.000000000\tSATAWakeup 0 x state=IDLE\n"
              "     9.500000000\t     1.000000000\tCancelAll 0 x\n");
    ASSERT_EQ(run({"--perfetto", trace, decoded}).status, 0);
    const std::vector<TraceEvent> drawn = traceEvents(readFile(trace));
    EXPECT_EQ(overlapping(drawn), "");
    const auto demoted = std::count_if(drawn.begin(), drawn.end(), [](const TraceEvent& e) {
        return e.phase == "b" && e.cat == "overlapping";
    });
    EXPECT_EQ(demoted, 2) << "the transfer and the state that would overlap";
}

TEST_F(Qelttrace, BadUsageLeavesNothingUnderTheTarget) {
    const std::string input = write("in.txt", "1.000000000 0 70 a\n");
    const std::string target = dir_ + "/out.html";
    struct Case {
        std::vector<std::string> args;
        const char* reason;
    } const cases[] = {
        {{"--format", "xml"}, "--format xml"},
        {{"--event", "[ab"}, "--event [ab"},
        {{"--event", "a\\"}, "--event a\\"},
        {{"--from", "2", "--to", "1"}, "--from 2 is after --to 1"},
        {{"--from", "1.0000000001"}, "--from 1.0000000001"},
        // Past the nanoseconds' range: refused, not wrapped into a time that selects all.
        {{"--from", "10000000000"}, "--from 10000000000: is out of range"},
        {{"--to", "-9223372036.854775808"}, "--to -9223372036.854775808: is out of range"},
        {{"--to", "x"}, "--to x"},
        {{"--pair", "A"}, "--pair A"},
        {{"--pair", "A,A"}, "--pair A,A"},
        {{"--pair", "A,B,key"}, "--pair A,B,key"},
        {{"--pair", "A,B,none,key"}, "--pair A,B,none,key: the kind is"},
        {{"--pair", "A,B,none,none,key"}, "--pair A,B,none,none,key: the outcome is"},
        {{"--pair", "A,B,none,none,none,none"}, "--pair A,B,none,none,none,none: not START"},
        {{"--transactions", target}, "--html and --transactions name the same file"},
        {{"--transactions", "-", "--stats"}, "standard output takes one output"},
        {{"--stats=xml"}, "--stats=xml"},
        {{"--stats", "--format", "csv"}, "--stats prints"},
        {{"--context", "-1"}, "--context -1"},
        {{"--top", "x"}, "--top x"},
        {{"--bogus"}, "unknown option --bogus"},
        {{"--errors=3"}, "--errors takes no value"},
        {{"--format", "csv", "--format", "jsonl"}, "--format is given twice"},
        {{"--from"}, "--from needs a value"},
        {{"--context", "2"}, "--context shows the records around those a filter selects"},
        {{"--stats", "--perfetto", "-"}, "standard output takes one output"},
        {{"--perfetto", "-", "--format", "csv"}, "standard output takes one output"},
        // A comparison: the two dumps have clocks of their own, and it has outputs of its own.
        {{"--compare", input, "--from", "1"},
         "--from does not go with --compare: the baseline and the run each have their own clock"},
        {{"--compare", input, "--to", "1"}, "--to does not go with --compare"},
        {{"--compare", input, "--format", "csv"},
         "--compare reports the comparison as text, --stats=json or --html: it does not go with "
         "--format"},
        {{"--compare", input, "--perfetto", dir_ + "/out.json"},
         "--compare reports the comparison as text, --stats=json or --html: it does not go with "
         "--perfetto"},
        {{"--compare", input, "--transactions", "-"}, "--compare reports the comparison"},
        {{"--compare"}, "--compare needs a value: BASELINE"},
        {{"--compare", input, "--compare", input}, "--compare is given twice"},
        {{"--compare", "-", "-"},
         "--compare -: the baseline and the run cannot both be standard input"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--html", target, input});
        ToolRun r = run(args);
        EXPECT_EQ(r.status, kUsage) << c.reason;
        EXPECT_EQ(r.out, "") << c.reason;
        EXPECT_EQ(r.err.rfind(std::string("qelttrace: ") + c.reason, 0), 0u) << r.err;
        EXPECT_NE(access(target.c_str(), F_OK), 0) << c.reason;
    }
    // Options that would change nothing without an output that uses them.
    struct Unused {
        std::vector<std::string> args;
        const char* reason;
    } const unused[] = {
        {{"--top", "5"}, "--top sets how many gaps"},
        {{"--pair", "A,B"}, "--pair measures pairs"},
        {{"--perfetto", "-", "--top", "5"}, "--top sets how many gaps"},
    };
    for (const Unused& c : unused) {
        std::vector<std::string> args = c.args;
        args.push_back(input);
        ToolRun r = run(args);
        EXPECT_EQ(r.status, kUsage) << c.reason;
        EXPECT_EQ(r.out, "") << c.reason;
        EXPECT_EQ(r.err.rfind(std::string("qelttrace: ") + c.reason, 0), 0u) << r.err;
    }
    // An output that cannot be written: the reason, and no file left behind;
    // nor the other report's.
    ToolRun missingDirectory =
        run({"--perfetto", dir_ + "/missing/dir/out.json", "--html", target, input});
    EXPECT_EQ(missingDirectory.status, kInputOutput);
    EXPECT_EQ(missingDirectory.err.rfind("qelttrace: " + dir_ + "/missing/dir/out.json", 0), 0u)
        << missingDirectory.err;
    EXPECT_NE(access(target.c_str(), F_OK), 0);
    ToolRun unwritable = run({"--html", dir_ + "/missing/out.html", input});
    EXPECT_EQ(unwritable.status, kInputOutput);
    EXPECT_EQ(unwritable.err.rfind("qelttrace: " + dir_ + "/missing/out.html", 0), 0u);
    ToolRun ok = run({"--html", target, "--perfetto", dir_ + "/out.json", input});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(access(target.c_str(), F_OK), 0);
    EXPECT_EQ(ok.out, "");  // the reports replace the records unless --format asks
}

// A target that is one of the inputs, by any name, is refused and left as it
// was; so is a file that holds something else than the report (the output's
// name forgotten, the trace taken for it).
TEST_F(Qelttrace, TargetsThatAreInputsOrOtherFilesAreLeftAlone) {
    const std::string trace = readFile(sampleTracePath());
    const std::string input = write("v.txt", trace);
    ASSERT_EQ(link(input.c_str(), (dir_ + "/hard.txt").c_str()), 0);
    ASSERT_EQ(symlink("v.txt", (dir_ + "/link.txt").c_str()), 0);
    ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0755), 0);
    // A listing replaces a listing of its own form only.
    const std::string csvListing = std::string(kListingHeader) + "\r\n";
    write("listing.jsonl", csvListing);
    write("listing.csv", csvListing);
    write("old.jsonl", "{\"rule\":\"A->B\"}\n");
    const std::vector<std::string> before = names();
    struct Case {
        std::vector<std::string> args;
        std::string stdinFile;  // standard input from this file, when given
        const char* reason;
    } const cases[] = {
        {{"--perfetto", input, input}, "", "is the input"},
        {{"--html", dir_ + "/hard.txt", input}, "", "is the input"},
        {{"--html", dir_ + "/link.txt", input}, "", "is the input"},
        {{"--perfetto", dir_ + "/sub/../v.txt", input}, "", "is the input"},
        {{"--html", input, "-"}, input, "is the input standard input"},
        {{"--html", input}, "", "holds something other than what --html writes"},
        {{"--transactions", dir_ + "/link.txt", input}, "", "is the input"},
        {{"--transactions", input}, "", "holds something other than what --transactions writes"},
        {{"--transactions", dir_ + "/listing.jsonl", input},
         "",
         "holds something other than what --transactions writes"},
        {{"--perfetto", input, "--html", dir_ + "/link.txt", sampleTracePath()}, "", "one file"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{qelttest::qelttracePath()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        qelttest::ChildProcess child(argv);
        int in = -1;
        if (!c.stdinFile.empty()) {
            in = open(c.stdinFile.c_str(), O_RDONLY);
            child.redirect(0, in);
        }
        ToolRun r = qelttest::runToEnd(child, 60s, qelttest::StandardError::kOwnFile);
        if (in >= 0) close(in);
        EXPECT_EQ(r.status, kInputOutput) << c.reason;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_EQ(readFile(input), trace) << c.reason;
        EXPECT_EQ(names(), before) << c.reason;
    }
    for (const char* listing : {"listing.csv", "old.jsonl"}) {
        ToolRun replaced = run({"--transactions", dir_ + "/" + listing, input});
        EXPECT_EQ(replaced.status, 0) << replaced.err;
    }
    EXPECT_NE(readFile(dir_ + "/listing.csv"), csvListing);
    EXPECT_EQ(readFile(dir_ + "/old.jsonl").rfind("{\"rule\":\"DMA Start->DMA End\",", 0), 0u);
    EXPECT_EQ(names(), before);
}

// Typed with the input forgotten on a terminal, qelttrace says so at once
// instead of waiting, and leaves the file it took for the target alone.
TEST_F(Qelttrace, NoInputFromATerminalStopsAtOnce) {
    const std::string trace = readFile(sampleTracePath());
    const std::string dump = write("dump.txt", trace);
    qelttest::Terminal terminal;
    ASSERT_TRUE(terminal.ok());
    qelttest::ChildProcess child({qelttest::qelttracePath(), "--html", dump});
    child.redirect(0, terminal.terminal());
    ToolRun r = qelttest::runToEnd(child, 20s, qelttest::StandardError::kOwnFile);
    EXPECT_EQ(r.status, kUsage);
    EXPECT_EQ(r.err.rfind("qelttrace: no input file, and standard input is a terminal", 0), 0u)
        << r.err;
    EXPECT_EQ(readFile(dump), trace);
    EXPECT_EQ(terminal.shown(), "");
}

// A device or a FIFO is written in place, as a shell redirection would; a
// directory is refused; a link stays a link to the replaced file; "-" is
// standard output; a write that fails says so, non-zero.
TEST_F(Qelttrace, DevicesFifosDirectoriesAndLinksAsTheShellHasThem) {
    const std::string input = write("v.txt", readFile(sampleTracePath()));
    const std::string null = device("null", 3, "/dev/null");
    for (const char* option : {"--perfetto", "--html", "--transactions"}) {
        ToolRun discarded = run({option, null, input});
        EXPECT_EQ(discarded.status, 0) << discarded.err;
        EXPECT_TRUE(isKind(null, S_IFCHR));
    }

    const std::string full = device("full", 7, "/dev/full");
    ToolRun failed = run({"--perfetto", full, input});
    EXPECT_EQ(failed.status, kInputOutput);
    EXPECT_EQ(failed.err, "qelttrace: " + full + ": No space left on device\n");
    EXPECT_TRUE(isKind(full, S_IFCHR));

    // The FIFO's reader is there before the writer, and never waits for one
    // that does not come.
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int readEnd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(readEnd, 0);
    std::string fed;
    std::atomic<bool> ended{false};
    std::thread reader([&] {
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(readEnd, buffer, sizeof buffer);
            if (n > 0) {
                fed.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 && ended) {
                break;
            } else {
                std::this_thread::sleep_for(1ms);
            }
        }
    });
    ToolRun piped = run({"--perfetto", fifo, input});
    ended = true;
    reader.join();
    close(readEnd);
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(fed.rfind("{\"traceEvents\":[", 0), 0u);
    EXPECT_TRUE(isKind(fifo, S_IFIFO));

    const std::string directory = dir_ + "/empty";
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    ToolRun intoDirectory = run({"--html", directory, input});
    EXPECT_EQ(intoDirectory.status, kInputOutput);
    EXPECT_EQ(intoDirectory.err, "qelttrace: " + directory + ": is a directory\n");
    EXPECT_TRUE(isKind(directory, S_IFDIR));

    write("old.html", "<!DOCTYPE html>an older report");
    ASSERT_EQ(symlink("old.html", (dir_ + "/report.html").c_str()), 0);
    ToolRun linked = run({"--html", dir_ + "/report.html", input});
    EXPECT_EQ(linked.status, 0) << linked.err;
    EXPECT_TRUE(isKind(dir_ + "/report.html", S_IFLNK));
    EXPECT_NE(readFile(dir_ + "/old.html").find("uPlot"), std::string::npos);

    ToolRun out = run({"--perfetto", "-", input});
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.out.rfind("{\"traceEvents\":[", 0), 0u);
    EXPECT_EQ(out.out.back(), '\n');

    // A report that would lack an input is not put in place.
    ToolRun partial = run({"--html", dir_ + "/partial.html", input, dir_ + "/missing.txt"});
    EXPECT_EQ(partial.status, kInputOutput);
    EXPECT_NE(access((dir_ + "/partial.html").c_str(), F_OK), 0);
}

// Interrupted, qelttrace removes its temporary files, leaves the targets as
// they were and ends as the signal would have ended it.
TEST_F(Qelttrace, InterruptLeavesNoTemporaryFile) {
    const std::string line = "  1523.104233120 0 4 0000\r\n";
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const std::string target = write("trace.json", "{\"traceEvents\":[ an older trace");
        const std::vector<std::string> before = names();
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        qelttest::ChildProcess child({qelttest::qelttracePath(), "--perfetto", target, "-"});
        child.redirect(0, pipeFds[0]);
        std::string error;
        ASSERT_TRUE(child.start(error, qelttest::StandardError::kOwnFile)) << error;
        close(pipeFds[0]);
        // Records keep coming until the temporary file is there.
        bool temporary = false;
        for (int i = 0; i < 2000 && !temporary; ++i) {
            std::string block;
            for (int j = 0; j < 100; ++j) block += line;
            ASSERT_EQ(::write(pipeFds[1], block.data(), block.size()),
                      static_cast<ssize_t>(block.size()));
            temporary = names().size() > before.size();
            if (!temporary) std::this_thread::sleep_for(1ms);
        }
        ASSERT_TRUE(temporary);
        child.signal(signal);
        const int status = child.wait(30s);
        close(pipeFds[1]);
        EXPECT_EQ(status, 128 + signal);
        EXPECT_EQ(names(), before) << "signal " << signal;
        EXPECT_EQ(readFile(target), "{\"traceEvents\":[ an older trace");
    }
}

// A reader of standard output that goes away (qelttrace ... | head -1) ends
// the run as an interrupt does: no temporary file left, the old report in
// place. SIGPIPE ends it as the signal would have; where the signal is
// ignored, the failed write ends it, the reason said.
TEST_F(Qelttrace, BrokenPipeEndsTheRunAsAnInterruptDoes) {
    const std::string dump =
        write("big.txt", qelttest::dumpLines(qelttest::generatedRecords(100000, 7)));
    struct Case {
        bool ignored;
        int status;
        const char* err;
    } const cases[] = {
        {false, 128 + SIGPIPE, ""},
        {true, kInputOutput, "qelttrace: standard output: Broken pipe\n"},
    };
    for (const Case& c : cases) {
        const std::string old = "<!DOCTYPE html>an older report";
        const std::string page = write("report.html", old);
        const std::vector<std::string> before = names();
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        qelttest::ChildProcess child(
            {qelttest::qelttracePath(), "--html", page, "--format", "csv", dump});
        child.redirect(1, fds[1]);
        std::string error;
        // An ignored signal stays ignored across exec.
        if (c.ignored) signal(SIGPIPE, SIG_IGN);
        const bool started = child.start(error, qelttest::StandardError::kOwnFile);
        if (c.ignored) signal(SIGPIPE, SIG_DFL);
        close(fds[1]);
        ASSERT_TRUE(started) << error;
        // head -1: one line, then away.
        std::string line;
        char ch = 0;
        while (line.find('\n') == std::string::npos && read(fds[0], &ch, 1) == 1) line += ch;
        close(fds[0]);
        EXPECT_EQ(line, "record,time,time_ns,delta_ns,event,qualifier,argument,status,text\r\n");
        EXPECT_EQ(child.wait(60s), c.status) << c.ignored;
        EXPECT_EQ(child.errors(), c.err);
        EXPECT_EQ(names(), before) << c.ignored;
        EXPECT_EQ(readFile(page), old) << c.ignored;
    }
}

// Two dumps of the bridge with a change of every kind planted in them: the
// baseline 100 s long, the run 50 s.
struct PlantedPair {
    std::string baseline, run;
};

const PlantedPair& plantedDumps() {
    static const PlantedPair pair = [] {
        constexpr std::int64_t s = qelttest::PlantedDump::kSecond;
        const std::int64_t bSpan = 100 * s, rSpan = 50 * s;
        qelttest::Draw draw(7);
        qelttest::PlantedDump b, r;
        // Commands: 60 60% slower; 61 3% slower, a shift the test alone
        // sees in 20,000 a side; 25 only in the run; 35 only in the
        // baseline; CA too few in the run; 42 60% faster.
        b.commands(draw, "60", 2000, 50000, bSpan);
        r.commands(draw, "60", 2000, 80000, rSpan);
        b.commands(draw, "61", 20000, 40000, bSpan);
        r.commands(draw, "61", 20000, 41200, rSpan);
        r.commands(draw, "25", 40, 300000, rSpan);
        b.commands(draw, "35", 40, 500000, bSpan);
        b.commands(draw, "CA", 100, 30000, bSpan);
        r.commands(draw, "CA", 15, 30000, rSpan);
        b.commands(draw, "42", 500, 90000, bSpan);
        r.commands(draw, "42", 500, 56250, rSpan);
        // Commands of 60 that end aborted, and that are never answered, in
        // the run only.
        r.commands(draw, "60", 30, 250000, rSpan, "0");
        r.unanswered(draw, "60", 5, rSpan);
        // Transfers, of no kind: the same.
        b.transfers(draw, 100, 24000, bSpan);
        r.transfers(draw, 100, 24000, rSpan);
        // Events and errors: CancelAll at twice the rate; FatalError new,
        // UnexpectedState gone (both trouble); parse errors at a third of
        // the rate; unknown tags at the same rate.
        b.spread(draw, "00 2 0", 200, bSpan);
        r.spread(draw, "00 2 0", 200, rSpan);
        r.spread(draw, "0 0 0", 12, rSpan);
        b.spread(draw, "0 9 0", 30, bSpan);
        b.spread(draw, "ABCD 2 0", 60, bSpan);
        r.spread(draw, "ABCD 2 0", 10, rSpan);
        b.spread(draw, "1 99 0", 50, bSpan);
        r.spread(draw, "1 99 0", 25, rSpan);
        // States: IDLE 80% -> 50%, RCV 20% -> 30%, SND new at 20%.
        b.states(bSpan, {{1, 80}, {2, 20}});
        r.states(rSpan, {{1, 50}, {2, 30}, {3, 20}});
        b.add(bSpan, "00 2 0");
        r.add(rSpan, "00 2 0");
        return PlantedPair{b.text(), r.text()};
    }();
    return pair;
}

// The lines of `text`.
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The first line of `lines` that begins with `start`, or "".
std::string lineStarting(const std::vector<std::string>& lines, const std::string& start) {
    for (const std::string& line : lines) {
        if (line.rfind(start, 0) == 0) return line;
    }
    return {};
}

// The words of a line, split at blanks.
std::vector<std::string> wordsOf(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// Every verdict, from two dumps with changes planted in them, as the text
// of qelttrace --compare: the inputs and their spans, the verdicts summed
// up, each rule's kinds with the changes first, the events, the errors and
// the states, changed rows first.
TEST_F(Qelttrace, CompareNamesEveryPlantedChange) {
    const std::string baseline = write("baseline.txt", plantedDumps().baseline);
    const std::string run = write("run.txt", plantedDumps().run);
    ToolRun r = this->run({"--compare", baseline, run});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> lines = linesOf(r.out);
    ASSERT_GT(lines.size(), 20u);
    EXPECT_EQ(lines[0], "baseline " + baseline + ": span 100.000000000 s, 47821 records; run " +
                            run + ": span 50.000000000 s, 47123 records");
    EXPECT_EQ(lines[1],
              "verdicts: transactions 1 slower, 2 new, 1 faster, 1 gone, 1 too few, 2 same; "
              "events 6 more, 1 new, 1 gone; errors 1 new, 1 fewer, 1 gone, 1 same");
    // A rule without kinds: one row, no kind column.
    const auto transfers = std::find(lines.begin(), lines.end(), "DMA Start->DMA End");
    ASSERT_NE(transfers, lines.end()) << r.out;
    EXPECT_EQ(wordsOf(transfers[2])[0], "verdict");
    EXPECT_EQ(wordsOf(transfers[3])[0] + " " + wordsOf(transfers[3])[1], "same 100");
    EXPECT_EQ(transfers[4], "");
    // The command kinds and their outcomes, the changes that matter first;
    // the commands aborted and those never answered side by side.
    const auto at = std::find(lines.begin(), lines.end(),
                              "ActivateTransaction->CompleteTransation, keyed by the argument, "
                              "kinds by the qualifier, outcomes by the qualifier");
    ASSERT_NE(at, lines.end()) << r.out;
    EXPECT_EQ(at[1],
              "  transactions 22640 -> 22585, unmatched starts 0 -> 5, unmatched ends 0 -> 0, "
              "open at the end 0 -> 5, aborted 0 -> 30");
    const std::vector<std::string> heads = wordsOf(at[2]);
    ASSERT_GE(heads.size(), 3u);
    EXPECT_EQ(heads[0] + " " + heads[1] + " " + heads[2], "kind outcome verdict");
    const struct {
        const char* kindAndOutcome;
        const char* verdict;
        const char* counts;
    } rows[] = {
        {"60 1 (completed)", "slower", "2000 2000"}, {"25 1 (completed)", "new", "0 40"},
        {"60 0 (aborted)", "new", "0 30"},           {"42 1 (completed)", "faster", "500 500"},
        {"35 1 (completed)", "gone", "40 0"},        {"CA 1 (completed)", "too", "100 15"},
        {"61 1 (completed)", "same", "20000 20000"}};
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const std::vector<std::string> words = wordsOf(at[3 + i]);
        ASSERT_GE(words.size(), 7u) << at[3 + i];
        EXPECT_EQ(words[0] + " " + words[1] + " " + words[2], rows[i].kindAndOutcome) << at[3 + i];
        EXPECT_EQ(words[3], rows[i].verdict) << at[3 + i];
        const std::size_t counts = words[3] == "too" ? 5 : 4;
        EXPECT_EQ(words[counts] + " " + words[counts + 1], rows[i].counts) << at[3 + i];
    }
    EXPECT_EQ(at[3 + std::size(rows)], "");
    // The slower kind's ratios and p-value, after its p50 ... max side by side.
    const std::vector<std::string> slower = wordsOf(at[3]);
    ASSERT_EQ(slower.size(), 19u) << at[3];
    EXPECT_NEAR(std::stod(slower[16]), 1.6, 0.05) << at[3];
    EXPECT_LT(std::stod(slower[18]), 1e-20) << at[3];
    // Rates per second of each dump's span: 2000 in 100 s and in 50 s.
    EXPECT_EQ(slower[6] + " " + slower[7], "20.000 40.000");

    EXPECT_EQ(
        wordsOf(lineStarting(lines, "  CancelAll ")),
        (std::vector<std::string>{"CancelAll", "more", "201", "201", "2.010", "4.020", "2.000"}));
    EXPECT_EQ(wordsOf(lineStarting(lines, "  FatalError ")),
              (std::vector<std::string>{"FatalError", "new", "0", "12", "0.000", "0.240"}));
    EXPECT_EQ(
        wordsOf(lineStarting(lines, "  parse_error ")),
        (std::vector<std::string>{"parse_error", "fewer", "60", "10", "0.600", "0.200", "0.333"}));
    EXPECT_EQ(wordsOf(lineStarting(lines, "  unknown_tag ")),
              (std::vector<std::string>{"unknown_tag", "99", "same", "50", "25", "0.500", "0.500",
                                        "1.000"}));
    // States: the largest change first.
    const auto states = std::find(lines.begin(), lines.end(), "SATA states");
    ASSERT_NE(states, lines.end());
    EXPECT_EQ(wordsOf(states[2])[0] + " " + wordsOf(states[2])[3], "IDLE -30.0");
    EXPECT_EQ(wordsOf(states[3])[0] + " " + wordsOf(states[3])[3], "SND +20.0");
    EXPECT_EQ(wordsOf(states[4])[0] + " " + wordsOf(states[4])[3], "RCV +10.0");

    // --stats asks for the same text; the same pair rules and filters apply
    // to both dumps.
    EXPECT_EQ(this->run({"--compare", baseline, "--stats", run}).out, r.out);
    ToolRun filtered = this->run({"--compare", baseline, "--event", "Activate*", "--event",
                                  "Complete*", "--pair", "CancelAll,FatalError", run});
    ASSERT_EQ(filtered.status, 0) << filtered.err;
    EXPECT_EQ(linesOf(filtered.out)[1],
              "verdicts: transactions 1 slower, 3 new, 1 faster, 1 gone, 1 too few, 2 same; "
              "events 2 more; errors none");
    // The pair rules see every record whatever the filters select; the
    // events are those selected.
    EXPECT_EQ(filtered.out.find("\n  DMA Start "), std::string::npos);
    EXPECT_NE(filtered.out.find("\nCancelAll->FatalError\n  transactions 0 -> 11,"),
              std::string::npos);
}

// --stats=json: each dump's own --stats=json, byte for byte, then the
// changes; null where a figure does not exist.
TEST_F(Qelttrace, CompareAsJsonHoldsEachDumpsStatistics) {
    const std::string baseline = write("baseline.txt", plantedDumps().baseline);
    const std::string run = write("run.txt", plantedDumps().run);
    ToolRun r = this->run({"--compare", baseline, "--stats=json", run});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string alone[2];
    for (int i = 0; i < 2; ++i) {
        ToolRun stats = this->run({"--stats=json", i == 0 ? baseline : run});
        ASSERT_EQ(stats.status, 0);
        ASSERT_EQ(stats.out.back(), '\n');
        alone[i] = stats.out.substr(0, stats.out.size() - 1);
    }
    const std::string head = "{\"baseline\":" + alone[0] + ",\"run\":" + alone[1] +
                             ",\"changes\":{\"pairs\":[{\"rule\":\"DMA Start->DMA End\","
                             "\"start\":\"DMA Start\",";
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    for (const char* piece :
         {"{\"rule\":\"ActivateTransaction->CompleteTransation\",\"start\":"
          "\"ActivateTransaction\",\"end\":\"CompleteTransation\",\"kind\":\"60\","
          "\"outcome\":\"1\",\"verdict\":\"slower\",\"baseline\":{\"count\":2000,"
          "\"rate\":20,",
          "\"kind\":\"60\",\"outcome\":\"0\",\"verdict\":\"new\"",
          // Each rule's counts side by side, those open at the end and aborted among them.
          "{\"rule\":\"ActivateTransaction->CompleteTransation\",\"start\":"
          "\"ActivateTransaction\",\"end\":\"CompleteTransation\",\"baseline\":{"
          "\"count\":22640,\"unmatched_starts\":0,\"unmatched_ends\":0,"
          "\"open_at_end\":0,\"aborted\":0},\"run\":{\"count\":22585,"
          "\"unmatched_starts\":5,\"unmatched_ends\":0,\"open_at_end\":5,"
          "\"aborted\":30}}",
          // A kind of one side only: no figures on the other, no ratios, no test.
          "\"kind\":\"25\",\"outcome\":\"1\",\"verdict\":\"new\",\"baseline\":{"
          "\"count\":0,\"rate\":0,\"p50_ns\":null,\"p90_ns\":null,\"p99_ns\":"
          "null,\"max_ns\":null},\"run\":{\"count\":40,\"rate\":0.8,",
          "\"p50_ratio\":null,\"p99_ratio\":null,\"p_value\":null}",
          "{\"event\":\"CancelAll\",\"verdict\":\"more\",\"baseline_count\":201,"
          "\"run_count\":201,\"baseline_rate\":2.01,\"run_rate\":4.02}",
          "{\"status\":\"parse_error\",\"event\":\"\",\"verdict\":\"fewer\","
          "\"baseline\":60,\"run\":10}",
          "{\"state\":\"SND\",\"baseline_share\":0,\"run_share\":0.2",
          // No kind for a rule without kinds.
          "{\"rule\":\"DMA Start->DMA End\",\"start\":\"DMA Start\",\"end\":"
          "\"DMA End\",\"kind\":null,"
          "\"outcome\":null,\"verdict\":\"same\",\"baseline\":{\"count\":100,"}) {
        EXPECT_NE(r.out.find(piece), std::string::npos) << piece;
    }
    // The 3% shift: the test rejects, the verdict is the same.
    const std::size_t same = r.out.find("\"kind\":\"61\",\"outcome\":\"1\",\"verdict\":\"same\"");
    ASSERT_NE(same, std::string::npos);
    const std::size_t p = r.out.find("\"p_value\":", same);
    ASSERT_NE(p, std::string::npos);
    EXPECT_LT(std::stod(r.out.substr(p + 10, 24)), 0.001);
}

// The baseline is an input like any: compressed, decoded output, a session
// log, standard input; each compares as the plain dump does.
TEST_F(Qelttrace, CompareReadsBaselinesOfEveryKind) {
    const std::string plain = plantedDumps().baseline;
    const std::string baseline = write("baseline.txt", plain);
    const std::string run = write("run.txt", plantedDumps().run);
    const std::string decoded = write("baseline.decoded", this->run({baseline}).out);
    const ToolRun reference = this->run({"--compare", baseline, "--stats=json", run});
    ASSERT_EQ(reference.status, 0);
    const struct {
        std::string baseline, input, run;
    } forms[] = {
        {write("baseline.txt.gz", qelttest::gzipped(plain)), "", run},
        {write("baseline.utf16", qelttest::utf16(plain, false)), "", run},
        {decoded, "", run},
        {"-", plain, run},
        {baseline, readFile(run), "-"},
    };
    for (const auto& form : forms) {
        ToolRun r = this->run({"--compare", form.baseline, "--stats=json", form.run}, form.input);
        EXPECT_EQ(r.status, 0) << form.baseline << ": " << r.err;
        EXPECT_EQ(r.err, "") << form.baseline;
        EXPECT_EQ(r.out, reference.out) << form.baseline;
    }
    // Standard input is named as such, and a run of several files by each of them.
    const std::string named = linesOf(this->run({"--compare", "-", run, run}, plain).out)[0];
    EXPECT_EQ(named.rfind("baseline standard input: span ", 0), 0u) << named;
    EXPECT_NE(named.find("; run " + run + " " + run + ": span "), std::string::npos) << named;
    // The sample's session log against the sample: one dump, so nothing changed.
    ToolRun log = this->run({"--compare", QELT_OLDER_LOG, sampleTracePath()});
    EXPECT_EQ(log.status, 0) << log.err;
    EXPECT_EQ(linesOf(log.out)[1],
              "verdicts: transactions 3 too few; events 32 same; errors 9 same");
}

// The baseline is an input: no report is written over it, and one that
// cannot be read is a failed input, before anything is written.
TEST_F(Qelttrace, CompareBaselineIsAnInput) {
    const std::string baseline = write("baseline.txt", readFile(sampleTracePath()));
    const std::string run = write("run.txt", readFile(sampleTracePath()));
    const std::vector<std::string> before = names();
    ToolRun over = this->run({"--compare", baseline, "--html", baseline, run});
    EXPECT_EQ(over.status, kInputOutput);
    EXPECT_EQ(over.err, "qelttrace: --html " + baseline + " is the input " + baseline +
                            ": it would be overwritten\n");
    EXPECT_EQ(readFile(baseline), readFile(sampleTracePath()));
    const std::string page = dir_ + "/page.html";
    ToolRun missing = this->run({"--compare", dir_ + "/missing.txt", "--html", page, run});
    EXPECT_EQ(missing.status, kInputOutput);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err.rfind("qelttrace: " + dir_ + "/missing.txt: ", 0), 0u) << missing.err;
    EXPECT_EQ(names(), before);
    // A page of the comparison, and the text beside it when --stats asks.
    ToolRun both = this->run({"--compare", baseline, "--html", page, "--stats", run});
    EXPECT_EQ(both.status, 0) << both.err;
    EXPECT_EQ(both.out, this->run({"--compare", baseline, run}).out);
    EXPECT_EQ(readFile(page).rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_EQ(this->run({"--compare", baseline, "--html", page, run}).out, "");
}

}  // namespace
