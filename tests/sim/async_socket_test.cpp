#include "platform/async_socket.h"

#include "tests/sim/held_name_server.h"
#include "tests/sim/loopback.h"
#include "tests/support/loopback_address.h"
#include "tests/support/pump.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

using platform::AsyncSocket;

namespace {

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "async_socket_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

class RecordingSocket : public AsyncSocket {
  public:
    std::vector<int> connects;
    std::vector<int> closes;
    int receives = 0;
    int sends = 0;
    std::function<void()> onReceive;
    std::function<void()> onConnect;

  protected:
    void OnConnect(int errorCode) override {
        connects.push_back(errorCode);
        if (onConnect)
            onConnect();
    }
    void OnReceive(int) override {
        ++receives;
        if (onReceive)
            onReceive();
    }
    void OnSend(int) override { ++sends; }
    void OnClose(int errorCode) override { closes.push_back(errorCode); }
};

void pumpTurns(int turns) {
    for (int i = 0; i < turns; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

class AsyncSocketTest : public ::testing::Test {
  protected:
    void SetUp() override { application(); }

    // A socket connected to listener, with the server side accepted into peer.
    void connectTo(RecordingSocket& socket, LoopbackListener& listener, long mask = 63) {
        ASSERT_TRUE(socket.Create(mask));
        bool atOnce = socket.Connect(listener.address(), listener.port());
        if (!atOnce) {
            ASSERT_EQ(socket.GetLastError(), AsyncSocket::WSAEWOULDBLOCK);
        }
        peer = listener.acceptOne();
        ASSERT_GE(peer.fd, 0);
        ASSERT_TRUE(pumpUntil([&] { return !socket.connects.empty(); }));
    }

    PeerSocket peer;
};

} // namespace

TEST_F(AsyncSocketTest, ConnectToListenerReportsOnConnectZeroThenOnSendOnce) {
    LoopbackListener listener(allocateLoopbackAddress(), 4001);
    RecordingSocket socket;
    connectTo(socket, listener);
    EXPECT_EQ(socket.connects, std::vector<int>{0});
    pumpTurns(50);
    EXPECT_EQ(socket.sends, 1);
    EXPECT_EQ(socket.Send("HELLO", 5), 5);
    EXPECT_EQ(peer.readExactly(5), bytesOf("HELLO"));
}

TEST_F(AsyncSocketTest, MaskWithoutWriteGivesNoOnSend) {
    LoopbackListener listener(allocateLoopbackAddress(), 4001);
    RecordingSocket socket;
    connectTo(socket, listener,
              AsyncSocket::FD_READ | AsyncSocket::FD_CONNECT | AsyncSocket::FD_CLOSE);
    pumpTurns(50);
    EXPECT_EQ(socket.connects, std::vector<int>{0});
    EXPECT_EQ(socket.sends, 0);
}

TEST_F(AsyncSocketTest, ConnectToClosedPortReportsRefusalThroughOnConnect) {
    RecordingSocket socket;
    ASSERT_TRUE(socket.Create());
    EXPECT_FALSE(socket.Connect(allocateLoopbackAddress().c_str(), 4001));
    EXPECT_EQ(socket.GetLastError(), AsyncSocket::WSAEWOULDBLOCK);
    ASSERT_TRUE(pumpUntil([&] { return !socket.connects.empty(); }));
    EXPECT_EQ(socket.connects, std::vector<int>{AsyncSocket::WSAECONNREFUSED});
    pumpTurns(50);
    EXPECT_EQ(socket.connects.size(), 1u);
    EXPECT_TRUE(socket.closes.empty());
    EXPECT_EQ(socket.receives, 0);
}

TEST_F(AsyncSocketTest, HostNameIsResolvedOffTheCallersThread) {
    // Fixed on purpose: "localhost" is 127.0.0.1.
    LoopbackListener listener("127.0.0.1", 4063);
    RecordingSocket socket;
    ASSERT_TRUE(socket.Create());
    EXPECT_FALSE(socket.Connect("localhost", 4063));
    EXPECT_EQ(socket.GetLastError(), AsyncSocket::WSAEWOULDBLOCK);
    ASSERT_TRUE(pumpUntil([&] { return !socket.connects.empty(); }));
    EXPECT_EQ(socket.connects, std::vector<int>{0});
    EXPECT_GE(listener.acceptOne().fd, 0);
}

// The probe's case: a name whose name server does not answer. The lookup runs beside
// the UI thread, which keeps delivering other sockets' notifications; the answer, when
// it comes, is dialled; "no such name" comes through OnConnect.
class SlowNameTest : public AsyncSocketTest {
  protected:
    void SetUp() override {
        AsyncSocketTest::SetUp();
        if (!names.problem().empty())
            GTEST_SKIP() << names.problem();
    }
    HeldNameServer names;
};

constexpr const char* SLOW_NAME = "device.slow-names.test";

TEST_F(SlowNameTest, OtherSocketsKeepTheirNotificationsWhileANameResolves) {
    LoopbackListener listener(allocateLoopbackAddress(), 4001);
    RecordingSocket flowing;
    connectTo(flowing, listener);
    RecordingSocket named;
    ASSERT_TRUE(named.Create());
    EXPECT_FALSE(named.Connect(SLOW_NAME, 4001));
    EXPECT_EQ(named.GetLastError(), AsyncSocket::WSAEWOULDBLOCK);
    ASSERT_TRUE(pumpUntil([&] { return names.holds(SLOW_NAME); }));

    for (int round = 1; round <= 3; ++round) {
        peer.write(bytesOf("PING"));
        ASSERT_TRUE(pumpUntil([&] { return flowing.receives == round; }));
        char buffer[8];
        EXPECT_EQ(flowing.Receive(buffer, sizeof buffer), 4);
    }
    EXPECT_TRUE(named.connects.empty());

    names.answer(SLOW_NAME, listener.address());
    ASSERT_TRUE(pumpUntil([&] { return !named.connects.empty(); }));
    EXPECT_EQ(named.connects, std::vector<int>{0});
    EXPECT_GE(listener.acceptOne().fd, 0);
}

TEST_F(SlowNameTest, NameThatDoesNotResolveComesThroughOnConnect) {
    RecordingSocket socket;
    ASSERT_TRUE(socket.Create());
    EXPECT_FALSE(socket.Connect(SLOW_NAME, 4001));
    ASSERT_TRUE(pumpUntil([&] { return names.holds(SLOW_NAME); }));
    names.answerNoSuchName(SLOW_NAME);
    ASSERT_TRUE(pumpUntil([&] { return !socket.connects.empty(); }));
    pumpTurns(50);
    EXPECT_EQ(socket.connects, std::vector<int>{AsyncSocket::WSAHOST_NOT_FOUND});
    EXPECT_TRUE(socket.closes.empty());
    EXPECT_EQ(socket.sends, 0);
}

// A socket closed or destroyed while its name resolves never hears of the answer, and
// nothing is dialled for it; the same object connected again hears only its own connect.
TEST_F(SlowNameTest, AnswerForAClosedOrDestroyedSocketGoesNowhere) {
    LoopbackListener listener(allocateLoopbackAddress(), 4001);
    auto destroyed = std::make_unique<RecordingSocket>();
    RecordingSocket reused;
    for (RecordingSocket* socket : {destroyed.get(), &reused}) {
        ASSERT_TRUE(socket->Create());
        EXPECT_FALSE(socket->Connect(SLOW_NAME, 4001));
    }
    ASSERT_TRUE(pumpUntil([&] { return names.held(SLOW_NAME) == 2; }));
    destroyed.reset();
    reused.Close();
    connectTo(reused, listener); // by address, accepted into peer

    names.answer(SLOW_NAME, listener.address());
    pumpFor(300);
    EXPECT_EQ(reused.connects, std::vector<int>{0});
    EXPECT_LT(listener.acceptOne(300).fd, 0) << "the answer was dialled";
}

TEST_F(AsyncSocketTest, PeekLeavesBytesAndReceiveConsumesThem) {
    LoopbackListener listener(allocateLoopbackAddress(), 4001);
    RecordingSocket socket;
    connectTo(socket, listener);
    char buffer[16];
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer, AsyncSocket::MSG_PEEK),
              AsyncSocket::SOCKET_ERROR);
    EXPECT_EQ(socket.GetLastError(), AsyncSocket::WSAEWOULDBLOCK);

