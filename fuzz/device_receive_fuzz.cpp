// What a device server sends on a new connection, in any pieces, through the manager's
// real receive side over loopback TCP: the identification (drain, IDENT, looking at the
// pending bytes for IDENT_REPLY, taking it) and then, once the port is Connected, the
// receive path (RemoReadData) into the inQueue, read by the driver's side of the ring
// as device frames. Checks:
// - the bytes sent before IDENT are drained, and IDENT goes out exactly;
// - every look for the reply agrees with the rule (the first F0 12 among the first
//   10240 pending bytes, complete with 18 bytes from it inside them), and MAXSPD and
//   INFO are taken from that reply;
// - the read that takes the reply consumes exactly the first 10240 pending bytes (or
//   all of them), and every byte after them that a reader of frames decides on
//   reaches the inQueue unchanged and in order, also when the inQueue is full for a
//   while (the rest waits in TCP and comes once the driver has made room): the frames
//   the driver takes are exactly the reference's frames of those bytes;
// - the inQueue always ends between frames: the beginning of a frame whose rest has
//   not come never reaches it, so a connection that ends there leaves nothing cut;
// - the receive path never stalls while the inQueue has room for what it must put in
//   next and bytes are pending; the driver's room signal (after it took bytes, when
//   the receive path has left its notice beside the queue) is enough to go on.
//
// Input: greeting length (0..255) and bytes, then pieces: a length (0..2047), whether
// the driver reads the inQueue after the piece, the piece's bytes.
#include "config/manager_context.h"
#include "config/port_state.h"
#include "config/port_table.h"
#include "device/device_socket.h"
#include "device/greeting.h"
#include "device/port_connection.h"
#include "device/wire_frames.h"
#include "fuzz/fuzz_support.h"
#include "platform/ui_thread.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <chrono>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace fuzz;

namespace {

constexpr int SLOT = 0;
constexpr int STALL_MS = 3000;
constexpr size_t PEEK_ALL = 1 << 17;

using Clock = std::chrono::steady_clock;

// The device's listening socket on loopback, for the whole run.
int listener = -1;
uint16_t listenerPort = 0;

void setUp() {
    static int argc = 1;
    static char name[] = "fuzz_device_receive";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    resetContext();
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof where;
    check(listener >= 0 && bind(listener, reinterpret_cast<sockaddr*>(&where), size) == 0 &&
              listen(listener, 4) == 0 &&
              getsockname(listener, reinterpret_cast<sockaddr*>(&where), &size) == 0,
          "no loopback listener");
    listenerPort = ntohs(where.sin_port);
}

bool waitUntil(const std::function<bool()>& done) {
    auto deadline = Clock::now() + std::chrono::milliseconds(STALL_MS);
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        pumpOrSleep();
    }
    return true;
}

void writeAll(int fd, const Bytes& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
        check(n > 0, "the device's write failed");
        at += size_t(n);
    }
}

// The reply as the rule finds it among the pending bytes.
struct ExpectedReply {
    bool complete = false;
    size_t offset = 0;
};
ExpectedReply expectedReply(const Bytes& pending) {
    size_t window = std::min(pending.size(), IDENT_SEARCH_LIMIT);
    for (size_t at = 0; at + 1 < window; ++at)
        if (pending[at] == 0xF0 && pending[at + 1] == 0x12)
            return {at + IDENT_REPLY_SIZE <= window, at};
    return {};
}

