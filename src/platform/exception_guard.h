#pragma once
// The guard around every event handler and around the worker's serving of one request: an
// exception that escapes is handed to the application's unhandled-exception handler instead of
// ending the program. The handler may run on any thread.

#include <exception>
#include <functional>
#include <utility>

namespace platform {

// Returns true when the exception was handled; the program goes on either way.
using UnhandledExceptionHandler = std::function<bool(std::exception_ptr)>;

void setUnhandledExceptionHandler(UnhandledExceptionHandler handler);

// Hands one exception to the handler; without a handler it is reported on standard error.
void reportUnhandledException(std::exception_ptr exception) noexcept;

template <typename Action>
void guarded(Action&& action) noexcept {
    try {
        std::forward<Action>(action)();
    } catch (...) {
        reportUnhandledException(std::current_exception());
    }
}

}  // namespace platform
