// The tool's decoded output read back into records: "TIME\tDELTA\tTEXT" (a
// span "\tSPAN" may close the line), span lines, the banner. The tool's
// messages and the line feeds between the printed pieces are skipped, and so
// is every line of another form. The record's words are the printed text cut
// back into three with the decoder's vocabulary; the record text is empty
// for a decoded record (the output no longer holds it) and the text of an
// error line otherwise.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "input/record.h"

namespace qelttrace {

class RecordCounter;

// True when `line` (without its "\n") is a decoded record or span line.
bool isDecodedLine(std::string_view line);

class DecodedReader {
  public:
    explicit DecodedReader(RecordCounter& out) : out_(out) {}
    void feed(const char* data, std::size_t size);
    void finish();

  private:
    void take();
    void take(std::string_view line);
    void emit(const DBGTime& time, const DBGTime& delta, std::string_view decoded);

    RecordCounter& out_;
    std::string line_;
    std::string banner_;
    Record record_;
};

}  // namespace qelttrace
