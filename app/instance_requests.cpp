#include "app/instance_requests.h"

#include "app/main_dialog.h"
#include "platform/ui_thread.h"

#include <QApplication>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <type_traits>

namespace {

std::string showWindow(MainDialog& dialog) {
    dialog.showNormal();
    dialog.raise();
    dialog.activateWindow();
    // A box or dialog the window owns comes forward with it.
    if (QWidget* popup = QApplication::activeModalWidget(); popup && popup != &dialog) {
        popup->raise();
        popup->activateWindow();
    }
    return "ok";
}

// A whole word that is a decimal number, with an optional '+' (and '-' where signed
// is true). A stream read would stop at the first character that is no digit and
// take the rest as the next number ("1030+1"), and would wrap a negative number into
// an unsigned one.
template <typename Number> bool decimalWord(const std::string& word, Number& value) {
    const char* first = word.data();
    const char* last = word.data() + word.size();
    if (first != last && *first == '+')
        ++first;
    if (first == last || (std::is_unsigned_v<Number> && *first == '-'))
        return false;
    auto [end, error] = std::from_chars(first, last, value);
    return error == std::errc() && end == last;
}

// Only the 16-bit port request may come from outside the process.
std::string forwardMessage(const std::string& request) {
    std::istringstream in(request);
    std::string word, messageWord, wParamWord, lParamWord;
    unsigned long message = 0;
    unsigned long long wParam = 0;
    long long lParam = 0;
    if (!(in >> word >> messageWord >> wParamWord >> lParamWord) || !(in >> std::ws).eof())
        return "error";
    if (!decimalWord(messageWord, message) || !decimalWord(wParamWord, wParam) ||
        !decimalWord(lParamWord, lParam))
        return "error";
    // The COM number travels as a 32-bit WPARAM: a larger number names no port, and
    // cut to 32 bits it would name another one (4294967297 is COM1).
    if (wParam > UINT32_MAX)
        return "error";
    if (message != platform::WM_WIN16_PORT)
        return "error";
    return std::to_string(
        platform::sendMessage(uint32_t(message), uintptr_t(wParam), intptr_t(lParam)));
}

} // namespace

std::string answerInstanceRequest(MainDialog& dialog, const std::string& request) {
    if (request == "show")
        return showWindow(dialog);
    if (request.rfind("message ", 0) == 0)
        return forwardMessage(request);
    return "error";
}
