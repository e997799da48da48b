#include "app/WindowFonts.h"

#include <QStringList>

namespace quarnel {

QFont Arial(double pointSize, bool bold) {
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

QFont ButtonFont() {
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSizeF(9.75);
    font.setWeight(QFont::Normal);
    return font;
}

void InstallFontSubstitutes() {
    // Fontconfig already maps Arial to Liberation Sans; the old bitmap face has no such alias.
    const QStringList sans = {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans"),
                              QStringLiteral("Sans Serif")};
    QFont::insertSubstitutions(QStringLiteral("Arial"), sans);
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"), sans);
}

}  // namespace quarnel
