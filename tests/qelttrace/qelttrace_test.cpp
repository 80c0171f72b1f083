// qelttrace as a process: what it prints for plain dumps, -raw captures,
// captures of the wire, several files, standard input, oversized lines and NUL
// bytes, and how it fails on a file it cannot read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/version.h"

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class Qelttrace : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/qelttrace-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        for (const std::string& file : files_) unlink(file.c_str());
        rmdir(dir_.c_str());
    }

    std::string write(const std::string& name, const std::string& content) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        files_.push_back(path);
        return path;
    }

    // Runs qelttrace with `args`, standard input read from `input`.
    Outcome run(const std::vector<std::string>& args, const std::string& input = "") {
        std::string in = write("stdin", input);
        std::string out = dir_ + "/stdout";
        std::string err = dir_ + "/stderr";
        files_.push_back(out);
        files_.push_back(err);
        pid_t child = fork();
        if (child == 0) {
            int fdIn = open(in.c_str(), O_RDONLY);
            int fdOut = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int fdErr = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fdIn, 0);
            dup2(fdOut, 1);
            dup2(fdErr, 2);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(QELTTRACE_PATH));
            for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(QELTTRACE_PATH, argv.data());
            _exit(127);
        }
        Outcome result;
        int status = 0;
        waitpid(child, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = readFile(out);
        result.err = readFile(err);
        return result;
    }

    std::string dir_;
    std::vector<std::string> files_;
};

const char kPrompt[] = "INET> \xff\xf9";

// Lines of the built-in sample, each with the bridge's CR LF.
std::vector<std::string> sampleLines() {
    std::istringstream in(readFile(SAMPLE_TRACE));
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line + "\r\n");
    return lines;
}

TEST_F(Qelttrace, WorkedExample) {
    Outcome r = run({},
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
    std::string raw = "qelttelnet.exe: About to collect stats from QELT at 127.0.0.1\n";
    raw += "SATA history dump\r\n\n";
    for (const std::string& line : lines) raw += line + "\n";
    raw += "qelttelnet.exe: Telnet session ok, rv=0, state=10\n";

    // The bytes as the bridge sends them: pages closed by DUMP_RESULT= and a
    // prompt, the next page following the prompt.
    std::string wire = "SATA history dump\r\n";
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0 && i % 64 == 0) {
            wire += "DUMP_RESULT=" + std::to_string(i) + "\r\n" + kPrompt;
        }
        wire += lines[i];
    }
    wire += std::string("DUMP_RESULT=0\r\n") + kPrompt;

    Outcome fromPlain = run({write("plain.txt", plain)});
    Outcome fromRaw = run({write("raw.txt", raw)});
    Outcome fromWire = run({write("wire.txt", wire)});
    EXPECT_EQ(fromPlain.status, 0);
    EXPECT_EQ(fromRaw.status, 0);
    EXPECT_EQ(fromWire.status, 0);
    EXPECT_EQ(fromRaw.out, fromPlain.out);
    EXPECT_EQ(fromWire.out, fromPlain.out);
    EXPECT_NE(fromPlain.out.find("PARSE ERROR - ATAPI 50 3/a  "), std::string::npos);
    EXPECT_EQ(fromPlain.out.rfind("SATA history dump\r\n\n", 0), 0u);
}

TEST_F(Qelttrace, BarePromptBeforeAResultIsAnEmptyLine) {
    std::string input = std::string("1.000000000 0 2 a\r\n") + kPrompt + "2.000000000 0 2 b\r\n";
    Outcome r = run({}, input);
    EXPECT_EQ(r.out,
              "\n     1.000000000\t     0.000000000\tCancelAll 0 a"
              "\t     0.000000000\n"
              "\n     2.000000000\t     1.000000000\tCancelAll 0 b"
              "\t     0.000000000\n");
}

TEST_F(Qelttrace, SeveralFilesJoinAsCatJoinsThem) {
    std::string all = readFile(SAMPLE_TRACE);
    size_t cut = all.size() / 2 + 7;  // inside a line
    std::string first = write("first.txt", all.substr(0, cut));
    std::string second = write("second.txt", all.substr(cut));
    Outcome whole = run({SAMPLE_TRACE});
    Outcome joined = run({first, second});
    EXPECT_EQ(joined.status, 0);
    EXPECT_EQ(joined.out, whole.out);

    Outcome withStdin = run({first, "-"}, all.substr(cut));
    EXPECT_EQ(withStdin.out, whole.out);
    Outcome stdinOnly = run({}, all);
    EXPECT_EQ(stdinOnly.out, whole.out);
}

TEST_F(Qelttrace, UnreadableFileIsReportedAndTheRestDecoded) {
    std::string good = write("good.txt", "1.000000000 0 2 a\n");
    std::string missing = dir_ + "/missing.txt";
    Outcome r = run({missing, good});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "qelttrace: " + missing + ": No such file or directory\n");
    EXPECT_EQ(r.out, "\n     1.000000000\t     0.000000000\tCancelAll 0 a\t     0.000000000\n");

    Outcome directory = run({dir_});
    EXPECT_EQ(directory.status, 2);
    EXPECT_EQ(directory.err.rfind("qelttrace: " + dir_ + ": ", 0), 0u) << directory.err;
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
    Outcome r = run({write("long.txt", input)});
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
    Outcome r = run({}, input);
    EXPECT_EQ(r.out,
              "\n     1.000000000\t     0.000000000\tCancelAll 0 a"
              "\n     2.000000000\t     1.000000000\tCancelAll 0 b"
              "\t     1.000000000\n");
}

TEST_F(Qelttrace, EmptyInputPrintsAZeroSpan) {
    Outcome r = run({}, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\t     0.000000000\n");
}

TEST_F(Qelttrace, HelpAndUnknownOptions) {
    Outcome help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: qelttrace [FILE...]\n", 0), 0u);
    EXPECT_EQ(run({"-h"}).out, help.out);

    Outcome version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "qelttrace " QELT_VERSION "\n");
    EXPECT_EQ(version.err, "");
    // After "--" it names a file like any other argument.
    EXPECT_EQ(run({"--", "--version"}).status, 2);

    Outcome unknown = run({"-raw"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err.rfind("qelttrace: unknown option -raw\n", 0), 0u);
}

}  // namespace
