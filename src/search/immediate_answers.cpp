#include "search/immediate_answers.h"

#include "core/app.h"
#include "core/gfs_state.h"
#include "platform/text_rule.h"
#include "platform/text_stream.h"

using platform::EndOfLine;
using platform::text::equalsNoCase;

namespace {

std::string answerHead() {
    std::string text(kXmlDeclaration);
    text.append(EndOfLine).append(EndOfLine);
    return text;
}

void appendDataElement(std::string& text, std::string_view action, const ServerIdentity& identity) {
    text.append("<data appcode=\"Vaxo\" action=\"").append(action);
    text.append("\" address=\"").append(identity.address);
    text.append("\" status=\"").append(identity.status);
    text.append("\" system=\"").append(identity.system);
    text.append("\" />").append(EndOfLine);
}

}  // namespace

std::string pongAnswer(const ServerIdentity& identity) {
    std::string text = answerHead();
    text.append("<answer>").append(EndOfLine);
    appendDataElement(text, "vaxo-pong", identity);
    text.append("</answer>").append(EndOfLine);
    return text;
}

std::string databaseListAnswer(const ServerIdentity& identity, const std::vector<platform::FolderItem>& databases) {
    std::string text = answerHead();
    text.append("<answer>").append(EndOfLine);
    appendDataElement(text, "vaxo-dbzoznam", identity);
    text.append("<databases>").append(EndOfLine);
    for (const platform::FolderItem& database : databases) {
        text.append("<database name=\"").append(database.Name());
        text.append("\" path=\"").append(database.AbsolutePath());
        text.append("\" />").append(EndOfLine);
    }
    text.append("</databases>").append(EndOfLine);
    text.append("</answer>").append(EndOfLine);
    return text;
}

std::string noResultAnswer() { return answerHead().append("<answer>No result</answer>"); }

namespace gfs {

void connakcie(std::string_view command, platform::TCPSocket& socket) {
    const auto identity = [&socket] {
        std::string system = App().candospotlightstring;
        if (gfs::spotlightSwitchMirror) system.append(kSpotlightSuffix);
        return ServerIdentity{socket.LocalAddress(), gfs::servstatx, std::move(system)};
    };
    if (equalsNoCase(command, "vaxo-ping"))
        socket.Write(pongAnswer(identity()));
    else if (equalsNoCase(command, "vaxo-getlist"))
        socket.Write(databaseListAnswer(identity(), App().databases));
    else
        socket.Write(noResultAnswer());
}

}  // namespace gfs
