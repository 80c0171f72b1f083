// Fuzzes the simulated bridge's command reader without sockets: the client's
// byte stream goes, in segments chosen from the back of the input, through a
// libtelnet server state set up as the bridge sets up each session (no option
// accepted on the client's initiative), and its data into the LineAssembler.
// Checked:
//   - every line is at most LineAssembler::kMaxLine bytes and holds no CR or LF;
//   - the lines do not depend on how the stream was cut: the same data fed
//     whole gives the same lines, and so does a byte-at-a-time model of the
//     line ends (LF, CR LF, CR NUL, CR alone).

// clang-format off
#include <cstddef>  // before libtelnet.h, which uses size_t without declaring it
#include <libtelnet.h>
// clang-format on

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "line_assembler.h"

namespace {

using qeltbridge::LineAssembler;

const telnet_telopt_t kTelopts[] = {{-1, 0, 0}};

struct Reader {
    LineAssembler assembler;
    std::vector<std::string> lines;
    std::string data;  // every data byte libtelnet passed on
    bool broken = false;
};

void onEvent(telnet_t*, telnet_event_t* event, void* user) {
    auto& reader = *static_cast<Reader*>(user);
    switch (event->type) {
        case TELNET_EV_DATA:
            reader.data.append(event->data.buffer, event->data.size);
            reader.assembler.feed(std::string_view(event->data.buffer, event->data.size),
                                  reader.lines);
            break;
        case TELNET_EV_ERROR:
            reader.broken = true;  // the bridge ends such a session
            break;
        default:
            break;
    }
}

struct TelnetFree {
    void operator()(telnet_t* telnet) const { telnet_free(telnet); }
};

std::vector<std::string> modelLines(const std::string& data) {
    std::vector<std::string> lines;
    std::string current;
    bool afterCr = false;
    for (char c : data) {
        const bool completesCr = afterCr && (c == '\n' || c == '\0');
        afterCr = false;
        if (completesCr) continue;
        if (c == '\r' || c == '\n') {
            lines.push_back(current);
            current.clear();
            afterCr = c == '\r';
        } else if (current.size() < LineAssembler::kMaxLine) {
            current.push_back(c);
        }
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    Reader reader;
    std::unique_ptr<telnet_t, TelnetFree> telnet(telnet_init(kTelopts, onEvent, 0, &reader));
    FUZZ_CHECK(telnet != nullptr, "telnet_init");

    while (input.remaining() > 0 && !reader.broken) {
        const std::uint8_t op = input.choice();
        const std::size_t wanted = (op & 1) ? std::size_t{op} * 8 + 1 : std::size_t{op} % 16 + 1;
        std::size_t taken = 0;
        const std::uint8_t* bytes = input.take(wanted, taken);
        if (taken == 0) break;
        // libtelnet takes const char*; its buffer is left unchanged.
        telnet_recv(telnet.get(), reinterpret_cast<const char*>(bytes), taken);
    }

    for (const std::string& line : reader.lines) {
        FUZZ_CHECK(line.size() <= LineAssembler::kMaxLine, "a kept line is bounded");
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos, "no line end inside a line");
    }
    LineAssembler whole;
    std::vector<std::string> wholeLines;
    whole.feed(reader.data, wholeLines);
    FUZZ_CHECK(wholeLines == reader.lines, "lines do not depend on the segments");
    FUZZ_CHECK(modelLines(reader.data) == reader.lines, "lines end at LF, CR LF, CR NUL, CR");
    return 0;
}
