// The whole request path in one process: the input is sent by a client over loopback TCP to the
// server's listener, and goes through the dispatcher, the queue and the worker over a real
// catalog back to the client. "@CAT@" in the input stands for that catalog's path.

#include "core/app.h"
#include "core/gfs_state.h"
#include "fuzz_support.h"
#include "platform/exception_guard.h"
#include "platform/text_rule.h"
#include "search/catalog_search.h"
#include "search/searchmaster.h"
#include "search/tcp_serverik.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace {

using namespace std::chrono_literals;
using platform::text::equalsNoCase;
using qvfuzz::Shape;

const std::string kSystem = "Mac OS X 10.4.11";

struct Harness {
    int argc = 1;
    char name[8] = "fuzz";
    char* argv[2] = {name, nullptr};
    std::string folder = qvfuzz::makeTempFolder();
    std::string catalog = folder + "/catalog.vxo";
    QCoreApplication qt{argc, argv};
    app application;
    TCPserverik server;
    QTcpSocket client;
    QTimer wake;  // bounds each wait for events, so that every check comes round again
    std::thread::id mainThread = std::this_thread::get_id();
    std::atomic<int> mainFailures{0}, workerFailures{0};
    size_t runs = 0;

    Harness() {
        ::setenv("QUORVANTEL_APP_FOLDER", folder.c_str(), 1);
        qvfuzz::writeCatalog(catalog);
        application.databases.emplace_back(catalog);
        application.candospotlightstring = kSystem;
        gfs::servstatx = "ready";
        gfs::spotlightSwitchMirror = false;
        platform::setUnhandledExceptionHandler([this](std::exception_ptr exception) {
            const bool onMain = std::this_thread::get_id() == mainThread;
            ++(onMain ? mainFailures : workerFailures);
            if (!onMain) try {
                    std::rethrow_exception(exception);
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "worker exception: %s\n", e.what());
                } catch (...) {
                }
            return true;
        });
        searchmaster::setSearchSteps(SearchSteps{runDatabaseLoop, [](RequestState&) {}});
        setCatalogStatementTimeLimit(2s);
        server.SetPort(0);
        server.Listen();
        FUZZ_CHECK(server.IsListening());
        client.connectToHost(QHostAddress(QHostAddress::LocalHost), static_cast<quint16>(server.Port()));
        FUZZ_CHECK(client.waitForConnected(5000));
        wake.start(20);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (server.ActiveConnections() < 1 && std::chrono::steady_clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        FUZZ_CHECK(server.ActiveConnections() == 1);
    }

    std::string immediate(std::string_view action, std::string_view inner) const {
        return std::string(qvfuzz::kDeclaration) + "<answer>\n<data appcode=\"Vaxo\" action=\"" + std::string(action) +
               "\" address=\"127.0.0.1\" status=\"ready\" system=\"" + kSystem + "\" />\n" + std::string(inner) +
               "</answer>\n";
    }
};

Harness& harness() {
    static Harness* instance = new Harness;  // outlives every run; never torn down under a worker
    return *instance;
}

bool workerIdle() {
    std::lock_guard lock(App().queueMutex);
    return !gfs::searchthread && App().searchrequests.empty() && App().searchsockets.empty();
}

Shape exactShape(const std::string& received, const std::string& expected) {
    if (received == expected) return Shape::Complete;
    return expected.starts_with(received) ? Shape::Incomplete : Shape::Broken;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    harness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A request is one piece: an empty one never arrives, a long one may arrive in parts.
    Harness& h = harness();
    const std::string request =
        platform::text::replaceAllNoCase(std::string_view(reinterpret_cast<const char*>(data), size), "@CAT@", h.catalog);
    if (request.empty() || request.size() > 16384) return -1;

    // What the client must get: one immediate answer, one search answer, or nothing at all for a
    // search too short to log. A request too short to log fails on the main thread, after the
    // immediate answer has been written or instead of queueing the search.
    const auto fields = qvfuzz::split(request, "]':'[");
    const std::string_view command = fields.size() > 1 ? fields[1] : std::string_view();
    std::string exact;
    bool search = false, nothing = false;
    int failures = 0;
    if (fields.size() > 1 && (equalsNoCase(command, "vaxo-ping") || equalsNoCase(command, "vaxo-getlist"))) {
        exact = equalsNoCase(command, "vaxo-ping")
                    ? h.immediate("vaxo-pong", "")
                    : h.immediate("vaxo-dbzoznam", "<databases>\n<database name=\"catalog.vxo\" path=\"" + h.catalog +
                                                       "\" />\n</databases>\n");
        failures = fields.size() < 4;
    } else if (fields.size() > 1 && (equalsNoCase(command, "vaxo-search") || equalsNoCase(command, "vaxo-browse"))) {
        (fields.size() > 6 ? search : nothing) = true;
        failures = nothing;
    } else {
        exact = std::string(qvfuzz::kDeclaration) + "<answer>No result</answer>";
    }
    const std::string head = search ? qvfuzz::expectedSearchHead(request) : std::string();

    const int failuresBefore = h.mainFailures;
    h.client.write(request.data(), static_cast<qint64>(request.size()));
    h.client.flush();
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + 8s;
    while (true) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const QByteArray bytes = h.client.readAll();
        received.append(bytes.constData(), static_cast<size_t>(bytes.size()));

        Shape shape;
        size_t records = 0;
        if (nothing)
            shape = !received.empty() ? Shape::Broken : h.mainFailures > failuresBefore ? Shape::Complete : Shape::Incomplete;
        else if (!search)
            shape = exactShape(received, exact);
        else if (received.size() < head.size())
            shape = head.starts_with(received) ? Shape::Incomplete : Shape::Broken;
        else
            shape = received.starts_with(head) ? qvfuzz::recordsShape(std::string_view(received).substr(head.size()), records)
                                               : Shape::Broken;
        FUZZ_CHECK(shape != Shape::Broken);
        if (shape == Shape::Complete && workerIdle()) break;
        FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
    }
    // The worker that ended posted its own join before it let go of the queue; once a later post
    // has run, its thread is gone too, and nothing of this input is still being freed.
    bool joined = false;
    QMetaObject::invokeMethod(&h.qt, [&joined] { joined = true; }, Qt::QueuedConnection);
    while (!joined) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    FUZZ_CHECK(h.mainFailures == failuresBefore + failures);
    FUZZ_CHECK(h.workerFailures == 0);
    FUZZ_CHECK(h.client.state() == QAbstractSocket::ConnectedState);

    // The activity log grows with every request; it is not what is tested here.
    if (++h.runs % 4096 == 0) {
        std::error_code ignored;
        std::filesystem::remove_all(h.folder + "/logs", ignored);
    }
    return 0;
}
