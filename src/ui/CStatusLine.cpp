#include "ui/CStatusLine.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <algorithm>

CStatusLine::CStatusLine(int style, QWidget* parent) : QWidget(parent), m_style(style) {
    setAccessibleName(tr("Status"));
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void CStatusLine::SetText(const QString& text) {
    if (text != m_text) {
        m_text = text;
        setAccessibleDescription(text);
        update();
    }
}

void CStatusLine::SetRange(int range) {
    m_range = std::max(range, 0);
    update();
}

void CStatusLine::SetPosition(int position) {
    m_position = position;
    update();
}

bool CStatusLine::ShowsBar() const {
    if (!(m_style & SS_ShowProgress) || m_range == 0) {
        return false;
    }
    return !((m_style & SS_HideWhenFull) && m_position >= m_range);
}

QString CStatusLine::ShownText() const {
    if (ShowsBar() && (m_style & SS_AppendPercent)) {
        double percent = 100.0 * m_position / m_range;
        return QStringLiteral("%1 (%2%)").arg(m_text).arg(percent, 0, 'f', 0);
    }
    return m_text;
}

QSize CStatusLine::sizeHint() const {
    return {200, fontMetrics().height() + 6};
}

QSize CStatusLine::minimumSizeHint() const {
    return {20, fontMetrics().height() + 6};
}

void CStatusLine::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QRect frame = rect().adjusted(0, 0, -1, -1);
    painter.setPen(palette().color(QPalette::Mid));
    painter.setBrush(palette().color(QPalette::Base));
    painter.drawRect(frame);
    if (ShowsBar()) {
        double fraction = std::clamp(static_cast<double>(m_position) / m_range, 0.0, 1.0);
        QRect bar = frame.adjusted(1, 1, 0, 0);
        bar.setWidth(static_cast<int>(bar.width() * fraction));
        painter.fillRect(bar, palette().color(QPalette::Highlight).lighter(150));
    }
    painter.setPen(palette().color(QPalette::Text));
    QRect textRect = frame.adjusted(4, 0, -4, 0);
    painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft,
                     fontMetrics().elidedText(ShownText(), Qt::ElideRight, textRect.width()));
}
