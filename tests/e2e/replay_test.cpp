// Record and replay end to end: every job of the real qelttelnet is recorded
// (PROBELINK_LOG) against qeltbridge with each of its faults and against a
// peer writing in small pieces with Nagle's algorithm on; then `qeltbridge
// --replay` plays the recording to a fresh run of the tool, which must print
// exactly what it printed when it was recorded and end with the same status.
// The recordings of the trace jobs are also read by qelttrace, which must
// decode the records of each as the run decoded them (-raw: as the run's
// capture decodes). Also: a replay names the first line a changed tool sends
// differently, a log
// that does not read is refused at once, several runs in one log are played
// one after another, and a log of the older form still replays.
//
// Every case of a job runs at once (the recording, then its two replays):
// the slow ones wait on the tool's own clocks (its 10 s time-out, the 5 s
// pause of a reboot), not on the machine.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/exit_status.h"
#include "recording/log_reader.h"
#include "support/e2e_support.h"
#include "support/files.h"
#include "support/scripted_server.h"

namespace {

using namespace std::chrono_literals;
using qelttest::kPrompt;

// The tool's longest run here: a refused verification (5 s pause, 10 s of
// refusals) and the next one (up to 6 s), with a margin for the sanitizers.
constexpr auto kRunLimit = 60000ms;

enum class Job { kStatus, kReboot, kTrace, kRaw };

std::vector<std::string> toolArgs(Job job) {
    switch (job) {
        case Job::kStatus:
            return {};
        case Job::kReboot:
            return {"-reboot"};
        case Job::kTrace:
            return {"-satatrace"};
        case Job::kRaw:
            return {"-satatrace", "-raw"};
    }
    return {};
}

const char* jobName(Job job) {
    switch (job) {
        case Job::kStatus:
            return "status";
        case Job::kReboot:
            return "reboot";
        case Job::kTrace:
            return "trace";
        case Job::kRaw:
            return "trace -raw";
    }
    return "?";
}

// A peer that writes in pieces of 1 to 5 bytes with Nagle's algorithm on,
// playing each job's conversation.
void scriptPiecewisePeer(qelttest::ScriptedServer& peer, Job job) {
    const std::size_t piece = 5;
    peer.nagle();
    peer.sendPieces("login: ", piece).expectLine(qelttest::kLoginLine);
    peer.sendPieces("password: ", piece).expectLine(qelttest::kPasswordLine);
    peer.sendPieces(kPrompt, piece);
    const std::string status =
        "[HTTP]: state = RUN, err = 0x00000000\r\n[SATA]: state = RUN, err = 0x00000000\r\n";
    switch (job) {
        case Job::kStatus:
            peer.expectLine("pwista\r\n").sendPieces(status + kPrompt, piece);
            peer.expectLine("task_trace\r\n")
                .sendPieces("task  prio\r\nhttp    10\r\n" + kPrompt, piece);
            peer.expectLine("exit\r\n");
            break;
        case Job::kReboot:
            // Both sessions alike: the first ignores what follows hwrst, the
            // verification reads the status and answers the prompt.
            peer.sendPieces(status + kPrompt, piece).connections(2);
            break;
        case Job::kTrace:
        case Job::kRaw: {
            const std::vector<std::string> records = qelttest::generatedRecords(6, 1);
            std::string first = "SATA history dump\r\n", second;
            for (std::size_t i = 0; i < records.size(); ++i)
                (i < 4 ? first : second) += records[i] + "\r\n";
            peer.expectLine("dump_dsata_trace\r\n")
                .sendPieces(first + "DUMP_RESULT=4\r\n" + kPrompt, piece);
            peer.expectLine("dump_dsata_trace 4\r\n")
                .sendPieces(second + "DUMP_RESULT=0\r\n" + kPrompt, piece);
            peer.expectLine("exit\r\n");
            break;
        }
    }
    peer.closeFin();
}

struct Fault {
    const char* name;
    std::vector<std::string> bridgeArgs;  // beyond the trace every case serves
    bool piecewisePeer = false;           // a scripted peer instead of qeltbridge
};

// The faults and their sizes for a job. A fault is set where it cuts into the
// job's conversation: 100 bytes is inside the status output and inside the
// first dump page; a reboot's first session needs 25 bytes to get its prompt.
std::vector<Fault> faultsOf(Job job) {
    // The status and reboot jobs show a preview of a line cut in two (the
    // status job prints it, a verification may take half an "[HTTP]" line
    // for a wrong state): split those at line ends only, so that no preview
    // depends on how the machine schedules the split's 1 ms pauses.
    const bool showsPreviews = job == Job::kStatus || job == Job::kReboot;
    std::vector<Fault> faults = {
        {"none", {}},
        {"split", {"--split", showsPreviews ? "64" : "5"}},
        {"no-ga", {"--no-ga"}},
        {"line-delay", {"--line-delay-ms", "25"}},
        {"drop", {"--drop-after", "100"}},
        {"drop-reset", {"--drop-after", "100", "--reset"}},
        {"stall", {"--stall-after", "100"}},
        {"negotiate", {"--negotiate"}},
        {"piecewise-nagle", {}, true},
    };
    if (job == Job::kStatus) {
        // Pauses of 30 ms inside lines: the library previews the half it has,
        // and the status job prints it. The replay must pause there again.
        faults.push_back({"split-slow", {"--split", "16", "--split-pause-ms", "30"}});
    }
    if (job == Job::kReboot) {
        // Still off the network when the verification begins: refused
        // attempts, then a connection; and off for so long that the first
        // verification times out refused and the second gets through.
        faults.push_back({"refused-then-back", {"--reboot-ms", "6000"}});
        faults.push_back({"verification-timed-out", {"--reboot-ms", "16000"}});
    }
    return faults;
}

// The tool's output without its own "qelttelnet.exe: " lines: the records
// and spans of a trace job.
std::string withoutToolMessages(const std::string& out) {
    std::string kept;
    for (const std::string& line : qelttest::splitKeepingNewlines(out))
        if (line.compare(0, qelttest::kToolMessage.size(), qelttest::kToolMessage) != 0)
            kept += line;
    return kept;
}

std::string withoutAddress(std::string text, const std::string& address) {
    for (std::size_t at = text.find(address); at != std::string::npos; at = text.find(address, at))
        text.replace(at, address.size(), "ADDRESS");
    return text;
}

// A preview of a line that the peer went on to finish without the tool's
// answer: the peer paused inside a line for 20 ms or more. The status job
// prints such a preview and a verification may act on one, so their output
// then depends on the pauses, which a replay at speed 0 drops.
bool previewFromAPause(const recording::Log& log) {
    using K = recording::Event::Kind;
    for (const recording::Session& s : log.sessions) {
        bool previewed = false;
        for (const recording::Event& e : s.events) {
            if (e.kind == K::kChunk && e.peek) previewed = true;
            if (e.kind == K::kSent || e.kind == K::kSentPassword) previewed = false;
            if (e.kind == K::kReceived && previewed) return true;
        }
    }
    return false;
}

// One run of the tool: its output without the address it was given.
struct Outcome {
    int status = -1;
    std::string out;
};

// A tool run against a bridge process, left running.
struct Play {
    std::unique_ptr<qelttest::BridgeProcess> bridge;
    std::unique_ptr<qelttest::ScriptedServer> peer;
    std::unique_ptr<qelttest::ChildProcess> tool;
    std::string address;
};

std::unique_ptr<qelttest::ChildProcess> startTool(Job job, const std::string& address,
                                                  const qelttest::Env& env) {
    std::vector<std::string> argv = {qelttest::qelttelnetPath()};
    for (const std::string& a : toolArgs(job)) argv.push_back(a);
    argv.push_back(address);
    auto tool = std::make_unique<qelttest::ChildProcess>(argv, env);
    std::string error;
    if (!tool->start(error)) {
        ADD_FAILURE() << error;
        return nullptr;
    }
    return tool;
}

Outcome finish(Play& play) {
    Outcome o;
    if (!play.tool) return o;
    o.status = play.tool->wait(kRunLimit);
    o.out = withoutAddress(play.tool->output(), play.address);
    return o;
}

// One job and fault: recorded, then replayed at speeds 1 and 0 at once.
class Case {
  public:
    Case(Job job, Fault fault) : job_(job), fault_(std::move(fault)), dir_("qelt-replay") {}

