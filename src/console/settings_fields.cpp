// The console's settings fields: the port, the connection limit and the two result limits. A
// typed value is grey while it differs from the live one and takes effect when the field gets
// Return or the keypad's Enter, or any key while one of them is held down; the commit changes
// the running server, rewrites the settings file and says so. Text becomes a number by one rule
// for all four fields: Val (leading blanks, sign, digits, fraction, exponent; no number gives 0),
// then truncated toward zero and clamped to 32 bits.

#include "console/dbs_window.h"
#include "core/app.h"
#include "core/gfs_state.h"
#include "platform/errors.h"
#include "platform/message_box.h"
#include "platform/numbers.h"
#include "platform/server_socket.h"
#include "platform/ui/edit_field.h"
#include "platform/ui/keyboard.h"
#include "platform/ui/static_text.h"

#include <QColor>

#include <atomic>
#include <string_view>

using platform::ui::EditField;
using platform::ui::KeyPress;

namespace {

const QColor kLiveColour(0, 0, 0);
const QColor kTypedColour(126, 126, 126);

bool isCommitKey(int key) { return key == Qt::Key_Return || key == Qt::Key_Enter; }

// The key the field got, or one held down as it came.
bool commits(const KeyPress& key) {
    using platform::ui::Keyboard::AsyncKeyDown;
    return isCommitKey(key.key) || AsyncKeyDown(Qt::Key_Return) || AsyncKeyDown(Qt::Key_Enter);
}

platform::ServerSocket& listener() {
    if (!gfs::serverisko) throw platform::NilObjectException("the server has no listening socket");
    return *gfs::serverisko;
}

// The port the server listens on; before it listens, the one it is about to take.
int32_t livePort() { return gfs::serverisko ? gfs::serverisko->Port() : App().PREFportnumber.load(); }

// The texts are compared, not the numbers: "07000" is not what the server shows for 7000.
void colourAgainst(EditField& field, int32_t live) {
    field.SetTextColor(field.Text() == platform::Str(live) ? kLiveColour : kTypedColour);
}

// A limit is committed only when it is above 0; the connection limit also applies at once to
// the listening socket, which goes on listening.
void commitLimit(EditField& field, const KeyPress& key, std::atomic<int32_t>& setting, std::string_view confirmation,
                 bool toListener) {
    // The whole number is tested, so that "0.5" cannot set a limit of 0 that shuts every client out.
    const int32_t limit = platform::toInt32(platform::Val(field.Text()));
    if (!commits(key) || limit <= 0) return;
    if (toListener) listener().SetMaximumSocketsConnected(limit);
    setting = limit;
    field.SetTextColor(kLiveColour);
    App().xmlprefs(true);
    platform::MsgBox(std::string(confirmation) + field.Text());
}

}  // namespace

void dbswindow::StaticText1_Open() { StaticText1->SetText(st_myip() + ":"); }
void dbswindow::StaticText2_Open() { StaticText2->SetText(st_port() + ":"); }
void dbswindow::StaticText3_Open() { StaticText3->SetText(st_limitconnections() + ":"); }
void dbswindow::StaticText4_Open() { StaticText4->SetText(st_limittotalresuts() + ":"); }
void dbswindow::StaticText5_Open() { StaticText5->SetText(st_limitdbresults() + ":"); }

bool dbswindow::portik_KeyDown(const KeyPress& key) {
    if (!commits(key)) return false;
    platform::ServerSocket& socket = listener();
    socket.StopListening();
    // Any text is taken: one without a number gives port 0, and a port that cannot be listened
    // on is reported by the listener itself.
    const int32_t port = platform::toInt32(platform::Val(portik->Text()));
    socket.SetPort(port);
    socket.Listen();
    App().PREFportnumber = port;
    portik->SetTextColor(kLiveColour);
    App().xmlprefs(true);
    platform::MsgBox("You changed server port to " + portik->Text());
    return false;
}

void dbswindow::portik_TextChange() { colourAgainst(*portik, livePort()); }

bool dbswindow::maxcons_KeyDown(const KeyPress& key) {
    commitLimit(*maxcons, key, App().PREFmaxconnections, "You changed number of maximum connections to ", true);
    return false;
}

void dbswindow::maxcons_TextChange() { colourAgainst(*maxcons, App().PREFmaxconnections); }

bool dbswindow::maxresultstotal_KeyDown(const KeyPress& key) {
    commitLimit(*maxresultstotal, key, App().PREFmaxresultstotal, "You changed limit of results to ", false);
    return false;
}

void dbswindow::maxresultstotal_TextChange() { colourAgainst(*maxresultstotal, App().PREFmaxresultstotal); }

bool dbswindow::maxresultsdatabase_KeyDown(const KeyPress& key) {
    commitLimit(*maxresultsdatabase, key, App().PREFmaxresultsdatabase, "You changed limit of results per database to ",
                false);
    return false;
}

void dbswindow::maxresultsdatabase_TextChange() {
    colourAgainst(*maxresultsdatabase, App().PREFmaxresultsdatabase);
}
