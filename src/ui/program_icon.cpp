#include "ui/program_icon.h"

#include <QPainter>
#include <QPixmap>

namespace z39 {
namespace {

// One size of the icon, painted on the SVG's 64 x 64 grid scaled to `size`.
QPixmap IconPixmap(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    const QColor cardEdge(0x2e, 0x6b, 0x2e), cardFill(0xff, 0xfb, 0xf0), rule(0xc0, 0xdc, 0xc0),
        glass(0x00, 0x80, 0x00);
    p.setPen(QPen(cardEdge, 3));
    p.setBrush(cardFill);
    p.drawRoundedRect(QRectF(6, 8, 40, 50), 3, 3);
    p.setPen(QPen(rule, 3));
    p.drawLine(QLineF(12, 20, 40, 20));
    p.drawLine(QLineF(12, 30, 40, 30));
    p.drawLine(QLineF(12, 40, 32, 40));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(glass, 4));
    p.drawEllipse(QPointF(44, 42), 10, 10);
    p.setPen(QPen(glass, 5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QLineF(51, 49, 60, 58));
    return pixmap;
}

}  // namespace

QIcon ProgramIcon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128}) icon.addPixmap(IconPixmap(size));
    return icon;
}

}  // namespace z39