    peer.write(bytesOf("ABCDE"));
    ASSERT_TRUE(pumpUntil([&] { return socket.receives > 0; }));
    for (int look = 0; look < 2; ++look) {
        ASSERT_EQ(socket.Receive(buffer, sizeof buffer, AsyncSocket::MSG_PEEK), 5);
        EXPECT_EQ(std::string(buffer, 5), "ABCDE");
    }
    ASSERT_EQ(socket.Receive(buffer, 3), 3);
    EXPECT_EQ(std::string(buffer, 3), "ABC");
    ASSERT_EQ(socket.Receive(buffer, sizeof buffer), 2);
    EXPECT_EQ(std::string(buffer, 2), "DE");
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), AsyncSocket::SOCKET_ERROR);
    EXPECT_EQ(socket.GetLastError(), AsyncSocket::WSAEWOULDBLOCK);
}

TEST_F(AsyncSocketTest, UnreadBytesNotifyOnceUntilReceiveIsCalled) {
    LoopbackListener listener(allocateLoopbackAddress(), 4001);
    RecordingSocket socket;
    connectTo(socket, listener);
    peer.write(bytesOf("PENDING"));
    ASSERT_TRUE(pumpUntil([&] { return socket.receives == 1; }));
    pumpTurns(500);
    EXPECT_EQ(socket.receives, 1);

    char buffer[4];
    ASSERT_EQ(socket.Receive(buffer, sizeof buffer, AsyncSocket::MSG_PEEK), 4);
    ASSERT_TRUE(pumpUntil([&] { return socket.receives == 2; }));
    pumpTurns(500);
    EXPECT_EQ(socket.receives, 2);
}

