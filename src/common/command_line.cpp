#include "common/command_line.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace cmdline {

namespace {

constexpr std::size_t kWidth = 79;        // --help fits an 80-column terminal
constexpr std::size_t kHelpColumn = 28;   // where each option's help begins
constexpr std::size_t kStatusColumn = 8;  // where each status's meaning begins

// "A", "A or B", "A, B or C".
std::string either(const CommandLine& line, OptionSet set) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < line.count; ++i) {
        if (set & (OptionSet{1} << i)) names.emplace_back(line.rows[i].name);
    }
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += i + 1 == names.size() ? " or " : ", ";
        text += names[i];
    }
    return text;
}

// `words` wrapped at kWidth, the first line after `start` (padded to
// `column`, or alone when it reaches it), the others indented to `column`.
std::string wrapped(std::string start, std::size_t column, std::string_view words) {
    std::string text;
    if (start.size() >= column) {
        text += start + "\n";
        start.clear();
    }
    while (!words.empty()) {
        start.resize(column, ' ');
        std::size_t take = words.size();
        if (column + take > kWidth) {
            const std::size_t blank = words.rfind(' ', kWidth - column);
            take = blank == std::string_view::npos ? words.find(' ') : blank;
            if (take == std::string_view::npos) take = words.size();
        }
        text += start + std::string(words.substr(0, take)) + "\n";
        words.remove_prefix(std::min(words.size(), take + 1));
        start.clear();
    }
    return text;
}

// "--name VALUE", "--name[=json]" or "--name", as the synopsis and --help write it.
std::string written(const OptionRow& row) {
    std::string text = row.name;
    if (row.value) text += (row.takes == Takes::kInlineValue ? "" : " ") + std::string(row.value);
    return text;
}

const OptionRow* roleRow(const CommandLine& line, Role role) {
    for (std::size_t i = 0; i < line.count; ++i) {
        if (line.rows[i].role == role) return &line.rows[i];
    }
    return nullptr;
}

}  // namespace

// Takes the arguments one at a time into a Given.
class Reader {
  public:
    Reader(const CommandLine& line, Given& given) : line_(line), given_(given) {}

    // One option at argv[*i]; moves *i past its value. Empty on success.
    std::string option(int argc, const char* const* argv, int* i) {
        const std::string arg = argv[*i];
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const OptionRow* row = find(name);
        if (!row) return "unknown option " + name;
        if (given_.present_[row->id] && row->repeat == Repeat::kOnce) {
            return std::string(row->name) + " is given twice";
        }
        given_.present_[row->id] = true;
        std::vector<std::string>& values = given_.values_[row->id];
        if (equals != std::string::npos) {
            if (row->takes == Takes::kNothing) return std::string(row->name) + " takes no value";
            values.push_back(arg.substr(equals + 1));
            return {};
        }
        if (row->takes != Takes::kValue) return {};
        // The next argument is the value unless it is another option.
        if (*i + 1 >= argc || std::strncmp(argv[*i + 1], "--", 2) == 0) {
            return std::string(row->name) + " needs a value: " + row->value;
        }
        values.emplace_back(argv[++*i]);
        return {};
    }

    std::string operand(const std::string& arg) {
        if (!line_.operands) return "unexpected argument " + arg;
        given_.operands_.push_back(arg);
        return {};
    }

    // Each row's needs and excludes, in the order of the rows.
    std::string rules() const {
        const OptionSet present = given_.present();
        for (std::size_t i = 0; i < line_.count; ++i) {
            const OptionRow& row = line_.rows[i];
            if (!given_.present_[i]) continue;
            if (row.needs && !(present & row.needs)) {
                return said(row, row.needsWhy, "needs " + either(line_, row.needs));
            }
            if (row.excludes & present) {
                const OptionSet both = row.excludes & present;
                const OptionSet first = both & (~both + 1);
                return said(row, row.excludesWhy, "does not go with " + either(line_, first));
            }
        }
        return {};
    }

  private:
    const OptionRow* find(const std::string& name) const {
        for (std::size_t i = 0; i < line_.count; ++i) {
            const OptionRow& row = line_.rows[i];
            if (name == row.name || (row.shortName && name == row.shortName)) return &row;
        }
        return nullptr;
    }

