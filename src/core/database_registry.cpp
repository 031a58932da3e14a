#include "core/database_registry.h"

#include "core/app.h"
#include "core/file_types.h"
#include "core/text_constants.h"
#include "platform/errors.h"
#include "platform/message_box.h"

#include <algorithm>
#include <string>
#include <unordered_set>

namespace gfs {

std::optional<platform::FolderItem> getDatabaseFile() {
    ConsoleAccess& console = App().console();
    const auto [screenWidth, screenHeight] = console.mainScreenSize();
    OpenDialogRequest request;
    request.prompt = dbsel_prompt();
    request.title = dbsel_title();
    request.left = screenWidth / 2 - 180;
    request.top = screenHeight / 2 - 180;
    if (FileTypes::pQuorvantelDatabase) request.filter = *FileTypes::pQuorvantelDatabase;
    const auto chosen = console.showOpenDialog(request);
    if (!chosen || chosen->empty() || chosen->front() != '/') return std::nullopt;
    const platform::FolderItem file(*chosen);
    if (!file.Exists()) return std::nullopt;
    const auto parent = file.Parent();
    if (parent && parent->Locked()) return std::nullopt;
    return file;
}

void addNewDatabase(const std::optional<platform::FolderItem>& f, bool refresh) {
    try {
        if (!f || !f->Exists()) return;
        app& application = App();
        const bool registered = std::any_of(application.databases.begin(), application.databases.end(),
                                            [&f](const platform::FolderItem& d) { return d.AbsolutePath() == f->AbsolutePath(); });
        if (registered) return;
        application.databases.push_back(*f);
        if (refresh) application.console().aktualizacia();
    } catch (...) {
        platform::Beep();
        platform::MsgBox("addNewDatabase");
    }
}

void addNewDatabases(const std::vector<platform::FolderItem>& files) {
    std::vector<platform::FolderItem>& databases = App().databases;
    std::unordered_set<std::string> registered;
    for (const platform::FolderItem& d : databases) registered.insert(d.AbsolutePath());
    for (const platform::FolderItem& f : files) {
        try {
            if (!f.Exists() || registered.contains(f.AbsolutePath())) continue;
            databases.push_back(f);
            registered.insert(f.AbsolutePath());
        } catch (...) {
            platform::Beep();
            platform::MsgBox("addNewDatabase");
        }
    }
}

void removeDatabase(int32_t index, bool alsoDefault) {
    app& application = App();
    if (application.databases.empty()) return;
    if (index < 0 || static_cast<size_t>(index) >= application.databases.size())
        throw platform::OutOfBoundsException("no registered database at index " + std::to_string(index));
    const std::string path = application.databases[static_cast<size_t>(index)].AbsolutePath();
    if (alsoDefault) {
        auto& defaults = application.defDatabases;
        const auto it = std::find_if(defaults.begin(), defaults.end(),
                                     [&path](const platform::FolderItem& d) { return d.AbsolutePath() == path; });
        if (it != defaults.end()) defaults.erase(it);
    }
    application.databases.erase(application.databases.begin() + index);
    application.console().aktualizacia();
}

}  // namespace gfs
