#ifndef VARNO_TESTS_PROCESS_H
#define VARNO_TESTS_PROCESS_H

#include <string>
#include <vector>

namespace varno_test {

struct ProcessResult {
    int exitCode = -1;      // the exit status, or 128 + signal number
    bool timedOut = false;  // killed after the time limit
    std::string out;        // standard output
    std::string err;        // standard error
};

// Runs a program to its end in `directory` (empty: the current one) with
// standard input from /dev/null, collecting its output. Killed after
// timeoutMs.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& directory,
                         int timeoutMs);

// A fresh empty directory under the system's temporary folder, removed
// with its contents by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes a file in the directory and returns its path.
    std::string write(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

}  // namespace varno_test

#endif
