#pragma once
// A test fixture serving on loopback TCP inside the test's own process: the application object in a
// temporary application folder, the listener on a free port, message boxes recorded, and a gate
// (permits) at which a test may hold the worker. Everything the tests may change (search steps,
// bounds, limits) is put back afterwards. Main thread.

#include "test_support/files.h"
#include "test_support/loop_client.h"
#include "test_support/recording_presenter.h"
#include "test_support/waiting.h"

#include "core/app.h"
#include "core/gfs_state.h"
#include "platform/exception_guard.h"
#include "search/catalog_search.h"
#include "search/search_answer.h"
#include "search/searchmaster.h"
#include "search/tcp_serverik.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <semaphore>
#include <string>
#include <vector>

class ServedInProcess : public ::testing::Test {
 protected:
    void SetUp() override {
        gfs::servstatx = "ready";
        platform::setMessagePresenter(std::make_unique<test_support::RecordingPresenter>(shown));
        platform::setUnhandledExceptionHandler([](std::exception_ptr e) { return App().Event_UnhandledException(e); });
        server->SetPort(0);
        server->Listen();
        ASSERT_TRUE(server->IsListening());
    }
    void TearDown() override {
        permits.release(1000);  // a worker held after a failed assertion would block shutdown
        searchmaster::shutdown();
        searchmaster::setSearchSteps(SearchSteps{});
        searchmaster::setQueueBounds(QueueBounds{});
        setCatalogStatementTimeLimit(kCatalogTimeLimit);
        setAnswerBudget(kAnswerBudget);
        test_support::settle(std::chrono::milliseconds(0));  // the writes and joins the worker posted
        server.reset();
        test_support::settle(std::chrono::milliseconds(0));
        platform::setUnhandledExceptionHandler(nullptr);
        application.reset();
        gfs::spotlightSwitchMirror = false;
    }

    std::unique_ptr<test_support::LoopClient> connect() { return std::make_unique<test_support::LoopClient>(server->Port()); }
    size_t queued() {
        std::lock_guard lock(App().queueMutex);
        EXPECT_EQ(App().searchrequests.size(), App().searchsockets.size());
        return App().searchrequests.size();
    }

    test_support::TemporaryFolder folder{"qv-search"};
    test_support::ScopedEnv appFolder{"QUORVANTEL_APP_FOLDER", folder.path().c_str()};
    std::unique_ptr<app> application = std::make_unique<app>();
    std::shared_ptr<std::vector<std::string>> shown = std::make_shared<std::vector<std::string>>();
    std::unique_ptr<TCPserverik> server = std::make_unique<TCPserverik>();
    std::atomic<int> waiting{0};
    std::counting_semaphore<4096> permits{0};
};
