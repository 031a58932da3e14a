#pragma once
// Fakes of the core tests: a message presenter that records what the operator would have seen,
// and a console that counts its list rebuilds and answers the open dialog as told.

#include "core/console_access.h"
#include "platform/message_box.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qvtest {

struct Shown {
    std::vector<std::string> messages;
    int beeps = 0;
};

class RecordingPresenter final : public platform::MessagePresenter {
 public:
    explicit RecordingPresenter(std::shared_ptr<Shown> into) : into_(std::move(into)) {}
    void showMessage(const std::string& text) override { into_->messages.push_back(text); }
    void beep() override { ++into_->beeps; }

 private:
    std::shared_ptr<Shown> into_;
};

class RecordingConsole final : public NoConsole {
 public:
    int refreshes = 0;
    std::optional<std::string> answer;  // what the open dialog returns
    std::vector<OpenDialogRequest> dialogs;

    void aktualizacia() override { ++refreshes; }
    std::pair<int, int> mainScreenSize() override { return {1024, 768}; }
    std::optional<std::string> showOpenDialog(const OpenDialogRequest& request) override {
        dialogs.push_back(request);
        return answer;
    }
};

}  // namespace qvtest
