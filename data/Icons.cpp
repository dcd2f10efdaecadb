#include "data/Icons.h"

namespace icons {

// Built from the PNG renders only, so no image-format plugin is needed at run time.
QIcon programIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/narwickpanel-%1.png").arg(size), QSize(size, size));
    return icon;
}

QIcon refreshIcon()
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/refresh.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/refresh@2x.png"), QSize(32, 32));
    return icon;
}

} // namespace icons
