#include "console/log_window.h"

#include "platform/ui_font.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>

#include <memory>

namespace {
std::unique_ptr<logswindow> theLogWindow;
constexpr int kMargin = 10;
constexpr int kShownLines = 10000;
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

logswindow::logswindow()
    : Window(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint),
      editField1_(new QPlainTextEdit(&contentArea())),
      pendingTimer_(new QTimer(this)) {
    pendingTimer_->setSingleShot(true);
    pendingTimer_->setInterval(100);
    connect(pendingTimer_, &QTimer::timeout, this, &logswindow::showPending);
    setObjectName("logswindow");
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
    showPending();
    return editField1_->toPlainText();
}

void logswindow::appendText(const QString& piece) {
    pending_.append(piece);
    if (!pendingTimer_->isActive()) pendingTimer_->start();
}

void logswindow::showPending() {
    pendingTimer_->stop();
    if (pending_.isEmpty()) return;
    // Inserting at the end keeps the cost small; the text is never rewritten whole.
    QTextCursor cursor(editField1_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(pending_);
    pending_.clear();
    editField1_->verticalScrollBar()->setValue(editField1_->verticalScrollBar()->maximum());
}
