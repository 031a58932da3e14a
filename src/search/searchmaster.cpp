#include "search/searchmaster.h"

#include "core/activity_log.h"
#include "core/app.h"
#include "core/gfs_state.h"
#include "platform/exception_guard.h"
#include "platform/main_thread.h"
#include "platform/ticks.h"
#include "search/catalog_search.h"
#include "search/search_answer.h"

#include <QPointer>

#include <atomic>
#include <memory>
#include <new>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Workers that have ended their loop but whose threads are not joined yet; guarded by
// App().queueMutex. The main thread joins them.
std::vector<std::unique_ptr<platform::Thread>> retiredWorkers;
bool stopRequested = false;  // guarded by App().queueMutex
std::atomic<bool> failNextEnqueue{false}, failNextTake{false};
SearchSteps currentSteps;    // guarded by App().queueMutex

// What waits in the queue, per connection and in total; guarded by App().queueMutex.
struct QueueLoad {
    size_t requests = 0, bytes = 0;
    bool reaches(size_t maximumRequests, size_t maximumBytes) const {
        return requests >= maximumRequests || bytes >= maximumBytes;
    }
};
QueueBounds bounds;
QueueLoad totalLoad;
std::unordered_map<const void*, QueueLoad> connectionLoads;  // by ConnectionRef::identity()
bool holding = false;  // some connection may be held for the queue

// Connections not read for the queue's sake. Main thread.
std::vector<QPointer<platform::TCPSocket>> heldConnections;

bool fullFor(const void* connection) {
    if (totalLoad.reaches(bounds.requests, bounds.bytes)) return true;
    const auto it = connectionLoads.find(connection);
    return it != connectionLoads.end() && it->second.reaches(bounds.requestsPerConnection, bounds.bytesPerConnection);
}

void noteRemoved(const void* connection, size_t bytes) {
    totalLoad.requests -= 1;
    totalLoad.bytes -= bytes;
    const auto it = connectionLoads.find(connection);
    if (it == connectionLoads.end()) return;
    if (--it->second.requests == 0)
        connectionLoads.erase(it);
    else
        it->second.bytes -= bytes;
}

// Before an answer is built: until the answers owed to clients leave room for one more of the
// biggest, or the server quits. Clients that take nothing are cut off first, on the main thread.
void waitForOutputRoom() {
    size_t limit, atLeast;
    std::chrono::milliseconds idle;
    {
        std::lock_guard lock(App().queueMutex);
        limit = bounds.unsentOutput;
        idle = bounds.idleUnderPressure;
        atLeast = bounds.takenUnderPressure;
    }
    const size_t room = limit > answerBudget() ? limit - answerBudget() : 0;
    Clock::time_point lastCut;
    while (platform::TCPSocket::UnsentBytes() > room) {
        {
            std::lock_guard lock(App().queueMutex);
            if (stopRequested) return;
        }
        if (Clock::now() - lastCut >= 250ms) {
            platform::guarded([idle, atLeast] {
                platform::postToMainThread([idle, atLeast] { platform::TCPSocket::CutIdle(idle, atLeast); });
            });
            lastCut = Clock::now();
        }
        std::this_thread::sleep_for(10ms);
    }
}

void joinRetiredWorkers() {
    std::vector<std::unique_ptr<platform::Thread>> finished;
    {
        std::lock_guard lock(App().queueMutex);
        finished.reserve(retiredWorkers.size());
        for (auto& worker : retiredWorkers) finished.push_back(std::move(worker));
        // Cleared, not swapped: the place a running worker was given stays for it.
        retiredWorkers.clear();
    }
    finished.clear();  // joins, outside the lock: a worker may still be leaving its loop
}

}  // namespace

searchmaster::~searchmaster() { Join(); }

void searchmaster::Event_Run() { pozujavypluj(); }

