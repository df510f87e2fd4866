#include "gui/UpdateWindows.h"

#include "update/UpdateChecker.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace velora {

UpdateNoticeWindow::UpdateNoticeWindow(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("UpdateNoticeWindow"));
    setWindowTitle(QStringLiteral("Er is een nieuwe versie van de software beschikbaar"));
    resize(560, 400);

    m_notes = new QPlainTextEdit(this);
    m_notes->setObjectName(QStringLiteral("ReleaseNotes"));
    m_notes->setReadOnly(true);
    m_download = new QPushButton(QStringLiteral("Download en installeer de update"), this);
    m_download->setObjectName(QStringLiteral("DownloadButton"));
    m_download->setEnabled(false);
    m_information = new QPushButton(QStringLiteral("Extra download informatie"), this);
    m_information->setObjectName(QStringLiteral("InformationButton"));
    m_close = new QPushButton(QStringLiteral("Sluiten"), this);
    m_close->setObjectName(QStringLiteral("CloseButton"));

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_download);
    buttons->addWidget(m_information);
    buttons->addStretch();
    buttons->addWidget(m_close);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_notes);
    layout->addLayout(buttons);

    connect(m_download, &QPushButton::clicked, this, &UpdateNoticeWindow::downloadRequested);
    connect(m_information, &QPushButton::clicked, this, &UpdateNoticeWindow::informationRequested);
    connect(m_close, &QPushButton::clicked, this, &QDialog::reject);
}

void UpdateNoticeWindow::setReleaseNotes(const QString &text)
{
    m_notes->setPlainText(text);
}

void UpdateNoticeWindow::setDownloadEnabled(bool enabled)
{
    m_download->setEnabled(enabled);
}

UpdateDownloadWindow::UpdateDownloadWindow(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("UpdateDownloadWindow"));
    setWindowTitle(QStringLiteral("Download nieuwe versie"));
    setMinimumWidth(460);

    auto value = [this](const char *name, const QString &text = {}) {
        auto *label = new QLabel(text, this);
        label->setObjectName(QLatin1String(name));
        return label;
    };
    m_file = value("FileLabel");
    m_status = value("StatusLabel");
    m_transfer = value("TransferLabel");
    m_speed = value("SpeedLabel");
    m_elapsed = value("ElapsedLabel", clockText(0));
    m_remaining = value("RemainingLabel", clockText(0));
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("ProgressBar"));
    m_progress->setRange(0, 0);
    m_progress->setValue(0);
    m_abort = new QPushButton(QStringLiteral("AFBREKEN"), this);
    m_abort->setObjectName(QStringLiteral("AbortButton"));
    m_abort->setEnabled(false);

    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Bestand:"), m_file);
    form->addRow(QStringLiteral("Status :"), m_status);
    form->addRow(QStringLiteral("Overdracht :"), m_transfer);
    form->addRow(QStringLiteral("Snelheid:"), m_speed);
    form->addRow(QStringLiteral("Verstreken tijd :"), m_elapsed);
    form->addRow(QStringLiteral("Resterende tijd :"), m_remaining);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_abort);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_progress);
    layout->addLayout(buttons);
}

void UpdateDownloadWindow::setFileName(const QString &name)
{
    m_file->setText(name);
}

void UpdateDownloadWindow::setStatus(const QString &text)
{
    m_status->setText(text);
}

void UpdateDownloadWindow::setTransfer(qint64 received, qint64 total)
{
    // The bar counts in KB beyond 2 GB so that its int range never overflows.
    const int scale = total > std::numeric_limits<int>::max() ? 1024 : 1;
    m_progress->setRange(0, static_cast<int>(total / scale));
    m_progress->setValue(static_cast<int>(received / scale));
    const qint64 percent = total > 0 ? received * 100 / total : 0;
    m_transfer->setText(QString::number(received) + QStringLiteral(" of ") + QString::number(total) +
                        QStringLiteral(" (") + QString::number(percent) + QStringLiteral("%)"));
}

void UpdateDownloadWindow::setTimes(const QString &speed, const QString &elapsed, const QString &remaining)
{
    m_speed->setText(speed);
    m_elapsed->setText(elapsed);
    m_remaining->setText(remaining);
}

} // namespace velora
