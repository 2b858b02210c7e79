#include "tests/support/scripted_boxes.h"

#include <gtest/gtest.h>

ScriptedBoxes::ScriptedBoxes() {
    platform::setMessageBoxResponder([this](const platform::MessageBoxCall& call) {
        return answer(call);
    });
}

ScriptedBoxes::~ScriptedBoxes() {
    platform::setMessageBoxResponder(nullptr);
    EXPECT_EQ(pending(), 0u) << "expected message boxes were not shown";
}

void ScriptedBoxes::expect(const std::string& text, const std::string& caption, unsigned style,
                           int answer) {
    std::lock_guard lock(mutex_);
    script_.push_back({{text, caption, style, false}, answer});
}

std::vector<platform::MessageBoxCall> ScriptedBoxes::shown() const {
    std::lock_guard lock(mutex_);
    return shown_;
}

size_t ScriptedBoxes::pending() const {
    std::lock_guard lock(mutex_);
    return script_.size();
}

int ScriptedBoxes::answer(const platform::MessageBoxCall& call) {
    std::lock_guard lock(mutex_);
    shown_.push_back(call);
    if (script_.empty()) {
        ADD_FAILURE() << "unexpected message box: \"" << call.text << "\" (" << call.caption
                      << ")";
        return platform::IDOK;
    }
    Expected next = script_.front();
    script_.pop_front();
    EXPECT_EQ(call.text, next.call.text);
    EXPECT_EQ(call.caption, next.call.caption);
    EXPECT_EQ(call.style, next.call.style);
    return next.answer;
}
