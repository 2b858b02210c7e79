#include "platform/name_lookup.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cstring>
#include <deque>
#include <thread>

namespace platform {

namespace {

// The waiting lookups and the threads serving them. Never destroyed: a resolver thread
// still inside getaddrinfo when the process ends must not find it gone.
class Resolver {
  public:
    void add(std::shared_ptr<NameLookup> lookup) {
        MutexLock lock(mutex_);
        waiting_.push_back(std::move(lookup));
        // A thread that is not busy takes the next waiting lookup; more waiting than
        // such threads asks for one more thread.
        if (threads_ < MAX_RESOLVER_THREADS && threads_ - busy_ < int(waiting_.size())) {
            ++threads_;
            std::thread([this] { serve(); }).detach();
        }
    }

  private:
    void serve() {
        std::shared_ptr<NameLookup> lookup = next(false);
        while (lookup) {
            lookup->run();
            lookup = next(true);
        }
    }

    // The next lookup nobody has cancelled; null, and the thread ends, when none waits.
    std::shared_ptr<NameLookup> next(bool afterLookup) {
        MutexLock lock(mutex_);
        if (afterLookup)
            --busy_;
        while (!waiting_.empty()) {
            std::shared_ptr<NameLookup> lookup = std::move(waiting_.front());
            waiting_.pop_front();
            if (!lookup->cancelled()) {
                ++busy_;
                return lookup;
            }
        }
        --threads_;
        return nullptr;
    }

    Mutex mutex_;
    std::deque<std::shared_ptr<NameLookup>> waiting_ GUARDED_BY(mutex_);
    int threads_ GUARDED_BY(mutex_) = 0; // resolver threads alive
    int busy_ GUARDED_BY(mutex_) = 0;    // of them, inside a lookup
};

Resolver& resolver() {
    static Resolver* instance = new Resolver;
    return *instance;
}

// IPv4 first, as device servers' names always were; an IPv6-only name is reached too.
// Both are always asked for: restricted to the machine's own kinds of address, a machine
// with IPv4 on loopback only would no longer find names in /etc/hosts that it found
// before.
bool resolveName(const std::string& name, sockaddr_storage* address) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0 || !list)
        return false;
    const addrinfo* chosen = nullptr;
    for (int family : {AF_INET, AF_INET6})
        for (const addrinfo* entry = list; entry && !chosen; entry = entry->ai_next)
            if (entry->ai_family == family)
                chosen = entry;
    if (chosen)
        std::memcpy(address, chosen->ai_addr, chosen->ai_addrlen);
    freeaddrinfo(list);
    return chosen != nullptr;
}

} // namespace

std::shared_ptr<NameLookup> NameLookup::start(const std::string& name, std::function<void()> done) {
    std::shared_ptr<NameLookup> lookup(new NameLookup(name));
    {
        MutexLock lock(lookup->mutex_);
        lookup->done_ = std::move(done);
    }
    resolver().add(lookup);
    return lookup;
}

void NameLookup::run() {
    sockaddr_storage address{};
    bool found = resolveName(name_, &address);
    MutexLock lock(mutex_);
    finished_ = true;
    found_ = found;
    address_ = address;
    if (done_ && !cancelled_)
        done_();
}

bool NameLookup::finished() const {
    MutexLock lock(mutex_);
    return finished_;
}

bool NameLookup::found(sockaddr_storage* address, in_port_t port) const {
    MutexLock lock(mutex_);
    *address = address_;
    if (address->ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(address)->sin6_port = port;
    else
        reinterpret_cast<sockaddr_in*>(address)->sin_port = port;
    return finished_ && found_;
}

void NameLookup::cancel() {
    MutexLock lock(mutex_);
    cancelled_ = true;
    done_ = nullptr;
}

bool NameLookup::cancelled() const {
    MutexLock lock(mutex_);
    return cancelled_;
}

} // namespace platform
