#include "platform/ui/picture.h"

#include <QString>

#include <algorithm>

namespace platform::ui {

Picture GetPicture(int id) {
    QImage image(QStringLiteral(":/pictures/%1.png").arg(id));
    if (image.isNull()) return nullptr;
    return std::make_shared<const QImage>(std::move(image));
}

Picture WithMask(const Picture& picture, const Picture& mask) {
    if (!picture || !mask) return picture;
    QImage masked = picture->convertToFormat(QImage::Format_ARGB32);
    const QImage& cover = *mask;
    const int width = std::min(masked.width(), cover.width());
    const int height = std::min(masked.height(), cover.height());
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(masked.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int alpha = 255 - qGray(cover.pixel(x, y));
            line[x] = qRgba(qRed(line[x]), qGreen(line[x]), qBlue(line[x]), alpha * qAlpha(line[x]) / 255);
        }
    }
    return std::make_shared<const QImage>(std::move(masked));
}

}  // namespace platform::ui
