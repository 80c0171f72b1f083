#include "support/files.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace qelttest {

namespace {

// "/tmp/PREFIX-XXXXXX" as mkstemp and mkdtemp take it, NUL included.
std::vector<char> pattern(const std::string& prefix) {
    const std::string text = "/tmp/" + prefix + "-XXXXXX";
    std::vector<char> name(text.begin(), text.end());
    name.push_back('\0');
    return name;
}

}  // namespace

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TempFile::TempFile(const std::string& prefix, const std::string& content) {
    std::vector<char> name = pattern(prefix);
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        error_ = std::string("mkstemp: ") + std::strerror(errno);
        return;
    }
    path_ = name.data();
    std::size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = std::string("write: ") + std::strerror(errno);
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    ::close(fd);
    ok_ = written == content.size();
}

TempFile::~TempFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
}

TempDir::TempDir(const std::string& prefix) {
    std::vector<char> name = pattern(prefix);
    if (::mkdtemp(name.data())) path_ = name.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

}  // namespace qelttest
