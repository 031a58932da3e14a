// The answer texts are parsed by clients with fixed expectations, so every builder is checked
// against literal text: blanks, tabs, quotes and line ends included.

#include "platform/folder_item.h"
#include "search/immediate_answers.h"
#include "search/search_answer.h"
#include "search/searchmaster.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

const std::string kDeclaration = R"(<?xml version="1.0" encoding="UTF-8" standalone="no" ?>)"
                                 "\n\n";
const std::string kSep = "]':'[";
const std::string kViewSep = "%%__''''__%%";

TEST(ImmediateAnswerText, PongCarriesTheIdentityVerbatim) {
    EXPECT_EQ(pongAnswer({"10.1.2.3", "ready", "Linux 6.1***::::***+spotlight"}),
              kDeclaration +
                  "<answer>\n"
                  R"(<data appcode="Vaxo" action="vaxo-pong" address="10.1.2.3" status="ready" system="Linux 6.1***::::***+spotlight" />)"
                  "\n</answer>\n");
}

TEST(ImmediateAnswerText, DatabaseListKeepsOrderDuplicatesAndRawText) {
    const std::vector<platform::FolderItem> databases{platform::FolderItem("/data/one.vxo"),
                                                      platform::FolderItem("/data/sub/a&b \"<x>\".vxo"),
                                                      platform::FolderItem("/data/one.vxo")};
    EXPECT_EQ(databaseListAnswer({"127.0.0.1", "ready", "S"}, databases),
              kDeclaration +
                  "<answer>\n"
                  R"(<data appcode="Vaxo" action="vaxo-dbzoznam" address="127.0.0.1" status="ready" system="S" />)"
                  "\n<databases>\n"
                  R"(<database name="one.vxo" path="/data/one.vxo" />)"
                  "\n"
                  R"(<database name="a&b "<x>".vxo" path="/data/sub/a&b "<x>".vxo" />)"
                  "\n"
                  R"(<database name="one.vxo" path="/data/one.vxo" />)"
                  "\n</databases>\n</answer>\n");
    // No lines at all between the tags of an empty list.
    EXPECT_EQ(databaseListAnswer({"127.0.0.1", "ready", ""}, {}),
              kDeclaration +
                  "<answer>\n"
                  R"(<data appcode="Vaxo" action="vaxo-dbzoznam" address="127.0.0.1" status="ready" system="" />)"
                  "\n<databases>\n</databases>\n</answer>\n");
}

TEST(ImmediateAnswerText, NoResultEndsWithoutALineEnd) {
    EXPECT_EQ(noResultAnswer(), kDeclaration + "<answer>No result</answer>");
}

TEST(SearchAnswerText, WindowValueIsTheFourthSubField) {
    const struct {
        std::string view, window;
    } cases[] = {
        {"", ""},
        {"plain", ""},
        {"a" + kViewSep + "b" + kViewSep + "c", ""},
        {"a" + kViewSep + "b" + kViewSep + "c" + kViewSep + "W", "W"},
        {"a" + kViewSep + "b" + kViewSep + "c" + kViewSep + "W" + kViewSep + "e" + kViewSep + "f", "W"},
        {kViewSep + kViewSep + kViewSep, ""},
        {kViewSep + kViewSep + kViewSep + "only", "only"},
        {"a" + kViewSep + "b" + kViewSep + "c" + kViewSep + kViewSep + "e", ""},
        // A partial separator is text, not a separator.
        {"a%%__''''__%b" + kViewSep + "c" + kViewSep + "d" + kViewSep + "W", "W"},
    };
    for (const auto& c : cases) EXPECT_EQ(windowValueOf(c.view), c.window) << c.view;
}

TEST(SearchAnswerText, SearchLogMessage) {
    EXPECT_EQ(searchLogMessage("name = 'x'", 0, 17), "SQL action: Query: name = 'x'; results: 0; ticks: 17");
    EXPECT_EQ(searchLogMessage("", 2000, 0), "SQL action: Query: ; results: 2000; ticks: 0");
}

