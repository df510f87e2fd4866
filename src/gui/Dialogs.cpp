#include "gui/Dialogs.h"

#include <QColorDialog>
#include <QDesktopServices>
#include <QMessageBox>

namespace velora {

void WidgetDialogs::information(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox::information(parent, title, text);
}

void WidgetDialogs::warning(QWidget *parent, const QString &title, const QString &text)
{
    // The service may be hidden in the tray; the box must still be seen.
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.exec();
}

void WidgetDialogs::error(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox::critical(parent, title, text);
}

bool WidgetDialogs::question(QWidget *parent, const QString &title, const QString &text)
{
    return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
}

std::optional<QColor> WidgetDialogs::chooseColour(QWidget *parent, const QColor &initial)
{
    const QColor colour = QColorDialog::getColor(initial, parent);
    if (!colour.isValid())
        return std::nullopt;
    return colour;
}

void WidgetDialogs::openUrl(const QUrl &url)
{
    QDesktopServices::openUrl(url);
}

} // namespace velora
