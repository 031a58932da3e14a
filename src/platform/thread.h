#pragma once
// A thread with a Run event: Run starts it, the thread runs Event_Run once and ends when it
// returns. Join waits for that end; the destructor joins a thread that is still running, so
// the owner must not destroy it from the thread itself. Run, Join and the destructor belong to
// the owner's thread.

#include <pthread.h>

#include <cstddef>

namespace platform {

class Thread {
 public:
    // The stack every Thread gets, whatever the process's stack limit says: the engine prepares a
    // condition of the greatest expression depth it accepts (1000) by recursing about half a
    // megabyte deep, and frames grow several times under the sanitizers.
    static constexpr size_t kStackBytes = size_t{8} << 20;

    Thread() = default;
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    void Run();  // throws std::system_error when the system cannot start the thread
    void Join();
    bool IsRunningThread() const;  // true when called from this thread itself

 protected:
    virtual void Event_Run() = 0;

 private:
    static void* start(void* self);

    pthread_t thread_{};
    bool started_ = false;
};

}  // namespace platform
