#include "support/process.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <csignal>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "support/childprocess.h"

namespace varno_test {

namespace {

// Closes a descriptor when it goes out of scope.
struct Descriptor {
    int fd;
    ~Descriptor()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
};

std::string readAll(int fd)
{
    std::string text;
    char buffer[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& directory,
                         int timeoutMs)
{
    const Descriptor input{open("/dev/null", O_RDONLY | O_CLOEXEC)};
    const Descriptor errors{memfd_create("stderr", MFD_CLOEXEC)};
    if (input.fd < 0 || errors.fd < 0) {
        throw std::runtime_error("cannot prepare the child's streams");
    }
    ChildProcess child;
    child.redirectStderr(errors.fd);
    if (!child.start(argv, directory, input.fd)) {
        throw std::runtime_error("cannot start " + argv.front());
    }
    ProcessResult result;
    result.out = child.readRest(timeoutMs);
    if (!child.wait(timeoutMs)) {
        result.timedOut = true;
        child.signal(SIGKILL);
        child.wait(5000);
    }
    result.exitCode = child.exitCode();
    result.err = readAll(errors.fd);
    return result;
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "varno-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& content) const
{
    const std::string path = file(name);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw std::runtime_error("cannot create " + path);
    }
    const bool written = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    close(fd);
    if (!written) {
        throw std::runtime_error("cannot write " + path);
    }
    return path;
}

}  // namespace varno_test