    std::string name() const { return std::string(jobName(job_)) + " / " + fault_.name; }

    void startRecording() {
        if (fault_.piecewisePeer) {
            recording_.peer = std::make_unique<qelttest::ScriptedServer>();
            scriptPiecewisePeer(*recording_.peer, job_);
            recording_.peer->start();
            recording_.address = "127.0.0.1:" + std::to_string(recording_.peer->port());
        } else {
            std::vector<std::string> args = {"--records", "10", "--page-size", "4"};
            args.insert(args.end(), fault_.bridgeArgs.begin(), fault_.bridgeArgs.end());
            recording_.bridge = qelttest::startBridge(args);
            if (!recording_.bridge) return;
            recording_.address = qelttest::addressOf(*recording_.bridge);
        }
        recording_.tool = startTool(job_, recording_.address, {{"PROBELINK_LOG", logPath()}});
    }

    void finishRecording() {
        recorded_ = finish(recording_);
        if (recording_.peer) {
            recording_.peer->stop();
            recording_.peer->join();
        }
        if (recording_.bridge) recording_.bridge->stop(SIGTERM);
    }

    void startReplays() {
        std::string error;
        if (!recording::readLogFile(logPath(), log_, error)) {
            ADD_FAILURE() << name() << ": the recording does not read: " << error;
            return;
        }
        for (const char* speed : {"1", "0"}) {
            Play play;
            play.bridge = qelttest::startBridge({"--replay", logPath(), "--replay-speed", speed});
            if (play.bridge) {
                play.address = qelttest::addressOf(*play.bridge);
                play.tool = startTool(job_, play.address, {});
            }
            replays_.push_back(std::move(play));
        }
    }

