#pragma once
// Pictures: shared, unchanging images read from the application's resources by number, and
// masks, where black shows a pixel and white hides it. Loading and masking are safe on any
// thread; showing a picture is the controls' business (main thread).

#include <QImage>

#include <memory>

namespace platform::ui {

// Empty when there is no picture. Every holder of one Picture shares the same image.
using Picture = std::shared_ptr<const QImage>;

// The picture resource with that number (":/pictures/<id>.png"), or empty when the application's
// resources hold none or it cannot be read.
Picture GetPicture(int id);

// A copy of picture whose transparency comes from mask laid on it unscaled at its top left:
// black keeps a pixel, white makes it transparent, greys in between. Pixels beyond the mask
// stay as they were. Without a mask the picture is returned as it is.
Picture WithMask(const Picture& picture, const Picture& mask);

}  // namespace platform::ui
