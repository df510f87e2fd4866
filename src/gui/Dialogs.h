#pragma once

#include <QColor>
#include <QString>
#include <QUrl>

#include <optional>

class QWidget;

namespace velora {

// Every box the window shows goes through this interface. Message boxes run
// their own event loop; tests replace them with a recorder so that nothing
// waits for a click.
class Dialogs {
public:
    virtual ~Dialogs() = default;

    // Information box with an OK button.
    virtual void information(QWidget *parent, const QString &title, const QString &text) = 0;
    // Warning box on top of all windows.
    virtual void warning(QWidget *parent, const QString &title, const QString &text) = 0;
    virtual void error(QWidget *parent, const QString &title, const QString &text) = 0;
    // Yes/No question; true for Yes.
    virtual bool question(QWidget *parent, const QString &title, const QString &text) = 0;
    // The colour picker; nothing when the operator cancels.
    virtual std::optional<QColor> chooseColour(QWidget *parent, const QColor &initial) = 0;
    // Opens an address in the default web browser.
    virtual void openUrl(const QUrl &url) = 0;
};

// The real boxes: QMessageBox, QColorDialog, QDesktopServices.
class WidgetDialogs : public Dialogs {
public:
    void information(QWidget *parent, const QString &title, const QString &text) override;
    void warning(QWidget *parent, const QString &title, const QString &text) override;
    void error(QWidget *parent, const QString &title, const QString &text) override;
    bool question(QWidget *parent, const QString &title, const QString &text) override;
    std::optional<QColor> chooseColour(QWidget *parent, const QColor &initial) override;
    void openUrl(const QUrl &url) override;
};

} // namespace velora
