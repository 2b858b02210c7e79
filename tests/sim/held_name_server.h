#pragma once
// HeldNameServer: host names that take as long to resolve as the test wants, through
// the real resolver. In a private mount namespace of the test process, /etc/resolv.conf
// is replaced by one that names this object as the only name server, on a loopback
// address of the test's own (UDP port 53). It receives the resolver's queries and
// answers each only when the test says so: an address, "no such name", or never.
// Nothing outside the test process sees the replaced file, and it is put back when the
// object goes.
//
// Making the namespace needs the right to (root, or CAP_SYS_ADMIN); problem() says
// why not when it cannot, and the test skips. The namespace is the creating thread's
// and that of the threads it makes afterwards, so the UI thread (which starts the
// resolver threads) creates it. Names are looked up as given; use names with a dot
// (no search list is tried).
#include <netinet/in.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

class HeldNameServer {
  public:
    HeldNameServer();
    // Answers "no such name" to every query still held, then restores resolv.conf.
    ~HeldNameServer();
    HeldNameServer(const HeldNameServer&) = delete;
    HeldNameServer& operator=(const HeldNameServer&) = delete;

    // Empty when usable.
    const std::string& problem() const { return problem_; }

    // Takes in the queries that have arrived (never waits); how many for name's IPv4
    // address are held (a lookup also asks for its IPv6 one beside it).
    int held(const std::string& name);
    bool holds(const std::string& name) { return held(name) > 0; }
    // Blocks up to timeoutMs of real time for a query for name (any thread but the
    // UI thread when the lookup needs the UI thread to start).
    bool waitForQuery(const std::string& name, int timeoutMs);
    // Answers every held query for name with the IPv4 address (and no IPv6 one), or
    // with "no such name".
    void answer(const std::string& name, const std::string& ipv4);
    void answerNoSuchName(const std::string& name);

  private:
    struct Query {
        std::string name;
        std::vector<uint8_t> packet; // header and question as received
        int type = 0;                // what it asks for: 1 an IPv4 address, 28 IPv6
        sockaddr_in from{};
    };

    void setUp();
    void takeArrived(int timeoutMs);
    void reply(const std::string& name, const std::string* ipv4);
    void sendReply(const Query& query, const std::string* ipv4);

    std::string problem_;
    std::string address_;
    std::string confPath_;
    int fd_ = -1;
    bool mounted_ = false;
    std::vector<Query> held_;
    std::map<std::string, std::optional<std::string>> answered_; // name: its IPv4, or none
};
