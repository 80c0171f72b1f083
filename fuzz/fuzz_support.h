// Helpers shared by the fuzz targets and their replay driver.
//
//   FUZZ_CHECK(cond, what)  prints the broken invariant and aborts, so both
//                           libFuzzer and the replay tests see a failure
//   FuzzInput               one input split in two: the data read from the
//                           front, the choices (segment sizes, clock steps,
//                           flags) read from the back, so that the front stays
//                           a plain byte stream that seeds and dictionary
//                           entries describe directly
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// The entry points every fuzz target defines: libFuzzer calls them, and so
// does the replay driver of the ordinary builds.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

#define FUZZ_CHECK(cond, what)                                                                   \
    do {                                                                                         \
        if (!(cond)) {                                                                           \
            std::fprintf(stderr, "%s:%d: invariant broken: %s (%s)\n", __FILE__, __LINE__, what, \
                         #cond);                                                                 \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)

class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), front_(0), back_(size) {}

    // Bytes not yet taken from either end.
    std::size_t remaining() const { return back_ - front_; }

    // One choice byte from the back; 0 once the input is used up.
    std::uint8_t choice() {
        if (back_ == front_) return 0;
        return data_[--back_];
    }
    // A choice from 0 to `limit`.
    unsigned choice(unsigned limit) {
        unsigned value = static_cast<unsigned>(choice()) | (static_cast<unsigned>(choice()) << 8);
        return limit == 0 ? 0 : value % (limit + 1);
    }

    // Takes up to `count` bytes from the front; returns their start and sets
    // `taken`.
    const std::uint8_t* take(std::size_t count, std::size_t& taken) {
        taken = count < remaining() ? count : remaining();
        const std::uint8_t* start = data_ + front_;
        front_ += taken;
        return start;
    }

  private:
    const std::uint8_t* data_;
    std::size_t front_;
    std::size_t back_;
};
