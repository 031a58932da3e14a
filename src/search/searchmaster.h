#pragma once
// searchmaster: the one search worker. It serves the request queue oldest first, one request
// at a time, hands each answer whole to the connection that sent it (through the main thread),
// logs it, and ends when the queue is empty; a request whose connection has closed is dropped
// unserved. At most one exists at a time. What waits in the queue is bounded per connection and
// in total: past a bound the connection hands nothing more on until its queue shrinks. Before it
// builds an answer the worker waits until the unsent answers of all connections, its own answers
// on their way included, leave room for one more.
// Thread rule: the queue, its loads, gfs::searchthread and the retired workers are guarded by
// App().queueMutex; the worker touches no socket and no widget.

#include "platform/tcp_socket.h"
#include "platform/thread.h"
#include "search/catalog_search.h"
#include "search/spotlight_search.h"
#include "search/request_state.h"

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <string>

// What may wait, and what may be owed to clients, before the server holds back.
struct QueueBounds {
    size_t requestsPerConnection = 64;
    size_t bytesPerConnection = size_t{8} << 20;
    size_t requests = 1024;
    size_t bytes = size_t{64} << 20;
    // Unsent answer bytes over all connections: no answer is built that could take them past it.
    size_t unsentOutput = size_t{1} << 30;
    // Near that bound, connections that have taken nothing for this long, or less than
    // takenUnderPressure in a stretch of it, are cut off first.
    std::chrono::milliseconds idleUnderPressure{10'000};
    size_t takenUnderPressure = size_t{256} << 10;
};

// The steps of a request that read catalogs and the file-name index. Replaceable, so that a
// test or a benchmark can make a request slow or failing.
struct SearchSteps {
    std::function<void(RequestState&)> databaseLoop = runDatabaseLoop;
    std::function<void(RequestState&)> spotlightSearch = runSpotlightSearch;
};

// Serves one request: its answer, complete with the tail also when serving failed (failure is
// then set), its result count and its condition for the log.
RequestState serveSearchRequest(const std::string& request, const SearchSteps& steps, std::exception_ptr& failure);

class searchmaster final : public platform::Thread {
 public:
    ~searchmaster() override;

    // The dispatcher's step: appends the request and its connection to the queue, starts a
    // worker when none runs, and promises the connection its answer once the request waits.
    // Main thread.
    static void enqueue(std::string request, platform::TCPSocket& connection);

    // At quit: the worker ends after the request it is serving, and what still waits is not
    // served. Waits for it at most `limit`; false when it still runs then (stuck in a long search
    // or a system call): it and the queue are then left to the end of the process, which must
    // follow. Main thread.
    static bool shutdown(std::chrono::milliseconds limit = std::chrono::milliseconds::max());

    // Replaces the steps for the workers started afterwards. Main thread.
    static void setSearchSteps(SearchSteps steps);

    // Replaces the bounds (tests). Main thread, with no request waiting.
    static void setQueueBounds(const QueueBounds& bounds);
    // Whether this connection's requests, or all requests, have reached a bound. Main thread.
    static bool queueFullFor(const platform::TCPSocket& connection);
    // Reads again every held connection whose queue has room. Main thread.
    static void releaseHeldConnections();

    // For tests: the next request fails as it joins the queue, or as the worker takes it, as if
    // memory ran out. Any thread.
    enum class Failing { Enqueue, Take };
    static void FailNext(Failing where);

    void pozujavypluj();

 protected:
    void Event_Run() override;
};
