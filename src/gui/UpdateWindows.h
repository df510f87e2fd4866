#pragma once

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace velora {

// Shown when a newer version exists: the release notes and what to do next.
class UpdateNoticeWindow : public QDialog {
    Q_OBJECT
public:
    explicit UpdateNoticeWindow(QWidget *parent = nullptr);

    void setReleaseNotes(const QString &text);
    void setDownloadEnabled(bool enabled);

    QPlainTextEdit *releaseNotes() const { return m_notes; }
    QPushButton *downloadButton() const { return m_download; }
    QPushButton *informationButton() const { return m_information; }
    QPushButton *closeButton() const { return m_close; }

Q_SIGNALS:
    void downloadRequested();
    void informationRequested();

private:
    QPlainTextEdit *m_notes;
    QPushButton *m_download;
    QPushButton *m_information;
    QPushButton *m_close;
};

// Progress of the package download, with the one way out: "AFBREKEN".
class UpdateDownloadWindow : public QDialog {
    Q_OBJECT
public:
    explicit UpdateDownloadWindow(QWidget *parent = nullptr);

    void setFileName(const QString &name);
    void setStatus(const QString &text);
    void setTransfer(qint64 received, qint64 total);
    void setTimes(const QString &speed, const QString &elapsed, const QString &remaining);

    QLabel *fileLabel() const { return m_file; }
    QLabel *statusLabel() const { return m_status; }
    QLabel *transferLabel() const { return m_transfer; }
    QLabel *speedLabel() const { return m_speed; }
    QLabel *elapsedLabel() const { return m_elapsed; }
    QLabel *remainingLabel() const { return m_remaining; }
    QProgressBar *progressBar() const { return m_progress; }
    QPushButton *abortButton() const { return m_abort; }

private:
    QLabel *m_file;
    QLabel *m_status;
    QLabel *m_transfer;
    QLabel *m_speed;
    QLabel *m_elapsed;
    QLabel *m_remaining;
    QProgressBar *m_progress;
    QPushButton *m_abort;
};

} // namespace velora
