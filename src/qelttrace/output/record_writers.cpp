#include "output/record_writers.h"

#include "output/json.h"
#include "output/record_fields.h"

namespace qelttrace {

namespace {

// The longest line the formatter prints for a record or a span, but the
// record text of an error line and a banner, which may be longer.
constexpr std::size_t kLineRoom = 512;

class TextWriter : public Writer {
  public:
    TextWriter(Output& out, bool filtered, bool groups)
        : out_(out), filtered_(filtered), groups_(filtered && groups) {}

    void banner(const char* text) override {
        if (!filtered_) print(SataLineBanner, text, nullptr, std::char_traits<char>::length(text));
    }
    void span(const DBGTime& span) override {
        if (!filtered_) printSpan(span);
    }
    void record(const Record& r, const Observation&) override {
        // Each record's line begins with its line feed: the separator goes
        // on a line of its own between the two.
        if (groups_ && printed_ && r.number != lastNumber_ + 1) out_.write("\n--", 3);
        lastNumber_ = r.number;
        // The record as the formatter had it, to print it as the formatter
        // does (its word buffers are not needed: the words point into the record).
        SataTraceRecord shown;
        shown.printSpan = 0;
        shown.result = r.result;
        shown.time = r.time;
        shown.delta = r.delta;
        shown.held = r.held ? 1 : 0;
        shown.words.event = r.eventText();
        shown.words.qualifier = r.qualifierText();
        shown.words.argument = r.argumentText();
        std::size_t textLength = 0;
        if (r.result != 0) {
            // The text with its line ends as blanks, as the formatter shows it.
            text_.assign(r.text());
            text_.append(r.lineEnd, ' ');
            SataBlankLineEnds(text_.data());
            textLength = text_.size();
        }
        shown.text = text_.c_str();
        print(SataLineRecord, "", &shown, textLength);
        printed_ = true;
    }
    void end(const Ending& ending) override {
        if (filtered_) {
            // The records alone: the last one's line is ended here.
            if (printed_) out_.write("\n", 1);
        } else if (ending.closingSpan) {
            printSpan(*ending.closingSpan);
        }
        out_.flush();
    }

  private:
    void printSpan(const DBGTime& span) {
        SataTraceRecord shown{};
        shown.delta = span;
        shown.printSpan = 1;
        print(SataLineSpan, "", &shown, 0);
    }
    void print(SataLineKind kind, const char* text, const SataTraceRecord* shown,
               std::size_t extra) {
        if (extra == 0) {
            char line[kLineRoom];
            const int length = SataFormatLine(kind, text, shown, line, sizeof line);
            out_.write(line, static_cast<std::size_t>(length));
            return;
        }
        line_.resize(kLineRoom + extra);
        const int length =
            SataFormatLine(kind, text, shown, &line_[0], static_cast<int>(line_.size()));
        out_.write(line_.data(), static_cast<std::size_t>(length));
    }

    Output& out_;
    bool filtered_;
    bool groups_;
    bool printed_ = false;
    std::uint64_t lastNumber_ = 0;
    std::string text_, line_;
};

class CsvWriter : public Writer {
  public:
    explicit CsvWriter(Output& out) : out_(out) {
        appendCsvHeader(out_.buffer());
        out_.buffer() += "\r\n";
    }
    void record(const Record& r, const Observation&) override {
        appendCsvRow(out_.buffer(), r);
        out_.buffer() += "\r\n";
        out_.maybeFlush();
    }
    void end(const Ending&) override { out_.flush(); }

  private:
    Output& out_;
};

class JsonlWriter : public Writer {
  public:
    explicit JsonlWriter(Output& out) : out_(out) {}
    void record(const Record& r, const Observation&) override {
        JsonWriter json(out_.buffer());
        json.beginObject();
        writeJsonFields(json, r, false);
        json.endObject();
        out_.buffer() += '\n';
        out_.maybeFlush();
    }
    void end(const Ending&) override { out_.flush(); }

  private:
    Output& out_;
};

}  // namespace

std::unique_ptr<Writer> makeRecordWriter(Format format, Output& out, bool filtered, bool groups) {
    switch (format) {
        case Format::kCsv:
            return std::make_unique<CsvWriter>(out);
        case Format::kJsonl:
            return std::make_unique<JsonlWriter>(out);
        case Format::kText:
            break;
    }
    return std::make_unique<TextWriter>(out, filtered, groups);
}

}  // namespace qelttrace
