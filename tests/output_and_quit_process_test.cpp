// The real server's output and quit: pipelined answers of more than 64 MiB together all reach a
// client that reads them late; while the worker waits on a slow file-name search, a client that
// has shut down its sending side costs the main thread nothing and still gets every answer; and a
// quit with slow searches queued ends within about one request's time bound instead of serving
// them. The file-name search runs a test plocate that sleeps for the seconds its text names, so
// the worker itself takes no CPU time.

#include "test_support/process_usage.h"
#include "test_support/server_process.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace test_support;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Two searches of about 74 MB each, both queued before the first answer is written, so that the
// second waits whole behind the first; the client reads nothing until both are built.
TEST(PipelinedOutput, AnswersPastSixtyFourMiBTogetherAllReachALateReader) {
    ServerProcess server;
    const fs::path catalog = server.parentFolder() / "big.vxo";
    ASSERT_TRUE(makeCatalog(catalog, 5000, 25));
    ASSERT_TRUE(server.serve(10, 1'000'000, 5000));
    constexpr int kCopies = 60;
    const std::vector<std::string> paths(kCopies, catalog.string());
    Client reader;
    ASSERT_TRUE(reader.open(server.port()));
    for (const char* view : {"first", "second"}) {
        ASSERT_TRUE(reader.send(request("vaxo-search", paths, "size > 0", view, view)));
        ASSERT_TRUE(server.waitForLogLine(std::string("search: ") + view + " ("));
    }
    const auto built = [&] {
        const std::string log = server.logText();
        const size_t first = log.find("SQL action: Query: size > 0;");
        return first != std::string::npos && log.find("SQL action: Query: size > 0;", first + 1) != std::string::npos;
    };
    ASSERT_TRUE(waitFor(built, 60s)) << "the second answer was not built while the first waited";
    std::string received;
    const auto ends = [&received] {
        const size_t first = received.find("</result>\n");
        return first == std::string::npos ? 0 : received.find("</result>\n", first + 1) == std::string::npos ? 1 : 2;
    };
    while (ends() < 2)
        if (const std::string piece = reader.read("</result>\n", SIZE_MAX, 10000); !piece.empty())
            received += piece;
        else
            break;
    const size_t split = received.find("<?xml", 1);
    ASSERT_NE(split, std::string::npos) << "only " << received.size() << " bytes came";
    const std::string answers[] = {received.substr(0, split), received.substr(split)};
    EXPECT_GT(received.size(), size_t{64} << 20);
    for (const std::string& answer : answers) {
        EXPECT_TRUE(isCompleteSearchAnswer(answer)) << answer.size() << " bytes";
        EXPECT_EQ(recordsPerCatalog(answer), (std::map<std::string, int>{{catalog.string(), kCopies * 5000}}));
    }
    EXPECT_NE(answers[1].find("tab=\"second\""), std::string::npos);
    EXPECT_FALSE(reader.ended);
    EXPECT_EQ(server.terminate(), 0);
}

class SlowNameSearch : public ::testing::Test {
 protected:
    // plocate that notes its start and sleeps for the digits of its pattern, finding nothing.
    void SetUp() override {
        const fs::path bin = server.parentFolder() / "bin";
        fs::create_directory(bin);
        writeFile(bin / "plocate", "#!/bin/sh\nfor last; do :; done\necho $$ >> '" + started.string() +
                                       "'\nexec sleep \"$(printf %s \"$last\" | tr -cd 0-9)\"\n");
        fs::permissions(bin / "plocate", fs::perms::owner_all);
        path = std::make_unique<ScopedEnv>("PATH", (bin.string() + ":" + std::getenv("PATH")).c_str());
        port = freePort();
        std::string settings = settingsText(port);
        settings.replace(settings.find("\"use_spotlight\" value=\"false\""), 29, "\"use_spotlight\" value=\"true\"");
        server.writeFile("preferences-server.xml", settings);
        ASSERT_TRUE(server.start() && waitFor([this] { return pingAnswered(port); }));
    }
    void TearDown() override {
        if (server.process().state() == QProcess::NotRunning) return;
        EXPECT_EQ(server.terminate(), 0);
    }
    // Sent alone and logged, so that it is an arrival of its own.
    void ask(Client& client, const std::string& label, int seconds) {
        ASSERT_TRUE(client.send(request("vaxo-search", {}, "", "v", label, "slow" + std::to_string(seconds))));
        ASSERT_TRUE(server.waitForLogLine("search: " + label + " (fault test)"));
    }
    size_t searchesStarted() const {
        std::ifstream file(started);
        size_t lines = 0;
        for (std::string line; std::getline(file, line);) ++lines;
        return lines;
    }