void searchmaster::enqueue(std::string request, platform::TCPSocket& connection) {
    app& application = App();
    platform::ConnectionRef ref(&connection);
    const void* identity = ref.identity();
    bool full;
    {
        std::lock_guard lock(application.queueMutex);
        if (stopRequested) return;
        if (failNextEnqueue.exchange(false)) throw std::bad_alloc();
        // Whatever may fail is done before the request joins the queue, so that a failure leaves
        // the queue and its worker as they were.
        std::unique_ptr<searchmaster> worker;
        if (!gfs::searchthread) {
            worker = std::make_unique<searchmaster>();
            retiredWorkers.reserve(retiredWorkers.size() + 1);  // the worker's place when it ends
        }
        if (application.searchrequests.empty()) {
            // Nothing waits, so nothing is counted: also after a shutdown dropped the queue.
            totalLoad = {};
            connectionLoads.clear();
        }
        QueueLoad& load = connectionLoads[identity];
        application.searchrequests.reserve(application.searchrequests.size() + 1);
        application.searchsockets.reserve(application.searchsockets.size() + 1);
        const size_t bytes = request.size();
        application.searchrequests.push_back(std::move(request));
        application.searchsockets.push_back(std::move(ref));
        load.requests += 1;
        load.bytes += bytes;
        totalLoad.requests += 1;
        totalLoad.bytes += bytes;
        if (worker) {
            try {
                worker->Run();
            } catch (...) {
                application.searchrequests.pop_back();
                application.searchsockets.pop_back();
                noteRemoved(identity, bytes);
                throw;
            }
            gfs::searchthread = std::move(worker);
        }
        // Only a request that waits is owed an answer: one that failed to join leaves none.
        connection.PromiseAnswer();
        full = fullFor(identity);
        if (full) holding = true;
    }
    if (!full) return;
    // What its client sends meanwhile is kept, and handed on once its queue shrinks.
    heldConnections.emplace_back(&connection);
    connection.HoldInput(true);
}

bool searchmaster::queueFullFor(const platform::TCPSocket& connection) {
    std::lock_guard lock(App().queueMutex);
    return fullFor(connection.closedState().get());
}

void searchmaster::releaseHeldConnections() {
    std::erase_if(heldConnections, [](const QPointer<platform::TCPSocket>& connection) {
        if (!connection) return true;
        if (queueFullFor(*connection)) return false;
        connection->HoldInput(false);
        return true;
    });
    if (!heldConnections.empty()) return;
    std::lock_guard lock(App().queueMutex);
    holding = false;
}

void searchmaster::FailNext(Failing where) {
    (where == Failing::Enqueue ? failNextEnqueue : failNextTake) = true;
}

void searchmaster::setQueueBounds(const QueueBounds& newBounds) {
    std::lock_guard lock(App().queueMutex);
    bounds = newBounds;
}

bool searchmaster::shutdown(std::chrono::milliseconds limit) {
    const bool bounded = limit != std::chrono::milliseconds::max();
    const auto deadline = bounded ? Clock::now() + limit : Clock::time_point::max();
    // Polled rather than waited for: a worker stuck while it holds the queue's lock (its log line
    // is written under it) must not hold up the end of the process either.
    for (;;) {
        {
            std::unique_lock lock(App().queueMutex, std::try_to_lock);
            if (lock.owns_lock()) {
                stopRequested = true;
                // The worker leaves gfs::searchthread for the retired ones once it ends its loop.
                if (!gfs::searchthread) break;
                if (Clock::now() >= deadline) {
                    // Never joined: the process ends around it.
                    static_cast<void>(gfs::searchthread.release());
                    return false;
                }
            } else if (Clock::now() >= deadline) {
                return false;
            }
        }
        std::this_thread::sleep_for(5ms);
    }
    joinRetiredWorkers();
    std::lock_guard lock(App().queueMutex);
    // What was still waiting is dropped with the program; a later start (tests) begins afresh.
    App().searchrequests.clear();
    App().searchsockets.clear();
    stopRequested = false;
    return true;
}

RequestState serveSearchRequest(const std::string& request, const SearchSteps& steps, std::exception_ptr& failure) {
    RequestState state;
    state.startTicks = platform::Ticks();
    // The request's time runs from here: no wait before its serving counts.
    const auto deadline = RequestState::Clock::now() + catalogStatementTimeLimit();
    try {
        const int32_t startTicks = state.startTicks;
        state = requestStateFrom(request);
        state.startTicks = startTicks;
        state.deadline = deadline;
        state.answer = answerHead(state.windowValue, state.view, state.condition);
        if (!state.databasePaths.empty()) steps.databaseLoop(state);
        steps.spotlightSearch(state);
    } catch (...) {
        // The client still gets a whole answer with what was found before the failure.
        failure = std::current_exception();
    }
    appendAnswerTail(state.answer);
    return state;
}

