#include "app/window/ProgramIcon.h"

#include <QPainter>
#include <QPainterPath>

namespace {

// One arrow pointing right across the given band of the picture.
void DrawArrow(QPainter& p, double y, double s, const QColor& colour, bool rightwards)
{
    QPainterPath path;
    const double left = s * 0.16, right = s * 0.84, half = s * 0.11, head = s * 0.24;
    if (rightwards) {
        path.moveTo(left, y - half / 2);
        path.lineTo(right - head, y - half / 2);
        path.lineTo(right - head, y - half);
        path.lineTo(right, y);
        path.lineTo(right - head, y + half);
        path.lineTo(right - head, y + half / 2);
        path.lineTo(left, y + half / 2);
    } else {
        path.moveTo(right, y - half / 2);
        path.lineTo(left + head, y - half / 2);
        path.lineTo(left + head, y - half);
        path.lineTo(left, y);
        path.lineTo(left + head, y + half);
        path.lineTo(left + head, y + half / 2);
        path.lineTo(right, y + half / 2);
    }
    path.closeSubpath();
    p.fillPath(path, colour);
}

}  // namespace

void PaintProgramIcon(QPainter& p, double s)
{
    p.setRenderHint(QPainter::Antialiasing);
    // A dark rounded tile with two arrows, one for each direction of the relayed traffic.
    p.setPen(QPen(QColor(20, 40, 70), s / 32.0));
    p.setBrush(QColor(34, 72, 120));
    p.drawRoundedRect(QRectF(s * 0.04, s * 0.04, s * 0.92, s * 0.92), s * 0.18, s * 0.18);
    DrawArrow(p, s * 0.36, s, QColor(120, 220, 120), true);
    DrawArrow(p, s * 0.64, s, QColor(250, 200, 80), false);
}

QPixmap ProgramIconPixmap(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    PaintProgramIcon(p, size);
    return pixmap;
}

QIcon ProgramIcon()
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128})
        icon.addPixmap(ProgramIconPixmap(size));
    return icon;
}
