// The application object that keeps exceptions out of Qt's event loop.

#include "support/TestSupport.h"

#include "shell/FailureHandler.h"
#include "shell/GuardedApplication.h"
#include "shell/Log.h"

#include <QTest>
#include <QTimer>

#include <stdexcept>

using namespace velora;

class TestGuardedApplication : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void exceptionEscapingAHandlerReachesTheFailureHandler()
    {
        auto *app = dynamic_cast<GuardedApplication<QCoreApplication> *>(QCoreApplication::instance());
        QVERIFY(app);
        Log activity(QStringLiteral("RBSLog"));
        activity.addLine(QStringLiteral("earlier"));
        FailureHandler failures(activity);
        app->setFailureHandler(&failures);
        bool ranAfter = false;
        QTimer::singleShot(0, [] { throw std::runtime_error("tick failed"); });
        QTimer::singleShot(10, [&] { ranAfter = true; });
        QVERIFY(test::waitUntil([&] { return ranAfter; }));
        app->setFailureHandler(nullptr);
        QCOMPARE(activity.lines(), QStringList{QStringLiteral("tick failed")});
    }
};

int main(int argc, char *argv[])
{
    GuardedApplication<QCoreApplication> app(argc, argv);
    TestGuardedApplication test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_guardedapplication.moc"
