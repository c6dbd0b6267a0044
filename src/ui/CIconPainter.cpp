#include "ui/CIconPainter.h"

#include <QPainter>
#include <QPainterPath>
#include <array>

namespace {

constexpr int kSize = 16;

QPixmap Blank() {
    QPixmap pixmap(kSize, kSize);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

void Envelope(QPainter& p, const QColor& fill) {
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(fill);
    p.drawRect(1, 3, 13, 9);
    p.drawLine(1, 3, 8, 9);
    p.drawLine(14, 3, 8, 9);
}

// Pending tasks: a small clock face in the lower right corner.
void PendingMark(QPainter& p) {
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(Qt::white);
    p.drawEllipse(9, 9, 6, 6);
    p.drawLine(12, 12, 12, 10);
    p.drawLine(12, 12, 14, 12);
}

QPixmap Draw(int index) {
    QPixmap pixmap = Blank();
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, false);
    switch (index) {
        case 0:
        case 1:
            // Deleted: a bold cross.
            p.setPen(QPen(QColor(170, 0, 0), 3));
            p.drawLine(3, 3, 12, 12);
            p.drawLine(12, 3, 3, 12);
            break;
        case 2:
        case 3:
            // On the server: a plain envelope.
            Envelope(p, QColor(255, 250, 205));
            break;
        case 4:
        case 5:
            // Quarantined: an envelope behind bars.
            Envelope(p, QColor(255, 220, 160));
            p.setPen(QPen(Qt::black, 1));
            for (int x = 3; x <= 13; x += 3) {
                p.drawLine(x, 1, x, 14);
            }
            break;
        case 8:
            // Delivered: a check mark.
            p.setPen(QPen(QColor(0, 120, 0), 3));
            p.drawLine(2, 8, 6, 12);
            p.drawLine(6, 12, 14, 3);
            break;
        default:
            break;
    }
    if (index == 1 || index == 3 || index == 5) {
        PendingMark(p);
    }
    return pixmap;
}

// The tray: a shield; busy frames add one, two or three dots in turn.
QPixmap Tray(int frame) {
    QPixmap pixmap = Blank();
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, true);
    QPainterPath shield;
    shield.moveTo(8, 1);
    shield.lineTo(14, 3);
    shield.quadTo(14, 11, 8, 15);
    shield.quadTo(2, 11, 2, 3);
    shield.closeSubpath();
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(frame == 0 ? QColor(40, 90, 170) : QColor(230, 140, 20));
    p.drawPath(shield);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    if (frame == 0) {
        p.drawRect(7, 4, 2, 8);
        p.drawRect(4, 7, 8, 2);
    } else {
        for (int dot = 0; dot < frame; ++dot) {
            p.drawEllipse(QPointF(5 + dot * 3, 8), 1.3, 1.3);
        }
    }
    return pixmap;
}

}  // namespace

const QPixmap& CIconPainter::ListImage(int index) {
    static const std::array<QPixmap, kListImageCount> images = [] {
        std::array<QPixmap, kListImageCount> all;
        for (int i = 0; i < kListImageCount; ++i) {
            all[static_cast<size_t>(i)] = Draw(i);
        }
        return all;
    }();
    if (index < 0 || index >= kListImageCount) {
        index = 0;
    }
    return images[static_cast<size_t>(index)];
}

const QIcon& CIconPainter::TrayIcon(int frame) {
    static const std::array<QIcon, 4> icons = [] {
        std::array<QIcon, 4> all;
        for (int i = 0; i < 4; ++i) {
            all[static_cast<size_t>(i)] = QIcon(Tray(i));
        }
        return all;
    }();
    return icons[static_cast<size_t>(frame >= 0 && frame < 4 ? frame : 0)];
}

QIcon CIconPainter::ToolIcon(Tool tool, bool busy) {
    QPixmap pixmap = Blank();
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, true);
    QColor ink = busy ? QColor(120, 120, 120) : QColor(20, 20, 20);
    switch (tool) {
        case T_Scan: {
            // Two arrows chasing each other round a circle.
            p.setPen(QPen(ink, 2));
            p.drawArc(3, 3, 10, 10, 30 * 16, 150 * 16);
            p.drawArc(3, 3, 10, 10, 210 * 16, 150 * 16);
            p.setPen(Qt::NoPen);
            p.setBrush(ink);
            p.drawPolygon(QPolygonF({QPointF(12, 1), QPointF(15, 6), QPointF(10, 6)}));
            p.drawPolygon(QPolygonF({QPointF(4, 15), QPointF(1, 10), QPointF(6, 10)}));
            break;
        }
        case T_Stop:
            p.setPen(QPen(Qt::black, 1));
            p.setBrush(QColor(200, 30, 30));
            p.drawRect(3, 3, 10, 10);
            break;
        case T_Delete:
            p.setPen(QPen(busy ? ink : QColor(170, 0, 0), 3));
            p.drawLine(3, 3, 12, 12);
            p.drawLine(12, 3, 3, 12);
            break;
        case T_Settings:
            p.setPen(QPen(ink, 2));
            for (int i = 0; i < 4; ++i) {
                p.save();
                p.translate(8, 8);
                p.rotate(45.0 * i);
                p.drawLine(0, -7, 0, 7);
                p.restore();
            }
            p.setBrush(Qt::white);
            p.drawEllipse(QPointF(8, 8), 3.5, 3.5);
            break;
        case T_About:
            p.setPen(QPen(ink, 1));
            p.setBrush(Qt::white);
            p.drawEllipse(1, 1, 14, 14);
            p.setPen(Qt::NoPen);
            p.setBrush(ink);
            p.drawRect(7, 7, 2, 6);
            p.drawEllipse(QPointF(8, 4.5), 1.2, 1.2);
            break;
    }
    return QIcon(pixmap);
}
