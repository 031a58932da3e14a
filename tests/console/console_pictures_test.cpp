// The console's pictures: nine resources of the right sizes, each read once and shared, the
// shown ones masked; and a console whose pictures cannot be read is still built, blank.

#include "console/console_pictures.h"
#include "console_fixture.h"
#include "platform/ui_canvas.h"

#include <QtGlobal>

#include <string>
#include <vector>

// Qt's resource macros must stand outside any namespace.
static void unregisterPictureResources() { Q_CLEANUP_RESOURCE(console_pictures); }
static void registerPictureResourcesAgain() { Q_INIT_RESOURCE(console_pictures); }

namespace {

using platform::ui::Picture;

// While it lives the application's picture resources cannot be read.
class PicturesUnreadable {
 public:
    PicturesUnreadable() {
        pictures::opendatabasecopy();  // the console's own one-time registration is behind us
        unregisterPictureResources();
    }
    ~PicturesUnreadable() { registerPictureResourcesAgain(); }
    PicturesUnreadable(const PicturesUnreadable&) = delete;
    PicturesUnreadable& operator=(const PicturesUnreadable&) = delete;
};

struct PictureCase {
    const char* name;
    int id;
    Picture (*accessor)();
    int size;
    bool shown;  // a shown picture carries its mask; a mask is plain
};

const std::vector<PictureCase> kPictures = {
    {"opendatabase", 172, pictures::opendatabase, 40, true},
    {"opendatabasecopy", 173, pictures::opendatabasecopy, 40, true},
    {"opendatabasemask", 174, pictures::opendatabasemask, 40, false},
    {"removedatabase", 175, pictures::removedatabase, 40, true},
    {"removedatabasecopy", 176, pictures::removedatabasecopy, 40, true},
    {"removedatabasemask", 177, pictures::removedatabasemask, 40, false},
    {"spotlight_picbw", 180, pictures::spotlight_picbw, 24, true},
    {"spotlight_pic", 181, pictures::spotlight_pic, 24, true},
    {"spotlight_mask", 182, pictures::spotlight_mask, 24, false},
};

TEST(ConsolePictures, EachIsReadFromItsNumberAndShownThroughItsMask) {
    pictures::release();
    for (const PictureCase& c : kPictures) {
        ASSERT_TRUE(platform::ui::GetPicture(c.id)) << c.id;
        const Picture picture = c.accessor();
        ASSERT_TRUE(picture) << c.name;
        EXPECT_EQ(picture->size(), QSize(c.size, c.size)) << c.name;
        EXPECT_EQ(c.accessor(), picture) << c.name << ": the same picture every time";

        // Every shape is drawn round its middle; the corners lie outside it.
        const QPoint middle = c.size == 40 ? QPoint(20, 20) : QPoint(9, 9);
        if (c.shown) {
            EXPECT_EQ(qAlpha(picture->pixel(0, 0)), 0) << c.name << ": the corner is masked out";
            EXPECT_EQ(qAlpha(picture->pixel(middle)), 255) << c.name << ": the middle shows";
        } else {
            EXPECT_EQ(qAlpha(picture->pixel(0, 0)), 255) << c.name << ": a mask is not masked itself";
            EXPECT_EQ(qGray(picture->pixel(0, 0)), 255) << c.name;
            EXPECT_EQ(qGray(picture->pixel(middle)), 0) << c.name;
        }
    }
}

TEST(ConsolePictures, TheFormsOfOnePairDiffer) {
    EXPECT_NE(*pictures::opendatabase(), *pictures::opendatabasecopy());
    EXPECT_NE(*pictures::removedatabase(), *pictures::removedatabasecopy());

    // The switch is grey when off and in colour when on.
    const auto coloured = [](const QImage& image) {
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QRgb pixel = image.pixel(x, y);
                if (qAlpha(pixel) > 0 && (qRed(pixel) != qGreen(pixel) || qGreen(pixel) != qBlue(pixel))) return true;
            }
        return false;
    };
    EXPECT_FALSE(coloured(*pictures::spotlight_picbw()));
    EXPECT_TRUE(coloured(*pictures::spotlight_pic()));
}

TEST(ConsolePictures, ALoadedPictureIsKeptAndNeverReadAgain) {
    pictures::release();
    const Picture atRest = pictures::opendatabasecopy();
    const Picture mask = pictures::opendatabasemask();
    ASSERT_TRUE(atRest);
    const PicturesUnreadable unreadable;
    EXPECT_FALSE(platform::ui::GetPicture(173));
    EXPECT_EQ(pictures::opendatabasecopy(), atRest);
    EXPECT_EQ(pictures::opendatabasemask(), mask);
}

TEST(ConsolePictures, AConsoleWhosePicturesCannotBeReadIsBuiltBlank) {
    consoletest::ConsoleRun run;
    {
        const PicturesUnreadable unreadable;
        pictures::release();
        dbswindow& window = run.console();
        EXPECT_EQ(window.Controls().size(), 17u);
        EXPECT_FALSE(window.plusc->Backdrop());
        EXPECT_FALSE(window.minusc->Backdrop());
        EXPECT_FALSE(window.sptlgtcnv->Backdrop());
        EXPECT_FALSE(pictures::spotlight_pic());
    }
    // Nothing was kept of the failure: the next call reads the picture.
    EXPECT_TRUE(pictures::spotlight_pic());
    EXPECT_TRUE(pictures::opendatabasecopy());
}

}  // namespace
