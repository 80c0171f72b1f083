// Fuzzes qelttrace: the input is one file (a dump, a -raw capture, decoded
// output or a session log, whichever its bytes make it; gzip or zstd
// compressed, or UTF-16 or UTF-8 with a byte-order mark, as its first bytes
// say) read through every output in one pass: the text, CSV and JSON lines
// records, the --stats=json report, the Perfetto trace, the HTML page and the
// transactions listing. An input that decompresses to more than 1 MiB is
// passed over (a bomb costs time only, and the fuzzer's time is better spent).
// Checks, beside what the sanitizers see:
//   - the decoding layer gives the same bytes whatever the size of the reads
//     (up to damage: what comes out before it may be less in larger reads);
//   - the text output is the plain decoder's: for an input whose bytes (once
//     decompressed and transcoded) the live path
//     hands to the formatter line by line unchanged (a dump without 0xFF,
//     prompts, results, tool messages or lines past the chunk limit), the
//     formatter's own lines and the closing span;
//   - every CSV row, of the records and of the listing, has the header's
//     column count (RFC 4180 quoting);
//   - every JSON line, the report, the trace and the page's data are JSON;
//   - the records counted agree: CSV rows, JSON lines, the report's records,
//     the page's figure, the record numbers of the trace's events;
//   - through a time window from the first record's time and the other
//     filters with --context (so that transactions are matched over records
//     passed over, and begin before the window), with a second rule of the
//     default's events keyed, of a kind and with an outcome: every output
//     still JSON or whole CSV rows, no more records than the whole input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/bridge_words.h"
#include "fuzz_support.h"
#include "input/byte_source.h"
#include "json_check.h"
#include "pipeline.h"
#include "trace/sata_format.h"

namespace {

using namespace qelttrace;

std::vector<std::string_view> linesOf(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        end = end == std::string_view::npos ? text.size() : end + 1;
        lines.push_back(text.substr(begin, end - begin));
        begin = end;
    }
    return lines;
}

// Whether the live path hands each line of `text` to the formatter as it is.
bool plain(std::string_view text, const std::vector<std::string_view>& lines) {
    if (text.find('\xff') != std::string_view::npos) return false;
    if (text.find("\r\n\n") != std::string_view::npos) return false;
    if (detectKind(text.substr(0, 64 * 1024)) != InputKind::kDump) return false;
    for (const std::string_view line : lines) {
        if (line.size() >= 4095) return false;
        if (line.substr(0, sizeof QELT_DUMP_RESULT - 1) == QELT_DUMP_RESULT) return false;
        if (line.substr(0, sizeof QELT_TOOL_MESSAGE - 1) == QELT_TOOL_MESSAGE) return false;
    }
    return true;
}

// What the formatter itself prints for these lines and the closing span.
std::string plainDecoding(const std::vector<std::string_view>& lines) {
    SataResetTiming();
    std::string out;
    std::vector<char> buffer;
    char printed[8192];
    for (const std::string_view line : lines) {
        buffer.assign(line.begin(), line.end());
        buffer.push_back('\0');
        SataTraceRecord record;
        const SataLineKind kind = SataTraceLine(buffer.data(), &record);
        const int n = SataFormatLine(kind, buffer.data(), &record, printed, sizeof printed);
        FUZZ_CHECK(n >= 0 && n < static_cast<int>(sizeof printed), "a line fits the buffer");
        out.append(printed, static_cast<std::size_t>(n));
    }
    SataTraceRecord closing{};
    DiffTime(&startTime, &pt, &closing.delta);
    closing.printSpan = 1;
    const int n = SataFormatLine(SataLineSpan, "", &closing, printed, sizeof printed);
    out.append(printed, static_cast<std::size_t>(n));
    return out;
}

