// Any bytes sent on the single-instance socket of a whole manager, as a later start of
// the program (or any process of the user) could send them; COM1 and COM7 are Ready on
// a device simulator, COM99 Ready on an address nobody answers. Checks:
// - the server answers at most one line, "ok", "error" or a decimal result, and then
//   closes the connection; it stays up for the next client;
// - the handler sees at most one line per connection: no line break in it, no blanks
//   around it, at most 256 bytes, taken from the front of what was sent;
// - "show" is answered "ok"; a line that is not "show" and not a "message" request is
//   answered "error"; only a well-formed "message 1030 <COM number> <open>" reaches the
//   manager's message table, and then it changes no port but the one it names
//   (its COM number as written, in decimal);
// - no message box is shown.
//
// Input: the bytes the client writes.
#include "app/instance_requests.h"
#include "app/main_dialog.h"
#include "fuzz/manager_fuzz_harness.h"
#include "platform/single_instance.h"
#include "platform/ui_thread.h"
#include "tests/app/window_harness.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace fuzz;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int ANSWER_WAIT_MS = 20000;
// A client without a whole line leaves once the server has had this many idle turns
// after its last byte: the server reads on this thread, so it has seen everything.
constexpr int IDLE_TURNS = 5;

std::unique_ptr<platform::SingleInstance> instance;
std::string runtimeFolder;
std::vector<std::string> handled;                  // lines the handler was given
std::vector<std::pair<uintptr_t, intptr_t>> win16; // WM_WIN16_PORT reaching the table

std::unique_ptr<WindowHarness> window;

void setUp() {
    // The window comes before the manager and goes after it, as in the program (atexit
    // runs the later first).
    window = std::make_unique<WindowHarness>();
    std::atexit([] { window.reset(); });
    setUpManager(true);
    window->install();
    char name[] = "/tmp/fuzz-instance-XXXXXX";
    check(mkdtemp(name) != nullptr, "no runtime folder");
    runtimeFolder = name;
    setenv("XDG_RUNTIME_DIR", runtimeFolder.c_str(), 1);
    instance = std::make_unique<platform::SingleInstance>("fuzz-travenor");
    check(instance->acquire(), "the instance lock was not taken");
    MainDialog* dialog = &window->dialog();
    check(instance->listen([dialog](const std::string& line) {
        handled.push_back(line);
        return answerInstanceRequest(*dialog, line);
    }),
          "the instance socket does not listen");
    platform::setMessageHandler([dialog](uint32_t message, uintptr_t wParam, intptr_t lParam) {
        if (message == platform::WM_WIN16_PORT)
            win16.emplace_back(wParam, lParam);
        return dialog->onMessage(message, wParam, lParam);
    });
    beforeManagerEnds([] {
        instance.reset();
        std::filesystem::remove_all(runtimeFolder);
    });
}

int connectClient() {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = instance->socketPath();
    check(path.size() < sizeof address.sun_path, "socket path too long");
    std::copy(path.begin(), path.end(), address.sun_path);
    check(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0,
          "the instance socket refused the client");
    return fd;
}

// Writes everything (pumping, as the server reads on this thread), then reads until the
// server closes; when what was sent holds no whole line the server waits for more, so
// the client leaves once the server is idle.
std::string talkToServer(const Bytes& bytes, bool lineSent) {
    int fd = connectClient();
    size_t written = 0;
    std::string received;
    auto start = Clock::now();
    int idleTurns = 0;
    for (;;) {
        if (written < bytes.size()) {
            ssize_t n = ::send(fd, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
            if (n > 0)
                written += size_t(n);
            else if (n < 0 && errno != EAGAIN)
                written = bytes.size(); // the server cut the client off
        }
        char buffer[512];
        ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN))
            break;
        if (got > 0)
            received.append(buffer, size_t(got));
        int waited = int(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        check(waited < ANSWER_WAIT_MS, "the server neither answered nor closed");
        bool busy = platform::pumpOneMessage();
        idleTurns = busy || written < bytes.size() ? 0 : idleTurns + 1;
        if (!lineSent && idleTurns >= IDLE_TURNS)
            break;
    }
    ::close(fd);
    for (int turn = 0; turn < 50; ++turn)
        platform::pumpOneMessage();
    return received;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string trimmed(const std::string& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && isBlank(text[first]))
        ++first;
    while (last > first && isBlank(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> found;
    std::string word;
    for (char c : line + " ") {
        if (isBlank(c)) {
            if (!word.empty())
                found.push_back(word);
            word.clear();
        } else {
            word.push_back(c);
        }
    }
    return found;
}

// The decimal digits of a number as written, without sign or leading zeros; "" when
// it is not a plain decimal number.
std::string decimal(const std::string& word) {
    size_t at = word.size() > 0 && word[0] == '+' ? 1 : 0;
    if (at == word.size())
        return "";
    for (size_t i = at; i < word.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(word[i])))
            return "";
    while (at + 1 < word.size() && word[at] == '0')
        ++at;
    return word.substr(at);
}

void checkLine(const std::string& line, const Bytes& sent) {
    check(line.size() <= 256, "the handler got a line over 256 bytes");
    check(line.find('\n') == std::string::npos, "the handler got a line break");
    check(line == trimmed(line), "the handler got blanks around the line");
    std::string text(sent.begin(), sent.end());
    check(text.find(line) != std::string::npos && text.find(line) <= 256,
          "the handler got a line that was not sent");
}

void checkAnswer(const std::string& line, const std::string& answer) {
    std::string reply = answer.substr(0, answer.size() - 1);
    check(answer.back() == '\n' && reply.find('\n') == std::string::npos,
          "the answer is not one line");
    bool number = !reply.empty() && decimal(reply.front() == '-' ? reply.substr(1) : reply) != "";
    check(reply == "ok" || reply == "error" || number, "the answer is none of ok, error, a number");
    if (line == "show")
        check(reply == "ok", "show was not answered ok");
    else if (words(line).empty() || words(line)[0] != "message")
        check(reply == "error", "a line that is no request was not answered error");
    else if (words(line).size() > 1 && decimal(words(line)[1]) != "1030")
        check(reply == "error" && win16.empty(), "a message other than 1030 was let through");
    if (!win16.empty())
        check(number, "the 16-bit request's result is not a number");
}

// Only the port the request names (by its COM number as written) may change.
void checkPorts(const std::string& line, const std::vector<PortPicture>& before) {
    std::vector<PortPicture> after = portPictures();
    std::vector<std::string> parts = words(line);
    std::string named = parts.size() > 2 && !win16.empty() ? "COM" + decimal(parts[2]) : "";
    for (size_t i = 0; i < after.size(); ++i)
        if (!(after[i] == before[i]) && named != FUZZ_PORTS[i].name)
            fail(std::string(FUZZ_PORTS[i].name) + " changed (" + describe(before[i]) + " -> " +
                 describe(after[i]) + ") for the line '" + line + "'");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes sent(data, data + size);
    handled.clear();
    win16.clear();
    std::vector<PortPicture> before = portPictures();
    bool lineSent = std::find(sent.begin(), sent.end(), '\n') != sent.end() || size > 256;
    std::string answer = talkToServer(sent, lineSent);
    check(handled.size() <= 1, "one connection reached the handler twice");
    check(win16.size() <= 1, "one request reached the message table twice");
    if (handled.empty()) {
        check(answer.empty(), "an answer without a request");
        check(win16.empty(), "a message without a request");
        return 0;
    }
    checkLine(handled[0], sent);
    if (!answer.empty())
        checkAnswer(handled[0], answer);
    checkPorts(handled[0], before);
    return 0;
}
