// The window and control layer on its own: list rows with hidden cells and a case-blind sort,
// check boxes that tell the user's clicks from the program's, column shares, the order of the
// Open events, key and mouse events, masks and font names.

#include "console_fixture.h"
#include "platform/errors.h"
#include "platform/ui_canvas.h"
#include "platform/ui_edit_field.h"
#include "platform/ui_font.h"
#include "platform/ui_listbox.h"
#include "platform/ui_picture.h"
#include "platform/ui_window.h"

#include <QDialog>
#include <QHeaderView>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>

#include <string>
#include <utility>
#include <vector>

namespace {

using namespace platform::ui;
using consoletest::clickCheckBox;
using consoletest::clickName;

// A shown window with one list of three columns, the last two check boxes.
class ListWindow : public ::testing::Test {
 protected:
    ListWindow() {
        window.resize(300, 200);
        list = new Listbox(window, {"list", {10, 10, 280, 180}, LockLeft | LockTop | LockRight | LockBottom, 0}, 3);
        list->SetColumnType(1, Listbox::CheckBoxColumn);
        list->SetColumnType(2, Listbox::CheckBoxColumn);
        window.show();
    }
    void addRows(const std::vector<std::pair<std::string, std::string>>& rows) {
        for (const auto& [name, hidden] : rows) {
            list->AddRow(name);
            list->SetCell(list->LastIndex(), 3, hidden);
        }
    }
    std::vector<std::string> column(int index) const {
        std::vector<std::string> cells;
        for (int row = 0; row < list->ListCount(); ++row) cells.push_back(list->Cell(row, index));
        return cells;
    }

