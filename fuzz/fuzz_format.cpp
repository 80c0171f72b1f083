// Fuzzes the trace line formatter: the input is a dump, cut into lines at
// "\n" with their line ends kept (as qelttrace reads a file), each handed to
// ParseSataTrace in a buffer of exactly its size. Every input starts from the
// timing globals' initial values, as one dump per process does. Standard
// output goes to /dev/null.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "trace/sata_format.h"

namespace {

void formatLine(const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<char[]> line(new char[size + 1]);
    std::unique_ptr<char[]> before(new char[size + 1]);
    if (size > 0) std::memcpy(line.get(), data, size);
    line[size] = '\0';
    std::memcpy(before.get(), line.get(), size + 1);

    ParseSataTrace(line.get());

    // The formatter may turn line ends into blanks and must touch nothing else.
    for (std::size_t i = 0; i <= size; ++i) {
        if (line[i] == before[i]) continue;
        FUZZ_CHECK((before[i] == '\r' || before[i] == '\n') && line[i] == ' ',
                   "ParseSataTrace changes only line ends, into blanks");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    SataResetTiming();
    std::size_t start = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != '\n') continue;
        formatLine(data + start, i + 1 - start);
        start = i + 1;
    }
    if (start < size) formatLine(data + start, size - start);
    // The span printed at the empty line that ends a dump.
    std::uint8_t empty = 0;
    formatLine(&empty, 0);
    return 0;
}
