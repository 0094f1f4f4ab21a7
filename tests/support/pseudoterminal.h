#ifndef VARNO_TESTS_PSEUDOTERMINAL_H
#define VARNO_TESTS_PSEUDOTERMINAL_H

#include <cstdint>
#include <string>
#include <vector>

namespace varno_test {

// A pseudo-terminal pair for tests: the code under test opens the slave
// by path (or through a link in the current directory); the test plays the
// device on the master side.
class PseudoTerminal {
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    int master() const { return master_; }

    // Makes a symbolic link `name` to the slave (removed by the destructor).
    void linkAs(const std::string& name);

    void write(const std::vector<uint8_t>& bytes);
    // Collects what arrives on the master side until `count` bytes have
    // come or `timeoutMs` has passed.
    std::vector<uint8_t> read(size_t count, int timeoutMs);
    // Discards whatever is waiting on the master side.
    void drain();

private:
    int master_ = -1;
    int slaveKeeper_ = -1;  // keeps the slave side alive between opens
    std::string slavePath_;
    std::vector<std::string> links_;
};

}  // namespace varno_test

#endif
