// The package probes: version order as the real dpkg judges it (with version texts that try to
// reach a shell), the installed client version and the realmd join, with dpkg-query and realm
// faked on PATH.
#include <QtTest>

#include <memory>

#include "log.h"
#include "paths.h"
#include "testenv.h"
#include "utils.h"

class TestPackageProbes : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void versionOrderAsDpkgJudgesIt_data();
    void versionOrderAsDpkgJudgesIt();
    void installedClientVersion_data();
    void installedClientVersion();
    void joinedThroughRealmd_data();
    void joinedThroughRealmd();

private:
    void fake(const QString &name, const QString &script) const { TestEnv::writeFakeCommand(m_bin.path(), name, script); }

    std::unique_ptr<TestEnv::TempRoot> m_root;
    QTemporaryDir m_bin;
    QTemporaryDir m_scratch;
};

void TestPackageProbes::initTestCase()
{
    m_root = std::make_unique<TestEnv::TempRoot>();
    Log::GetInstance()->setLogPath(Paths::logFile());
    TestEnv::prependPath(m_bin.path());
}

void TestPackageProbes::versionOrderAsDpkgJudgesIt_data()
{
    QTest::addColumn<QString>("left");
    QTest::addColumn<QString>("op");
    QTest::addColumn<QString>("right");
    QTest::addColumn<bool>("holds");

    const QString planted = m_scratch.path() + "/planted";
    QTest::newRow("newer is gt") << "4.0.1" << "gt" << "4.0.0" << true;
    QTest::newRow("newer is not lt") << "4.0.1" << "lt" << "4.0.0" << false;
    QTest::newRow("tilde sorts first") << "1.0~rc1" << "lt" << "1.0" << true;
    QTest::newRow("epoch wins") << "2:1.0" << "gt" << "3.0" << true;
    QTest::newRow("equal") << "5.2.0-1" << "eq" << "5.2.0-1" << true;
    QTest::newRow("ge on equal") << "5.2.0-1" << "ge" << "5.2.0-1" << true;
    QTest::newRow("command after a version") << "1; touch " + planted << "gt" << "0" << false;
    QTest::newRow("command substitution") << "$(touch " + planted + ")" << "lt" << "9" << false;
    QTest::newRow("command in the relation") << "1" << "gt 0 && touch " + planted + " && true" << "0" << false;
    QTest::newRow("back quotes in the right") << "1" << "lt" << "`touch " + planted + "`" << false;
    // dpkg would take a leading "-" as one of its options and fail; as a version text it sorts
    // after any digit.
    QTest::newRow("option-like left is compared") << "--admindir=" + planted << "gt" << "1" << true;
}

void TestPackageProbes::versionOrderAsDpkgJudgesIt()
{
    QFETCH(QString, left);
    QFETCH(QString, op);
    QFETCH(QString, right);
    QFETCH(bool, holds);

    QCOMPARE(Utils::compare_version(left, right, op), holds);
    QVERIFY(!QFile::exists(m_scratch.path() + "/planted"));
    const QString line = QString("[LOG_INFO] compare_version: %1 %2 %3 result(%4)").arg(left, op, right, holds ? "yes" : "no");
    QVERIFY2(m_root->waitForLog(line), qPrintable(line));
}

void TestPackageProbes::installedClientVersion_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("version");
    QTest::newRow("installed") << "printf '3.1.0-1'" << "3.1.0-1";
    QTest::newRow("untrimmed") << "printf '3.1.0-1\\n'" << "3.1.0-1\n";
    QTest::newRow("not installed") << "echo 'dpkg-query: no packages found matching kiv-domain-client' >&2; exit 1"
                                   << "";
}

void TestPackageProbes::installedClientVersion()
{
    QFETCH(QString, script);
    QFETCH(QString, version);
    const QString argsFile = m_scratch.path() + "/dpkg-query.args";
    QFile::remove(argsFile);
    fake("dpkg-query", "printf '%s\\n' \"$@\" > '" + argsFile + "'\n" + script);

    QCOMPARE(Utils::get_client_version(), version);
    QFile args(argsFile);
    QVERIFY(args.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(args.readAll()), QString("-W\n-f=${Version}\nkiv-domain-client\n"));
}

void TestPackageProbes::joinedThroughRealmd_data()
{
    QTest::addColumn<QString>("package");  // what dpkg-query prints
    QTest::addColumn<QString>("realms");   // what realm list prints
    QTest::addColumn<bool>("joined");
    QTest::addColumn<bool>("realmAsked");

    QTest::newRow("joined") << "realmd" << "corp.example\\n  type: kerberos\\n" << true << true;
    QTest::newRow("realmd, no realm") << "realmd" << "" << false << true;
    QTest::newRow("realmd not installed") << "" << "corp.example\\n" << false << false;
    QTest::newRow("other package text") << "realmd\\n" << "corp.example\\n" << false << false;
}

void TestPackageProbes::joinedThroughRealmd()
{
    QFETCH(QString, package);
    QFETCH(QString, realms);
    QFETCH(bool, joined);
    QFETCH(bool, realmAsked);

    const QString realmMark = m_scratch.path() + "/realm.asked";
    QFile::remove(realmMark);
    fake("dpkg-query", "[ \"$*\" = '-W -f=${Package} realmd' ] || exit 9\nprintf '" + package + "'");
    fake("realm", "[ \"$*\" = 'list' ] || exit 9\ntouch '" + realmMark + "'\nprintf '" + realms + "'");
    const int noLines = m_root->countInLog("check_add_domain_state: no");

    QCOMPARE(Utils::check_add_domain_state(), joined);
    QCOMPARE(QFile::exists(realmMark), realmAsked);
    QCOMPARE(m_root->countInLog("check_add_domain_state: no"), noLines + (realmAsked && !joined ? 1 : 0));
}

QTEST_MAIN(TestPackageProbes)
#include "tst_packageprobes.moc"
