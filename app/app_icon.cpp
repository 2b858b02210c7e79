#include "app/app_icon.h"

#include <QPainter>
#include <QPixmap>

// A serial connector (a D-shaped shell with two rows of pins) on a blue tile, and
// a small network arc: a COM port carried over the network.
QImage drawAppIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, size >= 32);
    qreal u = size / 16.0;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 128));
    p.drawRoundedRect(QRectF(0, 0, size, size), 2 * u, 2 * u);
    QPolygonF shell({QPointF(2 * u, 5 * u), QPointF(14 * u, 5 * u), QPointF(12.5 * u, 11 * u),
                     QPointF(3.5 * u, 11 * u)});
    p.setBrush(QColor(192, 192, 192));
    p.drawPolygon(shell);
    p.setBrush(QColor(255, 255, 0));
    for (int i = 0; i < 5; ++i)
        p.drawEllipse(QPointF((4 + 2 * i) * u, 7 * u), 0.7 * u, 0.7 * u);
    for (int i = 0; i < 4; ++i)
        p.drawEllipse(QPointF((5 + 2 * i) * u, 9 * u), 0.7 * u, 0.7 * u);
    p.setPen(QPen(QColor(0, 255, 255), std::max<qreal>(1, u)));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(5 * u, 1 * u, 6 * u, 6 * u), 30 * 16, 120 * 16);
    p.end();
    return image;
}

QIcon makeAppIcon() {
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(drawAppIcon(32)));
    icon.addPixmap(QPixmap::fromImage(drawAppIcon(16)));
    return icon;
}
