#include "platform/thread.h"

namespace platform {

Thread::~Thread() { Join(); }

void Thread::Run() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] { Event_Run(); });
}

void Thread::Join() {
    if (thread_.joinable() && !IsRunningThread()) thread_.join();
}

bool Thread::IsRunningThread() const { return thread_.get_id() == std::this_thread::get_id(); }

}  // namespace platform