// A wait for bytes to complete looks again and again: the bytes it has seen must not
// wake it at every turn. The next consuming read asks for notifications again.
TEST_F(AsyncSocketTest, PeekAsksForNoFurtherNotification) {
    LoopbackListener listener(allocateLoopbackAddress(), 4001);
    RecordingSocket socket;
    connectTo(socket, listener);
    peer.write(bytesOf("HALF"));
    ASSERT_TRUE(pumpUntil([&] { return socket.receives == 1; }));
    char buffer[16];
    for (int look = 0; look < 50; ++look) {
        ASSERT_EQ(socket.Peek(buffer, sizeof buffer), 4);
        pumpTurns(5);
    }
    EXPECT_EQ(socket.receives, 1);

    ASSERT_EQ(socket.Receive(buffer, sizeof buffer), 4);
    peer.write(bytesOf("MORE"));
    ASSERT_TRUE(pumpUntil([&] { return socket.receives == 2; }));
    EXPECT_EQ(socket.Peek(buffer, sizeof buffer), 4);
}

TEST_F(AsyncSocketTest, PartialReadsNotifyAgainUntilDrained) {
    LoopbackListener listener(allocateLoopbackAddress(), 4001);
    RecordingSocket socket;
    connectTo(socket, listener);
    std::string received;
    socket.onReceive = [&] {
        char buffer[3];
        int count = socket.Receive(buffer, sizeof buffer);
        if (count > 0)
            received.append(buffer, count);
    };
    peer.write(bytesOf("0123456789"));
    ASSERT_TRUE(pumpUntil([&] { return received.size() == 10; }));
    EXPECT_EQ(received, "0123456789");
    pumpTurns(100);
    EXPECT_EQ(socket.receives, 4);
}

TEST_F(AsyncSocketTest, PeerCloseComesAfterTheDataAndOnlyOnce) {
    LoopbackListener listener(allocateLoopbackAddress(), 4001);
    RecordingSocket socket;
    connectTo(socket, listener);
    std::string received;
    socket.onReceive = [&] {
        char buffer[64];
        int count = socket.Receive(buffer, sizeof buffer);
        if (count > 0)
            received.append(buffer, count);
    };
    peer.write(bytesOf("LAST WORDS"));
    peer.close();
    ASSERT_TRUE(pumpUntil([&] { return !socket.closes.empty(); }));
    EXPECT_EQ(received, "LAST WORDS");
    pumpTurns(100);
    EXPECT_EQ(socket.closes, std::vector<int>{0});
    char buffer[4];
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), 0);
}

