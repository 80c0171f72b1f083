# Writes OUTPUT, a C++ source holding uPlot's script (JS), style sheet (CSS),
# licence notice (LICENSE) and version (VERSION) for the HTML report. Rewrites
# OUTPUT only when its content changes.
function(qelt_embed_bytes file name out)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" hexlen)
  math(EXPR size "${hexlen} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){24})" "\\1\n" bytes "${bytes}")
  set(${out} "extern const char ${name}[];
extern const std::size_t ${name}Size;
const char ${name}[] = {
${bytes}0};
const std::size_t ${name}Size = ${size};
" PARENT_SCOPE)
endfunction()

qelt_embed_bytes("${JS}" kUplotJs js)
qelt_embed_bytes("${CSS}" kUplotCss css)
qelt_embed_bytes("${LICENSE}" kUplotLicense license)
file(WRITE "${OUTPUT}.tmp"
"// Generated from the uplot npm package by embed_assets.cmake; do not edit.
#include <cstddef>
namespace qelttrace {
${js}
${css}
${license}
extern const char kUplotVersion[];
const char kUplotVersion[] = \"${VERSION}\";
}  // namespace qelttrace
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
