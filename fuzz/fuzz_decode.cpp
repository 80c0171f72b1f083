// Fuzzes the record decoder: SataCmdParse and Act12Parse with every output
// size from 0 to 300, each into a heap buffer of exactly that size so that
// AddressSanitizer sees a single byte written past it. The input is the
// record text (up to its first NUL).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "trace/sata_decode.h"

namespace {

constexpr int kLargestSize = 300;

// The text as the decoder sees it: a NUL-terminated copy in a buffer of
// exactly its length plus the terminator.
std::unique_ptr<char[]> terminatedCopy(const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<char[]> text(new char[size + 1]);
    if (size > 0) std::memcpy(text.get(), data, size);
    text[size] = '\0';
    return text;
}

// True when `out` (of `size` bytes) holds a NUL and, before it, a prefix of
// the output the largest buffer received.
bool truncationOf(const char* out, int size, const char* whole) {
    const void* end = std::memchr(out, '\0', static_cast<std::size_t>(size));
    if (!end) return false;
    const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(end) - out);
    return std::strncmp(out, whole, length) == 0 && length <= std::strlen(whole);
}

void checkSataCmdParse(const char* text) {
    char whole[kLargestSize];
    const int wholeResult = SataCmdParse(text, whole, kLargestSize);
    FUZZ_CHECK(wholeResult == 0 || wholeResult == -1 || wholeResult == -2, "SataCmdParse result");
    FUZZ_CHECK(std::memchr(whole, '\0', sizeof whole) != nullptr, "SataCmdParse terminates");

    for (int size = 0; size <= kLargestSize; ++size) {
        // new char[0] is a real allocation of no bytes: any write shows.
        std::unique_ptr<char[]> out(new char[static_cast<std::size_t>(size)]);
        if (size > 0) std::memset(out.get(), 'X', static_cast<std::size_t>(size));
        const int result = SataCmdParse(text, out.get(), size);
        FUZZ_CHECK(result == 0 || result == -1 || result == -2, "SataCmdParse result");
        if (size == 0) continue;
        FUZZ_CHECK(std::memchr(out.get(), '\0', static_cast<std::size_t>(size)) != nullptr,
                   "SataCmdParse leaves a NUL within size");
        if (size < 2) {
            FUZZ_CHECK(result == -1, "SataCmdParse with size < 2 gives -1");
            FUZZ_CHECK(out[0] == '\0', "SataCmdParse with size 1 leaves out empty");
            continue;
        }
        // The result does not depend on the room for the text, and a smaller
        // buffer holds the start of the same text.
        FUZZ_CHECK(result == wholeResult, "SataCmdParse result independent of size");
        FUZZ_CHECK(truncationOf(out.get(), size, whole), "SataCmdParse truncates");
        if (result == -2) FUZZ_CHECK(out[0] == '\0', "SataCmdParse -2 leaves out empty");
    }
}

void checkAct12Parse(const char* text) {
    char whole[kLargestSize];
    std::memset(whole, 'X', sizeof whole);
    Act12Parse(text, whole, kLargestSize);
    FUZZ_CHECK(std::memchr(whole, '\0', sizeof whole) != nullptr, "Act12Parse terminates");

    for (int size = 0; size <= kLargestSize; ++size) {
        std::unique_ptr<char[]> out(new char[static_cast<std::size_t>(size)]);
        if (size > 0) std::memset(out.get(), 'X', static_cast<std::size_t>(size));
        Act12Parse(text, out.get(), size);
        if (size == 0) continue;
        FUZZ_CHECK(truncationOf(out.get(), size, whole), "Act12Parse truncates");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<char[]> text = terminatedCopy(data, size);
    checkSataCmdParse(text.get());
    checkAct12Parse(text.get());
    return 0;
}
