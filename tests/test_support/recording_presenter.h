#pragma once
// What the operator would have seen instead of message boxes: each message's text, and "<beep>"
// for a beep. Called on the main thread only, as every presenter is.

#include "platform/message_box.h"

#include <memory>
#include <string>
#include <vector>

namespace test_support {

struct RecordingPresenter final : platform::MessagePresenter {
    explicit RecordingPresenter(std::shared_ptr<std::vector<std::string>> into) : shown(std::move(into)) {}
    void showMessage(const std::string& text) override { shown->push_back(text); }
    void beep() override { shown->push_back("<beep>"); }
    std::shared_ptr<std::vector<std::string>> shown;
};

}  // namespace test_support