    // "--name WHY: it RULE", or "--name RULE" without a reason.
    static std::string said(const OptionRow& row, const char* why, const std::string& rule) {
        if (!why) return std::string(row.name) + " " + rule;
        return std::string(row.name) + " " + why + ": it " + rule;
    }

    const CommandLine& line_;
    Given& given_;
};

OptionSet Given::present() const {
    OptionSet set = 0;
    for (std::size_t i = 0; i < present_.size() && i < kMaxOptions; ++i) {
        if (present_[i]) set |= OptionSet{1} << i;
    }
    return set;
}

const std::string& Given::none() {
    static const std::string empty;
    return empty;
}

Outcome parse(const CommandLine& line, int argc, const char* const* argv, Given& given,
              std::string& error, const ValueCheck& values) {
    given = Given(line.count);
    error.clear();
    Reader reader(line, given);
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options && arg == "--") {
            options = false;
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            error = reader.option(argc, argv, &i);
        } else {
            error = reader.operand(arg);
        }
        if (!error.empty()) return Outcome::kUsageError;
    }
    for (const Role role : {Role::kHelp, Role::kVersion}) {
        const OptionRow* row = roleRow(line, role);
        if (row && given.has(row->id))
            return role == Role::kHelp ? Outcome::kHelp : Outcome::kVersion;
    }
    if (values) error = values(given);
    if (error.empty()) error = reader.rules();
    return error.empty() ? Outcome::kRun : Outcome::kUsageError;
}

std::string synopsis(const CommandLine& line) {
    const std::string lead = "usage: " + std::string(line.program) + " ";
    std::vector<std::string> items;
    for (std::size_t i = 0; i < line.count; ++i) {
        if (line.rows[i].role == Role::kSetting) items.push_back("[" + written(line.rows[i]) + "]");
    }
    if (line.operands) items.emplace_back(line.operands);
    std::string text;
    std::string current = lead;
    for (const std::string& item : items) {
        if (current.size() > lead.size() && current.size() + 1 + item.size() > kWidth) {
            text += current + "\n";
            current.assign(lead.size(), ' ');
        } else if (current.size() > lead.size()) {
            current += " ";
        }
        current += item;
    }
    text += current + "\n";
    const OptionRow* version = roleRow(line, Role::kVersion);
    const OptionRow* help = roleRow(line, Role::kHelp);
    if (version && help) {
        text +=
            std::string(7, ' ') + line.program + " " + version->name + " | " + help->name + "\n";
    }
    return text;
}

std::string helpText(const CommandLine& line) {
    std::string text = synopsis(line) + "\n";
    if (line.description) text += std::string(line.description) + "\n";
    text += "Options:\n";
    const char* group = nullptr;
    for (std::size_t i = 0; i < line.count; ++i) {
        const OptionRow& row = line.rows[i];
        if (row.group && (!group || std::strcmp(group, row.group) != 0)) {
            group = row.group;
            text += "\n" + std::string(group) + ":\n";
        }
        std::string start = "  ";
        if (row.shortName) start += std::string(row.shortName) + ", ";
        std::string help = row.help;
        if (row.shownDefault) help += " (default " + row.shownDefault() + ")";
        text += wrapped(start + written(row), kHelpColumn, help);
    }
    if (line.operands) {
        text +=
            wrapped("  --", kHelpColumn, std::string("every argument after it is ") + line.operand);
    }
    if (line.statusCount == 0) return text;
    text += "\nExit status:\n";
    for (std::size_t i = 0; i < line.statusCount; ++i) {
        text += wrapped("  " + std::to_string(line.statuses[i].status), kStatusColumn,
                        line.statuses[i].meaning);
    }
    if (line.statusNote) text += wrapped("", 2, line.statusNote);
    return text;
}

int answer(const CommandLine& line, Outcome outcome, const std::string& error) {
    switch (outcome) {
        case Outcome::kHelp:
            std::fputs(helpText(line).c_str(), stdout);
            return 0;
        case Outcome::kVersion:
            std::printf("%s %s\n", line.program, line.version);
            return 0;
        case Outcome::kUsageError:
        case Outcome::kRun:
            break;
    }
    std::fprintf(stderr, "%s: %s\n%s --help lists the options.\n", line.program, error.c_str(),
                 line.program);
    return kUsageExitStatus;
}

}  // namespace cmdline
