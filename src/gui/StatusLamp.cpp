#include "gui/StatusLamp.h"

#include <QPainter>
#include <QRadialGradient>

namespace velora {

StatusLamp::StatusLamp(QWidget *parent) : QWidget(parent)
{
    setFixedSize(sizeHint());
}

void StatusLamp::setOn(bool on)
{
    if (m_on == on)
        return;
    m_on = on;
    update();
}

void StatusLamp::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect()).adjusted(1, 1, -1, -1);
    const QColor base = m_on ? QColor(0, 200, 0) : QColor(0, 70, 0);
    QRadialGradient shine(area.center() - QPointF(area.width() / 5, area.height() / 5), area.width() / 2);
    shine.setColorAt(0, base.lighter(m_on ? 170 : 130));
    shine.setColorAt(1, base);
    painter.setPen(QPen(Qt::darkGray, 1));
    painter.setBrush(shine);
    painter.drawEllipse(area);
}

} // namespace velora
