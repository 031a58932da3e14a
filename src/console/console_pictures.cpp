#include "console/console_pictures.h"

#include <QtGlobal>

#include <map>

// Qt's macro declares the resource's function where it stands, so it must stand outside any
// namespace. A static library's resources are linked only when something names them.
static void registerPictureResources() { Q_INIT_RESOURCE(console_pictures); }

namespace pictures {

namespace {

using platform::ui::Picture;

// Resource numbers; each picture is kept under its own number.
enum : int {
    kOpenDatabase = 172,
    kOpenDatabaseCopy = 173,
    kOpenDatabaseMask = 174,
    kRemoveDatabase = 175,
    kRemoveDatabaseCopy = 176,
    kRemoveDatabaseMask = 177,
    kSpotlightPicBw = 180,
    kSpotlightPic = 181,
    kSpotlightMask = 182,
};

// The caches (_permapic of each accessor), by resource number.
std::map<int, Picture>& caches() {
    static std::map<int, Picture> permapics;
    return permapics;
}

Picture load(int id) {
    static const bool registered = (registerPictureResources(), true);
    (void)registered;
    return platform::ui::GetPicture(id);
}

Picture maskPicture(int id) {
    Picture& permapic = caches()[id];
    if (!permapic) permapic = load(id);
    return permapic;
}

// The mask is laid on once, at the first load; a picture loaded without its mask keeps none.
Picture shownPicture(int id, Picture (*mask)()) {
    Picture& permapic = caches()[id];
    if (!permapic) {
        if (Picture loaded = load(id)) permapic = platform::ui::WithMask(loaded, mask());
    }
    return permapic;
}

}  // namespace

Picture opendatabase() { return shownPicture(kOpenDatabase, opendatabasemask); }
Picture opendatabasecopy() { return shownPicture(kOpenDatabaseCopy, opendatabasemask); }
Picture opendatabasemask() { return maskPicture(kOpenDatabaseMask); }
Picture removedatabase() { return shownPicture(kRemoveDatabase, removedatabasemask); }
Picture removedatabasecopy() { return shownPicture(kRemoveDatabaseCopy, removedatabasemask); }
Picture removedatabasemask() { return maskPicture(kRemoveDatabaseMask); }
Picture spotlight_picbw() { return shownPicture(kSpotlightPicBw, spotlight_mask); }
Picture spotlight_pic() { return shownPicture(kSpotlightPic, spotlight_mask); }
Picture spotlight_mask() { return maskPicture(kSpotlightMask); }

void release() { caches().clear(); }

}  // namespace pictures