    Window window;
    Listbox* list;
};

TEST_F(ListWindow, SortsByNameIgnoringCaseAndHiddenCellsGoWithTheirRows) {
    addRows({{"beta", "2"}, {"Alpha", "1"}, {"gamma", "4"}, {"alpha", "1b"}, {"Gamma", "3"}});
    EXPECT_EQ(list->LastIndex(), 4);
    list->Sort();
    EXPECT_EQ(column(0)[0], "beta") << "no sort column, no sort";

    list->SetHeadingIndex(0);
    list->Sort();
    EXPECT_EQ(column(0), (std::vector<std::string>{"Alpha", "alpha", "beta", "gamma", "Gamma"}));
    EXPECT_EQ(column(3), (std::vector<std::string>{"1", "1b", "2", "4", "3"}));
    EXPECT_EQ(list->columnCount(), 3);
    EXPECT_EQ(list->Cell(0, 4), "") << "a hidden cell never set is empty";
}

TEST_F(ListWindow, CellsOutsideTheListAreRefused) {
    addRows({{"one", ""}});
    EXPECT_THROW(list->Cell(1, 0), platform::OutOfBoundsException);
    EXPECT_THROW(list->Cell(0, -1), platform::OutOfBoundsException);
    EXPECT_THROW(list->CellCheck(0, 3), platform::OutOfBoundsException);
    EXPECT_THROW(list->SetCell(-1, 0, "x"), platform::OutOfBoundsException);
    list->DeleteAllRows();
    EXPECT_EQ(list->ListCount(), 0);
    EXPECT_EQ(list->LastIndex(), -1);
}

TEST_F(ListWindow, OnlyTheUsersClickOnACheckBoxIsACellAction) {
    addRows({{"one", ""}, {"two", ""}});
    std::vector<std::pair<int, int>> actions;
    int changes = 0;
    list->CellAction = [&](int row, int column) { actions.emplace_back(row, column); };
    list->Change = [&] { ++changes; };

    list->SetCellCheck(1, 2, true);
    QApplication::processEvents();
    EXPECT_TRUE(actions.empty());

    clickCheckBox(*list, 1, 1);
    EXPECT_EQ(actions, (std::vector<std::pair<int, int>>{{1, 1}}));
    EXPECT_TRUE(list->CellCheck(1, 1));
    EXPECT_EQ(list->ListIndex(), -1) << "a check box is not a selection";
    EXPECT_EQ(changes, 0);

    clickName(*list, 0);
    EXPECT_EQ(list->ListIndex(), 0);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(actions.size(), 1u) << "a click on a name is no cell action";
}

TEST_F(ListWindow, AHandlerMayRebuildTheListItWasCalledFrom) {
    addRows({{"one", ""}});
    int actions = 0;
    list->CellAction = [&](int, int) {
        ++actions;
        list->DeleteAllRows();
        addRows({{"again", ""}});
    };
    clickCheckBox(*list, 0, 2);
    EXPECT_EQ(actions, 1);
    EXPECT_EQ(column(0), std::vector<std::string>{"again"});
}

TEST_F(ListWindow, ColumnSharesFollowTheListsWidth) {
    list->SetColumnWidths("70%,15%,15%");
    for (const int width : {280, 480}) {
        window.SetWidth(width + 20);
        const int available = list->viewport()->width();
        EXPECT_EQ(list->header()->sectionSize(0), available * 70 / 100) << width;
        EXPECT_EQ(list->header()->sectionSize(1), available * 15 / 100) << width;
        EXPECT_EQ(list->header()->sectionSize(2), available * 15 / 100) << width;
    }
}

TEST(UiWindow, OpensOnceAfterItsControls) {
    Window window;
    std::vector<std::string> opened;
    auto* first = new Canvas(window, {"first", {0, 0, 10, 10}});
    auto* second = new Canvas(window, {"second", {10, 0, 10, 10}});
    first->Open = [&] { opened.push_back("first"); };
    second->Open = [&] { opened.push_back("second"); };
    window.Open = [&] { opened.push_back("window"); };
    window.Show();
    window.hide();
    window.Show();
    EXPECT_EQ(opened, (std::vector<std::string>{"first", "second", "window"}));
    EXPECT_EQ(window.Find<Canvas>("second"), second);
    EXPECT_EQ(window.Find<EditField>("second"), nullptr);
}

TEST(UiWindow, AnExceptionInAHandlerDoesNotEscapeTheEvent) {
    Window window;
    window.Open = [] { throw std::runtime_error("handler failed"); };
    EXPECT_NO_THROW(window.Show());
}

TEST(UiWindow, TakesOnlyLocalFilesWithAnAdmittedEndingOneByOne) {
    Window window;
    std::vector<std::string> dropped;
    window.DropObject = [&](DragItem& item, int) {
        do dropped.push_back(item.FolderItem().Name());
        while (item.NextItem());
    };
    QMimeData data;
    data.setUrls({QUrl("https://example.org/a.vxo"), QUrl::fromLocalFile("/tmp/a.txt"),
                  QUrl::fromLocalFile("/tmp/b.VXO"), QUrl::fromLocalFile("/tmp/c.vxo")});
    const auto offer = [&] {
        QDragEnterEvent enter(QPoint(1, 1), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &enter);
        QDropEvent drop(QPointF(1, 1), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &drop);
        return enter.isAccepted();
    };
    EXPECT_FALSE(offer()) << "a window takes no drops until it names what it takes";
    window.AcceptFileDrop(".vxo");
    EXPECT_TRUE(offer());
    EXPECT_EQ(dropped, (std::vector<std::string>{"b.VXO", "c.vxo"}));
}

TEST(UiWindow, TheActivationAModalBoxGivesBackIsNoNewOne) {
    Window window;
    Window other;
    int activations = 0;
    window.Activate = [&] { ++activations; };
    window.Show();
    other.Show();
    const auto activate = [](QWidget& widget) {
        widget.activateWindow();
        return QTest::qWaitForWindowActive(&widget);
    };
    ASSERT_TRUE(activate(window));
    const int before = activations;

    QDialog box;
    box.setModal(true);
    box.show();
    ASSERT_TRUE(activate(box));
    box.hide();
    ASSERT_TRUE(activate(window));
    EXPECT_EQ(activations, before);

    ASSERT_TRUE(activate(other));
    ASSERT_TRUE(activate(window));
    EXPECT_EQ(activations, before + 1);
}

TEST(UiEditField, AKeyDownHandlerMayConsumeTheKey) {
    Window window;
    auto* field = new EditField(window, {"field", {0, 0, 100, 22}}, false);
    std::vector<int> keys;
    int changes = 0;
    field->KeyDown = [&](const KeyPress& key) {
        keys.push_back(key.key);
        return key.text == "x";
    };
    field->TextChange = [&] { ++changes; };
    window.Show();
    QTest::keyClicks(&field->focusTarget(), "axb");
    EXPECT_EQ(field->Text(), "ab");
    EXPECT_EQ(keys, (std::vector<int>{Qt::Key_A, Qt::Key_X, Qt::Key_B}));
    EXPECT_EQ(changes, 2);
    field->SetText("typed by the program");
    EXPECT_EQ(changes, 3);
}

TEST(UiCanvas, AMouseDownIsReportedWhereItHappened) {
    Window window;
    auto* canvas = new Canvas(window, {"canvas", {5, 5, 40, 40}});
    QPoint pressed(-1, -1);
    canvas->MouseDown = [&](int x, int y) {
        pressed = QPoint(x, y);
        return false;
    };
    window.Show();
    QTest::mouseClick(canvas, Qt::LeftButton, {}, QPoint(12, 30));
    EXPECT_EQ(pressed, QPoint(12, 30));
    EXPECT_EQ(canvas->focusPolicy(), Qt::NoFocus);
}

TEST(UiPicture, AMaskMakesWhiteTransparentAndBlackOpaque) {
    QImage picture(4, 1, QImage::Format_RGB32);
    picture.fill(QColor(10, 20, 30));
    QImage mask(3, 1, QImage::Format_Grayscale8);  // narrower: the last pixel is not covered
    const std::vector<std::pair<int, int>> greyToAlpha = {{0, 255}, {255, 0}, {128, 127}};
    for (int x = 0; x < 3; ++x) mask.setPixel(x, 0, qRgb(greyToAlpha[x].first, greyToAlpha[x].first, greyToAlpha[x].first));

    const Picture masked = WithMask(std::make_shared<const QImage>(picture), std::make_shared<const QImage>(mask));
    for (int x = 0; x < 3; ++x) EXPECT_EQ(qAlpha(masked->pixel(x, 0)), greyToAlpha[x].second) << x;
    EXPECT_EQ(qAlpha(masked->pixel(3, 0)), 255);
    EXPECT_EQ(qRed(masked->pixel(0, 0)), 10);

    const Picture plain = std::make_shared<const QImage>(picture);
    EXPECT_EQ(WithMask(plain, nullptr), plain);
    EXPECT_FALSE(GetPicture(99999));
}

TEST(UiFont, SmallSystemIsSmallerAndASizeIsTaken) {
    EXPECT_EQ(fontNamed("System").family(), QApplication::font().family());
    EXPECT_LT(fontNamed("smallSystem").pointSizeF(), fontNamed("System").pointSizeF());
    EXPECT_EQ(fontNamed("SmallSystem").pointSizeF(), fontNamed("smallSystem").pointSizeF());
    EXPECT_EQ(fontNamed("System", 10).pointSize(), 10);
    EXPECT_EQ(fontNamed("smallSystem", 10).pointSize(), 10);
}

}  // namespace
