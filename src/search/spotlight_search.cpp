#include "search/spotlight_search.h"

#include "core/gfs_state.h"
#include "platform/metadata_search.h"
#include "platform/numbers.h"
#include "search/catalog_search.h"
#include "search/search_answer.h"

std::string_view trimmedSpotlightText(std::string_view text) {
    constexpr std::string_view kWhiteSpace = " \t\r\n\v\f";
    const size_t first = text.find_first_not_of(kWhiteSpace);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kWhiteSpace) - first + 1);
}

void runSpotlightSearch(RequestState& state) {
    if (trimmedSpotlightText(state.spotlightText).empty()) return;
    if (!gfs::spotlightSwitchMirror || state.answerCut != AnswerCut::None) return;
    // The hits found before the deadline are served; the catalogs may have used all the time.
    const auto deadline = requestDeadline(state);
    // The text goes to the query as it came, blanks at its ends included.
    const auto outcome = platform::runMetadataQuery(state.spotlightText, [&state](const platform::FolderItem& file,
                                                             const platform::FileSnapshot& properties) {
        const auto parent = file.Parent();
        const std::string size = platform::Str(properties.length + properties.resourceForkLength);
        const std::string created = platform::Str(properties.creationTotalSeconds);
        const std::string modified = platform::Str(properties.modificationTotalSeconds);
        const std::string name = file.DisplayName();
        return appendRecordWithinBudget(
            state,
            {parent ? std::string_view(parent->AbsolutePath()) : std::string_view(), name,
             properties.directory ? "1" : (properties.alias ? "2" : "0"), kSpotlightDisk, size, created, modified,
             file.Visible() ? "1" : "0", properties.macType, properties.macCreator},
            RecordEnd::Spaced);
    }, deadline);
    if (outcome == platform::MetadataQueryEnd::OutOfTime) cutAnswer(state, AnswerCut::TimeLimit);
}
