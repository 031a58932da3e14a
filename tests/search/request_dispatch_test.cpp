// The search service over real loopback TCP: what each kind of request gets back, what the log
// says about it, and how the queue and its worker behave when requests pile up, fail or lose
// their client. The worker is held at a gate where order matters, so nothing relies on timing.
// Then the bounds of one request over real catalogs: its records whatever its count says, its
// time whatever its condition and catalogs, and its size.

#include "catalog_maker.h"
#include "served_in_process.h"
#include "test_support/loop_client.h"
#include "test_support/programs.h"
#include "test_support/recording_presenter.h"
#include "test_support/sqlite_files.h"

#include "core/app.h"
#include "core/gfs_state.h"
#include "platform/exception_guard.h"
#include "search/catalog_search.h"
#include "search/search_answer.h"
#include "search/tcp_serverik.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <semaphore>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using namespace test_support;
using Lines = std::vector<std::string>;

const std::string kSystem = "Debian 12", kSuffix = "***::::***+spotlight", kViewSep = "%%__''''__%%";
const std::string kPing = fields({"", "vaxo-ping", "d", "afterwards"});

class SearchServer : public ServedInProcess {
 protected:
    void TearDown() override {
        ServedInProcess::TearDown();
        EXPECT_EQ(std::count(shown->begin(), shown->end(), "<beep>"), std::ssize(*shown)) << "a message box was shown";
    }

    long beeps() const { return std::ssize(*shown); }
    // The log messages so far, without their time stamps and ticks.
    Lines log() const {
        Lines messages;
        std::istringstream in(logText(folder.path() / "logs"));
        for (std::string line; std::getline(in, line);)
            messages.push_back(std::regex_replace(line.substr(line.starts_with("* ") ? 2 : 0),
                                                  std::regex("; ticks: \\d+"), "; ticks: N"));
        return messages;
    }
    bool workerRunning() {
        std::lock_guard lock(App().queueMutex);
        return gfs::searchthread != nullptr;
    }
};

