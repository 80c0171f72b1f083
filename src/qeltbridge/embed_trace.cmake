# Turns INPUT (the built-in trace capture) into OUTPUT, a C++ source holding its
# bytes. Runs at every build and rewrites OUTPUT only when its content changes,
# so the capture can appear or change without reconfiguring. A missing INPUT
# embeds an empty trace.
if(EXISTS "${INPUT}")
  file(READ "${INPUT}" hex HEX)
  string(LENGTH "${hex}" hexlen)
  math(EXPR size "${hexlen} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  if(size EQUAL 0)
    set(bytes "0")
  endif()
else()
  set(size 0)
  set(bytes "0")
endif()
file(WRITE "${OUTPUT}.tmp"
"// Generated from the built-in trace capture by embed_trace.cmake; do not edit.
#include <cstddef>
namespace qeltbridge {
extern const unsigned char kBuiltinTraceData[];
extern const std::size_t kBuiltinTraceSize;
const unsigned char kBuiltinTraceData[] = {
${bytes}
};
const std::size_t kBuiltinTraceSize = ${size};
}  // namespace qeltbridge
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