TEST(RequestStateFrom, ReadsTheItemsOfEachFieldCount) {
    const struct {
        std::string request, command;
        std::vector<std::string> paths;
        std::string condition, view, window, spotlight;
    } cases[] = {
        {"0" + kSep + "vaxo-search" + kSep + "d" + kSep + "l" + kSep + "u" + kSep + "/a::/b" + kSep + "c = 1" + kSep +
             "v0" + kViewSep + "v1" + kViewSep + "v2" + kViewSep + "WIN" + kSep + "spot",
         "vaxo-search", {"/a", "/b"}, "c = 1", "v0%%__''''__%%v1%%__''''__%%v2%%__''''__%%WIN", "WIN", "spot"},
        {"" + kSep + "vaxo-browse" + kSep + kSep + kSep + kSep + "" + kSep + "c" + kSep + "v" + kSep + "",
         "vaxo-browse", {}, "c", "v", "", ""},
        {"" + kSep + "vaxo-search" + kSep + kSep + kSep + kSep + "/only.vxo" + kSep + "c", "vaxo-search",
         {"/only.vxo"}, "c", "", "", ""},
        {"" + kSep + "vaxo-search" + kSep + "d" + kSep + "l", "vaxo-search", {}, "", "", "", ""},
        {"no separator at all", "", {}, "", "", "", ""},
        // Fields beyond the ninth are not read.
        {"" + kSep + "c" + kSep + kSep + kSep + kSep + "/x" + kSep + "q" + kSep + "v" + kSep + "s" + kSep + "extra",
         "c", {"/x"}, "q", "v", "", "s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        const RequestState state = requestStateFrom(c.request);
        EXPECT_EQ(state.command, c.command);
        EXPECT_EQ(state.databasePaths, c.paths);
        EXPECT_EQ(state.condition, c.condition);
        EXPECT_EQ(state.view, c.view);
        EXPECT_EQ(state.windowValue, c.window);
        EXPECT_EQ(state.spotlightText, c.spotlight);
        EXPECT_TRUE(state.answer.empty());
        EXPECT_EQ(state.resultCount, 0);
        EXPECT_EQ(state.runningTotal, 0);
    }
}

// Records which steps ran, in order, and lets each add to the answer or fail.
struct StepRecorder {
    std::vector<std::string> calls;
    bool loopFails = false;
    bool spotlightFails = false;

    SearchSteps steps() {
        SearchSteps s;
        s.databaseLoop = [this](RequestState& state) {
            calls.push_back("loop:" + std::to_string(state.databasePaths.size()));
            appendRecordLine(state.answer, {"/p", "row", "F", "Disk 1", "10", "3", "4", "1", "TEXT", "t&<"}, RecordEnd::Tight);
            ++state.resultCount;
            if (loopFails) throw std::runtime_error("catalog unreadable");
        };
        s.spotlightSearch = [this](RequestState& state) {
            calls.push_back("spotlight:" + state.spotlightText);
            if (spotlightFails) throw std::runtime_error("index unreadable");
            appendRecordLine(state.answer, {"/s", "hit", "", "", "", "", "", "", "", ""}, RecordEnd::Spaced);
        };
        return s;
    }
};

// A catalog row ends tight ("/>"), a file-name hit spaced (" />"); values go out raw.
const std::string kLoopRecord =
    "\t\t<record ppath=\"/p\" name=\"row\" itype=\"F\" disk=\"Disk 1\" size=\"10\" dcr=\"3\" dmd=\"4\" vis=\"1\" "
    "mt=\"TEXT\" mc=\"t&<\"/>\n";
const std::string kSpotlightRecord = "\t\t<record ppath=\"/s\" name=\"hit\" itype=\"\" disk=\"\" size=\"\" dcr=\"\" dmd=\"\" vis=\"\" mt=\"\" mc=\"\" />\n";
const std::string kTail = "\t</records>\n</result>\n";

std::string headFor(const std::string& window, const std::string& view, const std::string& condition) {
    return kDeclaration + "<result>\n\t<description window=\"" + window + "\" tab=\"" + view + "\" sqlquery=\"" +
           condition + "\" />\n\t<records>\n";
}

const std::string kWindowView = "a" + kViewSep + "b" + kViewSep + "c" + kViewSep + "W";

TEST(ServeSearchRequest, StepsRunInOrderAndTheirRecordsLandBetweenHeadAndTail) {
    const struct {
        std::string paths;
        std::vector<std::string> calls;
        std::string records;
    } cases[] = {
        {"", {"spotlight:txt"}, kSpotlightRecord},
        {"/a.vxo::/b.vxo", {"loop:2", "spotlight:txt"}, kLoopRecord + kSpotlightRecord},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.paths);
        StepRecorder recorder;
        std::exception_ptr failure;
        const std::string request = "" + kSep + "vaxo-search" + kSep + "d" + kSep + "l" + kSep + "" + kSep + c.paths +
                                    kSep + R"(c < 'x"&')" + kSep + kWindowView + kSep + "txt";
        const RequestState state = serveSearchRequest(request, recorder.steps(), failure);
        EXPECT_FALSE(failure);
        EXPECT_EQ(recorder.calls, c.calls);
        EXPECT_EQ(state.answer, headFor("W", kWindowView, R"(c < 'x"&')") + c.records + kTail);
        EXPECT_EQ(state.resultCount, c.paths.empty() ? 0 : 1);
        EXPECT_EQ(state.condition, R"(c < 'x"&')");
    }
}

TEST(ServeSearchRequest, AFailingStepKeepsWhatWasFoundAndClosesTheAnswer) {
    const std::string request = "" + kSep + "vaxo-search" + kSep + "d" + kSep + "l" + kSep + "" + kSep + "/a.vxo" +
                                kSep + "q = 1" + kSep + "v" + kSep + "t";
    const struct {
        bool loopFails, spotlightFails;
        std::vector<std::string> calls;
        std::string records, message;
    } cases[] = {
        {true, false, {"loop:1"}, kLoopRecord, "catalog unreadable"},
        {false, true, {"loop:1", "spotlight:t"}, kLoopRecord, "index unreadable"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        StepRecorder recorder;
        recorder.loopFails = c.loopFails;
        recorder.spotlightFails = c.spotlightFails;
        std::exception_ptr failure;
        const RequestState state = serveSearchRequest(request, recorder.steps(), failure);
        EXPECT_EQ(recorder.calls, c.calls);
        EXPECT_EQ(state.answer, headFor("", "v", "q = 1") + c.records + kTail);
        EXPECT_EQ(state.condition, "q = 1");
        EXPECT_EQ(state.resultCount, 1);
        ASSERT_TRUE(failure);
        try {
            std::rethrow_exception(failure);
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), c.message.c_str());
        }
    }
}

}  // namespace
