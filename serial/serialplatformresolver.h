#ifndef MIREL_VARNO_SERIAL_SERIALPLATFORMRESOLVER_H
#define MIREL_VARNO_SERIAL_SERIALPLATFORMRESOLVER_H

// Host name lookup for network lines, off the caller's thread: the system
// resolver may take many seconds or never answer, while a line's waits are
// bounded by an exchange's limit and a stop. Internal to the library.

#include <sys/socket.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace mirel_varno {

struct NetworkAddress {
    sockaddr_storage address{};
    socklen_t size = 0;
};

// Fills `out` with the addresses of HOST:PORT (a stream socket each) and
// returns true, or returns false with the reason in `error`. May block.
using NameResolver = std::function<bool(const std::string& host, const std::string& port,
                                        std::vector<NetworkAddress>& out, std::string& error)>;

// Replaces the system's resolver (getaddrinfo) for every later lookup of a
// name that is not a numeric address; an empty one puts it back. For tests
// that need a resolver which is slow, wrong or silent. Safe from any thread.
void setNameResolver(NameResolver resolver);

// One lookup, run on a thread of its own. Whoever stops waiting for it
// simply lets go: the thread finishes on its own and frees what it used.
// Distinct objects: safe. Shared objects: done, descriptor and result are
// safe from any thread.
class NameLookup {
public:
    // A numeric address is converted at once; any other name is given to
    // the resolver on a new thread. Never null.
    static std::shared_ptr<NameLookup> start(const std::string& host, const std::string& port);

    ~NameLookup();
    NameLookup(const NameLookup&) = delete;
    NameLookup& operator=(const NameLookup&) = delete;

    // Readable once the lookup is done (for poll()).
    int descriptor() const { return done_; }
    bool finished() const;
    // The addresses, or false with the reason; only once finished.
    bool result(std::vector<NetworkAddress>& out, std::string& error) const;

private:
    NameLookup();
    void finish(bool ok, std::vector<NetworkAddress> addresses, std::string error);

    // An eventfd written once when the lookup ends.
    int done_;
    mutable std::mutex lock_;
    bool finished_ = false;
    bool ok_ = false;
    std::vector<NetworkAddress> addresses_;
    std::string error_;
};

}  // namespace mirel_varno

#endif
