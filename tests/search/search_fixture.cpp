#include "search_fixture.h"

#include "core/gfs_state.h"
#include "platform/exception_guard.h"
#include "platform/message_box.h"
#include "search/request_fields.h"

#include <QCoreApplication>
#include <QHostAddress>

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <regex>

namespace qvsearch {

namespace fs = std::filesystem;

namespace {

class RecordingPresenter final : public platform::MessagePresenter {
 public:
    explicit RecordingPresenter(std::shared_ptr<Presented> record) : record_(std::move(record)) {}
    void showMessage(const std::string& text) override { record_->boxes.push_back(text); }
    void beep() override { ++record_->beeps; }

 private:
    std::shared_ptr<Presented> record_;
};

void processEventsOnce() {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    // Outside a running loop deleteLater would otherwise wait forever.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return condition();
        processEventsOnce();
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

void settle() {
    const auto start = std::chrono::steady_clock::now();
    waitUntil([start] { return std::chrono::steady_clock::now() - start > 300ms; });
}

std::string joinFields(std::initializer_list<std::string_view> fields) {
    std::string text;
    for (auto field = fields.begin(); field != fields.end(); ++field)
        text.append(field == fields.begin() ? "" : kFieldSeparator).append(*field);
    return text;
}

std::string searchRequest(std::string_view label, std::string_view condition, std::string_view paths,
                          std::string_view view, std::string_view spotlight, std::string_view command) {
    return joinFields({"", command, "d", label, "", paths, condition, view, spotlight});
}

Client::Client(quint16 port) : socket_(std::make_unique<QTcpSocket>()) {
    socket_->connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    socket_->waitForConnected(5000);
}

void Client::send(std::string_view bytes) {
    socket_->write(bytes.data(), static_cast<qint64>(bytes.size()));
    while (socket_->bytesToWrite() > 0 && socket_->waitForBytesWritten(5000)) {
    }
    EXPECT_EQ(socket_->bytesToWrite(), 0) << "the request did not leave the client";
}

const std::string& Client::collectUntil(const std::function<bool()>& done) {
    waitUntil([&] {
        const QByteArray bytes = socket_->readAll();
        received_.append(bytes.constData(), static_cast<size_t>(bytes.size()));
        return done();
    });
    return received_;
}

const std::string& Client::receiveBytes(size_t count) {
    return collectUntil([&] { return received_.size() >= count; });
}

const std::string& Client::receiveUntil(std::string_view terminator) {
    return collectUntil([&] { return received_.find(terminator) != std::string::npos; });
}

const std::string& Client::received() {
    processEventsOnce();
    return collectUntil([] { return true; });
}

void Client::disconnect() {
    socket_->disconnectFromHost();
    waitUntil([&] { return socket_->state() == QAbstractSocket::UnconnectedState; });
}

void SearchServerTest::SetUp() {
    std::string pattern = (fs::temp_directory_path() / "qv-search-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder = pattern;
    if (const char* old = std::getenv("QUORVANTEL_APP_FOLDER")) oldFolderVariable_ = old;
    ::setenv("QUORVANTEL_APP_FOLDER", folder.c_str(), 1);

    application = std::make_unique<app>();
    gfs::servstatx = "ready";
    gfs::spotlightSwitchMirror = false;
    presented = std::make_shared<Presented>();
    platform::setMessagePresenter(std::make_unique<RecordingPresenter>(presented));
    platform::setUnhandledExceptionHandler([](std::exception_ptr e) { return App().Event_UnhandledException(e); });
    searchmaster::setSearchSteps(SearchSteps{});

    server = std::make_unique<TCPserverik>();
    server->SetPort(0);
    server->Listen();
    ASSERT_TRUE(server->IsListening());
}

void SearchServerTest::TearDown() {
    // A worker held at the gate would make shutdown wait forever after a failed assertion.
    gate.openForever();
    if (application) {
        searchmaster::shutdown();
        searchmaster::setSearchSteps(SearchSteps{});
        // Writes, beeps and joins posted by the worker run before their targets go.
        processEventsOnce();
        for (const std::string& box : presented->boxes) ADD_FAILURE() << "unexpected message box: " << box;
        server.reset();
        processEventsOnce();
    }
    platform::setUnhandledExceptionHandler(nullptr);
    application.reset();
    gfs::servstatx.clear();
    gfs::spotlightSwitchMirror = false;

    oldFolderVariable_ ? ::setenv("QUORVANTEL_APP_FOLDER", oldFolderVariable_->c_str(), 1)
                       : ::unsetenv("QUORVANTEL_APP_FOLDER");
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

std::unique_ptr<Client> SearchServerTest::connectClient() {
    auto client = std::make_unique<Client>(static_cast<quint16>(server->Port()));
    EXPECT_TRUE(client->connected());
    return client;
}

std::vector<std::string> SearchServerTest::logMessages() const {
    static const std::regex name(R"(serverlog-\d{4}-\d{2}\.log)");
    static const std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}: )");
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder / "logs", error))
        if (std::regex_match(entry.path().filename().string(), name)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());  // months in order

    std::vector<std::string> messages;
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) messages.push_back(std::regex_search(line, stamp) ? line.substr(21) : line);
    }
    return messages;
}

bool SearchServerTest::waitForLogMessages(size_t count) {
    return waitUntil([&] { return logMessages().size() >= count; });
}

size_t SearchServerTest::queuedRequests() {
    std::lock_guard lock(App().queueMutex);
    EXPECT_EQ(App().searchrequests.size(), App().searchsockets.size());
    return App().searchrequests.size();
}

bool SearchServerTest::workerRunning() {
    std::lock_guard lock(App().queueMutex);
    return gfs::searchthread != nullptr;
}

SearchSteps SearchServerTest::gatedSteps(std::function<void(RequestState&)> then) {
    SearchSteps steps;
    steps.databaseLoop = [this, then = std::move(then)](RequestState& state) {
        {
            std::lock_guard lock(servedMutex_);
            served_.emplace_back(state.condition, std::this_thread::get_id());
        }
        gate.pass();
        if (then) then(state);
    };
    return steps;
}

std::vector<std::string> SearchServerTest::servedConditions() const {
    std::lock_guard lock(servedMutex_);
    std::vector<std::string> conditions;
    for (const auto& [condition, thread] : served_) conditions.push_back(condition);
    return conditions;
}

std::vector<std::thread::id> SearchServerTest::servingThreads() const {
    std::lock_guard lock(servedMutex_);
    std::vector<std::thread::id> threads;
    for (const auto& [condition, thread] : served_) threads.push_back(thread);
    return threads;
}

}  // namespace qvsearch
