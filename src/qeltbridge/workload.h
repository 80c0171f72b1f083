// The workload behind the generated trace: a host issues SATA commands in
// bursts; the bridge keeps up to a queue depth of them open, moves their data
// over one link, one transfer at a time, and logs each step as the firmware
// does. The generator's whole state between two records is one small
// copyable struct, so any record of a long trace is a saved state plus steps.
// It can also be the trace of a failing device, in stretches of records.
//
//   WorkloadScenarios the failures and the records they span
//   parseScenarios    "hang@1000,storm@5000+300" into WorkloadScenarios
//   WorkloadSettings  seed, queue depth, error rate, scenarios
//   WorkloadState     the generator between two records (a checkpoint)
//   startWorkload     the state before the first record
//   nextRecord        writes the next record and advances
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace qeltbridge {

constexpr unsigned kDefaultQueueDepth = 8;
// The most commands a SATA device queues (its 32 command tags).
constexpr unsigned kMaxQueueDepth = 32;
// Error rates are counted in records per this many.
constexpr uint32_t kErrorRateScale = 1000000000;
constexpr uint32_t kDefaultErrorRate = 1000000;  // 0.001

// What goes wrong, from a record on:
//   kHang    READ FPDMA QUEUED (60) stops completing: its commands are taken
//            on and never answered. The host times one out after 250 ms,
//            tries it twice more under new ids, then drops it and issues its
//            next command in its place; none of them ever has a
//            CompleteTransation (but a reset aborts those still queued).
//            Until their time-outs they fill the queue, and the other kinds
//            complete in what room is left. A command issued after the hang
//            completes, a last try too. Ids have 16 bits: 65,535 commands
//            after a lost one, its id may be given again.
//   kResets  the host resets the link now and then (one command in 128): a
//            COMMRESET, and a CancelAll ends every open transaction with
//            CompleteTransation 0, as the rare reset of a healthy run does.
//   kStorm   an error storm: runs of FatalError and of records that fail
//            to decode, one to five records long, with a record of the work,
//            which goes on, between two runs (three records in four the
//            storm's).
// A scenario draws from a stream of its own: up to its first record the
// trace is the one without it.
enum Scenario : uint8_t { kHang, kResets, kStorm, kScenarioCount };

// The records in which a scenario acts: `count` of them from record `first`
// (0: none; UINT64_MAX: all from `first` on).
struct ScenarioWindow {
    uint64_t first = 0;
    uint64_t count = 0;
};
struct WorkloadScenarios {
    ScenarioWindow window[kScenarioCount];  // by Scenario
};

// Reads a comma list of NAME[@FIRST[+COUNT]] (NAME hang, resets or storm,
// each at most once; from record FIRST, default 0, for COUNT records, default
// to the end; plain decimals) into `out`; false, and `out` untouched, when
// the text is anything else.
bool parseScenarios(std::string_view text, WorkloadScenarios& out);

struct WorkloadSettings {
    uint64_t seed = 1;
    unsigned queueDepth = kDefaultQueueDepth;  // 1 to kMaxQueueDepth
    uint32_t errorRate = kDefaultErrorRate;    // 0 to kErrorRateScale
    WorkloadScenarios scenarios;               // none by default
};

// The longest line nextRecord writes, terminator excluded.
constexpr std::size_t kMaxRecordLength = 96;

// One open transaction.
struct WorkloadSlot {
    uint64_t due;        // time of its next record; kNever while it waits for the link
    uint32_t bytesLeft;  // data still to move
    uint32_t ticket;     // its place in the queue for the link
    uint16_t id;         // the argument of its ActivateTransaction
    uint8_t kind;
    uint8_t stage;
    uint8_t tries;  // a command that never completes: the host's tries so far; else 0
};

// Plain data: copying it is taking a checkpoint. The fields are the
// generator's own; only `index` is meant to be read.
struct WorkloadState {
    uint64_t index;     // of the record nextRecord writes next
    uint64_t clock;     // time of the last record, in ns
    uint64_t rng;       // the workload's draws
    uint64_t errorRng;  // the failed records' draws, apart so the rate leaves the workload as it is
    uint64_t scenarioRng;  // the scenarios' draws, apart likewise
    uint64_t hostDue;
    uint64_t wakeDue;
    uint64_t scriptDue;
    uint64_t varnDue;
    uint32_t errorRate;
    uint32_t tickets;
    uint32_t burstLeft;
    uint32_t burstPaceNs;
    uint32_t varnSize;
    uint16_t nextId;
    uint16_t resets;
    uint16_t varnHandle;
    uint16_t varnFh;
    uint8_t queueDepth;
    uint8_t open;   // slots[0, open) are the open transactions
    uint8_t link;   // who holds the link: a slot, kLinkFree or kLinkScript
    uint8_t shown;  // the SATA state the last SATAWakeup showed
    uint8_t script;
    uint8_t scriptStep;
    uint8_t varnStep;
    uint8_t resetWanted;
    uint8_t stormRun;  // storm records before the next record of the work
    WorkloadSlot slots[kMaxQueueDepth];
    WorkloadScenarios scenarios;
};
static_assert(std::is_trivially_copyable_v<WorkloadState>, "a checkpoint is a copy");
// GeneratedTrace keeps hundreds of them.
static_assert(sizeof(WorkloadState) <= 1024, "a checkpoint holds a kilobyte at most");

// The state before the first record: the bridge powering up.
WorkloadState startWorkload(const WorkloadSettings& settings);

// Writes record `state.index` ("%6d.%09d CODE TAG ARG", no line end, no
// terminator) into `line`, which holds kMaxRecordLength characters, returns
// its length and moves `state` on to the next record.
std::size_t nextRecord(WorkloadState& state, char* line);

}  // namespace qeltbridge