    ServerProcess server;
    const fs::path started = server.parentFolder() / "started";
    std::unique_ptr<ScopedEnv> path;
    int port = 0;
};

// Like `nc -N`: searches, then the end of the client's input, while the worker is busy.
TEST_F(SlowNameSearch, AClientThatShutsDownItsSendingSideCostsNothingWhileItWaits) {
    const struct {
        const char* why;
        std::vector<int> seconds;  // one search each; the last runs while CPU time is measured
    } cases[] = {{"its one search is running", {5}},
                 {"its first answer was written after the end of its input", {1, 5}}};
    int row = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        Client client;
        ASSERT_TRUE(client.open(port));
        for (size_t i = 0; i < c.seconds.size(); ++i) ask(client, "r" + std::to_string(row) + "q" + std::to_string(i), c.seconds[i]);
        ++row;
        ASSERT_EQ(::shutdown(client.fd(), SHUT_WR), 0);
        for (size_t i = 0; i + 1 < c.seconds.size(); ++i)
            EXPECT_TRUE(isCompleteSearchAnswer(client.read("</result>\n", SIZE_MAX, 20000)));
        std::this_thread::sleep_for(300ms);
        const double before = processCpuSeconds(server.pid());
        std::this_thread::sleep_for(3s);
        const double spent = processCpuSeconds(server.pid()) - before;
        pollfd answer{client.fd(), POLLIN, 0};
        EXPECT_EQ(::poll(&answer, 1, 0), 0) << "the last search ended before the measure did";
        EXPECT_LT(spent, 1.0) << "CPU seconds over 3 s while the client waited";
        std::printf("[half-closed] %s: server CPU %.2f s over 3 s\n", c.why, spent);
        // Its last answer comes, and then the server ends the connection.
        EXPECT_TRUE(isCompleteSearchAnswer(client.read("</result>\n", SIZE_MAX, 20000)));
        EXPECT_EQ(client.read("", SIZE_MAX, 5000), "");
        EXPECT_TRUE(client.ended);
    }
}

// Five searches that each take the whole time bound, the first running when SIGTERM comes.
TEST_F(SlowNameSearch, AQuitWithSlowSearchesQueuedEndsWithinAboutOneTimeBound) {
    Client client;
    ASSERT_TRUE(client.open(port));
    for (int i = 0; i < 5; ++i) ask(client, "quit" + std::to_string(i), 30);
    ASSERT_TRUE(waitFor([this] { return searchesStarted() >= 1; }));
    const auto quitting = Clock::now();
    ::kill(server.pid(), SIGTERM);
    ASSERT_TRUE(server.process().waitForFinished(70000)) << "still running after 70 s";
    const double took = std::chrono::duration<double>(Clock::now() - quitting).count();
    EXPECT_LT(took, 20.0);
    EXPECT_LE(searchesStarted(), 2u) << "the queue was served before the quit";
    EXPECT_EQ(server.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(server.process().exitCode(), 0);
    EXPECT_NE(server.logText().find(": QUIT ---- Quorvantel server quit\n"), std::string::npos);
    EXPECT_EQ(server.standardError().find("quorvantel-server:"), std::string::npos) << server.standardError();
    // An answer comes whole or not at all.
    const std::string answer = client.read("</result>\n", SIZE_MAX, 5000);
    EXPECT_TRUE(answer.empty() || isCompleteSearchAnswer(answer)) << answer.substr(0, 200);
    std::printf("[quit] ended %.1f s after SIGTERM with %zu of 5 searches started\n", took, searchesStarted());
}

}  // namespace
