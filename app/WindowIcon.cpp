#include "app/WindowIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace quarnel {

QImage DrawWindowIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 32.0, size / 32.0);  // drawn on a 32 x 32 grid

    QPainterPath shield;
    shield.moveTo(16, 1.5);
    shield.cubicTo(21, 4, 25, 5, 29.5, 5);
    shield.cubicTo(29.5, 18, 25, 26, 16, 30.5);
    shield.cubicTo(7, 26, 2.5, 18, 2.5, 5);
    shield.cubicTo(7, 5, 11, 4, 16, 1.5);
    shield.closeSubpath();
    QLinearGradient face(0, 0, 32, 32);
    face.setColorAt(0, QColor(70, 160, 215));
    face.setColorAt(1, QColor(20, 90, 140));
    painter.setPen(QPen(QColor(15, 60, 100), 1.2));
    painter.setBrush(face);
    painter.drawPath(shield);

    // Two ends of a connection...
    painter.setPen(QPen(Qt::white, 2.4, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(8, 16), QPointF(24, 16));
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawEllipse(QPointF(8, 16), 3, 3);
    painter.drawEllipse(QPointF(24, 16), 3, 3);
    // ...and the bar that cuts it.
    painter.setPen(QPen(QColor(210, 20, 20), 3.2, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(19, 9), QPointF(13, 23));
    return image;
}

QIcon WindowIcon() {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        icon.addPixmap(QPixmap::fromImage(DrawWindowIcon(size)));
    }
    return icon;
}

}  // namespace quarnel