// One connection from accept to close: the device's side is plain POSIX, the manager's
// the port's real DeviceSocket on the UI thread (this thread).
class Session {
  public:
    Session() : ring_(0, true) {
        PortRecord& record = port(SLOT);
        forcePortState(record, PORT_CONNECTING);
        record.inQueue.store(ring_.get());
        socket_ = newConnection(SLOT);
        check(socket_ && socket_->Create(DEVICE_SOCKET_MASK), "no device socket");
        socket_->Connect("127.0.0.1", listenerPort);
        device_ = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        int on = 1;
        setsockopt(device_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        check(device_ >= 0 && waitUntil([this] { return socket_->connected.load() != 0; }),
              "the connection did not come up");
    }

    ~Session() {
        PortRecord& record = port(SLOT);
        record.relayActive.store(0);
        forcePortState(record, PORT_STOPPED);
        dropConnection(record);
        record.inQueue.store(nullptr);
        ::close(device_);
        while (platform::pumpOneMessage()) {
        }
    }

    // Bytes the device sent before it was asked: the drain must take them all.
    void greet(const Bytes& greeting) {
        writeAll(device_, greeting);
        check(waitUntil([&] { return pendingAtManager() == greeting.size(); }),
              "the greeting did not arrive");
        check(startGreeting(*socket_, port(SLOT), false) == GreetingOutcome::Answered,
              "IDENT not sent");
        check(pendingAtManager() == 0, "the drain left bytes of the greeting");
        auto ident = identFrame();
        Bytes got(ident.size());
        size_t at = 0;
        while (at < got.size()) {
            pollfd p{device_, POLLIN, 0};
            check(poll(&p, 1, STALL_MS) == 1, "IDENT did not arrive");
            ssize_t n = ::read(device_, got.data() + at, got.size() - at);
            check(n > 0, "IDENT did not arrive");
            at += size_t(n);
        }
        check(got == Bytes(ident.begin(), ident.end()), "IDENT is not F0 11 QUORVALINK E0");
    }

    // One piece from the device, then the manager's side does what its state says.
    void piece(const Bytes& bytes, bool driverReads) {
        writeAll(device_, bytes);
        sent_.insert(sent_.end(), bytes.begin(), bytes.end());
        if (!identified_) {
            lookForReply();
            return;
        }
        if (driverReads)
            driverTakes();
        settle();
    }

    // The driver reads until every decided byte sent after the reply has come through.
    void finish() {
        if (!identified_)
            return;
        while (intoRing() < decided()) {
            size_t before = takenFromRing_;
            driverTakes();
            check(takenFromRing_ > before, "the driver could take nothing from a full inQueue");
            settle();
        }
        driverTakes();
        Bytes stream(sent_.begin() + long(streamStart_), sent_.end());
        ReferenceReading reference = referencePackets(stream);
        check(taken_.size() == reference.packets.size(), "a frame the device sent was not taken");
        for (size_t i = 0; i < taken_.size(); ++i)
            if (taken_[i] != reference.packets[i].bytes)
                fail("frame " + std::to_string(i) + " reached the driver as " + hex(taken_[i]) +
                     ", sent as " + hex(reference.packets[i].bytes));
        check(ring_.content().empty(), "the inQueue holds bytes the driver left");
    }

  private:
    size_t pendingAtManager() {
        static Bytes peek(PEEK_ALL);
        int n = socket_->Receive(peek.data(), int(peek.size()), platform::AsyncSocket::MSG_PEEK);
        return n > 0 ? size_t(n) : 0;
    }

    void lookForReply() {
        // Nothing is consumed before the reply: what the device sent is all pending.
        size_t pending = sent_.size();
        check(waitUntil([&] { return pendingAtManager() == pending; }), "a piece did not arrive");
        const Bytes& pendingBytes = sent_;
        ExpectedReply expected = expectedReply(pendingBytes);
        PortRecord& record = port(SLOT);
        GreetingCheck got = checkAnswer(*socket_, record);
        check(got != GreetingCheck::Failed, "looking for the reply failed");
        check((got == GreetingCheck::Complete) == expected.complete,
              expected.complete ? "a complete reply was not seen" : "a reply was seen too early");
        if (!expected.complete)
            return;
        const uint8_t* reply = pendingBytes.data() + expected.offset;
        check(record.maxSpeed.load() == reply[12], "MAXSPD not taken from the reply");
        check(std::equal(reply + 13, reply + 17, record.deviceInfo),
              "INFO not taken from the reply");
        streamStart_ = std::min(pending, IDENT_SEARCH_LIMIT);
        identified_ = true;
        forcePortState(record, PORT_CONNECTED);
        record.relayActive.store(1);
        settle();
    }

    // Bytes the receive path has put into the ring so far.
    size_t intoRing() const { return takenFromRing_ + ring_.content().size(); }

    // Bytes of the stream after the reply that a reader of frames has decided on.
    size_t decided() {
        Bytes stream(sent_.begin() + long(streamStart_), sent_.end());
        continueReading(stream, reading_);
        return reading_.undecidedFrom;
    }

    // Pumps until the receive path has put every decided byte into the ring, or waits
    // for room the ring lacks for the beginning of a frame it holds (a frame less a byte
    // at most, and no more than it has not put in); anything else is a stall.
    void settle() {
        size_t expected = decided();
        auto held = [&] {
            return std::min(sent_.size() - streamStart_ - intoRing(), size_t(PACKET_BUFFER_SIZE));
        };
        bool settled = waitUntil([&] {
            return intoRing() == expected ||
                   (socket_->waitingForRoom() && size_t(ringFreeSpace(ring_.get())) <= held());
        });
        check(settled, "the receive path stalled with room in the inQueue");
        check(intoRing() <= expected, "undecided bytes reached the inQueue");
        check(ring_.indicesInRange(), "an inQueue index left 0..5119");
        Bytes content = ring_.content();
        check(referencePackets(content).undecidedFrom == content.size(),
              "the inQueue ends inside a frame");
    }

    // Takes every whole frame, and gives the room signal as the driver does: when it
    // took bytes and finds the receive path's notice that it waits for room.
    void driverTakes() {
        RingQueue* ring = ring_.get();
        size_t takenBefore = takenFromRing_;
        std::unique_ptr<uint8_t[]> packet(new uint8_t[PACKET_BUFFER_SIZE]);
        for (;;) {
            int32_t before = ring->readIndex;
            int got = takeDriverPacket(ring, packet.get());
            takenFromRing_ += size_t((ring->readIndex - before + RING_SIZE) % RING_SIZE);
            if (!got) {
                if (takenFromRing_ > takenBefore && ringTakeRoomWanted(ring))
                    inQueueHasRoom(SLOT);
                return;
            }
            size_t length = packetSize(packet.get());
            check(length > 0 && length <= PACKET_BUFFER_SIZE, "the driver took no packet it knows");
            taken_.emplace_back(packet.get(), packet.get() + length);
        }
    }

    GuardedRing ring_;
    DeviceSocket* socket_ = nullptr;
    int device_ = -1;
    Bytes sent_;             // every byte the device sent after IDENT
    size_t streamStart_ = 0; // of sent_: the first byte the receive path owns
    bool identified_ = false;
    size_t takenFromRing_ = 0;
    std::vector<Bytes> taken_;
    ReferenceReading reading_{{}, 0}; // of the stream after the reply
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputReader input(data, size);
    Session session;
    session.greet(input.bytes(input.number(0, 255)));
    while (input.remaining() > 0) {
        size_t length = input.number(0, 2047);
        bool driverReads = input.flag();
        session.piece(input.bytes(length), driverReads);
    }
    session.finish();
    return 0;
}
