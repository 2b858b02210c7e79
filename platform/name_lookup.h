#pragma once
// NameLookup: a host name resolved to its first IPv4 address (its first IPv6 one when it
// has none) away from the caller's thread. getaddrinfo blocks for as long as the name
// servers take (seconds when one does not answer), so the UI thread never calls it: a
// lookup runs on a resolver thread, and whoever started it is told when the answer is
// there.
//
// Resolver threads are made on demand, at most MAX_RESOLVER_THREADS at a time, and end
// when no lookup waits; a lookup beyond that many waits its turn. Nothing bounds a
// single lookup here: the caller's own wait does (the connect's 3000 ms), and it
// cancels the lookup when it gives up. A lookup that can be neither taken back nor
// cut short (getaddrinfo cannot be) keeps its thread until the name servers answer or
// the resolver's own time limits pass; its answer then goes nowhere.
//
// Threads: start and cancel from any thread; done runs on a resolver thread. Once
// cancel() has returned, done is neither running nor ever called.
#include "platform/thread_annotations.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <functional>
#include <memory>
#include <string>

namespace platform {

constexpr int MAX_RESOLVER_THREADS = 16;

class NameLookup {
  public:
    // Starts resolving name; done is called once, on a resolver thread, unless the
    // lookup is cancelled first. It must be short: it runs under the lookup's lock.
    static std::shared_ptr<NameLookup> start(const std::string& name, std::function<void()> done);

    // After done: whether the name was found, and its address with port (network
    // order).
    bool finished() const;
    bool found(sockaddr_storage* address, in_port_t port) const;
    void cancel();

    // Used by the resolver: the lookup itself, on a resolver thread.
    void run();
    bool cancelled() const;

  private:
    explicit NameLookup(std::string name) : name_(std::move(name)) {}

    const std::string name_;
    mutable Mutex mutex_;
    std::function<void()> done_ GUARDED_BY(mutex_);
    bool cancelled_ GUARDED_BY(mutex_) = false;
    bool finished_ GUARDED_BY(mutex_) = false;
    bool found_ GUARDED_BY(mutex_) = false;
    sockaddr_storage address_ GUARDED_BY(mutex_){};
};

} // namespace platform
