#include "update/UpdateChecker.h"

#include "update/UpdateInstall.h"

#include <QFileInfo>

namespace velora {

UpdateChecker::UpdateChecker(UpdateCheckerConfig config, QObject *parent)
    : QObject(parent), m_config(std::move(config)),
      m_package(new PackageDownload(m_config.programFolder, connection(), this))
{
    qRegisterMetaType<velora::CheckOutcome>();
    connect(m_package, &PackageDownload::status, this, &UpdateChecker::downloadStatus);
    connect(m_package, &PackageDownload::prepared, this, &UpdateChecker::downloadPrepared);
    connect(m_package, &PackageDownload::started, this, &UpdateChecker::downloadStarted);
    connect(m_package, &PackageDownload::progress, this, &UpdateChecker::downloadProgress);
    connect(m_package, &PackageDownload::tick, this, &UpdateChecker::downloadTick);
    connect(m_package, &PackageDownload::finished, this, &UpdateChecker::downloadFinished);
}

// The fetch and the package download are children: deleting them aborts
// their transfers and removes a partial package.
UpdateChecker::~UpdateChecker() = default;

UpdateConnection UpdateChecker::connection() const
{
    return {m_config.proxy, m_config.idleTimeoutMs, m_config.caFile};
}

void UpdateChecker::prepareFolders()
{
    prepareUpdateFolders(m_config.programFolder, m_config.programFilePath);
}

void UpdateChecker::checkForUpdate(bool interactive)
{
    m_interactive = interactive;
    m_description = {};
    m_releaseNotes.clear();
    m_checkFailure.clear();
    delete m_fetch;
    m_fetch = new UpdateTextFetch(connection(), m_config.descriptionUrl, this);
    connect(m_fetch, &UpdateTextFetch::finished, this, &UpdateChecker::descriptionFetched);
}

UpdateTextFetch *UpdateChecker::takeFetch()
{
    UpdateTextFetch *fetch = m_fetch;
    m_fetch = nullptr;
    // Its signal is still being emitted.
    fetch->deleteLater();
    return fetch;
}

namespace {

void addLine(QString &text, const QString &line)
{
    if (!text.isEmpty())
        text += u'\n';
    text += line;
}

} // namespace

void UpdateChecker::descriptionFetched()
{
    const UpdateTextFetch *fetch = takeFetch();
    if (fetch->succeeded())
        m_description =
            readUpdateDescription(fetch->text(), descriptionSection(QFileInfo(m_config.programFilePath).fileName()));
    else
        addLine(m_releaseNotes, fetch->failureText());
    if (m_description.updatePageUrl.isEmpty())
        m_description.updatePageUrl = m_config.defaultUpdatePage;
    if (fetch->untrusted()) {
        // Not the same as no description: the operator learns that the
        // check itself failed, and why.
        m_checkFailure = fetch->failureText();
        Q_EMIT checkFinished(CheckOutcome::UntrustedServer);
        return;
    }
    if (m_description.readmeFileUrl.isEmpty()) {
        Q_EMIT checkFinished(
            decideCheckOutcome(m_config.installedVersion, m_config.installedSqlVersion, m_description, m_interactive));
        return;
    }
    m_fetch = new UpdateTextFetch(connection(), QUrl(m_description.readmeFileUrl), this);
    connect(m_fetch, &UpdateTextFetch::finished, this, &UpdateChecker::readmeFetched);
}

void UpdateChecker::readmeFetched()
{
    const UpdateTextFetch *fetch = takeFetch();
    if (fetch->succeeded()) {
        QString notes = decodeUpdateText(fetch->text());
        notes.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        m_releaseNotes = notes;
    } else {
        // The notice window shows it where the notes would be.
        addLine(m_releaseNotes, fetch->failureText());
    }
    Q_EMIT checkFinished(
        decideCheckOutcome(m_config.installedVersion, m_config.installedSqlVersion, m_description, m_interactive));
}

void UpdateChecker::startDownload()
{
    if (m_fetch)
        return;
    m_package->start(m_description);
}

void UpdateChecker::abortDownload()
{
    m_package->abort();
}

bool UpdateChecker::startUpdater() const
{
    return velora::startUpdater(m_config.programFolder, m_package->targetPath());
}

} // namespace velora
