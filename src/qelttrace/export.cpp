#include "export.h"

#include <charconv>

namespace qelttrace {

namespace {

constexpr char kHex[] = "0123456789abcdef";

class TextWriter : public Sink {
  public:
    explicit TextWriter(bool filtered) : filtered_(filtered) {}

    void banner(const char* text) override {
        if (!filtered_) SataPrintLine(SataLineBanner, text, nullptr);
    }
    void span(const SataTraceRecord& span) override {
        if (!filtered_) SataPrintLine(SataLineSpan, "", &span);
    }
    void record(const Record& record) override {
        SataPrintLine(SataLineRecord, "", record.trace);
        printed_ = true;
    }
    void end(bool dumpRead) override {
        if (filtered_) {
            // The records alone: the last one's line is ended here.
            if (printed_) std::fputc('\n', stdout);
            return;
        }
        if (!dumpRead) return;  // decoded output holds its own closing span
        // The span of the whole dump, as the tool prints it after the session.
        DiffTime(&startTime, &pt, &diff);
        std::printf("\t%6d.%09d\n", diff.sec, diff.nsec);
    }

  private:
    bool filtered_;
    bool printed_ = false;
};

const char kFieldNames[] = "record,time,time_ns,delta_ns,event,qualifier,argument,status,text";

class CsvWriter : public Sink {
  public:
    explicit CsvWriter(FILE* out) : writer_(out) {
        writer_.buffer().append(kFieldNames);
        writer_.buffer().append("\r\n");
    }
    void record(const Record& r) override {
        std::string& b = writer_.buffer();
        appendInt(b, static_cast<std::int64_t>(r.number));
        b += ',';
        appendTime(b, r.time);
        b += ',';
        appendInt(b, r.timeNs);
        b += ',';
        appendInt(b, r.deltaNs);
        b += ',';
        appendCsvField(b, r.event);
        b += ',';
        appendCsvField(b, r.qualifier);
        b += ',';
        appendCsvField(b, r.argument);
        b += ',';
        b += statusName(r.status);
        b += ',';
        appendCsvField(b, r.text);
        b += "\r\n";
        writer_.maybeFlush();
    }
    void end(bool) override { writer_.flush(); }

  private:
    StreamWriter writer_;
};

class JsonlWriter : public Sink {
  public:
    explicit JsonlWriter(FILE* out) : writer_(out) {}
    void record(const Record& r) override {
        std::string& b = writer_.buffer();
        b += "{\"record\":";
        appendInt(b, static_cast<std::int64_t>(r.number));
        b += ",\"time\":\"";
        appendTime(b, r.time);
        b += "\",\"time_ns\":";
        appendInt(b, r.timeNs);
        b += ",\"delta_ns\":";
        appendInt(b, r.deltaNs);
        b += ",\"event\":";
        appendJsonString(b, r.event);
        b += ",\"qualifier\":";
        appendJsonString(b, r.qualifier);
        b += ",\"argument\":";
        appendJsonString(b, r.argument);
        b += ",\"status\":\"";
        b += statusName(r.status);
        b += "\",\"text\":";
        appendJsonString(b, r.text);
        b += "}\n";
        writer_.maybeFlush();
    }
    void end(bool) override { writer_.flush(); }

  private:
    StreamWriter writer_;
};

}  // namespace

const char* statusName(Status status) {
    switch (status) {
        case Status::kOk:
            return "ok";
        case Status::kParseError:
            return "parse_error";
        case Status::kInvalidParameter:
            return "invalid_parameter";
    }
    return "ok";
}

void appendInt(std::string& out, std::int64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80) {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        } else if (byte == '"' || byte == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            switch (byte) {
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                default:
                    out += "\\u00";
                    out += kHex[byte >> 4];
                    out += kHex[byte & 0xF];
                    break;
            }
        } else {
            out += c;
        }
    }
    out += '"';
}

void appendCsvField(std::string& out, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        out.append(text);
        return;
    }
    out += '"';
    for (const char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

void StreamWriter::flush() {
    if (!buffer_.empty()) std::fwrite(buffer_.data(), 1, buffer_.size(), out_);
    buffer_.clear();
}

std::unique_ptr<Sink> makeRecordWriter(Format format, FILE* out, bool filtered) {
    switch (format) {
        case Format::kCsv:
            return std::make_unique<CsvWriter>(out);
        case Format::kJsonl:
            return std::make_unique<JsonlWriter>(out);
        case Format::kText:
            break;
    }
    return std::make_unique<TextWriter>(filtered);
}

}  // namespace qelttrace
