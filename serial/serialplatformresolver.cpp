#include "serial/serialplatformresolver.h"

#include <netdb.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>

namespace mirel_varno {

namespace {

std::mutex installedLock;

NameResolver& installed()
{
    static NameResolver resolver;
    return resolver;
}

bool fromAddrinfo(const std::string& host, const std::string& port, int flags,
                  std::vector<NetworkAddress>& out, std::string& error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (resolved != 0) {
        error = resolved == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(resolved);
        return false;
    }
    out.clear();
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage)) {
            continue;
        }
        NetworkAddress address;
        std::memcpy(&address.address, a->ai_addr, a->ai_addrlen);
        address.size = a->ai_addrlen;
        out.push_back(address);
    }
    freeaddrinfo(found);
    if (out.empty()) {
        error = "no address";
        return false;
    }
    return true;
}

bool systemResolver(const std::string& host, const std::string& port,
                    std::vector<NetworkAddress>& out, std::string& error)
{
    return fromAddrinfo(host, port, 0, out, error);
}

}  // namespace

void setNameResolver(NameResolver resolver)
{
    const std::lock_guard<std::mutex> hold(installedLock);
    installed() = std::move(resolver);
}

NameLookup::NameLookup() : done_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

NameLookup::~NameLookup()
{
    if (done_ >= 0) {
        ::close(done_);
    }
}

std::shared_ptr<NameLookup> NameLookup::start(const std::string& host, const std::string& port)
{
    std::shared_ptr<NameLookup> lookup(new NameLookup());
    std::vector<NetworkAddress> addresses;
    std::string error;
    // An address needs no resolver and cannot keep anyone waiting.
    if (fromAddrinfo(host, port, AI_NUMERICHOST, addresses, error)) {
        lookup->finish(true, std::move(addresses), std::string());
        return lookup;
    }
    NameResolver resolver;
    {
        const std::lock_guard<std::mutex> hold(installedLock);
        resolver = installed();
    }
    if (!resolver) {
        resolver = systemResolver;
    }
    try {
        // The thread holds the lookup, not its waiter: a waiter that gave up
        // may be gone long before a slow resolver answers.
        std::thread([lookup, resolver, host, port] {
            std::vector<NetworkAddress> found;
            std::string why;
            bool ok = false;
            try {
                ok = resolver(host, port, found, why);
            } catch (const std::exception& e) {
                why = e.what();
            }
            lookup->finish(ok, std::move(found), std::move(why));
        }).detach();
    } catch (const std::system_error& e) {
        lookup->finish(false, {}, std::string("cannot start the lookup: ") + e.what());
    }
    return lookup;
}

void NameLookup::finish(bool ok, std::vector<NetworkAddress> addresses, std::string error)
{
    {
        const std::lock_guard<std::mutex> hold(lock_);
        ok_ = ok;
        addresses_ = std::move(addresses);
        error_ = std::move(error);
        finished_ = true;
    }
    if (done_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(done_, &one, sizeof one);
    }
}

bool NameLookup::finished() const
{
    const std::lock_guard<std::mutex> hold(lock_);
    return finished_;
}

bool NameLookup::result(std::vector<NetworkAddress>& out, std::string& error) const
{
    const std::lock_guard<std::mutex> hold(lock_);
    if (!finished_) {
        error = "the lookup has not ended";
        return false;
    }
    if (!ok_) {
        error = error_;
        return false;
    }
    out = addresses_;
    return true;
}

}  // namespace mirel_varno
