// The open dialog's name filter, matched against real files in a temporary folder.

#include "platform/ui/open_dialog.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

namespace {

// Desktop dialogs match a filter's patterns case by case, so the pattern itself takes every case.
TEST(OpenDialog, OffersCatalogsWhateverTheCaseOfTheirEnding) {
    QTemporaryDir dir;
    for (const char* name : {"x.vxo", "x.Vxo", "x.VXO", "y.vXo", "x.txt", "x.vxo.bak", "xvxo", "x.vx"})
        std::ofstream(dir.filePath(name).toStdString());
    platform::OpenDialogOptions options;
    options.filterName = "Quorvantel database";
    options.filterExtension = ".vxo";
    const std::string filter = platform::nameFilter(options);
    const std::string head = "Quorvantel database (";
    ASSERT_TRUE(filter.starts_with(head) && filter.ends_with(")")) << filter;
    const QString patterns = QString::fromStdString(filter.substr(head.size(), filter.size() - head.size() - 1));
    std::set<std::string> offered;
    for (const QString& name : QDir(dir.path()).entryList(patterns.split(' '), QDir::Files | QDir::CaseSensitive))
        offered.insert(name.toStdString());
    EXPECT_EQ(offered, (std::set<std::string>{"x.VXO", "x.Vxo", "x.vxo", "y.vXo"}));
    options.filterExtension.clear();
    EXPECT_EQ(platform::nameFilter(options), "");
}

}  // namespace
