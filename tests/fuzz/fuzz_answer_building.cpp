// One search request served over a real catalog: the first input byte chooses the command, the
// catalog paths and the result limits; the rest is the condition, then after a NUL the view.

#include "core/app.h"
#include "fuzz_support.h"
#include "platform/text_rule.h"
#include "search/catalog_search.h"
#include "search/searchmaster.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <utility>

namespace {

using namespace std::chrono_literals;

struct Fixture {
    std::string folder = qvfuzz::makeTempFolder();
    std::string catalog = folder + "/catalog.vxo";
    std::string notCatalog = folder + "/notes.vxo";
    uint64_t hash = 0;
    app application;
    SearchSteps steps{runDatabaseLoop, [](RequestState&) {}};
    size_t runs = 0;

    Fixture() {
        qvfuzz::writeCatalog(catalog);
        std::ofstream(notCatalog) << "not a database\n";
        hash = qvfuzz::fileHash(catalog);
        // Well inside libFuzzer's -timeout, so that only a statement that escapes its bound hangs.
        setCatalogStatementTimeLimit(2s);
    }
};

Fixture& fixture() {
    static Fixture* instance = new Fixture;  // outlives every run; never torn down under a worker
    return *instance;
}

std::string join(std::initializer_list<std::string_view> fields) {
    std::string text;
    for (auto it = fields.begin(); it != fields.end(); ++it) text.append(it == fields.begin() ? "" : "]':'[").append(*it);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fixture();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return -1;
    Fixture& f = fixture();
    const uint8_t flags = data[0];
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t nul = rest.find('\0');
    const std::string_view condition = rest.substr(0, nul);
    const std::string_view view = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);

    const bool browse = flags & 1;
    const size_t copies = (flags & 2) ? 2 : 1;
    std::string paths = copies == 2 ? f.catalog + "::" + f.catalog : f.catalog;
    if (flags & 4) paths = f.notCatalog + "::" + paths + "::relative.vxo::" + f.folder;
    static constexpr std::pair<int32_t, int32_t> kLimits[] = {{2000, 500}, {3, 2}, {0, 0}, {-1, -1}};
    const auto [totalLimit, databaseLimit] = kLimits[(flags >> 3) & 3];
    f.application.PREFmaxresultstotal = totalLimit;
    f.application.PREFmaxresultsdatabase = databaseLimit;

    const std::string request =
        join({"", browse ? "vaxo-browse" : "vaxo-search", "d", "label", "", paths, condition, view, ""});
    std::exception_ptr failure;
    const RequestState state = serveSearchRequest(request, f.steps, failure);
    FUZZ_CHECK(!failure);

    const std::string head = qvfuzz::expectedSearchHead(request);
    FUZZ_CHECK(state.answer.starts_with(head));
    size_t records = 0;
    FUZZ_CHECK(qvfuzz::recordsShape(std::string_view(state.answer).substr(head.size()), records) ==
               qvfuzz::Shape::Complete);
    // Per catalog at most its limit of rows, or the one over-limit record; a condition that
    // comments out the statement's LIMIT must not change that.
    const auto fields = qvfuzz::split(request, "]':'[");
    const bool getdisks = browse && platform::text::equalsNoCase(fields[6], kGetdisksMarker);
    if (!getdisks && databaseLimit >= 0) FUZZ_CHECK(records <= copies * static_cast<size_t>(databaseLimit + 1));
    // Whatever the count statement says, the rows of a request stay within the total limit.
    FUZZ_CHECK(state.resultCount <= std::max(totalLimit, 0));

    if (++f.runs % 256 == 0) {
        FUZZ_CHECK(qvfuzz::fileHash(f.catalog) == f.hash);
        FUZZ_CHECK(!std::filesystem::exists(f.catalog + "-journal") && !std::filesystem::exists(f.catalog + "-wal"));
    }
    return 0;
}
