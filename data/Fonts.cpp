#include "data/Fonts.h"

#include <QFontDatabase>
#include <QStringList>

namespace fonts {

QString family()
{
    return QStringLiteral("Lato");
}

QString loadEmbedded()
{
    static const QString loaded = [] {
        for (const char *face : {":/fonts/Lato-Regular.ttf", ":/fonts/Lato-Bold.ttf"}) {
            const int id = QFontDatabase::addApplicationFont(QString::fromLatin1(face));
            if (id < 0 || !QFontDatabase::applicationFontFamilies(id).contains(family()))
                return QString();
        }
        return family();
    }();
    return loaded;
}

} // namespace fonts