void searchmaster::setSearchSteps(SearchSteps steps) {
    std::lock_guard lock(App().queueMutex);
    currentSteps = std::move(steps);
}

void searchmaster::pozujavypluj() {
    app& application = App();
    SearchSteps steps;
    platform::guarded([&] {
        std::lock_guard lock(application.queueMutex);
        steps = currentSteps;
    });
    // Nothing that fails here, an allocation say, may end the thread or skip the removal of the
    // head: the failure goes to the application's handler and the worker goes on.
    while (true) {
        std::string request;
        bool wanted;
        std::exception_ptr failure;
        {
            std::lock_guard lock(application.queueMutex);
            // A client that has gone waits for nothing: its request is dropped unserved, unanswered
            // and unlogged, so that a departed client's queue holds up no one.
            wanted = !application.searchsockets.front().closed();
            try {
                if (wanted && failNextTake.exchange(false)) throw std::bad_alloc();
                if (wanted) request = application.searchrequests.front();
            } catch (...) {
                failure = std::current_exception();
                wanted = false;
            }
        }
        if (wanted) {
            waitForOutputRoom();
            std::lock_guard lock(application.queueMutex);
            wanted = !stopRequested && !application.searchsockets.front().closed();
        }
        RequestState state;
        if (wanted) platform::guarded([&] { state = serveSearchRequest(request, steps, failure); });

        std::unique_lock lock(application.queueMutex);
        platform::ConnectionRef connection = application.searchsockets.front();
        const auto keep = [&failure](auto&& step) {
            try {
                step();
            } catch (...) {
                if (!failure) failure = std::current_exception();
            }
        };
        // The answer moves to the connection whole: the main thread never copies it. It counts
        // as unsent from before it is posted, so that the next one waits for room also while this
        // one is on its way; the connection takes the count over.
        bool answered = false;
        if (wanted)
            keep([&] {
                const size_t size = state.answer.size();
                platform::TCPSocket::CountUnsent(size);
                try {
                    platform::postToMainThread([connection, answer = std::move(state.answer)]() mutable {
                        // The client may have gone while its answer was being built.
                        if (connection)
                            connection->WritePromised(std::move(answer), true);
                        else
                            platform::TCPSocket::UncountUnsent(answer.size());
                    });
                } catch (...) {
                    platform::TCPSocket::UncountUnsent(size);
                    throw;
                }
                answered = true;
            });
        // Unanswered, the connection is still released from its promise, so that a client that
        // has stopped sending is not kept waiting for nothing.
        if (!answered)
            keep([&] {
                platform::postToMainThread([connection] {
                    if (connection) connection->WritePromised({});
                });
            });
        noteRemoved(connection.identity(), application.searchrequests.front().size());
        application.searchrequests.erase(application.searchrequests.begin());
        application.searchsockets.erase(application.searchsockets.begin());
        const int32_t ticks = platform::ticksBetween(state.startTicks, platform::Ticks());
        if (wanted) keep([&] { gfs::logujakciu(searchLogMessage(state.condition, state.resultCount, ticks, state.answerCut)); });
        const bool done = application.searchrequests.empty() || stopRequested;
        if (done && gfs::searchthread.get() == this) {
            // This worker ends: it leaves gfs::searchthread, and the main thread joins it. Its place
            // was kept when it started; should even that fail, it is left unjoined rather than in
            // gfs::searchthread, where it would keep every later request waiting.
            try {
                retiredWorkers.push_back(std::move(gfs::searchthread));
            } catch (...) {
                (void)gfs::searchthread.release();
            }
        }
        if (done) keep([] { platform::postToMainThread(joinRetiredWorkers); });
        if (holding) keep([] { platform::postToMainThread(searchmaster::releaseHeldConnections); });
        lock.unlock();
        if (failure) platform::reportUnhandledException(failure);
        if (done) return;
    }
}
