// What the HTML report embeds, generated at build time by cmake/embed_files.cmake
// into page_assets.cpp: uPlot's script, style sheet, licence notice and
// version from its npm package, and the page's own script and style sheet
// (page.js, page.css beside this file), and the comparison page's script
// (compare.js).
#pragma once

#include <cstddef>

namespace qelttrace {

extern const char kUplotJs[];
extern const std::size_t kUplotJsSize;
extern const char kUplotCss[];
extern const std::size_t kUplotCssSize;
extern const char kUplotLicense[];
extern const std::size_t kUplotLicenseSize;
extern const char kUplotVersion[];
extern const char kPageJs[];
extern const std::size_t kPageJsSize;
extern const char kPageCss[];
extern const std::size_t kPageCssSize;
extern const char kCompareJs[];
extern const std::size_t kCompareJsSize;

}  // namespace qelttrace
