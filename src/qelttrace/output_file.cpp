#include "output_file.h"

#include <cerrno>
#include <cstring>
#include <random>

namespace qelttrace {

namespace {

// A name beside the target that no other run picks: the target's name, a
// random tag and ".tmp".
std::string temporaryName(const std::string& target, unsigned attempt) {
    static std::random_device device;
    char tag[32];
    std::snprintf(tag, sizeof tag, ".%08x%u.tmp", static_cast<unsigned>(device()), attempt);
    return target + tag;
}

}  // namespace

OutputFile::~OutputFile() {
    discard();
}

bool OutputFile::open(const std::string& target, std::string& error) {
    target_ = target;
    if (target == "-") {
        isStdout_ = true;
        file_ = stdout;
        return true;
    }
    temporary_ = temporaryName(target, 0);
    file_ = std::fopen(temporary_.c_str(), "wb");
    if (file_) return true;
    error = target + ": " + std::strerror(errno);
    temporary_.clear();
    return false;
}

bool OutputFile::commit(std::string& error) {
    if (!file_) return false;
    if (isStdout_) {
        file_ = nullptr;
        return true;
    }
    const bool written = std::fflush(file_) == 0 && !std::ferror(file_);
    const int writeError = errno;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!written || !closed) {
        error = target_ + ": " + std::strerror(written ? errno : writeError);
        discard();
        return false;
    }
    // Windows' rename does not replace an existing file: remove it then.
    bool renamed = std::rename(temporary_.c_str(), target_.c_str()) == 0;
    if (!renamed && std::remove(target_.c_str()) == 0) {
        renamed = std::rename(temporary_.c_str(), target_.c_str()) == 0;
    }
    if (!renamed) {
        error = target_ + ": " + std::strerror(errno);
        discard();
        return false;
    }
    temporary_.clear();
    return true;
}

void OutputFile::discard() {
    if (file_ && !isStdout_) std::fclose(file_);
    file_ = nullptr;
    if (!temporary_.empty()) std::remove(temporary_.c_str());
    temporary_.clear();
}

}  // namespace qelttrace
