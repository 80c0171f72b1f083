// Dumps with changes planted in them, for the tests of the comparison of a
// run with its baseline: latencies drawn around a median as a device spreads
// them (the same draws on every platform), and a dump of the bridge made of
// commands, events and SATA states placed in time. Header only.
//
//   Draw draw(42);  PlantedDump dump;  dump.commands(draw, "60", 400, 50000, span);
//   write("run.txt", dump.text());
#pragma once

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace qelttest {

// Normal deviates by Box-Muller from the engine's bits (the standard fixes
// the engine, not its distributions), so every platform draws the same.
struct Draw {
    explicit Draw(std::uint64_t seed) : random(seed) {}
    double uniform() {  // in (0, 1)
        return (static_cast<double>(random() >> 11) + 0.5) / 9007199254740992.0;
    }
    double normal() {
        return std::sqrt(-2 * std::log(uniform())) * std::cos(6.283185307179586 * uniform());
    }
    // A latency around `medianNs`, spread like a device's, on a 10 ns clock.
    std::int64_t latency(double medianNs, double sigma = 0.4) {
        const double v = medianNs * std::exp(sigma * normal());
        return static_cast<std::int64_t>(v / 10) * 10;
    }
    std::mt19937_64 random;
};

// The bridge's dump lines ("SSSSSS.NNNNNNNNN CODE TAG ARG"), from 1000 s on.
class PlantedDump {
  public:
    static constexpr std::int64_t kSecond = 1000000000;

    // One record at `ns` from the start, its text "CODE TAG ARG".
    void add(std::int64_t ns, std::string text) { lines_.emplace_back(ns, std::move(text)); }

    // `count` commands of kind `kind` (ActivateTransaction, keyed by a number
    // of their own, and its CompleteTransation with the code `outcome`: 1
    // completed, 0 aborted) spread over `spanNs`, their latencies around
    // `medianNs`.
    void commands(Draw& draw, const char* kind, int count, double medianNs, std::int64_t spanNs,
                  const char* outcome = "1") {
        for (int i = 0; i < count; ++i) {
            const std::int64_t start = startTime(draw, spanNs);
            const std::string key = nextKey();
            add(start, std::string(kind) + " 1 " + key);
            add(start + draw.latency(medianNs), std::string(outcome) + " 3 " + key);
        }
    }

    // `count` commands of kind `kind` that are never answered: open at the end.
    void unanswered(Draw& draw, const char* kind, int count, std::int64_t spanNs) {
        for (int i = 0; i < count; ++i) {
            add(startTime(draw, spanNs), std::string(kind) + " 1 " + nextKey());
        }
    }

    // `count` transfers (DMA Start, then DMA End) one after another over
    // `spanNs`, their latencies around `medianNs`.
    void transfers(Draw& draw, int count, double medianNs, std::int64_t spanNs) {
        for (int i = 0; i < count; ++i) {
            const std::int64_t start = spanNs / (count + 1) * (i + 1);
            add(start, "0 70 0200");
            add(start + draw.latency(medianNs), "0 71 0200");
        }
    }

    // `count` records of the text "CODE TAG ARG" spread over `spanNs`.
    void spread(Draw& draw, const std::string& text, int count, std::int64_t spanNs) {
        for (int i = 0; i < count; ++i) {
            add(static_cast<std::int64_t>(draw.uniform() * static_cast<double>(spanNs)), text);
        }
    }

    // SATA states in turn, each the given percent of every 100 ms: a
    // SATAWakeup into each (its number as SATA_STATE counts: 1 IDLE, 2 RCV,
    // 3 SND ...).
    void states(std::int64_t spanNs, const std::vector<std::pair<int, int>>& shares) {
        for (std::int64_t t = 0; t < spanNs; t += kSecond / 10) {
            std::int64_t at = t;
            for (const auto& [state, percent] : shares) {
                add(at, "5 8 0/0+" + std::to_string(state));
                at += kSecond / 1000 * percent;
            }
        }
    }

    // The dump as the bridge prints it: the records by time (those of one
    // time in the order added), each line ending in CR LF.
    std::string text() const {
        std::vector<std::pair<std::int64_t, std::string>> sorted = lines_;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        std::string out;
        for (const auto& [ns, record] : sorted) {
            const std::int64_t at = 1000 * kSecond + ns;
            char time[40];
            std::snprintf(time, sizeof time, "%6" PRId64 ".%09" PRId64 " ", at / kSecond,
                          at % kSecond);
            out += time + record + "\r\n";
        }
        return out;
    }

  private:
    // A command's start, at least a second before the span's end.
    static std::int64_t startTime(Draw& draw, std::int64_t spanNs) {
        return static_cast<std::int64_t>(draw.uniform() * static_cast<double>(spanNs - kSecond));
    }
    std::string nextKey() {
        char key[16];
        std::snprintf(key, sizeof key, "%06X", ++keys_);
        return key;
    }

    std::vector<std::pair<std::int64_t, std::string>> lines_;
    int keys_ = 0;
};

}  // namespace qelttest