TEST_F(AsyncSocketTest, PeerResetReportsConnectionReset) {
    LoopbackListener listener(allocateLoopbackAddress(), 4001);
    RecordingSocket socket;
    connectTo(socket, listener);
    peer.reset();
    ASSERT_TRUE(pumpUntil([&] { return !socket.closes.empty(); }));
    EXPECT_EQ(socket.closes, std::vector<int>{AsyncSocket::WSAECONNRESET});
}

TEST_F(AsyncSocketTest, FullSendBufferGivesWouldBlockThenOnSend) {
    LoopbackListener listener(allocateLoopbackAddress(), 4001);
    RecordingSocket socket;
    connectTo(socket, listener);
    pumpTurns(20);
    int sendsBefore = socket.sends;
    std::vector<char> block(65536, 'x');
    int result = 0;
    for (int i = 0; i < 1000 && result >= 0; ++i)
        result = socket.Send(block.data(), static_cast<int>(block.size()));
    ASSERT_EQ(result, AsyncSocket::SOCKET_ERROR);
    EXPECT_EQ(socket.GetLastError(), AsyncSocket::WSAEWOULDBLOCK);
    pumpTurns(50);
    EXPECT_EQ(socket.sends, sendsBefore);
    peer.drain();
    ASSERT_TRUE(pumpUntil([&] { return socket.sends > sendsBefore; }));
}

TEST_F(AsyncSocketTest, CloseInsideOnConnectStopsFurtherNotifications) {
    LoopbackListener listener(allocateLoopbackAddress(), 4001);
    RecordingSocket socket;
    socket.onConnect = [&] { socket.Close(); };
    connectTo(socket, listener);
    peer.write(bytesOf("IGNORED"));
    peer.close();
    pumpTurns(100);
    EXPECT_EQ(socket.sends, 0);
    EXPECT_EQ(socket.receives, 0);
    EXPECT_TRUE(socket.closes.empty());
    EXPECT_FALSE(socket.isOpen());
}

TEST_F(AsyncSocketTest, SendAfterCloseNeverReachesAReusedDescriptor) {
    LoopbackListener listener(allocateLoopbackAddress(), 4001);
    RecordingSocket socket;
    connectTo(socket, listener);
    socket.Close();
    int pipeEnds[2];
    ASSERT_EQ(pipe2(pipeEnds, O_NONBLOCK), 0);
    EXPECT_EQ(socket.Send("STRAY", 5), AsyncSocket::SOCKET_ERROR);
    EXPECT_EQ(socket.GetLastError(), AsyncSocket::WSAENOTSOCK);
    char buffer[8];
    EXPECT_EQ(read(pipeEnds[0], buffer, sizeof buffer), -1);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
}

// The relay thread sends while the UI thread closes; the sanitizer build shows
// whether the descriptor is shared safely.
TEST_F(AsyncSocketTest, SendFromAnotherThreadWhileUiThreadCloses) {
    LoopbackListener listener(allocateLoopbackAddress(), 4001);
    RecordingSocket socket;
    connectTo(socket, listener);
    std::atomic<int> accepted{0};
    std::atomic<bool> sawClosed{false};
    std::thread relay([&] {
        while (!sawClosed) {
            int count = socket.Send("0123456789", 10);
            if (count > 0)
                accepted += count;
            else if (socket.GetLastError() == AsyncSocket::WSAENOTSOCK)
                sawClosed = true;
        }
    });
    bool sending = pumpUntil([&] { return accepted.load() >= 1000; });
    socket.Close();
    relay.join();
    EXPECT_TRUE(sending);
    std::vector<uint8_t> arrived = peer.readUntilClosed();
    EXPECT_EQ(arrived.size(), static_cast<size_t>(accepted.load()));
}

TEST_F(AsyncSocketTest, CreateAgainAfterCloseConnectsAfresh) {
    LoopbackListener listener(allocateLoopbackAddress(), 4001);
    RecordingSocket socket;
    connectTo(socket, listener);
    socket.Close();
    socket.connects.clear();
    connectTo(socket, listener);
    EXPECT_EQ(socket.connects, std::vector<int>{0});
    EXPECT_EQ(socket.Send("AGAIN", 5), 5);
    EXPECT_EQ(peer.readExactly(5), bytesOf("AGAIN"));
}
