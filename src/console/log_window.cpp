#include "console/log_window.h"

#include "platform/line_writer.h"
#include "platform/ui/font.h"

#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>
#include <memory>

namespace {
std::unique_ptr<logswindow> theLogWindow;
platform::LineWriter* echo = nullptr;
QPointer<platform::ui::Window> owner;
// A utility window of the console: title, minimise and close boxes, and no maximise box, which
// would only cover the console it serves.
constexpr Qt::WindowFlags kFloatingWindow = Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                            Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint;
constexpr int kMargin = 10;
constexpr int kShownLines = 10000;
// Bytes as the field holds text, two per character.
constexpr qsizetype kHeldCharacters = (qsizetype{4} << 20) / qsizetype{sizeof(QChar)};
// Drawing the field costs the main thread time in proportion to the length of the lines in view,
// so a logged line is shown up to this length; the log file keeps it whole.
constexpr qsizetype kLongLine = 500;
// A new line in the field costs about as much as this many characters.
constexpr qsizetype kLineEndCost = 25;
// One showing costs a few milliseconds at most, so that no request waits long behind it; while
// more waits, another follows soon after. What waits beyond 16 showings is left out, oldest
// first, so that the window stays within a second of the log.
constexpr qsizetype kShowBudget = 16 * 1024;
constexpr qsizetype kWaitingBudget = 16 * kShowBudget;
constexpr int kFirstShowMs = 100, kCatchUpMs = 50;

QString cutWhenLong(const QString& piece) {
    const qsizetype limit = kLongLine + (piece.startsWith(QLatin1Char('\n')) ? 1 : 0);
    if (piece.size() <= limit) return piece;
    const qsizetype kept = piece.at(limit - 1).isHighSurrogate() ? limit - 1 : limit;
    return piece.left(kept) + QStringLiteral(" [... cut, %1 more characters]").arg(piece.size() - kept);
}

qsizetype costOf(const QString& piece) { return piece.size() + kLineEndCost * piece.count(QLatin1Char('\n')); }
}  // namespace

logswindow& logswindow::instance() {
    if (!theLogWindow) {
        theLogWindow.reset(new logswindow());
        theLogWindow->show();
    }
    return *theLogWindow;
}

bool logswindow::exists() { return theLogWindow != nullptr; }

void logswindow::release() { theLogWindow.reset(); }

void logswindow::echoTo(platform::LineWriter* output) { echo = output; }

void logswindow::floatAbove(platform::ui::Window* window) {
    owner = window;
    if (theLogWindow) theLogWindow->FloatAbove(window);
}

logswindow::logswindow()
    : Window(kFloatingWindow),
      editField1_(new QPlainTextEdit(&contentArea())),
      pendingTimer_(new QTimer(this)) {
    pendingTimer_->setSingleShot(true);
    pendingTimer_->setInterval(100);
    connect(pendingTimer_, &QTimer::timeout, this, &logswindow::showPending);
    setObjectName("logswindow");
    FloatAbove(owner);
    SetTitle("Server log");
    SetMinimumSize(64, 64);
    SetMaximumSize(32000, 32000);
    SetWidth(400);
    SetHeight(450);
    SetMenuBarVisible(true);

    editField1_->setObjectName("EditField1");
    editField1_->setReadOnly(true);
    editField1_->setLineWrapMode(QPlainTextEdit::NoWrap);
    editField1_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    editField1_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    editField1_->setTabChangesFocus(true);
    // The file keeps every line; the window keeps the latest ones, so that a long run or clients
    // sending long labels cannot grow the server's memory without end.
    editField1_->setMaximumBlockCount(kShownLines);
    editField1_->setFont(platform::ui::fontNamed("SmallSystem"));
    editField1_->setPalette([] {
        QPalette palette;
        palette.setColor(QPalette::Base, Qt::white);
        palette.setColor(QPalette::Text, Qt::black);
        return palette;
    }());
    // The field keeps its margin to every edge of the content area.
    auto* layout = new QVBoxLayout(&contentArea());
    layout->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    layout->addWidget(editField1_);
}

QString logswindow::text() {
    showWaiting(std::numeric_limits<qsizetype>::max());
    return editField1_->toPlainText();
}

void logswindow::appendText(const QString& piece) {
    QString shown = cutWhenLong(piece);
    if (echo) {
        const QByteArray line = (shown.startsWith(QLatin1Char('\n')) ? shown.mid(1) : shown).toUtf8();
        echo->writeLine(std::string_view(line.constData(), static_cast<size_t>(line.size())));
    }
    const qsizetype cost = costOf(shown);
    pending_.push_back({std::move(shown), cost});
    pendingCost_ += cost;
    while (pendingCost_ > kWaitingBudget && pending_.size() > 1) {
        pendingCost_ -= pending_.front().cost;
        pending_.pop_front();
        ++leftOut_;
    }
    if (!pendingTimer_->isActive()) pendingTimer_->start(kFirstShowMs);
}

void logswindow::showPending() {
    showWaiting(kShowBudget);
    if (!pending_.empty()) pendingTimer_->start(kCatchUpMs);
}

void logswindow::showWaiting(qsizetype budget) {
    if (pending_.empty() && leftOut_ == 0) return;
    QString text;
    if (leftOut_ > 0)
        text = QStringLiteral("\n[... %1 log lines left out here: they came faster than the window shows them]")
                   .arg(leftOut_);
    leftOut_ = 0;
    // At least one piece, so that the window always moves on.
    for (qsizetype spent = 0; !pending_.empty() && (spent == 0 || spent + pending_.front().cost <= budget);) {
        spent += pending_.front().cost;
        pendingCost_ -= pending_.front().cost;
        text += pending_.front().text;
        pending_.pop_front();
    }
    // Inserting at the end keeps the cost small; the text is never rewritten whole.
    QTextCursor cursor(editField1_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    dropOldestShown();
    editField1_->verticalScrollBar()->setValue(editField1_->verticalScrollBar()->maximum());
}

// Whole lines from the start, until the text is within its bound; the field itself keeps the
// number of lines within theirs.
void logswindow::dropOldestShown() {
    QTextDocument* document = editField1_->document();
    const qsizetype excess = document->characterCount() - 1 - kHeldCharacters;
    if (excess <= 0) return;
    const QTextBlock last = document->findBlock(static_cast<int>(excess - 1));
    QTextCursor cursor(document);
    cursor.setPosition(std::min(last.position() + last.length(), document->characterCount() - 1),
                       QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}
