#include "output/page_parts.h"

#include <cstdio>

#include "input/record.h"
#include "output/page_assets.h"

namespace qelttrace {

namespace {

// JSON inside a <script> element: no '<', so no "</script>" can end it early.
void appendScriptJson(std::string& out, std::string_view json) {
    for (const char c : json) {
        if (c == '<') {
            out += "\\u003c";
        } else {
            out += c;
        }
    }
}

}  // namespace

void appendHtml(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                if (byte >= 0x80) {
                    out += "&#";
                    appendInt(out, byte);
                    out += ';';
                } else if (byte < 0x20 || byte == 0x7F) {
                    out += "\\x";
                    out += kHex[byte >> 4];
                    out += kHex[byte & 0xF];
                } else {
                    out += c;
                }
        }
    }
}

std::string html(std::string_view text) {
    std::string out;
    appendHtml(out, text.substr(0, kCellMax));
    if (text.size() > kCellMax) out += "...";
    return out;
}

std::string cell(const std::string& text) {
    return "<td>" + text + "</td>";
}

std::string numberCell(std::uint64_t value) {
    return "<td class=n>" + std::to_string(value) + "</td>";
}

std::string timeCell(std::int64_t ns) {
    return "<td class=n>" + durationText(ns) + "</td>";
}

std::string headRow(std::initializer_list<const char*> heads) {
    std::string row = "<tr>";
    for (const char* h : heads) row += std::string("<th>") + h + "</th>";
    return row + "</tr>";
}

// A latency in microseconds to the nanosecond: what a command's time reads best in.
std::string microsCell(std::int64_t ns) {
    const std::uint64_t magnitude =
        ns < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(ns) : static_cast<std::uint64_t>(ns);
    char text[32];
    std::snprintf(text, sizeof text, "%s%llu.%03llu", ns < 0 ? "-" : "",
                  static_cast<unsigned long long>(magnitude / 1000),
                  static_cast<unsigned long long>(magnitude % 1000));
    return std::string("<td class=n>") + text + "</td>";
}

void histogramGroups(int firstBucket, int lastBucket, std::vector<std::int64_t>& lows,
                     std::vector<std::int64_t>& widths) {
    for (int group = firstBucket / kHistogramGroup;
         lastBucket >= 0 && group <= lastBucket / kHistogramGroup; ++group) {
        std::int64_t low = 0, high = 0, ignored = 0;
        LogHistogram::bounds(group * kHistogramGroup, &low, &ignored);
        LogHistogram::bounds(group * kHistogramGroup + kHistogramGroup - 1, &ignored, &high);
        lows.push_back(low);
        widths.push_back(high - low + 1);
    }
}

void histogramGroups(const LogHistogram& h, std::vector<std::int64_t>& lows,
                     std::vector<std::int64_t>& widths) {
    histogramGroups(h.firstBucket(), h.lastBucket(), lows, widths);
}

std::vector<std::int64_t> groupCounts(const LogHistogram& h, int firstGroup, std::size_t count) {
    std::vector<std::int64_t> counts(count, 0);
    for (std::size_t g = 0; g < count; ++g) {
        const int base = (firstGroup + static_cast<int>(g)) * kHistogramGroup;
        std::uint64_t n = 0;
        for (int i = base; i < base + kHistogramGroup; ++i) n += h.bucket(i);
        counts[g] = static_cast<std::int64_t>(n);
    }
    return counts;
}

std::string pageDocument(std::string_view title, std::string_view body, std::string_view data,
                         std::string_view script) {
    std::string p = "<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8><title>";
    p += html(title);
    p += "</title><style>";
    p.append(kUplotCss, kUplotCssSize);
    p.append(kPageCss, kPageCssSize);
    p += "</style></head><body>";
    p += body;
    p += "<details><summary class=note>Charts drawn with uPlot ";
    p += kUplotVersion;
    p += " (MIT licence)</summary><pre>";
    appendHtml(p, std::string_view(kUplotLicense, kUplotLicenseSize));
    p += "</pre></details><script>/* uPlot ";
    p += kUplotVersion;
    p += ", MIT licence, see the notice above */\n";
    p.append(kUplotJs, kUplotJsSize);
    p += "</script><script type=\"application/json\" id=qelt-data>";
    appendScriptJson(p, data);
    p += "</script><script>";
    p.append(kPageJs, kPageJsSize);
    p += "</script>";
    if (!script.empty()) {
        p += "<script>";
        p += script;
        p += "</script>";
    }
    p += "</body></html>\n";
    return p;
}

}  // namespace qelttrace
