#pragma once
// Stands in for the person in front of the screen: answers message boxes from a
// script and records every box shown. A box the script did not expect, or one that
// differs from the expected text, caption or style, fails the running test.
// Installed while the object lives.
#include "platform/message_box.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

class ScriptedBoxes {
  public:
    ScriptedBoxes();
    ~ScriptedBoxes();
    ScriptedBoxes(const ScriptedBoxes&) = delete;
    ScriptedBoxes& operator=(const ScriptedBoxes&) = delete;

    // The next box must show exactly this; it is answered with answer.
    void expect(const std::string& text, const std::string& caption, unsigned style,
                int answer = platform::IDOK);

    std::vector<platform::MessageBoxCall> shown() const;
    // Expected boxes that were never shown.
    size_t pending() const;

  private:
    struct Expected {
        platform::MessageBoxCall call;
        int answer;
    };
    int answer(const platform::MessageBoxCall& call);

    mutable std::mutex mutex_;
    std::deque<Expected> script_;
    std::vector<platform::MessageBoxCall> shown_;
};
