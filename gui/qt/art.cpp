// Loading the utility's pictures from the resources.
#include "art.h"

#include "template_loader.h"

namespace vorngui::qt {

QImage mainPicture() {
    ensureResources();
    return QImage(QStringLiteral(":/art/bitmap_141.png"));
}

QIcon applicationIcon() {
    ensureResources();
    QIcon icon;
    icon.addFile(QStringLiteral(":/art/icon_128_16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/art/icon_128_32.png"), QSize(32, 32));
    return icon;
}

} // namespace vorngui::qt
