#include "platform/exception_guard.h"

#include <cstdio>
#include <mutex>

namespace platform {

namespace {
// Guards the handler; it is set once at start-up but read from the worker too.
std::mutex handlerMutex;
UnhandledExceptionHandler currentHandler;

void describeOnStandardError(std::exception_ptr exception) {
    try {
        std::rethrow_exception(exception);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quorvantel-server: unhandled exception: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "quorvantel-server: unhandled exception\n");
    }
}
}  // namespace

void setUnhandledExceptionHandler(UnhandledExceptionHandler handler) {
    std::lock_guard lock(handlerMutex);
    currentHandler = std::move(handler);
}

void reportUnhandledException(std::exception_ptr exception) noexcept {
    UnhandledExceptionHandler handler;
    {
        std::lock_guard lock(handlerMutex);
        handler = currentHandler;
    }
    try {
        if (handler && handler(exception)) return;
        describeOnStandardError(exception);
    } catch (...) {
        // The handler itself failed; there is nobody left to tell but standard error.
        std::fputs("quorvantel-server: the unhandled-exception handler failed\n", stderr);
    }
}

}  // namespace platform