// Each request on a connection of its own, then a ping on it: whatever else the request made
// the server write would arrive before that pong.
TEST_F(SearchServer, AnswersAndLogLinesOfEachRequestShapeAreExact) {
    const std::string noResult = std::string(kDeclaration) + "<answer>No result</answer>";  // no line end
    const std::string view = "v0" + kViewSep + "v1" + kViewSep + "v2" + kViewSep + "WIN" + kViewSep + "v4";
    const std::string raw = R"(name LIKE '%"a<b"&%')", abc = "a" + kViewSep + "b" + kViewSep + "c";
    const Lines paths = {"/c/one.vxo", "/c/two & <3>.vxo", "/c/one.vxo"};
    const auto sqlLine = [](const std::string& c) { return "SQL action: Query: " + c + "; results: 0; ticks: N"; };
    const struct {
        std::string request, system;
        bool spotlight;
        Lines databases;
        std::string answer;
        Lines log;
        int beeps;
    } cases[] = {
        {fields({"x", "vaxo-ping", "det", "lab"}), kSystem, false, {}, pong(kSystem), {"ping: lab (det) "}, 0},
        {fields({"", "VAXO-Ping", "det", "lab", "", "/a", "c", "v", "s", "more"}), kSystem, true, {},
         pong(kSystem + kSuffix), {"ping: lab (det) "}, 0},
        {fields({"", "vaxo-ping", "", ""}), "", true, {}, pong(kSuffix), {"ping:  () "}, 0},
        {fields({"", "vaxo-getlist", "det", "lab"}), kSystem, false, paths, databaseList(kSystem, paths),
         {"db list: lab (det) "}, 0},
        {fields({"", "Vaxo-GetList", "d", "l"}), kSystem, true, {}, databaseList(kSystem + kSuffix, {}),
         {"db list: l (d) "}, 0},
        {"vaxo-search", kSystem, false, {}, noResult, {}, 0},
        {fields({"", "vaxo-pingx", "d", "l"}), kSystem, false, {}, noResult, {}, 0},
        {fields({"", "vaxo-ping\n", "d", "l"}), kSystem, false, {}, noResult, {}, 0},
        {fields({"vaxo-ping", "", "d", "l"}), kSystem, false, {}, noResult, {}, 0},
        // Too short to be logged: a ping is answered all the same, a search gets nothing, and
        // the failure reaches the handler.
        {fields({"x", "vaxo-ping"}), kSystem, false, {}, pong(kSystem), {}, 1},
        {fields({"x", "vaxo-ping", "det"}), kSystem, false, {}, pong(kSystem), {}, 1},
        {fields({"x", "vaxo-getlist"}), kSystem, false, {"/s/1.vxo"}, databaseList(kSystem, {"/s/1.vxo"}), {}, 1},
        {fields({"", "vaxo-search", "d", "l", "", "/a.vxo"}), kSystem, false, {}, "", {}, 1},
        {fields({"", "vaxo-browse", "d", "l", "", ""}), kSystem, false, {}, "", {}, 1},
        {fields({"", "vaxo-search"}), kSystem, false, {}, "", {}, 1},
        {fields({"", "vaxo-search", "d", "lab", "", "/a.vxo::/b.vxo", raw, view, "spot"}), kSystem, false, {},
         searchAnswer(raw, view, "WIN"), {"search: lab (d), SQL:" + raw + " dbs: /a.vxo , /b.vxo", sqlLine(raw)}, 0},
        {fields({"", "vaxo-search", "d", "l", "", "", "c = 1"}), kSystem, false, {}, searchAnswer("c = 1"),
         {"search: l (d), SQL:c = 1 dbs: ", sqlLine("c = 1")}, 0},
        {fields({"", "Vaxo-Browse", "d", "l", "", "/1::/2::/3", "b", abc, ""}), kSystem, false, {},
         searchAnswer("b", abc), {"Browse: l (d), SQL:b dbs: /1 , /2 , /3", sqlLine("b")}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        application->candospotlightstring = c.system;
        gfs::spotlightSwitchMirror = c.spotlight;
        application->databases.clear();
        for (const std::string& path : c.databases) application->databases.emplace_back(path);
        const size_t logged = log().size();
        const long beepsBefore = beeps();
        auto client = connect();
        client->send(c.request);
        EXPECT_EQ(client->read(c.answer.size()), c.answer);
        EXPECT_TRUE(waitFor([&] { return log().size() >= logged + c.log.size() && beeps() == beepsBefore + c.beeps; }));
        client->send(kPing);
        const std::string after = pong(c.system + (c.spotlight ? kSuffix : ""));
        EXPECT_EQ(client->read(c.answer.size() + after.size()), c.answer + after);
        Lines expected = c.log, all = log();
        expected.push_back("ping: afterwards (d) ");
        EXPECT_EQ(Lines(all.begin() + static_cast<long>(logged), all.end()), expected);
        EXPECT_EQ(beeps() - beepsBefore, c.beeps);
        EXPECT_EQ(queued(), 0u);
        EXPECT_FALSE(workerRunning());
    }
}

TEST_F(SearchServer, QueuedSearchesAreAnsweredInOrderByOneWorkerWhateverBecomesOfThem) {
    const std::string found = recordLine({"/p", "n", "", "", "", "", "", "", "", ""});
    // The worker waits for a permit in every request; a second worker would make two wait.
    SearchSteps steps;
    steps.databaseLoop = [this](RequestState& state) {
        ++waiting;
        permits.acquire();
        --waiting;
        if (state.condition != "fails") return;
        appendRecordLine(state.answer, {"/p", "n", "", "", "", "", "", "", "", ""}, RecordEnd::Tight);
        throw std::runtime_error("catalog unreadable");
    };
    searchmaster::setSearchSteps(steps);
    std::vector<std::unique_ptr<LoopClient>> clients;
    for (const char* condition : {"gone", "fails", "fine"}) {
        clients.push_back(connect());
        clients.back()->send(fields({"", "vaxo-search", "d", "l", "", "/a.vxo", condition, "", ""}));
        // The first is being served (still at the head of the queue); the others wait behind it.
        ASSERT_TRUE(waitFor([&] { return waiting == 1 && queued() == clients.size(); }));
    }
    // A ping sent behind a search on the same connection is answered first.
    clients[1]->send(kPing);
    EXPECT_EQ(clients[1]->read(pong("").size()), pong(""));
    // A client that leaves while its request is served keeps its connection until the answer
    // has been written; then the server drops (and deletes) it.
    clients[0]->close();
    permits.release();
    ASSERT_TRUE(waitFor([&] { return waiting == 1 && queued() == 2 && server->ActiveConnections() == 2; }));
    EXPECT_EQ(clients[2]->read(0), "");
    // A failed request is answered with what it had found, and its failure reaches the handler.
    permits.release();
    const std::string failed = pong("") + searchAnswer("fails", "", "", found);
    EXPECT_EQ(clients[1]->read(failed.size()), failed);
    EXPECT_TRUE(waitFor([&] { return waiting == 1 && beeps() == 1; }));
    EXPECT_EQ(clients[2]->read(0), "");
    permits.release();
    EXPECT_EQ(clients[2]->read(searchAnswer("fine").size()), searchAnswer("fine"));
    EXPECT_TRUE(waitFor([&] { return log().size() == 7; }));  // a search line and an SQL line each
    EXPECT_FALSE(workerRunning());
    EXPECT_EQ(queued(), 0u);
}

// --- The bounds of one request, over real catalogs ---------------------------------------------

class RequestBounds : public SearchServer {
 protected:
    // The answer to one request on a connection of its own, and the log line of its serving.
    std::pair<std::string, std::string> serve(std::string_view command, const Lines& paths,
                                              const std::string& condition) {
        const size_t logged = log().size();
        auto client = connect();
        client->send(request(command, paths, condition, "", "l", "spot"));
        const std::string answer = client->readUntil("</result>\n"), empty = searchAnswer(condition);
        EXPECT_TRUE(isCompleteSearchAnswer(answer) && answer.starts_with(empty.substr(0, empty.size() - 22)))
            << answer.substr(0, 300);
        EXPECT_TRUE(waitFor([&] { return log().size() == logged + 2; }));
        return {answer, log().back()};
    }
    // The names of the records in order: "f" for the numbered rows f0, f1, ..., the size of a long
    // name, and a run of equal ones once with its length.
    static std::string summary(const std::string& answer) {
        std::vector<std::pair<std::string, int>> runs;
        for (const std::string& line : recordLines(answer)) {
            std::string name = attribute(line, "name");
            if (std::regex_match(name, std::regex("f[0-9]+"))) name = "f";
            if (name.size() > 1000) name = "<" + std::to_string(name.size()) + ">";
            if (!runs.empty() && runs.back().first == name)
                ++runs.back().second;
            else
                runs.emplace_back(name, 1);
        }
        std::string text;
        for (const auto& [name, count] : runs)
            text += (text.empty() ? "" : " ") + name + (count > 1 ? "*" + std::to_string(count) : "");
        return text;
    }
    qvcatalog::CatalogMaker maker;
};

// A count that lies (a LIMIT or GROUP BY it keeps) no longer lifts the total limit, a select runs
// whatever became of its count, values of any length come whole, and a condition may read the
// catalog's disks and trim its texts; an honest count keeps the gate exactly as it was.
TEST_F(RequestBounds, CatalogRecordsFollowTheLimitsAndServeWhatTheCatalogHolds) {
    using namespace qvcatalog;
    Table table = manyPaths(600);
    table.rows.push_back(pathRow("two-a", 2));
    table.rows.push_back(pathRow("two-b", 2));
    const std::string rows =
        maker.make("rows.vxo", disksTable({{1, "t", "One", "l", "/1", "d"}, {2, "t", "Two", "l", "/2", "d"}}), table);
    const std::string wideName(150'000, 'w');
    const std::string wide = maker.make("wide.vxo", disksTable({{1, "t", wideName, "l", "/", "d"}}),
                                        pathsTable({pathRow(wideName), pathRow("narrow")}));
    const Lines ten(10, rows), four(4, rows);
    const struct {
        const char* command;
        Lines paths;
        std::string condition;
        int total, perDatabase;
        std::string records;
        int results;
    } cases[] = {
        {"vaxo-search", ten, "1 LIMIT 1,500 --", 2000, 500, "f*2000 OVER LIMIT 2000*6", 2000},
        {"vaxo-search", ten, "1 GROUP BY name", 2000, 500, "f*2000 OVER LIMIT 2000*6", 2000},
        {"vaxo-search", four, "1 LIMIT 1,500 --", 1200, 500, "f*1200 OVER LIMIT 1200", 1200},
        {"vaxo-search", ten, "name LIKE 'f%'", 2000, 500, "f*1500 OVER LIMIT 2000*7", 1500},
        {"vaxo-search", {rows}, "1=1 ORDER BY 2 DESC", 2000, 3, "two-b two-a f", 3},
        {"vaxo-search", {wide}, "1=1", 2000, 500, "<150000> narrow", 2},
        {"vaxo-browse", {wide}, std::string(kGetdisks), 2000, 500, "<150000>", 0},
        {"vaxo-search", {rows}, "disk IN (SELECT disk FROM disks WHERE dname = 'Two')", 2000, 500, "two-a two-b", 2},
        {"vaxo-search", {rows}, "trim('  ' || name) = 'two-a' OR ltrim(rtrim(name || ' ')) = 'two-b'", 2000, 500,
         "two-a two-b", 2},
        {"vaxo-search", {rows}, "hex(name) = hex('two-a') OR name = (SELECT group_concat(name) FROM paths WHERE disk = 9)",
         2000, 500, "two-a", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.condition);
        application->PREFmaxresultstotal = c.total;
        application->PREFmaxresultsdatabase = c.perDatabase;
        const auto [answer, logLine] = serve(c.command, c.paths, c.condition);
        EXPECT_EQ(summary(answer), c.records);
        EXPECT_EQ(logLine, "SQL action: Query: " + c.condition + "; results: " + std::to_string(c.results) + "; ticks: N");
    }
    // The long values are whole, in the row and in its disk.
    const std::string line = recordLines(serve("vaxo-search", {wide}, "name <> 'narrow'").first).at(0);
    EXPECT_EQ(line, recordLine({"/p/", wideName, "0", "1::/::d::/::t::/::/::/::l::/::" + wideName + "::/::" + wide, "1",
                                "1", "2", "1", "T", "C"}));
}

// Whatever its condition and catalogs, a request holds the worker for its time bound and not
// much longer: a condition whose single steps are slow, a catalog another connection keeps locked
// and a schema that takes long to read are cut off at the deadline, no catalog after it is
// opened, and the search queued behind it is answered as usual.
TEST_F(RequestBounds, ARequestEndsAtItsTimeBoundWhateverItsConditionAndCatalogs) {
    using namespace qvcatalog;
    setCatalogStatementTimeLimit(200ms);
    const std::string small = maker.make("small.vxo", disksTable({}), pathsTable({pathRow("small")}));
    const std::string big = maker.make("big.vxo", disksTable({}), manyPaths(2000));
    const std::string locked = maker.make("locked.vxo", disksTable({}), pathsTable({pathRow("locked")}));
    const std::string views = maker.makeWithViews("views.vxo", 20'000);
    Sql holder(locked);
    holder("BEGIN EXCLUSIVE");
    // A 90 KB text made by doubling, compared with a 999-byte pattern for every pair of rows: a
    // fifth of a second for each comparison, each one engine step.
    std::string text = "'" + std::string(1400, 'a') + "'";
    for (int i = 0; i < 6; ++i) text = "(SELECT s || s FROM (SELECT " + text + " AS s))";
    const std::string slow =
        "name = 'small' OR EXISTS (SELECT 1 FROM paths p WHERE " + text + " LIKE '%" + std::string(997, 'a') + "b')";
    const std::pair<Lines, std::string> requests[] = {
        {{big, small}, slow}, {{locked, small}, "1=1"}, {{views, small}, "1=1"}, {Lines(10, big), slow}};
    for (const auto& [paths, condition] : requests) {
        SCOPED_TRACE(paths[0]);
        auto bounded = connect(), behind = connect();
        const size_t logged = log().size();
        bounded->send(request("vaxo-search", paths, condition));
        ASSERT_TRUE(waitFor([&] { return log().size() > logged; }));  // arrived and queued
        behind->send(request("vaxo-search", {small}, "1=1"));
        EXPECT_EQ(recordLines(bounded->readUntil("</result>\n")), Lines{});
        EXPECT_EQ(recordLines(behind->readUntil("</result>\n")).size(), 1u);
    }
}

// What a bound stops is left out whole and the rest of the request is served: no row of a statement
// the deadline interrupted (not even those read before it), a catalog another connection keeps
// locked after its lock wait, a value longer than the whole budget, and a count a condition made
// negative, which never lowers the running total. A function the file's own schema calls stops at
// the deadline too, and still works before it.
TEST_F(RequestBounds, WhatABoundStopsIsLeftOutAndTheRestOfTheRequestIsServed) {
    using namespace qvcatalog;
    const std::string small = maker.make("small.vxo", disksTable({}), pathsTable({pathRow("small")}));
    const std::string six = maker.make("six.vxo", disksTable({}), manyPaths(6));
    const std::string locked = maker.make("locked.vxo", disksTable({}), pathsTable({pathRow("locked")}));
    const std::string longValue =
        maker.make("long.vxo", disksTable({}), pathsTable({pathRow("short"), pathRow(std::string(70'000, 'L'))}));
    const std::string solo = maker.make("solo.vxo", disksTable({}), {{"name"}, {{"solo"}}});
    // Generated names: one made with LIKE and GLOB, one whose LIKE compares a 20 MB text with a
    // 999-byte pattern, which takes far longer than the deadline.
    // The engine would work out the generated name at each insert: the rows go in first.
    const auto generated = [&](const std::string& file, const std::string& expression) {
        const std::string path = maker.make(file, disksTable({}), pathsTable({}));
        const std::string columns = "ppath, stored, itype, disk, size, dcr, dmd, vis, mt, mc";
        Sql{path}("DROP TABLE paths; CREATE TABLE paths(" + columns + "); INSERT INTO paths(ppath, stored, disk) VALUES "
                  "('/p/', 'f1', 1), ('/p/', 'g2', 1); PRAGMA writable_schema=ON; UPDATE sqlite_master SET sql = "
                  "'CREATE TABLE paths(" + columns + ", name AS (" + expression + "))' WHERE name = 'paths';");
        return path;
    };
    const std::string quick = generated("quick.vxo", "iif(stored LIKE ''F%'', ''like'', iif(stored GLOB ''*2'', ''glob'', stored))");
    const std::string endless = generated(
        "endless.vxo", "iif(like(''%'' || substr(hex(zeroblob(10000000)), 1, 997) || ''b'', hex(zeroblob(10000000))), ''x'', stored)");
    Sql holder(locked);
    holder("BEGIN EXCLUSIVE");
    // Rows come at once from the first part of the union, then its second part compares a 180 KB
    // text with a long pattern until the deadline. The count fails (its union is unbalanced).
    std::string text = "'" + std::string(1400, 'a') + "'";
    for (int i = 0; i < 7; ++i) text = "(SELECT s || s FROM (SELECT " + text + " AS s))";
    const std::string interrupted = "1=1 UNION ALL SELECT * FROM paths WHERE " + text + " LIKE '%" + std::string(997, 'a') + "b'";
    const std::string negative = "1=1 UNION SELECT -1000000 FROM paths WHERE name = 'solo'";
    const struct {
        std::chrono::milliseconds time;
        size_t budget;
        int total;
        Lines paths;
        std::string condition, records;
        int results;
        std::string cut = "";
    } cases[] = {
        {200ms, kAnswerBudget, 2000, {six, small}, interrupted, "", 0, "; answer cut: time limit 0.2 s"},
        {kCatalogTimeLimit, kAnswerBudget, 2000, {locked, small}, "1=1", "small", 1},
        {kCatalogTimeLimit, 64 * 1024, 2000, {six, longValue, small}, "1=1", "f*6 small", 7},
        {kCatalogTimeLimit, kAnswerBudget, 10, {six, six, solo, six}, negative, "OVER LIMIT 10*3", 0},
        {kCatalogTimeLimit, kAnswerBudget, 2000, {solo}, negative, "-1000000 solo", 2},
        {kCatalogTimeLimit, kAnswerBudget, 2000, {quick, small}, "1=1", "like glob small", 3},
        {200ms, kAnswerBudget, 2000, {endless, small}, "1=1", "", 0, "; answer cut: time limit 0.2 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.paths[0] + " " + c.condition.substr(0, 60));
        setCatalogStatementTimeLimit(c.time);
        setAnswerBudget(c.budget);
        application->PREFmaxresultstotal = c.total;
        const auto started = std::chrono::steady_clock::now();
        const auto [answer, logLine] = serve("vaxo-search", c.paths, c.condition);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 6s);  // a lock wait of 2 s at most
        EXPECT_EQ(summary(answer), c.records);
        // Cut only by time: what the other bounds left out was no record the answer had room for.
        EXPECT_EQ(logLine.substr(logLine.find("; results: ")),
                  "; results: " + std::to_string(c.results) + "; ticks: N" + c.cut);
    }
}

// A record that fills exactly what is left of the budget is taken, one byte less leaves it out.
TEST_F(RequestBounds, ARecordThatFillsTheRestOfTheBudgetExactlyIsServed) {
    using namespace qvcatalog;
    const std::string six = maker.make("six.vxo", disksTable({}), manyPaths(6));
    const std::string disks = maker.make("disks.vxo", disksTable({{1, "t", "One", "l", "/", "d"}, {2, "t", "Two", "l", "/", "d"}}),
                                         pathsTable({}));
    for (const auto& [command, path, condition] : {std::tuple{"vaxo-search", six, std::string("1=1")},
                                                   std::tuple{"vaxo-browse", disks, std::string(kGetdisks)}}) {
        SCOPED_TRACE(command);
        setAnswerBudget(kAnswerBudget);
        const std::string whole = serve(command, {path}, condition).first;
        for (const size_t budget : {whole.size(), whole.size() - 1}) {
            setAnswerBudget(budget);
            const auto [answer, logLine] = serve(command, {path}, condition);
            EXPECT_EQ(recordLines(answer).size(), recordLines(whole).size() - (budget < whole.size() ? 1 : 0)) << budget;
            EXPECT_EQ(logLine.find("answer cut") != std::string::npos, budget < whole.size()) << logLine;
        }
    }
}

// An answer that reaches its budget takes no further record, whether catalog rows (also those a
// catalog's schema makes fat), disks of a browse or file-name hits: it holds the records of the
// uncut answer that fit, ends with its tail, and its log line says it was cut.
TEST_F(RequestBounds, AnAnswerStopsTakingRecordsAtItsBudget) {
    using namespace qvcatalog;
    constexpr size_t kBudget = 64 * 1024;
    const std::string many = maker.make("many.vxo", disksTable({}), manyPaths(2000)), fat = maker.makeFat("fat.vxo");
    // A record too big for what is left, then small ones that would still fit.
    Table steps = manyPaths(600);
    steps.rows.insert(steps.rows.begin() + 550, pathRow(std::string(20'000, 'x')));
    const std::string stepped = maker.make("steps.vxo", disksTable({}), steps);
    std::vector<Row> disks;
    for (int i = 0; i < 100; ++i) disks.push_back({i, "t", "disk" + std::to_string(i) + std::string(2000, 'n'), "l", "/", "d"});
    const std::string fatDisks = maker.make("disks.vxo", disksTable(disks), pathsTable({}));
    std::filesystem::create_directories(folder.path() / "tree");
    for (int i = 0; i < 1000; ++i) writeFile(folder.path() / "tree" / ("budget-hit-" + std::to_string(i)), "");
    const bool indexed = indexForLocate(folder.path() / "tree", folder.path() / "index.db");
    const ScopedEnv index("QUORVANTEL_LOCATE_DB", (folder.path() / "index.db").c_str());
    gfs::spotlightSwitchMirror = true;
    application->PREFmaxresultstotal = 100'000;
    application->PREFmaxresultsdatabase = 100'000;
    const struct {
        const char* command;
        Lines paths;
        std::string_view condition, spotlight;
    } cases[] = {
        {"vaxo-search", {many}, "1=1", ""},
        {"vaxo-search", {stepped}, "1=1", ""},
        {"vaxo-search", {fat, fat, fat}, "1=1", ""},
        {"vaxo-browse", {fatDisks}, kGetdisks, ""},
        {"vaxo-search", {}, "", "budget-hit"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.paths.empty() ? c.spotlight : c.paths[0]);
        if (!c.spotlight.empty() && !indexed) continue;
        const std::string sent = request(c.command, c.paths, c.condition, "", "l", c.spotlight);
        setAnswerBudget(kAnswerBudget);
        auto client = connect();
        client->send(sent);
        const Lines whole = recordLines(client->readUntil("</result>\n"));
        ASSERT_TRUE(waitFor([&] { return !log().empty() && log().back().find(" results: ") != std::string::npos; }));
        EXPECT_EQ(log().back().find("cut"), std::string::npos);
        setAnswerBudget(kBudget);
        auto cutClient = connect();
        cutClient->send(sent);
        const std::string cut = cutClient->readUntil("</result>\n");
        const Lines taken = recordLines(cut);
        ASSERT_LT(taken.size(), whole.size());
        EXPECT_EQ(taken, Lines(whole.begin(), whole.begin() + static_cast<long>(taken.size())));
        EXPECT_LE(cut.size(), kBudget);
        EXPECT_GT(cut.size() + whole[taken.size()].size(), kBudget);
        EXPECT_TRUE(cut.ends_with("\t</records>\n</result>\n"));
        EXPECT_TRUE(waitFor([&] { return log().back().ends_with("; ticks: N; answer cut: budget 65536 bytes"); }))
            << log().back();
    }
}

}  // namespace
