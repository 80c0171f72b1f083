// One command-line style for qelttrace and qeltbridge: every option is a row
// of one table, and parsing, the synopsis and --help all come from the rows.
//
//   OptionRow    an option: its name and value, how often it may be given,
//                what it needs and what it excludes, its help line
//   CommandLine  a program's rows and the prose around them
//   parse        argv into the options given, the rows' rules checked
//   helpText     the synopsis, the description, every option, the exit statuses
//   answer       what main does with --help, --version and a usage error
//
// An option takes at most one value per occurrence: "--name VALUE" or
// "--name=VALUE"; a value that begins with "--" is given after "=". Any other
// argument is an operand, and after "--" every argument is. Rules that a
// column cannot say (a value's range, two options naming one file) are the
// program's code, run on what parse returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/exit_status.h"

namespace cmdline {

enum class Takes {
    kNothing,      // a flag: "--errors"
    kValue,        // "--event GLOB" or "--event=GLOB"
    kInlineValue,  // a value only after "=": "--stats" or "--stats=json"
};

enum class Repeat {
    kOnce,  // given twice is a usage error
    kEach,  // each occurrence adds a value
    kLast,  // each occurrence is checked, the last one counts
};

enum class Role { kSetting, kHelp, kVersion };

// A set of rows by their ids, one bit each.
using OptionSet = std::uint64_t;
inline constexpr std::size_t kMaxOptions = 64;

template <typename... Ids>
constexpr OptionSet setOf(Ids... ids) {
    return (OptionSet{0} | ... | (OptionSet{1} << static_cast<std::size_t>(ids)));
}

// One option. Rows are built with option() or flag() and the setters below,
// e.g. option(Id::kTop, "--top", "N", "...").needing(setOf(Id::kStats), "why").
struct OptionRow {
    std::size_t id = 0;  // the program's enum value: the row's index in its table
    const char* name = nullptr;
    const char* value = nullptr;  // the value as the synopsis and --help show it
    const char* help = nullptr;   // one paragraph, wrapped by helpText
    Takes takes = Takes::kNothing;
    Repeat repeat = Repeat::kOnce;
    const char* shortName = nullptr;  // "-h", or null
    // At least one of `needs` must be given with it; none of `excludes` may
    // be. The reasons complete "--name WHY: it needs ..." (null: no reason).
    OptionSet needs = 0;
    const char* needsWhy = nullptr;
    OptionSet excludes = 0;
    const char* excludesWhy = nullptr;
    // The heading --help lists it under; rows without one come first, under
    // "Options:", and the rows of a group follow each other.
    const char* group = nullptr;
    Role role = Role::kSetting;
    // The default as --help shows it, "(default X)" (null: none shown).
    std::string (*shownDefault)() = nullptr;

    // A copy with one member changed. Defined before the setters that use it:
    // clang does not instantiate a member template used in a constant
    // expression before its definition.
    template <typename T, typename V>
    constexpr OptionRow with(T OptionRow::*member, V v) const {
        OptionRow row = *this;
        row.*member = v;
        return row;
    }

