// Text as users save and archive it, for the tests of qelttrace's inputs:
// gzip members (zlib), zstd frames, UTF-16 with its byte-order mark.
//
//   qelttest::gzipped(dump, 3)         three gzip members, as `cat a.gz b.gz c.gz`
//   qelttest::zstdFrames(dump, 2)      two zstd frames, as `cat a.zst b.zst`
//   qelttest::utf16(dump, false)       UTF-16LE with FF FE, as PowerShell 5's `>` writes
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qelttest {

// `text` cut into `members` parts of about one size, each compressed as one
// gzip member (with its CRC and length), one after another.
std::string gzipped(std::string_view text, std::size_t members = 1);

// `text` cut into `frames` parts, each one zstd frame with its checksum:
// compressed by libzstd where the build has it, else stored in raw blocks
// (still a valid frame, which a build without zstd must refuse).
std::string zstdFrames(std::string_view text, std::size_t frames = 1);

// A zstd frame of `count` copies of `byte`, in run-length blocks of at most
// 128 KiB: a few bytes that decompress to as much as asked (a bomb).
std::string zstdRun(char byte, std::size_t count);

// A zstd skippable frame holding `content` (readers pass over it).
std::string zstdSkippable(std::string_view content);

// UTF-8 `text` as UTF-16 with its byte-order mark. Bytes that are no UTF-8
// are taken one each as U+0080 to U+00FF.
std::string utf16(std::string_view text, bool bigEndian);

}  // namespace qelttest
