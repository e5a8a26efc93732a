#include "ui/AppIcon.h"

#include <QPainter>
#include <QPixmap>

namespace vx {

QPixmap AppIconPixmap(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, true);
    const qreal margin = size / 16.0;
    const QRectF label(margin, margin * 2, size - 2 * margin, size - 4 * margin);
    p.setPen(QPen(QColor(0x1f, 0x4e, 0x79), qMax<qreal>(1.0, size / 32.0)));
    p.setBrush(Qt::white);
    p.drawRoundedRect(label, size / 10.0, size / 10.0);

    // Bars of a barcode, in units of the label's inner width.
    static const int widths[] = {1, 2, 1, 1, 3, 1, 2, 1, 1, 2, 1, 3, 1, 1, 2, 1};
    int units = 0;
    for (int w : widths)
        units += w + 1;
    const QRectF bars = label.adjusted(label.width() / 8, label.height() / 5, -label.width() / 8, -label.height() / 5);
    const qreal unit = bars.width() / units;
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    qreal x = bars.left();
    for (int w : widths) {
        p.drawRect(QRectF(x, bars.top(), w * unit, bars.height()));
        x += (w + 1) * unit;
    }
    return pixmap;
}

QIcon AppIcon()
{
    static QIcon icon;
    if (icon.isNull()) {
        for (int size : {16, 22, 24, 32, 48, 64})
            icon.addPixmap(AppIconPixmap(size));
    }
    return icon;
}

} // namespace vx
