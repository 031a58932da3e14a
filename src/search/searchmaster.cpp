#include "search/searchmaster.h"

#include "core/activity_log.h"
#include "core/app.h"
#include "core/gfs_state.h"
#include "platform/exception_guard.h"
#include "platform/main_thread.h"
#include "platform/ticks.h"
#include "search/catalog_search.h"
#include "search/search_answer.h"

#include <memory>
#include <thread>
#include <vector>

namespace {

// Workers that have ended their loop but whose threads are not joined yet; guarded by
// App().queueMutex. The main thread joins them.
std::vector<std::unique_ptr<platform::Thread>> retiredWorkers;
bool stopRequested = false;  // guarded by App().queueMutex
SearchSteps currentSteps;    // guarded by App().queueMutex

void joinRetiredWorkers() {
    std::vector<std::unique_ptr<platform::Thread>> finished;
    {
        std::lock_guard lock(App().queueMutex);
        finished.swap(retiredWorkers);
    }
    finished.clear();  // joins, outside the lock: a worker may still be leaving its loop
}

}  // namespace

searchmaster::~searchmaster() { Join(); }

void searchmaster::Event_Run() { pozujavypluj(); }

void searchmaster::enqueue(std::string request, platform::TCPSocket& connection) {
    app& application = App();
    std::lock_guard lock(application.queueMutex);
    if (stopRequested) return;
    application.searchrequests.push_back(std::move(request));
    application.searchsockets.emplace_back(&connection);
    if (!gfs::searchthread) {
        gfs::searchthread = std::make_unique<searchmaster>();
        gfs::searchthread->Run();
    }
}

bool searchmaster::shutdown(std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
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
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
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
    try {
        const int32_t startTicks = state.startTicks;
        state = requestStateFrom(request);
        state.startTicks = startTicks;
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
    {
        std::lock_guard lock(application.queueMutex);
        steps = currentSteps;
    }
    while (true) {
        std::string request;
        bool wanted;
        {
            std::lock_guard lock(application.queueMutex);
            request = application.searchrequests.front();
            // A client that has gone waits for nothing: its request is dropped unserved, unanswered
            // and unlogged, so that a departed client's queue holds up no one.
            wanted = !application.searchsockets.front().closed();
        }
        RequestState state;
        std::exception_ptr failure;
        if (wanted) platform::guarded([&] { state = serveSearchRequest(request, steps, failure); });

        std::unique_lock lock(application.queueMutex);
        platform::ConnectionRef connection = application.searchsockets.front();
        // The answer moves to the connection whole: the main thread never copies it.
        if (wanted)
            platform::postToMainThread([connection, answer = std::move(state.answer)]() mutable {
                // The client may have gone while its answer was being built.
                if (connection) connection->WritePromised(std::move(answer));
            });
        application.searchrequests.erase(application.searchrequests.begin());
        application.searchsockets.erase(application.searchsockets.begin());
        const int32_t ticks = platform::ticksBetween(state.startTicks, platform::Ticks());
        if (wanted) gfs::logujakciu(searchLogMessage(state.condition, state.resultCount, ticks, state.answerCut));
        const bool done = application.searchrequests.empty() || stopRequested;
        if (done) {
            // This worker ends: it leaves gfs::searchthread, and the main thread joins it.
            if (gfs::searchthread.get() == this) retiredWorkers.push_back(std::move(gfs::searchthread));
            platform::postToMainThread(joinRetiredWorkers);
        }
        lock.unlock();
        if (failure) platform::reportUnhandledException(failure);
        if (done) return;
    }
}
