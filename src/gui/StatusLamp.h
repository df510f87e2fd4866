#pragma once

#include <QWidget>

namespace velora {

// A small round lamp: green while on, dark while off (the intake server's
// listening state beside its port).
class StatusLamp : public QWidget {
    Q_OBJECT
public:
    explicit StatusLamp(QWidget *parent = nullptr);

    bool isOn() const { return m_on; }
    void setOn(bool on);

    QSize sizeHint() const override { return {17, 17}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_on = false;
};

} // namespace velora
