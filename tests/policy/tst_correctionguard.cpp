// The policy engine's loop guard with the clock in the test's hand: which reported differences
// of one item are corrected over a minute and more, reported as the engine reports them.
#include <QtTest>

#include "correctionguard.h"
#include "log.h"
#include "paths.h"
#include "testenv.h"

class TestCorrectionGuard : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void decisions_data();
    void decisions();

private:
    TestEnv::TempRoot *m_root = nullptr;
};

void TestCorrectionGuard::initTestCase()
{
    m_root = new TestEnv::TempRoot;
    Log::GetInstance()->setLogPath(Paths::logFile());
}

void TestCorrectionGuard::decisions_data()
{
    QTest::addColumn<bool>("service");
    // "MS LOCAL SERVER": a change report at MS with the values the engine then finds;
    // "MS off": a report that finds the policy switched off; "MS write": a correction made
    // without a report, as a direct call of the engine makes it.
    QTest::addColumn<QStringList>("steps");
    // For each step: corrected, held, in order, dropped, off or written.
    QTest::addColumn<QStringList>("outcomes");
    QTest::addColumn<int>("warnings");

    // Each correction's own report finds the item in order; the user undoes it again.
    const QStringList threeRounds{"0 0 1", "5 1 1", "20000 0 1", "20005 1 1", "40000 0 1", "40005 1 1"};
    const QStringList threeCorrected{"corrected", "in order", "corrected", "in order", "corrected", "in order"};
    QTest::newRow("fourth within the minute") << false << threeRounds + QStringList{"59999 0 1"}
                                              << threeCorrected + QStringList{"held"} << 1;
    QTest::newRow("fourth a minute after the first") << false << threeRounds + QStringList{"60000 0 1"}
                                                     << threeCorrected + QStringList{"corrected"} << 0;
    QTest::newRow("next change closes the breaker")
        << false
        << threeRounds + QStringList{"50000 0 1", "50010 0 1", "50015 1 1", "50020 0 1", "50025 1 1", "50030 0 1",
                                     "50035 1 1", "50040 0 1"}
        << threeCorrected + QStringList{"held"} + threeCorrected + QStringList{"held"} << 2;
    QTest::newRow("own report while open is dropped")
        << false << threeRounds + QStringList{"50000 0 1", "50005 write", "50010 0 1", "50020 0 1"}
        << threeCorrected + QStringList{"held", "written", "dropped", "corrected"} << 1;
    QTest::newRow("switched off starts afresh") << false << threeRounds + QStringList{"50000 off", "50010 0 1"}
                                                << threeCorrected + QStringList{"off", "corrected"} << 0;
    QTest::newRow("setting held only on its own report")
        << false << QStringList{"0 0 1", "5 2 1", "10 2 1"} << QStringList{"corrected", "held", "corrected"} << 0;
    QTest::newRow("service that did not take")
        << true << QStringList{"0 0 1", "5 0 1", "10 0 1", "20 1 1", "30 0 1"}
        << QStringList{"corrected", "held", "held", "in order", "corrected"} << 1;
    QTest::newRow("service, server value changed") << true << QStringList{"0 0 1", "5 0 1", "10 0 2"}
                                                   << QStringList{"corrected", "held", "corrected"} << 1;
    QTest::newRow("service, switched off") << true << QStringList{"0 0 1", "5 0 1", "10 off", "20 0 1"}
                                           << QStringList{"corrected", "held", "off", "corrected"} << 1;
}

void TestCorrectionGuard::decisions()
{
    QFETCH(bool, service);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, outcomes);
    QFETCH(int, warnings);

    QFile(Paths::logFile()).remove();
    CorrectionGuard guard;
    const QString item = "usb";
    const auto kind = service ? CorrectionGuard::Kind::Service : CorrectionGuard::Kind::Setting;
    QStringList seen;
    for (const QString &step : steps) {
        const QStringList part = step.split(' ');
        const qint64 now = part[0].toLongLong();
        if (part[1] == "write") {
            guard.corrected(item, true, now);
            seen << "written";
            continue;
        }
        // As the engine does: a report, then the server's answer and the local value compared.
        const CorrectionGuard::Report report = guard.reported(item);
        if (report == CorrectionGuard::Report::Dropped) {
            seen << "dropped";
        } else if (part[1] == "off") {
            guard.switchedOff(item);
            seen << "off";
        } else if (part[1] == part[2]) {
            guard.inOrder(item);
            seen << "in order";
        } else if (guard.mayCorrect("test", item, kind, report, part[1], part[2], now)) {
            guard.corrected(item, true, now);
            seen << "corrected";
        } else {
            seen << "held";
        }
    }
    QCOMPARE(seen, outcomes);
    QCOMPARE(m_root->countInLog("[LOG_WARN] "), warnings);
}

QTEST_MAIN(TestCorrectionGuard)
#include "tst_correctionguard.moc"
