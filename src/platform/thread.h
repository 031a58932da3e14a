#pragma once
// A thread with a Run event: Run starts it, the thread runs Event_Run once and ends when it
// returns. Join waits for that end; the destructor joins a thread that is still running, so
// the owner must not destroy it from the thread itself.

#include <thread>

namespace platform {

class Thread {
 public:
    Thread() = default;
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    void Run();
    void Join();
    bool IsRunningThread() const;  // true when called from this thread itself

 protected:
    virtual void Event_Run() = 0;

 private:
    std::thread thread_;
};

}  // namespace platform