    constexpr OptionRow each() const { return with(&OptionRow::repeat, Repeat::kEach); }
    constexpr OptionRow last() const { return with(&OptionRow::repeat, Repeat::kLast); }
    constexpr OptionRow inlineValue() const { return with(&OptionRow::takes, Takes::kInlineValue); }
    constexpr OptionRow alias(const char* s) const { return with(&OptionRow::shortName, s); }
    constexpr OptionRow in(const char* heading) const { return with(&OptionRow::group, heading); }
    constexpr OptionRow shows(std::string (*f)()) const {
        return with(&OptionRow::shownDefault, f);
    }
    constexpr OptionRow needing(OptionSet set, const char* why) const {
        return with(&OptionRow::needs, set).with(&OptionRow::needsWhy, why);
    }
    constexpr OptionRow excluding(OptionSet set, const char* why) const {
        return with(&OptionRow::excludes, set).with(&OptionRow::excludesWhy, why);
    }
};

template <typename Id>
constexpr OptionRow option(Id id, const char* name, const char* value, const char* help) {
    OptionRow row;
    row.id = static_cast<std::size_t>(id);
    row.name = name;
    row.value = value;
    row.help = help;
    row.takes = Takes::kValue;
    return row;
}

template <typename Id>
constexpr OptionRow flag(Id id, const char* name, const char* help) {
    OptionRow row;
    row.id = static_cast<std::size_t>(id);
    row.name = name;
    row.help = help;
    return row;
}

// The two rows every program has, worded alike.
template <typename Id>
constexpr OptionRow helpFlag(Id id) {
    OptionRow row = flag(id, "--help", "print this text and exit").alias("-h");
    row.role = Role::kHelp;
    return row;
}
template <typename Id>
constexpr OptionRow versionFlag(Id id) {
    OptionRow row = flag(id, "--version", "print the version and exit");
    row.role = Role::kVersion;
    return row;
}

// True when each row's id is its index and every row it names is in the
// table: a program's table is checked with static_assert.
template <std::size_t N>
constexpr bool wellFormed(const OptionRow (&rows)[N]) {
    if (N > kMaxOptions) return false;
    const OptionSet all = N == kMaxOptions ? ~OptionSet{0} : (OptionSet{1} << N) - 1;
    for (std::size_t i = 0; i < N; ++i) {
        if (rows[i].id != i || !rows[i].name || !rows[i].help) return false;
        if ((rows[i].needs | rows[i].excludes) & ~all) return false;
        if ((rows[i].takes == Takes::kNothing) != (rows[i].value == nullptr)) return false;
    }
    return true;
}

// A program's command line.
struct CommandLine {
    const char* program;  // "qelttrace": the usage line and every message
    const char* version;  // --version prints "PROGRAM VERSION"
    const OptionRow* rows;
    std::size_t count;
    const char* operands;     // as the synopsis shows them ("[FILE...]"); null: none taken
    const char* operand;      // one of them in --help's line for "--" ("a FILE")
    const char* description;  // prose between the usage lines and the options
    const ExitStatusRow* statuses;
    std::size_t statusCount;
    const char* statusNote;  // one more line after the statuses, or null
};

template <std::size_t N, std::size_t S>
constexpr CommandLine commandLine(const char* program, const char* version,
                                  const OptionRow (&rows)[N], const char* operands,
                                  const char* operand, const char* description,
                                  const ExitStatusRow (&statuses)[S], const char* statusNote) {
    return {program, version, rows, N, operands, operand, description, statuses, S, statusNote};
}

// What a command line gave: the values of each option, in order, and the
// operands.
class Given {
  public:
    explicit Given(std::size_t count = kMaxOptions) : values_(count), present_(count) {}

    template <typename Id>
    bool has(Id id) const {
        return present_.at(static_cast<std::size_t>(id));
    }
    // The last value given, "" for none.
    template <typename Id>
    const std::string& value(Id id) const {
        const auto& v = values_.at(static_cast<std::size_t>(id));
        return v.empty() ? none() : v.back();
    }
    template <typename Id>
    const std::vector<std::string>& values(Id id) const {
        return values_.at(static_cast<std::size_t>(id));
    }
    const std::vector<std::string>& operands() const { return operands_; }
    OptionSet present() const;

  private:
    friend class Reader;
    static const std::string& none();
    std::vector<std::vector<std::string>> values_;
    std::vector<bool> present_;
    std::vector<std::string> operands_;
};

enum class Outcome { kRun, kHelp, kVersion, kUsageError };

// The program's checks of the values given (ranges, forms), run by parse:
// empty, or why a value is refused.
using ValueCheck = std::function<std::string(const Given&)>;

// Reads argv[1..argc-1] into `given`. Usage errors, with `error` saying why
// in one line (without the program's name), in this order: an unknown option,
// a value missing or given to a flag, an option given twice that may not be,
// an operand where none is taken; then (unless --help or --version was given,
// which win) what `values` refuses; then each row's needs and excludes, in the
// order of the rows. Rules between options that the program checks in code
// come after parse says kRun.
Outcome parse(const CommandLine& line, int argc, const char* const* argv, Given& given,
              std::string& error, const ValueCheck& values = {});

// "usage: PROGRAM [--option VALUE] ... [OPERANDS]" wrapped at 79 columns, and
// "       PROGRAM --version | --help".
std::string synopsis(const CommandLine& line);

// The synopsis, the description, "Options:" and a line or more for each row
// (its default, when it shows one, after its help), "--" when operands are
// taken, then "Exit status:" and the statuses.
std::string helpText(const CommandLine& line);

// What main does when parse did not say kRun: the help or "PROGRAM VERSION"
// on standard output (status 0), or on standard error "PROGRAM: ERROR" and
// where the options are listed (kUsageExitStatus). The status to exit with.
int answer(const CommandLine& line, Outcome outcome, const std::string& error);

}  // namespace cmdline
