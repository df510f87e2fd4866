#include "returns/ReturnScheduler.h"

#include "database/Database.h"
#include "returns/ReturnLinkContext.h"
#include "returns/StatusMessages.h"
#include "rides/Datasets.h"
#include "rides/RideCodes.h"
#include "shell/FailureHandler.h"
#include "shell/Log.h"
#include "shell/Settings.h"
#include "shell/TextRules.h"
#include "shell/WorkQueue.h"

#include <QPointer>
#include <QScopeGuard>

namespace velora {

namespace {

const QString kCountOffered =
    QStringLiteral("select pla_id, pla_retour_rbs from planning where  pla_retour_rbs=3 and ((pla_eigenaar='002') OR "
                   "(pla_eigenaar='003') OR (pla_eigenaar='013'))");
const QString kCountFailed =
    QStringLiteral("select pla_id, pla_retour_rbs from planning where  pla_retour_rbs=999 and ((pla_eigenaar='002') "
                   "OR (pla_eigenaar='003') OR (pla_eigenaar='013'))");
const QString kPending =
    QStringLiteral("select pla_id, pla_retour_rbs from planning where  pla_retour_rbs=1 and ((pla_eigenaar='002') OR "
                   "(pla_eigenaar='003') OR (pla_eigenaar='013'))");
const QString kResubmitOffered =
    QStringLiteral("update planning set pla_retour_rbs=1 where pla_retour_rbs=3 and ((pla_eigenaar='002') OR "
                   "(pla_eigenaar='003') OR (pla_eigenaar='013'))");
const QString kResubmitFailed =
    QStringLiteral("update planning set pla_retour_rbs=1 where pla_retour_rbs=999 and ((pla_eigenaar='002') OR "
                   "(pla_eigenaar='003') OR (pla_eigenaar='013'))");

ResubmitButton buttonFor(const char *caption, int rows)
{
    ResubmitButton state;
    state.visible = rows > 0;
    if (state.visible)
        state.caption = QStringLiteral("%1 (%2)").arg(QLatin1String(caption)).arg(rows);
    return state;
}

} // namespace

ReturnScheduler::ReturnScheduler(const ReturnLinkContext &context, StatusMessages &statusMessages, QTimer &timer,
                                 QObject *parent)
    : QObject(parent), m_settings(context.settings), m_activityLog(context.activityLog), m_returnLog(context.returnLog),
      m_failures(context.failures), m_database(context.database), m_datasets(context.datasets), m_work(context.work),
      m_statusMessages(statusMessages), m_timer(timer)
{
    // The captions the window shows before the first count.
    m_noReply.caption = QStringLiteral("NO REPLY");
    m_failed.caption = QStringLiteral("NACK");
}

void ReturnScheduler::RetourZenderTimer()
{
    QPointer<ReturnScheduler> self(this);
    m_work.post(QStringLiteral("RetourZender"), [self] {
        if (!self)
            return;
        self->m_failures.guard([&] { self->tick(); });
        Q_EMIT self->tickDone();
    });
}

void ReturnScheduler::tick()
{
    if (!m_settings.checked(Setting::RBSRetour))
        return;

    m_timer.stop();
    m_timer.setInterval(m_settings.position(Setting::TrackBar1) * m_secondMs);
    Dataset &rides = m_datasets.ADOTRETOUR;
    // Ticks never overlap, and a failure does not stop the scheduler.
    const auto restart = qScopeGuard([&] {
        rides.close();
        m_timer.start();
    });

    m_database.closeIfFileReplaced();
    // Only the machine that holds the service lock offers status messages:
    // two would send each one twice.
    if (!m_database.isOpen())
        m_database.open();
    if (!m_database.holdsServiceLock())
        return;
    const int offered = countRows(kCountOffered);
    const int failed = countRows(kCountFailed);
    const ResubmitButton noReply = buttonFor("NO REPLY", offered);
    const ResubmitButton failedButton = buttonFor("NACK", failed);
    // A hidden button keeps its caption; only the shown one is recounted.
    const bool changed = noReply.visible != m_noReply.visible || failedButton.visible != m_failed.visible ||
                         (noReply.visible && noReply.caption != m_noReply.caption) ||
                         (failedButton.visible && failedButton.caption != m_failed.caption);
    m_noReply.visible = noReply.visible;
    if (noReply.visible)
        m_noReply.caption = noReply.caption;
    m_failed.visible = failedButton.visible;
    if (failedButton.visible)
        m_failed.caption = failedButton.caption;
    if (changed)
        Q_EMIT buttonsChanged();

    rides.close();
    rides.setStatement(kPending);
    rides.open();
    if (rides.isEmpty())
        return;
    m_returnLog.addLine(QStringLiteral("D:-> AANTAL RESTERENDE RETOURMELDINGEN - ") +
                        QString::number(rides.rowCount()));
    const qint32 rideId = rides.integer(QStringLiteral("pla_id"));
    m_statusMessages.ZendStatus(rideId);
    rides.edit();
    rides.setValue(QStringLiteral("pla_retour_rbs"), ReturnOffered);
    rides.post();
    m_returnLog.addLine(QStringLiteral("D:-> RETOURMELDING AANGEBODEN - ") + QString::number(rideId));
}

int ReturnScheduler::countRows(const QString &statement)
{
    Dataset &rides = m_datasets.ADOTRETOUR;
    rides.close();
    rides.setStatement(statement);
    rides.open();
    return rides.rowCount();
}

void ReturnScheduler::NackBerichtenClick()
{
    resubmit(kResubmitOffered);
}

void ReturnScheduler::ErrorBerichtenClick()
{
    resubmit(kResubmitFailed);
}

void ReturnScheduler::resubmit(const QString &statement)
{
    // The caption stays as it is until the next working tick recounts.
    QPointer<ReturnScheduler> self(this);
    m_work.post(statement, [self, statement] {
        if (!self)
            return;
        try {
            self->m_datasets.ADOCommand.execute(statement);
        } catch (const std::exception &e) {
            self->m_activityLog.replaceWith(failureMessage(e));
            self->m_failures.handle(e);
        }
    });
}

void ReturnScheduler::Button1Click()
{
    const qint32 rideId = leadingInteger(m_settings.text(Setting::Testnummer));
    QPointer<ReturnScheduler> self(this);
    m_work.post(QStringLiteral("Button1Click"), [self, rideId] {
        if (self)
            self->m_failures.guard([&] { self->m_statusMessages.ZendStatus(rideId); });
    });
}

} // namespace velora

#include "moc_ReturnScheduler.cpp"