    void judge() {
        SCOPED_TRACE(name());
        ASSERT_EQ(replays_.size(), 2u);
        EXPECT_TRUE(recording_.tool && recording_.tool->exited())
            << "the recorded run did not end: " << recorded_.out;
        if (job_ == Job::kTrace || job_ == Job::kRaw) {
            const std::string decoded = qelttest::runQelttrace(qelttest::readFile(logPath()));
            EXPECT_EQ(decoded, job_ == Job::kTrace ? withoutToolMessages(recorded_.out)
                                                   : qelttest::runQelttrace(recorded_.out))
                << "qelttrace on the recording";
        }
        const bool timing = showsPreviews() && previewFromAPause(log_);
        for (std::size_t i = 0; i < replays_.size(); ++i) {
            Play& play = replays_[i];
            const char* speed = i == 0 ? "1" : "0";
            SCOPED_TRACE(std::string("--replay-speed ") + speed);
            const Outcome replayed = finish(play);
            if (!play.bridge) continue;
            const int bridgeStatus = play.bridge->wait(30000ms);
            if (i == 1 && timing) {
                std::printf(
                    "%s: the recording paused inside a line; its output depends on "
                    "the pause, not compared at speed 0\n",
                    name().c_str());
                continue;
            }
            EXPECT_EQ(replayed.status, recorded_.status);
            EXPECT_EQ(replayed.out, recorded_.out);
            EXPECT_EQ(bridgeStatus, 0) << "the replay did not end by itself, all played\n"
                                       << play.bridge->log();
            EXPECT_EQ(play.bridge->log().find("replay: session"), std::string::npos)
                << play.bridge->log();
        }
    }

  private:
    bool showsPreviews() const { return job_ == Job::kStatus || job_ == Job::kReboot; }
    std::string logPath() const { return dir_.path() + "/session.log"; }

    Job job_;
    Fault fault_;
    qelttest::TempDir dir_;
    Play recording_;
    Outcome recorded_;
    recording::Log log_;
    std::vector<Play> replays_;
};

class ReplayFidelity : public ::testing::TestWithParam<Job> {};

TEST_P(ReplayFidelity, EveryFaultReplaysToTheSameOutputAndStatus) {
    std::vector<std::unique_ptr<Case>> cases;
    for (Fault& fault : faultsOf(GetParam()))
        cases.push_back(std::make_unique<Case>(GetParam(), std::move(fault)));
    for (auto& c : cases) c->startRecording();
    for (auto& c : cases) c->finishRecording();
    for (auto& c : cases) c->startReplays();
    for (auto& c : cases) c->judge();
}

INSTANTIATE_TEST_SUITE_P(Jobs, ReplayFidelity,
                         ::testing::Values(Job::kStatus, Job::kReboot, Job::kTrace, Job::kRaw),
                         [](const ::testing::TestParamInfo<Job>& job) {
                             switch (job.param) {
                                 case Job::kStatus:
                                     return std::string("Status");
                                 case Job::kReboot:
                                     return std::string("Reboot");
                                 case Job::kTrace:
                                     return std::string("Trace");
                                 case Job::kRaw:
                                     return std::string("RawTrace");
                             }
                             return std::string("Unknown");
                         });

// Each job in turn against `address`, as a user runs them one after another.
std::vector<Outcome> runJobs(const std::vector<Job>& jobs, const std::string& address,
                             const qelttest::Env& env) {
    std::vector<Outcome> outcomes;
    for (Job job : jobs) {
        Play play;
        play.address = address;
        play.tool = startTool(job, address, env);
        outcomes.push_back(finish(play));
    }
    return outcomes;
}

bool operator==(const Outcome& a, const Outcome& b) {
    return a.status == b.status && a.out == b.out;
}

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
    return out << "exit " << o.status << ":\n" << o.out;
}