// The rows of an RFC 4180 text, each checked to have `columns` fields.
std::size_t csvRows(std::string_view csv, std::size_t columns) {
    std::size_t rows = 0, fields = 1, i = 0;
    bool quoted = false;
    while (i < csv.size()) {
        const char c = csv[i++];
        if (quoted) {
            if (c == '"') {
                if (i < csv.size() && csv[i] == '"') {
                    ++i;
                } else {
                    quoted = false;
                }
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            ++fields;
        } else if (c == '\r' && i < csv.size() && csv[i] == '\n') {
            ++i;
            FUZZ_CHECK(fields == columns, "every CSV row has the header's columns");
            ++rows;
            fields = 1;
        }
    }
    FUZZ_CHECK(!quoted && fields == 1, "the CSV ends with a whole row");
    return rows;
}

std::int64_t pageRecords(const std::string& page) {
    const std::string figure = "<tr><td>records</td><td class=n>";
    const std::size_t at = page.find(figure);
    FUZZ_CHECK(at != std::string::npos, "the page shows its records");
    return std::stoll(page.substr(at + figure.size(), 20));
}

void checkPageData(const std::string& page) {
    const std::string open = "<script type=\"application/json\" id=qelt-data>";
    const std::size_t begin = page.find(open);
    FUZZ_CHECK(begin != std::string::npos, "the page holds its data");
    const std::size_t end = page.find("</script>", begin);
    FUZZ_CHECK(end != std::string::npos, "the page's data ends");
    JsonCheck data;
    FUZZ_CHECK(
        data.parse(std::string_view(page).substr(begin + open.size(), end - begin - open.size())),
        "the page's data is JSON");
}

// What the decoding layer makes of `input`, read `block` bytes at a time,
// and why it stopped short ("" when it did not); false when that passes
// `limit` bytes.
bool decodeInput(std::string_view input, std::size_t block, std::size_t limit, std::string& out,
                 std::string& error) {
    auto source = decodedInput(std::make_unique<MemorySource>(input.data(), input.size()));
    std::vector<char> buffer(block);
    while (const std::size_t got = source->read(buffer.data(), buffer.size())) {
        out.append(buffer.data(), got);
        if (out.size() > limit) return false;
    }
    FUZZ_CHECK(source->read(buffer.data(), buffer.size()) == 0, "nothing after the end");
    error = source->error();
    return true;
}

// The input through the whole pipeline into OUTPUTS, its diagnostics dropped.
void analyse(const Settings& settings, const Outputs& outputs, std::string_view raw) {
    FILE* quiet = std::fopen("/dev/null", "w");
    FUZZ_CHECK(quiet != nullptr, "/dev/null opens");
    {
        Pipeline pipeline(settings, outputs, quiet);
        pipeline.input().feedFile("fuzz", raw.data(), raw.size());
        pipeline.finish();
    }
    std::fclose(quiet);
}

// The time_ns of the first record of a CSV export (its third field, never quoted).
std::int64_t firstTimeNs(const std::string& csv) {
    const std::size_t row = csv.find("\r\n") + 2;
    const std::size_t first = csv.find(',', row) + 1;
    const std::size_t second = csv.find(',', first) + 1;
    const std::size_t end = csv.find(',', second);
    return std::stoll(csv.substr(second, end - second));
}

// The input through a window, the other filters and a further rule.
void checkWindow(std::string_view raw, const std::string& wholeCsv, std::uint64_t records) {
    std::string text, csv, stats, perfetto, html, transactions;
    {
        SataResetTiming();
        Output textOut(&text), csvOut(&csv), statsOut(&stats), perfettoOut(&perfetto),
            htmlOut(&html), transactionsOut(&transactions);
        Settings settings;
        settings.stats = StatsFormat::kJson;
        settings.title = "fuzz";
        settings.top = 3;
        // From a little after the first record, for as long as the input is
        // in bytes, in microseconds.
        settings.filter.hasFrom = settings.filter.hasTo = true;
        settings.filter.fromNs = firstTimeNs(wholeCsv) + 1;
        settings.filter.toNs =
            settings.filter.fromNs + static_cast<std::int64_t>(raw.size()) * 1000;
        settings.filter.events = {"*[AEae]*"};
        settings.filter.context = 2;
        PairRule rule;
        FUZZ_CHECK(parsePair("DMA Start,DMA End,argument,qualifier,argument", &rule).empty(),
                   "the rule reads");
        settings.pairs.push_back(rule);
        Outputs outputs{&textOut,     &csvOut,  nullptr,         &statsOut,
                        &perfettoOut, &htmlOut, &transactionsOut};
        analyse(settings, outputs, raw);
    }
    FUZZ_CHECK(csvRows(csv, 9) - 1 <= records, "a window holds no more than the input");
    FUZZ_CHECK(csvRows(transactions, 10) >= 1, "the windowed listing has its header");
    FUZZ_CHECK(text.empty() || text.back() == '\n', "the records end their line");
    JsonCheck report({"records"});
    FUZZ_CHECK(report.parse(stats), "the windowed report is JSON");
    JsonCheck trace({"record"});
    FUZZ_CHECK(trace.parse(perfetto), "the windowed trace is JSON");
    checkPageData(html);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    std::string decoded, inSmallReads, error, errorInSmallReads;
    if (!decodeInput(raw, 64 * 1024, 1 << 20, decoded, error)) return 0;
    FUZZ_CHECK(
        decodeInput(raw, 7, 1 << 20, inSmallReads, errorInSmallReads) && errorInSmallReads == error,
        "the decoding layer stops alike in reads of any size");
    // Damage found at the end of a block (a zstd checksum) may hold back what
    // that block decoded, more of it as the reads are larger.
    const bool smallReadsGaveMore = decoded.size() <= inSmallReads.size();
    const std::string& shorter = smallReadsGaveMore ? decoded : inSmallReads;
    const std::string& longer = smallReadsGaveMore ? inSmallReads : decoded;
    FUZZ_CHECK(
        error.empty() ? inSmallReads == decoded : longer.compare(0, shorter.size(), shorter) == 0,
        "the decoding layer gives the same bytes in reads of any size");
    const std::string_view input = decoded;
    std::string text, csv, jsonl, stats, perfetto, html, transactions;
    {
        SataResetTiming();
        Output textOut(&text), csvOut(&csv), jsonlOut(&jsonl), statsOut(&stats),
            perfettoOut(&perfetto), htmlOut(&html), transactionsOut(&transactions);
        Settings settings;
        settings.stats = StatsFormat::kJson;
        settings.title = "fuzz";
        Outputs outputs{&textOut,     &csvOut,  &jsonlOut,       &statsOut,
                        &perfettoOut, &htmlOut, &transactionsOut};
        analyse(settings, outputs, raw);
    }

    // The text: the plain decoder's, where the live path changes no line.
    std::string withoutNul;
    for (const char c : input) {
        if (c != '\0') withoutNul += c;
    }
    const std::vector<std::string_view> lines = linesOf(withoutNul);
    if (plain(withoutNul, lines)) {
        FUZZ_CHECK(text == plainDecoding(lines), "the text output is the plain decoder's");
    }

    const std::size_t records = csvRows(csv, 9);
    FUZZ_CHECK(records >= 1, "the CSV has its header");
    FUZZ_CHECK(csvRows(transactions, 10) >= 1, "the listing has its header");
    std::size_t jsonLines = 0;
    for (const std::string_view line : linesOf(jsonl)) {
        JsonCheck object;
        FUZZ_CHECK(!line.empty() && line.back() == '\n', "JSON lines end");
        FUZZ_CHECK(object.parse(line.substr(0, line.size() - 1)), "each JSON line is JSON");
        ++jsonLines;
    }
    JsonCheck report({"records"});
    FUZZ_CHECK(report.parse(stats), "the report is JSON");
    FUZZ_CHECK(!report.numbers().empty(), "the report counts records");
    JsonCheck trace({"record", "end_record"});
    FUZZ_CHECK(trace.parse(perfetto), "the Perfetto trace is JSON");
    checkPageData(html);

    const std::uint64_t n = records - 1;
    FUZZ_CHECK(jsonLines == n, "as many JSON lines as CSV rows");
    FUZZ_CHECK(static_cast<std::uint64_t>(report.numbers().front().second) == n,
               "the report counts the CSV rows");
    FUZZ_CHECK(static_cast<std::uint64_t>(pageRecords(html)) == n, "the page counts them too");
    std::set<std::int64_t> drawn;
    for (const auto& number : trace.numbers()) drawn.insert(number.second);
    FUZZ_CHECK(drawn.size() == n && (n == 0 || (*drawn.begin() == 1 &&
                                                static_cast<std::uint64_t>(*drawn.rbegin()) == n)),
               "the trace draws every record");
    if (n > 0) checkWindow(raw, csv, n);
    return 0;
}
