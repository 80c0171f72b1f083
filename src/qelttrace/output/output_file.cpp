#include "output/output_file.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <random>

namespace qelttrace {

namespace {

// The temporary files of this process, for removal from an interrupt
// handler: plain storage, a slot taken only once its name is complete.
constexpr int kTemporariesMax = 8;
constexpr std::size_t kPathMax = 4096;
char temporaries[kTemporariesMax][kPathMax];
volatile std::sig_atomic_t taken[kTemporariesMax];

void removeTemporaries() {
    for (int i = 0; i < kTemporariesMax; ++i) {
        if (taken[i]) qelt_remove_now(temporaries[i]);
    }
}

int takeSlot(const std::string& path) {
    if (path.size() >= kPathMax) return -1;
    for (int i = 0; i < kTemporariesMax; ++i) {
        if (taken[i]) continue;
        std::memcpy(temporaries[i], path.c_str(), path.size() + 1);
        taken[i] = 1;
        return i;
    }
    return -1;
}

void releaseSlot(const std::string& path) {
    for (int i = 0; i < kTemporariesMax; ++i) {
        if (taken[i] && path == temporaries[i]) taken[i] = 0;
    }
}

std::string reason(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// Whether the regular file `path` is empty or begins with `signature`.
bool holdsOwnOutput(const std::string& path, std::string_view signature) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    std::string head(signature.size(), '\0');
    const std::size_t got = std::fread(&head[0], 1, head.size(), file);
    std::fclose(file);
    return got == 0 || (got == signature.size() && head == signature);
}

bool sameFile(const QeltFileInfo& a, const QeltFileInfo& b) {
    return a.kind != QeltFileMissing && b.kind != QeltFileMissing && a.device == b.device &&
           a.inode == b.inode;
}

}  // namespace

void removeTemporariesOnInterrupt() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    qelt_on_interrupt(removeTemporaries);
}

std::string targetClash(const std::vector<std::string>& inputs,
                        const std::vector<std::pair<std::string, std::string>>& targets) {
    // Only a regular file can be harmed: writing to a device one reads, or
    // twice to /dev/null, is no harm.
    std::vector<QeltFileInfo> seen;
    for (const auto& [option, target] : targets) {
        QeltFileInfo out{};
        if (target == "-" || qelt_file_info(target.c_str(), &out) != 0 ||
            out.kind != QeltFileRegular) {
            seen.push_back(QeltFileInfo{});
            continue;
        }
        for (const std::string& input : inputs) {
            QeltFileInfo in{};
            const int error =
                input == "-" ? qelt_stream_info(stdin, &in) : qelt_file_info(input.c_str(), &in);
            if (error == 0 && sameFile(in, out)) {
                const std::string shown = input == "-" ? "standard input" : input;
                return option + " " + target + " is the input " + shown +
                       ": it would be overwritten";
            }
        }
        for (std::size_t i = 0; i < seen.size(); ++i) {
            if (sameFile(seen[i], out)) {
                return targets[i].first + " " + targets[i].second + " and " + option + " " +
                       target + " are one file";
            }
        }
        seen.push_back(out);
    }
    return {};
}

OutputTarget::~OutputTarget() {
    discard();
}

bool OutputTarget::open(const std::string& option, const std::string& target,
                        std::string_view signature, std::string& error) {
    target_ = target;
    if (target == "-") {
        standardOutput_ = true;
        file_ = stdout;
        return true;
    }
    char final[kPathMax];
    int failed = qelt_final_path(target.c_str(), final, sizeof final);
    QeltFileInfo info{};
    if (failed == 0) failed = qelt_file_info(final, &info);
    if (failed != 0) {
        error = reason(target, failed);
        return false;
    }
    final_ = final;
    if (info.kind == QeltFileDirectory) {
        error = target + ": is a directory";
        return false;
    }
    if (info.kind == QeltFileDevice) {
        // As a shell redirection writes there.
        file_ = std::fopen(final_.c_str(), "wb");
        if (!file_) error = reason(target, errno);
        return file_ != nullptr;
    }
    if (info.kind == QeltFileRegular && !holdsOwnOutput(final_, signature)) {
        error = option + " " + target + ": the file holds something other than what " + option +
                " writes; not replaced (remove it, or name another file)";
        return false;
    }
    // A name beside the file that no other run picks; the file is created
    // only if nothing has that name, and known to the interrupt handler
    // from the moment it exists.
    static std::random_device device;
    for (int attempt = 0; attempt < 16 && !file_; ++attempt) {
        char tag[32];
        std::snprintf(tag, sizeof tag, ".%08x.tmp", static_cast<unsigned>(device()));
        const std::string name = final_ + tag;
        qelt_hold_interrupts(1);
        file_ = qelt_create_new(name.c_str(), info.kind == QeltFileRegular ? info.mode : 0);
        const int why = errno;
        if (file_ && takeSlot(name) < 0) {
            std::fclose(file_);
            file_ = nullptr;
            qelt_remove_now(name.c_str());
            qelt_hold_interrupts(0);
            error = reason(target, ENAMETOOLONG);
            return false;
        }
        qelt_hold_interrupts(0);
        if (file_) {
            temporary_ = name;
        } else if (why != EEXIST) {
            error = reason(target, why);
            return false;
        }
    }
    if (!file_) error = reason(target, EEXIST);
    return file_ != nullptr;
}

bool OutputTarget::commit(std::string& error) {
    if (!file_) return true;  // discarded: nothing to put in place
    if (standardOutput_) {
        file_ = nullptr;
        return true;  // standard output is checked once, at the end
    }
    const bool written = std::fflush(file_) == 0 && !std::ferror(file_);
    const int writeError = errno;
    const bool closed = std::fclose(file_) == 0;
    const int closeError = errno;
    file_ = nullptr;
    if (!written || !closed) {
        error = reason(target_, !written ? writeError : closeError);
        discard();
        return false;
    }
    if (temporary_.empty()) return true;
    const int failed = qelt_replace_file(temporary_.c_str(), final_.c_str());
    if (failed != 0) {
        error = reason(target_, failed);
        discard();
        return false;
    }
    releaseSlot(temporary_);
    temporary_.clear();
    return true;
}

void OutputTarget::discard() {
    if (file_ && !standardOutput_) std::fclose(file_);
    file_ = nullptr;
    if (!temporary_.empty()) {
        qelt_remove_now(temporary_.c_str());
        releaseSlot(temporary_);
    }
    temporary_.clear();
}

}  // namespace qelttrace