// Two runs of the tool appending to one log, by this version of the library
// and by the older one (its log form: milliseconds of the wall clock, a bare
// identifier, "********" for the password line): the replay serves them in
// order, one run after the other, as the user ran them.
TEST(Replay, SeveralRunsInOneLogArePlayedOneAfterAnother) {
    const std::vector<Job> jobs = {Job::kStatus, Job::kTrace};
    // What the recordings were made against (the older one included): the
    // sample, which stays as it is when the bridge's generator changes.
    const std::vector<std::string> bridgeArgs = {"--trace", qelttest::sampleTracePath(),
                                                 "--page-size", "64"};
    auto live = qelttest::startBridge(bridgeArgs);
    ASSERT_TRUE(live);
    const std::vector<Outcome> reference = runJobs(jobs, qelttest::addressOf(*live), {});
    ASSERT_EQ(reference[0].status, 0);
    ASSERT_EQ(reference[1].status, 0);

    qelttest::TempDir dir("qelt-replay-runs");
    const std::string fresh = dir.path() + "/runs.log";
    EXPECT_EQ(runJobs(jobs, qelttest::addressOf(*live), {{"PROBELINK_LOG", fresh}}), reference);
    live->stop(SIGTERM);

    for (const std::string& log : {fresh, std::string(QELT_RECORDING_CASES "/older_form.log")}) {
        SCOPED_TRACE(log);
        auto replay = qelttest::startBridge({"--replay", log});
        ASSERT_TRUE(replay);
        EXPECT_EQ(runJobs(jobs, qelttest::addressOf(*replay), {}), reference);
        EXPECT_EQ(replay->wait(10000ms), 0) << replay->log();
    }
}

// The recording of a status job replayed to a reboot job: the tool's third
// line is hwrst where pwista was recorded. One line says so, the session
// closes, and the replay ends with status 1.
TEST(Replay, AChangedToolIsToldTheFirstLineItSentDifferently) {
    qelttest::TempDir dir("qelt-replay-changed");
    const std::string log = dir.path() + "/status.log";
    {
        auto live = qelttest::startBridge({});
        ASSERT_TRUE(live);
        ASSERT_EQ(
            runJobs({Job::kStatus}, qelttest::addressOf(*live), {{"PROBELINK_LOG", log}})[0].status,
            0);
    }
    auto replay = qelttest::startBridge({"--replay", log, "--replay-speed", "0"});
    ASSERT_TRUE(replay);
    auto tool = startTool(Job::kReboot, qelttest::addressOf(*replay), {});
    ASSERT_TRUE(tool);
    EXPECT_EQ(replay->wait(20000ms), qeltbridge::exit_status::kDiverged);
    // The tool took the close for the reboot and would now verify for minutes.
    tool->signal(SIGKILL);
    tool->wait(10000ms);
    std::vector<std::string> told;
    for (const std::string& line : qelttest::splitKeepingNewlines(replay->log()))
        if (line.compare(0, 7, "replay:") == 0) told.push_back(line);
    EXPECT_EQ(told, (std::vector<std::string>{
                        "replay: session 1, line 3: expected \"pwista<0D><0A>\", got "
                        "\"hwrst<0D><0A>\"\n"}))
        << replay->log();
}

// A file that is no session log is refused before anything listens, with the
// line that is wrong and why.
TEST(Replay, ALogThatDoesNotReadIsRefusedAtStart) {
    qelttest::TempFile file("qelt-replay-bad", std::string(1, '\n') + "login: qelt\n");
    const qelttest::ToolRun run = qelttest::runProgram(
        {qelttest::qeltbridgePath(), "--replay", file.path(), "--listen", "127.0.0.1:0"}, {},
        10000ms, qelttest::StandardError::kOwnFile);
    EXPECT_EQ(run.status, qeltbridge::exit_status::kInputOutput);
    EXPECT_EQ(run.out, "") << "nothing listened";
    EXPECT_NE(run.err.find(file.path() + ": line 2: not a session log line"), std::string::npos)
        << run.err;
}

}  // namespace
