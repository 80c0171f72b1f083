#include "workload.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "common/numbers.h"

namespace qeltbridge {
namespace {

constexpr uint64_t kNever = UINT64_MAX;
constexpr uint8_t kLinkFree = 0xFF;
constexpr uint8_t kLinkScript = 0xFE;
constexpr uint64_t kUs = 1000;
constexpr uint64_t kMs = 1000 * kUs;

// The firmware needs this long to log a record: no two are closer.
constexpr uint64_t kMinGapNs = 150;
// One transfer moves at most this much; a larger command takes turns.
constexpr uint32_t kMaxChunk = 0x10000;
// One command in this many makes the host reset the link instead.
constexpr uint64_t kResetOdds = 8192;
// Likewise during the resets scenario, from its own draws.
constexpr uint64_t kScenarioResetOdds = 128;
// The host gives up on a command the device has not answered after this
// long (longer than any answered one takes), and tries one this many times.
constexpr uint64_t kHostTimeoutNs = 250 * kMs;
constexpr uint8_t kHostTries = 3;
// An error storm comes in runs of one to this many records, one record of
// the work between two runs: three records in four are the storm's.
constexpr uint64_t kStormRunMax = 5;

// SATA states, as the SATAWakeup records number them.
enum SataState : uint8_t { kInit, kIdle, kRcv, kSnd, kDmaRead, kDmaWrite, kCommReset, kNoState };
static_assert(kCommReset == 6, "the state numbers of SATAWakeup's argument");

enum Direction : uint8_t { kNoData, kRead, kWrite };

// Where an open transaction stands. The Want stages wait for the link; the
// stage after each is the one the link's grant starts.
enum Stage : uint8_t {
    kDecode,        // next: the command's decoding logged
    kBusy,          // next: the command taken on
    kAccess,        // the device at work; next: its part done
    kWantData,      // queued for the link, to move data
    kDataStart,     // next: DMA Start or FPGA_DMARXStart
    kDataEnd,       // next: DMA End or FPGA_DMARXStop
    kDataDone,      // next: the transfer's completion logged
    kWantResponse,  // queued for the link, to send the status
    kResult,        // next: the result code logged
    kComplete,      // next: CompleteTransation
    kLost,          // never answered; next: the host's time-out
};

// The commands the host issues: the ActivateTransaction code is the ATA
// command, which SATABusyAction logs again as its argument. Each has its own
// share, transfer sizes and device time, so each kind shows its own latency.
struct Kind {
    const char* code;
    const char* opcode;
    Direction direction;
    uint32_t weight;  // per 1000 commands
    uint32_t minBytes, maxBytes;
    uint64_t minAccessNs, maxAccessNs;
};
constexpr Kind kKinds[] = {
    {"60", "60", kRead, 440, 4096, 65536, 40 * kUs, 300 * kUs},      // READ FPDMA QUEUED
    {"61", "61", kWrite, 320, 4096, 65536, 20 * kUs, 200 * kUs},     // WRITE FPDMA QUEUED
    {"25", "25", kRead, 80, 32768, 262144, 150 * kUs, 1200 * kUs},   // READ DMA EXT
    {"35", "35", kWrite, 60, 32768, 262144, 250 * kUs, 2000 * kUs},  // WRITE DMA EXT
    {"E7", "e7", kNoData, 50, 0, 0, 1 * kMs, 8 * kMs},               // FLUSH CACHE
    {"B0", "b0", kRead, 20, 512, 512, 50 * kUs, 500 * kUs},          // SMART READ DATA
    {"EF", "ef", kNoData, 15, 0, 0, 10 * kUs, 40 * kUs},             // SET FEATURES
    {"EC", "ec", kRead, 15, 512, 512, 15 * kUs, 50 * kUs},           // IDENTIFY DEVICE
};
constexpr unsigned kKindCount = static_cast<unsigned>(std::size(kKinds));
// The kind that stops completing in a hang. A read is lost before any of its
// data moves, so a try again moves what the first would have.
constexpr uint8_t kHungKind = 0;
static_assert(kKinds[kHungKind].direction == kRead, "the hung kind is a read");

// What the firmware logs when the device has done its part, by direction:
// read data fetched, nothing to move, written data committed.
const char* const kAccessDone[] = {"35 50 9/1", "33 50 9/B", "15 50 C/2"};

// The action that SATAWakeup's pair names for each state, from the old
// state's action to the new one's.
const char* const kStateAction[] = {"0", "0", "3", "2", "B", "C", "15"};
static_assert(std::size(kStateAction) == kNoState, "one action a SATA state");

// Steps the firmware takes on its own: powering up, recovering from a
// COMMRESET, a VARN file read. Each logs one record, then waits its gap.
enum Arg : uint8_t {
    kArgNone,
    kArgResets,      // the resets so far, "%04X"
    kArgResetsNext,  // one more
    kArgOpen,        // the transactions open
    kArgAbort,       // an open transaction's id; the step repeats until none is open
    kArgHandle,      // the VARN log's handle
    kArgFh,          // its file handle
    kArgSize,        // its read size, "%08X"
};
struct ScriptStep {
    const char* text;
    Arg arg;
    SataState shows;  // the state a SATAWakeup step shows
    uint64_t minGapNs, maxGapNs;
};

const ScriptStep kBootScript[] = {
    {"0 4 ", kArgResets, kNoState, 500, 2000},                 // FPGA_Reset
    {"0 5 ", kArgResets, kNoState, 10 * kUs, 40 * kUs},        // ResetInternal
    {"1 50 0/0", kArgNone, kNoState, 2 * kUs, 10 * kUs},       // dsata_init_A
    {"2 50 0/0", kArgNone, kNoState, 500, 3000},               // dsata_reset_A
    {"1 8 0/0+0", kArgNone, kInit, 50 * kUs, 200 * kUs},       // istatus=INIT
    {"0 6 ", kArgResetsNext, kNoState, 300 * kUs, 600 * kUs},  // NeedPhyReady
    {"0 7 ", kArgResetsNext, kNoState, 1000, 4000},            // PHYBecameReady
    {"2 8 0/1+1", kArgNone, kIdle, 2 * kUs, 6 * kUs},          // istatus=PHYRDY
    {"0 55 ", kArgResetsNext, kNoState, 1000, 3000},           // SATAEnableRecv
    {"3 8 1/2+1", kArgNone, kIdle, 1000, 3000},                // istatus=IDENTITY
    {"24 50 2/3", kArgNone, kNoState, 500, 1500},              // identity FIS
    {"25 50 3/2", kArgNone, kNoState, 2 * kUs, 6 * kUs},       // register D2H FIS
    {"4 8 3/0+1", kArgNone, kIdle, 20 * kUs, 100 * kUs},       // istatus=RCV_EN
};

const ScriptStep kResetScript[] = {
    {"C 8 15/0+6", kArgNone, kCommReset, 300, 1000},           // istatus=COMMRESET
    {"00 2 ", kArgOpen, kNoState, 300, 1000},                  // CancelAll
    {"0 3 ", kArgAbort, kNoState, 300, 800},                   // CompleteTransation, aborted
    {"0 4 ", kArgResets, kNoState, 300, 1500},                 // FPGA_Reset
    {"7 8 0/0+6", kArgNone, kCommReset, 800, 2000},            // istatus=RESET
    {"0 5 ", kArgResets, kNoState, 10 * kUs, 40 * kUs},        // ResetInternal
    {"2 50 0/0", kArgNone, kNoState, 100 * kUs, 200 * kUs},    // dsata_reset_A
    {"0 6 ", kArgResetsNext, kNoState, 300 * kUs, 600 * kUs},  // NeedPhyReady
    {"0 7 ", kArgResetsNext, kNoState, 1000, 4000},            // PHYBecameReady
    {"2 8 0/1+1", kArgNone, kIdle, 2 * kUs, 6 * kUs},          // istatus=PHYRDY
    {"0 55 ", kArgResetsNext, kNoState, 1000, 3000},           // SATAEnableRecv
};

const ScriptStep kVarnScript[] = {
    {"D1 1 ", kArgHandle, kNoState, 300, 1000},           // Log from VARN
    {"1 40 ", kArgHandle, kNoState, 2 * kUs, 4 * kUs},    // Open Begin
    {"2 40 ", kArgHandle, kNoState, 10 * kUs, 30 * kUs},  // Open request sent
    {"3 40 ", kArgFh, kNoState, 500, 1000},               // Open Complete (fh=)
    {"7 40 ", kArgSize, kNoState, 20 * kUs, 60 * kUs},    // Read Begin (size=)
    {"9 40 ", kArgSize, kNoState, 300, 1000},             // Read Complete
    {"4 40 ", kArgFh, kNoState, 500, 1500},               // Close Begin
    {"5 40 ", kArgFh, kNoState, 8 * kUs, 20 * kUs},       // Close request sent
    {"6 40 ", kArgFh, kNoState, 300, 800},                // Close Complete
    {"0 209 ", kArgHandle, kNoState, 0, 0},               // VARN Log
};

enum Script : uint8_t { kNoScript, kBoot, kReset };

const char* const kScenarioNames[] = {"hang", "resets", "storm"};
static_assert(std::size(kScenarioNames) == kScenarioCount, "one name a scenario");

// SplitMix64: one 64-bit word of state, well-mixed output.
uint64_t draw(uint64_t& rng) {
    uint64_t z = (rng += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}
uint64_t below(uint64_t& rng, uint64_t n) {
    return draw(rng) % n;
}
uint64_t between(uint64_t& rng, uint64_t lo, uint64_t hi) {
    return lo + below(rng, hi - lo + 1);
}
// lo + (hi - lo) u^power for u uniform in [0, 1): most draws near lo, a few
// far out, as latencies and gaps are. Integers only, so a seed gives the
// same trace on every machine.
uint64_t skewed(uint64_t& rng, uint64_t lo, uint64_t hi, int power) {
    const uint64_t u = draw(rng) >> 40;  // 24 bits
    uint64_t p = u;
    for (int i = 1; i < power; ++i) p = (p * u) >> 24;
    return lo + (((hi - lo) * p) >> 24);
}

// Whether `scenario` acts on `record`. Asked every record for the storm, so
// the common answer takes one comparison: startWorkload moves an empty
// window's first record past every record.
bool acting(const WorkloadState& s, Scenario scenario, uint64_t record) {
    const ScenarioWindow& window = s.scenarios.window[scenario];
    return record >= window.first && record - window.first < window.count;
}
// On the record being written (nextRecord has moved `index` on already).
bool acting(const WorkloadState& s, Scenario scenario) {
    return acting(s, scenario, s.index - 1);
}

// Writes a record's fields by hand: a dump of 100,000 generated records once
// spent most of the bridge's time in snprintf.
class RecordWriter {
  public:
    explicit RecordWriter(char* start) : start_(start), p_(start) {}
    std::size_t length() const { return static_cast<std::size_t>(p_ - start_); }

    void text(const char* s) {
        const std::size_t n = std::strlen(s);
        std::memcpy(p_, s, n);
        p_ += n;
    }
    void character(char c) { *p_++ = c; }
    // "%u", "%6d" (`pad` ' '), "%09d" (`pad` '0').
    void decimal(uint64_t value, int width = 0, char pad = '0') {
        char digits[20];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        for (int i = n; i < width; ++i) *p_++ = pad;
        while (n > 0) *p_++ = digits[--n];
    }
    // "%6u" for a value below 10^6, every record's seconds: written in place
    // from the right, without decimal()'s copy.
    void sixWide(uint32_t value) {
        char* q = p_ + 6;
        do {
            *--q = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (q > p_) *--q = ' ';
        p_ += 6;
    }
    // "%09u": every record's nanoseconds, two digits at a time.
    void nineDigits(uint32_t value) {
        static const char kPairs[] =
            "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
            "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
            "8081828384858687888990919293949596979899";
        static_assert(sizeof kPairs == 201, "00 to 99");
        char* end = p_ + 9;
        for (char* q = end; q > p_ + 1; q -= 2) {
            std::memcpy(q - 2, kPairs + 2 * (value % 100), 2);
            value /= 100;
        }
        *p_ = static_cast<char>('0' + value);
        p_ = end;
    }
    // "%X", "%04X".
    void hex(uint64_t value, int width = 0) {
        char digits[16];
        int n = 0;
        do {
            digits[n++] = kHexDigits[value & 15u];
            value >>= 4;
        } while (value != 0);
        for (int i = n; i < width; ++i) *p_++ = '0';
        while (n > 0) *p_++ = digits[--n];
    }
    static constexpr char kHexDigits[] = "0123456789ABCDEF";

  private:
    char* start_;
    char* p_;
};

void writeTime(RecordWriter& w, uint64_t ns) {
    const uint64_t seconds = ns / 1000000000ull;
    if (seconds < 1000000) {
        w.sixWide(static_cast<uint32_t>(seconds));
    } else {
        w.decimal(seconds, 6, ' ');
    }
    w.character('.');
    w.nineDigits(static_cast<uint32_t>(ns % 1000000000ull));
    w.character(' ');
}

// A record the decoder refuses, as a ring buffer overwritten in part leaves
// them: a code field that took a stray byte, a tag field of four digits, an
// argument run on past 30 characters. The run's digits take a draw each, or
// with `packed` sixteen a draw, as an error storm writes thousands of them.
void writeGarbled(uint64_t& rng, RecordWriter& w, bool packed = false) {
    switch (below(rng, 3)) {
        case 0:
            w.hex(0x1000 + below(rng, 0xF000), 4);
            w.text(" 1 ");
            w.hex(below(rng, 0x10000), 4);
            return;
        case 1:
            w.hex(below(rng, 16));
            w.character(' ');
            w.decimal(below(rng, 256), 4, '0');
            w.character(' ');
            w.hex(below(rng, 0x10000), 4);
            return;
        default: {
            w.decimal(between(rng, 1, 41));
            w.text(" 50 ");
            const uint64_t digits = between(rng, 31, 40);
            uint64_t bits = 0;
            for (uint64_t i = 0; i < digits; ++i) {
                if (!packed || i % 16 == 0) bits = draw(rng);
                w.character(RecordWriter::kHexDigits[bits & 15u]);
                bits >>= 4;
            }
            return;
        }
    }
}

// An error storm: the firmware logging FatalError (its failing unit's code
// and status word) as fast as it can, between records the ring buffer has
// overwritten in part.
void writeStorm(WorkloadState& s, RecordWriter& w) {
    s.clock += between(s.scenarioRng, kMinGapNs, 600);
    writeTime(w, s.clock);
    if (below(s.scenarioRng, 2) == 0) {
        writeGarbled(s.scenarioRng, w, true);
        return;
    }
    w.hex(between(s.scenarioRng, 1, 15));
    w.text(" 0 ");
    w.hex(below(s.scenarioRng, 0x10000), 4);
}

const Kind& kindOf(const WorkloadSlot& slot) {
    return kKinds[slot.kind];
}

unsigned pickKind(uint64_t& rng) {
    uint64_t roll = below(rng, 1000);
    for (unsigned i = 0; i < kKindCount; ++i) {
        if (roll < kKinds[i].weight) return i;
        roll -= kKinds[i].weight;
    }
    return 0;
}

uint32_t transferBytes(uint64_t& rng, const Kind& kind) {
    if (kind.direction == kNoData) return 0;
    const uint64_t blocks = skewed(rng, 0, (kind.maxBytes - kind.minBytes) / 4096, 4);
    return static_cast<uint32_t>(kind.minBytes + blocks * 4096);
}

uint64_t accessNs(uint64_t& rng, const Kind& kind) {
    uint64_t ns = skewed(rng, kind.minAccessNs, kind.maxAccessNs, 2);
    const uint64_t roll = below(rng, 4096);
    if (roll < 32) {
        ns *= between(rng, 3, 12);  // a slow access, 1 in 128
    } else if (roll == 32) {
        ns += between(rng, 20 * kMs, 60 * kMs);  // a media retry, 1 in 4096
    }
    return ns;
}

uint32_t chunkOf(const WorkloadSlot& slot) {
    return std::min(slot.bytesLeft, kMaxChunk);
}

// Pauses of the host between bursts: mostly short, now and then long.
uint64_t idleNs(uint64_t& rng) {
    if (below(rng, 32) == 0) return between(rng, 10 * kMs, 80 * kMs);
    return skewed(rng, 50 * kUs, 5 * kMs, 3);
}

// What the link does, which SATAWakeup reports: moving data, sending a
// status, waiting for the open commands, or nothing at all.
SataState linkState(const WorkloadState& s) {
    if (s.link == kLinkScript) return static_cast<SataState>(s.shown);
    if (s.link == kLinkFree) return s.open > 0 ? kRcv : kIdle;
    const WorkloadSlot& holder = s.slots[s.link];
    if (holder.stage == kDataStart || holder.stage == kDataEnd)
        return kindOf(holder).direction == kRead ? kDmaRead : kDmaWrite;
    return kSnd;
}

void removeSlot(WorkloadState& s, uint8_t i) {
    --s.open;
    if (i == s.open) return;
    s.slots[i] = s.slots[s.open];
    if (s.link == s.open) s.link = i;
}

void grantLink(WorkloadState& s, uint8_t i, Stage want, uint64_t t) {
    WorkloadSlot& slot = s.slots[i];
    s.link = i;
    slot.stage = want == kWantData ? kDataStart : kResult;
    slot.due = t + between(s.rng, 500, 1500);
}

void startScript(WorkloadState& s, Script script, uint64_t t) {
    s.script = script;
    s.scriptStep = 0;
    s.scriptDue = t + between(s.rng, 300, 800);
    s.link = kLinkScript;
    s.wakeDue = kNever;
    if (script == kReset) {
        s.resetWanted = 0;
        ++s.resets;
        // The reset ends every command in whatever stage: none moves on.
        for (uint8_t i = 0; i < s.open; ++i) s.slots[i].due = kNever;
    }
}

void requestLink(WorkloadState& s, uint8_t i, Stage want, uint64_t t) {
    if (s.link == kLinkFree && !s.resetWanted) {
        grantLink(s, i, want, t);
        return;
    }
    WorkloadSlot& slot = s.slots[i];
    slot.stage = want;
    slot.ticket = s.tickets++;
    slot.due = kNever;
}

// The link goes to a waiting reset first, then to the command that has
// waited longest.
void releaseLink(WorkloadState& s, uint64_t t) {
    s.link = kLinkFree;
    if (s.resetWanted) {
        startScript(s, kReset, t);
        return;
    }
    uint8_t next = kLinkFree;
    uint32_t longest = 0;
    for (uint8_t i = 0; i < s.open; ++i) {
        const WorkloadSlot& slot = s.slots[i];
        if (slot.stage != kWantData && slot.stage != kWantResponse) continue;
        const uint32_t waited = s.tickets - slot.ticket;
        if (next == kLinkFree || waited > longest) {
            next = i;
            longest = waited;
        }
    }
    if (next != kLinkFree) grantLink(s, next, static_cast<Stage>(s.slots[next].stage), t);
}

uint16_t freeId(WorkloadState& s) {
    for (;;) {
        const uint16_t id = s.nextId;
        s.nextId = static_cast<uint16_t>(id == 0xFFFF ? 1 : id + 1);
        bool open = false;
        for (uint8_t i = 0; i < s.open; ++i) open = open || s.slots[i].id == id;
        if (!open) return id;
    }
}

void writeActivate(const WorkloadSlot& slot, RecordWriter& w) {
    w.text(kindOf(slot).code);
    w.text(" 1 ");
    w.hex(slot.id, 4);
}

// The device takes the command on, or in a hang loses it: then only the
// host's time-out comes.
void startAccess(WorkloadState& s, WorkloadSlot& slot, uint64_t t) {
    if (slot.tries > 0) {
        slot.stage = kLost;
        slot.due = t + kHostTimeoutNs;
        return;
    }
    slot.stage = kAccess;
    slot.due = t + accessNs(s.rng, kindOf(slot));
}

// The host issues a command: ActivateTransaction CODE ID.
void issueCommand(WorkloadState& s, uint64_t t, RecordWriter& w) {
    if (s.burstLeft == 0) {
        // Bursts differ in length and pace: some fill the queue, some do not.
        s.burstLeft = static_cast<uint32_t>(1 + skewed(s.rng, 0, 63, 2));
        s.burstPaceNs = static_cast<uint32_t>(skewed(s.rng, 5 * kUs, 150 * kUs, 2));
    }
    WorkloadSlot& slot = s.slots[s.open++];
    slot.id = freeId(s);
    slot.kind = static_cast<uint8_t>(pickKind(s.rng));
    slot.stage = kDecode;
    slot.ticket = 0;
    slot.tries = slot.kind == kHungKind && acting(s, kHang) ? 1 : 0;
    slot.bytesLeft = transferBytes(s.rng, kindOf(slot));
    slot.due = t + between(s.rng, 300, 900);
    writeActivate(slot, w);
    --s.burstLeft;
    s.hostDue =
        t + (s.burstLeft > 0 ? 1 * kUs + skewed(s.rng, 0, 3ull * s.burstPaceNs, 2) : idleNs(s.rng));
}

// Where a transfer ends, by direction: DMA End for reads, FPGA_DMARXStop for
// writes, then the transfer's completion logged.
void endTransfer(WorkloadState& s, WorkloadSlot& slot, uint64_t t, RecordWriter& w) {
    const bool read = kindOf(slot).direction == kRead;
    const uint32_t chunk = chunkOf(slot);
    w.text(read ? "0 71 " : "0 81 ");
    w.hex(chunk, 4);
    slot.bytesLeft -= chunk;
    slot.stage = kDataDone;
    slot.due = t + between(s.rng, 200, 800);
    releaseLink(s, t);
}

void transferDone(WorkloadState& s, uint8_t i, uint64_t t, RecordWriter& w) {
    WorkloadSlot& slot = s.slots[i];
    const bool read = kindOf(slot).direction == kRead;
    w.text(read ? "14 50 B/6" : "30 50 C/8");
    if (slot.bytesLeft > 0 || read) {
        requestLink(s, i, slot.bytesLeft > 0 ? kWantData : kWantResponse, t);
        return;
    }
    startAccess(s, slot, t);  // written data goes to the device after the last transfer
}

// The host's time-out of a command the device lost: it tries the command
// again under a new id, lost again if the hang still goes on.
void tryAgain(WorkloadState& s, WorkloadSlot& slot, uint64_t t, RecordWriter& w) {
    slot.id = freeId(s);
    slot.tries = acting(s, kHang) ? static_cast<uint8_t>(slot.tries + 1) : 0;
    slot.stage = kDecode;
    slot.due = t + between(s.rng, 300, 900);
    writeActivate(slot, w);
}

// Writes the command's next record. At the host's time-out of a lost
// command's last try it writes nothing and returns false: the host drops the
// command, whose transaction stays open for good, and issues its next one in
// its place.
bool stepCommand(WorkloadState& s, uint8_t i, uint64_t t, RecordWriter& w) {
    WorkloadSlot& slot = s.slots[i];
    const Kind& kind = kindOf(slot);
    switch (slot.stage) {
        case kDecode:
            w.text("3 50 3/9");
            slot.stage = kBusy;
            slot.due = t + between(s.rng, 300, 1200);
            return true;
        case kBusy:
            w.text("9 10 ");
            w.text(kind.opcode);
            if (kind.direction == kWrite) {
                requestLink(s, i, kWantData, t);
                return true;
            }
            startAccess(s, slot, t);
            return true;
        case kAccess:
            w.text(kAccessDone[kind.direction]);
            requestLink(s, i, kind.direction == kRead ? kWantData : kWantResponse, t);
            return true;
        case kDataStart:
            w.text(kind.direction == kRead ? "0 70 " : "0 80 ");
            w.hex(chunkOf(slot), 4);
            slot.stage = kDataEnd;
            slot.due = t + chunkOf(slot) * 5ull / 3 + between(s.rng, 0, 500);
            return true;
        case kDataEnd:
            endTransfer(s, slot, t, w);
            return true;
        case kDataDone:
            transferDone(s, i, t, w);
            return true;
        case kResult:
            w.text("22 50 2/1");
            slot.stage = kComplete;
            slot.due = t + between(s.rng, 200, 600);
            return true;
        case kLost:
            if (slot.tries < kHostTries) {
                tryAgain(s, slot, t, w);
                return true;
            }
            removeSlot(s, i);
            return false;
        default:  // kComplete
            w.text("1 3 ");
            w.hex(slot.id, 4);
            releaseLink(s, t);
            removeSlot(s, i);
            return true;
    }
}

// SATAWakeup ISTATUS OLD/NEW+STATE, when the link's state has changed.
void writeWakeup(WorkloadState& s, SataState now, RecordWriter& w) {
    w.text(now == kIdle ? "5 8 " : "6 8 ");
    w.text(kStateAction[s.shown]);
    w.character('/');
    w.text(kStateAction[now]);
    w.character('+');
    w.decimal(now);
    s.shown = now;
    s.wakeDue = kNever;
}

void writeArg(const WorkloadState& s, Arg arg, RecordWriter& w) {
    switch (arg) {
        case kArgNone:
            return;
        case kArgResets:
            w.hex(s.resets, 4);
            return;
        case kArgResetsNext:
            w.hex(s.resets + 1u, 4);
            return;
        case kArgOpen:
            w.hex(s.open, 4);
            return;
        case kArgAbort:
            w.hex(s.slots[s.open - 1].id, 4);
            return;
        case kArgHandle:
            w.hex(s.varnHandle, 4);
            return;
        case kArgFh:
            w.hex(s.varnFh, 4);
            return;
        case kArgSize:
            w.hex(s.varnSize, 8);
            return;
    }
}

void endScript(WorkloadState& s, uint64_t t) {
    s.script = kNoScript;
    s.link = kLinkFree;
    s.burstLeft = 0;
    s.hostDue = t + between(s.rng, 20 * kUs, 300 * kUs);
}

void stepScript(WorkloadState& s, uint64_t t, RecordWriter& w) {
    const ScriptStep* steps = s.script == kBoot ? kBootScript : kResetScript;
    const std::size_t count = s.script == kBoot ? std::size(kBootScript) : std::size(kResetScript);
    while (steps[s.scriptStep].arg == kArgAbort && s.open == 0) ++s.scriptStep;
    const ScriptStep& step = steps[s.scriptStep];
    w.text(step.text);
    writeArg(s, step.arg, w);
    if (step.shows != kNoState) s.shown = step.shows;
    if (step.arg == kArgAbort) removeSlot(s, static_cast<uint8_t>(s.open - 1));
    if (step.arg != kArgAbort || s.open == 0) ++s.scriptStep;
    if (s.scriptStep == static_cast<uint8_t>(count)) {
        endScript(s, t);
        return;
    }
    s.scriptDue = t + between(s.rng, step.minGapNs, step.maxGapNs);
}

// A VARN log: a file opened, read and closed, now and then, whatever the
// commands do.
void stepVarn(WorkloadState& s, uint64_t t, RecordWriter& w) {
    if (s.varnStep == 0) {
        ++s.varnHandle;
        s.varnFh = static_cast<uint16_t>(0x7000 + below(s.rng, 0x1000));
        s.varnSize = static_cast<uint32_t>(512 * between(s.rng, 1, 128));
    }
    const ScriptStep& step = kVarnScript[s.varnStep];
    w.text(step.text);
    writeArg(s, step.arg, w);
    if (++s.varnStep == static_cast<uint8_t>(std::size(kVarnScript))) {
        s.varnStep = 0;
        s.varnDue = t + between(s.rng, 20 * kMs, 300 * kMs);
        return;
    }
    s.varnDue = t + between(s.rng, step.minGapNs, step.maxGapNs);
}

enum class Actor { Script, Wakeup, Command, Host, Varn };
struct Turn {
    Actor actor;
    uint8_t slot;
    uint64_t due;
};

// Whose record comes next: the earliest due; on a tie the firmware's own
// scripts, then state reports, then the commands, then the host.
Turn nextTurn(const WorkloadState& s) {
    Turn best{Actor::Varn, 0, s.varnDue};
    auto consider = [&best](Actor actor, uint8_t slot, uint64_t due) {
        if (due <= best.due) best = Turn{actor, slot, due};
    };
    const bool hostMayIssue = s.script == kNoScript && !s.resetWanted && s.open < s.queueDepth;
    if (hostMayIssue) consider(Actor::Host, 0, s.hostDue);
    for (uint8_t i = s.open; i-- > 0;) consider(Actor::Command, i, s.slots[i].due);
    if (s.script == kNoScript) consider(Actor::Wakeup, 0, s.wakeDue);
    if (s.script != kNoScript) consider(Actor::Script, 0, s.scriptDue);
    return best;
}

void askForReset(WorkloadState& s, uint64_t t) {
    s.resetWanted = 1;
    // The reset will end the lost commands: no more tries.
    for (uint8_t i = 0; i < s.open; ++i)
        if (s.slots[i].stage == kLost) s.slots[i].due = kNever;
    if (s.link == kLinkFree) startScript(s, kReset, std::max(t, s.clock));
}

// A SATAWakeup is due soon when the link's state is no longer the one shown.
void noteLinkState(WorkloadState& s, uint64_t t) {
    if (s.script == kNoScript && s.wakeDue == kNever && linkState(s) != s.shown)
        s.wakeDue = t + between(s.rng, 150, 400);
}

}  // namespace

WorkloadState startWorkload(const WorkloadSettings& settings) {
    WorkloadState s{};
    s.rng = settings.seed;
    s.errorRng = draw(s.rng) ^ 0x5DEECE66Dull;
    s.clock = between(s.rng, 100, 999) * 1000000000ull + below(s.rng, 1000000000ull);
    s.queueDepth = static_cast<uint8_t>(std::clamp(settings.queueDepth, 1u, kMaxQueueDepth));
    s.errorRate = std::min(settings.errorRate, kErrorRateScale);
    uint64_t scenarioSeed = settings.seed ^ 0x2545F4914F6CDD1Dull;
    s.scenarioRng = draw(scenarioSeed);
    s.scenarios = settings.scenarios;
    for (ScenarioWindow& window : s.scenarios.window)
        if (window.count == 0) window.first = UINT64_MAX;
    s.nextId = 1;
    s.shown = kNoState;
    s.hostDue = kNever;
    s.varnDue = s.clock + between(s.rng, 5 * kMs, 100 * kMs);
    startScript(s, kBoot, s.clock);
    return s;
}

std::size_t nextRecord(WorkloadState& s, char* line) {
    RecordWriter w(line);
    const uint64_t record = s.index++;
    if (below(s.errorRng, kErrorRateScale) < s.errorRate) {
        s.clock += between(s.errorRng, 100, 1500);
        writeTime(w, s.clock);
        writeGarbled(s.errorRng, w);
        return w.length();
    }
    if (acting(s, kStorm, record)) {
        if (s.stormRun > 0) {
            --s.stormRun;
            writeStorm(s, w);
            return w.length();
        }
        s.stormRun = static_cast<uint8_t>(between(s.scenarioRng, 1, kStormRunMax));
    }
    for (;;) {
        const Turn turn = nextTurn(s);
        if (turn.actor == Actor::Wakeup && linkState(s) == s.shown) {
            s.wakeDue = kNever;  // the state went back before it was reported
            continue;
        }
        if (turn.actor == Actor::Host &&
            (below(s.rng, kResetOdds) == 0 ||
             (acting(s, kResets) && below(s.scenarioRng, kScenarioResetOdds) == 0))) {
            askForReset(s, turn.due);
            continue;
        }
        const uint64_t t = std::max(turn.due, s.clock + kMinGapNs + below(s.rng, 64));
        s.clock = t;
        writeTime(w, t);
        switch (turn.actor) {
            case Actor::Script:
                stepScript(s, t, w);
                break;
            case Actor::Wakeup:
                writeWakeup(s, linkState(s), w);
                break;
            case Actor::Command:
                if (stepCommand(s, turn.slot, t, w)) break;
                [[fallthrough]];
            case Actor::Host:
                issueCommand(s, t, w);
                break;
            case Actor::Varn:
                stepVarn(s, t, w);
                break;
        }
        noteLinkState(s, t);
        return w.length();
    }
}

bool parseScenarios(std::string_view text, WorkloadScenarios& out) {
    WorkloadScenarios parsed;
    bool named[kScenarioCount] = {};
    for (;;) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        const std::size_t at = item.find('@');
        unsigned which = 0;
        while (which < kScenarioCount && item.substr(0, at) != kScenarioNames[which]) ++which;
        if (which == kScenarioCount || named[which]) return false;
        named[which] = true;
        ScenarioWindow& window = parsed.window[which];
        window.count = UINT64_MAX;
        if (at != std::string_view::npos) {
            const std::string_view span = item.substr(at + 1);
            const std::size_t plus = span.find('+');
            const std::string_view first = span.substr(0, plus);
            if (!parseDecimal(first.data(), first.size(), UINT64_MAX, &window.first)) return false;
            if (plus != std::string_view::npos) {
                const std::string_view countText = span.substr(plus + 1);
                uint64_t count = 0;
                if (!parseDecimal(countText.data(), countText.size(), UINT64_MAX, &count) ||
                    count == 0)
                    return false;
                window.count = count;
            }
        }
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    out = parsed;
    return true;
}

}  // namespace qeltbridge
