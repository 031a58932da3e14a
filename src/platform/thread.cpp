#include "platform/thread.h"

#include <system_error>

namespace platform {

Thread::~Thread() { Join(); }

void* Thread::start(void* self) {
    static_cast<Thread*>(self)->Event_Run();
    return nullptr;
}

void Thread::Run() {
    if (started_) return;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kStackBytes);
    started_ = true;  // before the thread, which may ask IsRunningThread at once
    const int failed = pthread_create(&thread_, &attributes, &Thread::start, this);
    pthread_attr_destroy(&attributes);
    if (failed) {
        started_ = false;
        // As std::thread does: the caller learns that no thread runs.
        throw std::system_error(failed, std::generic_category(), "a thread cannot be started");
    }
}

void Thread::Join() {
    if (!started_ || IsRunningThread()) return;
    pthread_join(thread_, nullptr);
    started_ = false;
}

bool Thread::IsRunningThread() const { return started_ && pthread_equal(thread_, pthread_self()); }

}  // namespace platform
