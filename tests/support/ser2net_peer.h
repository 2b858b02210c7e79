#pragma once
// Debian's ser2net as a peer: an RFC 2217 (telnet(rfc2217)) or plain tcp accepter on a loopback
// address of its own, serving the slave of a pty pair whose master the test holds, as
// the serial line's far end (non-blocking). Tests skip themselves when it is not
// installed (bash scripts/deps.sh test).
#include "tests/support/client_process.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

class Ser2net {
  public:
    // Rfc2217: a telnet(rfc2217) accepter; RawTcp: a plain tcp one.
    enum class Accepter { Rfc2217, RawTcp };
    explicit Ser2net(Accepter accepter = Accepter::Rfc2217);
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    // Where Debian installs it; empty when it is not installed.
    static std::string path();

    // Whether it listens within the wait. Seen in the kernel's table of sockets, not by
    // connecting: ser2net serves one connection at a time, and a probe's would still be
    // winding down when the test connects.
    bool listening(int timeoutMs = 5000) const;
    // Ends ser2net (and the connection with it) and starts it again on the same address,
    // serving the same line.
    void restart();

    std::string url() const {
        return (accepter_ == Accepter::Rfc2217 ? "rfc2217://" : "socket://") + address_ + ":" +
               std::to_string(port_);
    }
    const std::string& address() const { return address_; }
    int port() const { return port_; }
    int line() const { return master_; }
    std::string log() const { return process_ ? process_->output() : std::string(); }

  private:
    void start();

    Accepter accepter_;
    std::string address_;
    int port_;
    int master_ = -1;
    std::filesystem::path folder_;
    std::unique_ptr<ClientProcess> process_;
};

// Every byte value, 0xFF and 0xF0 among them, four times over.
std::vector<uint8_t> everyByteFourTimes();
