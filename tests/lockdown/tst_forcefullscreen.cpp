// Whether forced full-screen use applies to this machine: the configuration flag, the client's
// own schema in its place, and the machines that are never locked down (virtual, live, thin).
// The answer is fixed for the life of the process, so every row runs in a fresh child, in a
// sandbox whose "systemd-detect-virt" says what the row needs.
#include <QtTest>

#include <QGSettings/QGSettings>

#include "log.h"
#include "logging.h"
#include "paths.h"
#include "selfrun.h"
#include "testenv.h"
#include "utils.h"

namespace {
const QString DetectVirt = QStringLiteral("/usr/bin/systemd-detect-virt");

// The schema of the row: none (desktop schemas only), or the client schema with a value.
enum ClientSchema { NoClientSchema, SchemaSaysFalse, SchemaSaysTrue };
}  // namespace
Q_DECLARE_METATYPE(ClientSchema)

class TestForceFullScreen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void answerIsComputedOnceAndKept_data();
    void answerIsComputedOnceAndKept();

private:
    QTemporaryDir m_fakes;
};

void TestForceFullScreen::initTestCase()
{
    if (SelfRun::isChild())
        return;
    for (const QString &answer : {"none", "kvm"})
        TestEnv::writeFakeCommand(m_fakes.path(), "detect-virt-" + answer, "echo " + answer);
}

void TestForceFullScreen::answerIsComputedOnceAndKept_data()
{
    QTest::addColumn<QString>("configFlag");   // "style/force_full_screen", empty: absent
    QTest::addColumn<ClientSchema>("schema");
    QTest::addColumn<QString>("virt");         // what systemd-detect-virt answers
    QTest::addColumn<bool>("liveSystem");
    QTest::addColumn<QString>("kivInfo");      // "/etc/kiv/info"
    QTest::addColumn<bool>("expected");
    // Probes asked, in this order; the others not at all ("filePath: " is the thin-terminal check).
    QTest::addColumn<QStringList>("probes");

    const QStringList all{"isVirtual enter", "isLivecd enter", "filePath: "};
    QTest::newRow("configured, physical, installed, not thin")
        << "true" << NoClientSchema << "none" << false << "MACHINE=PC\n" << true << all;
    QTest::newRow("configured in any case") << "TRUE" << NoClientSchema << "none" << false << "" << true << all;
    QTest::newRow("configured, thin terminal")
        << "true" << NoClientSchema << "none" << false << "MACHINE=THIN\n" << false << all;
    QTest::newRow("configured, virtual machine")
        << "true" << NoClientSchema << "kvm" << false << "" << false << QStringList{"isVirtual enter"};
    QTest::newRow("configured, live system")
        << "true" << NoClientSchema << "none" << true << "" << false << QStringList{"isVirtual enter", "isLivecd enter"};
    QTest::newRow("flag 0") << "0" << NoClientSchema << "none" << false << "" << false << QStringList();
    QTest::newRow("flag false") << "False" << NoClientSchema << "none" << false << "" << false << QStringList();
    QTest::newRow("not configured") << "" << NoClientSchema << "none" << false << "" << false << QStringList();
    QTest::newRow("schema false wins over configured true")
        << "true" << SchemaSaysFalse << "none" << false << "" << false << QStringList();
    QTest::newRow("schema true wins over configured false")
        << "false" << SchemaSaysTrue << "none" << false << "" << true << all;
    QTest::newRow("schema true, thin terminal")
        << "" << SchemaSaysTrue << "none" << false << "MACHINE=THIN\n" << false << all;
}

void TestForceFullScreen::answerIsComputedOnceAndKept()
{
    QFETCH(QString, configFlag);
    QFETCH(ClientSchema, schema);
    QFETCH(QString, virt);
    QFETCH(bool, liveSystem);
    QFETCH(QString, kivInfo);
    QFETCH(bool, expected);
    QFETCH(QStringList, probes);

    if (!SelfRun::isChild()) {
        QTemporaryDir settingsHome;
        SelfRun::Options options;
        options.roBinds.insert(m_fakes.path() + "/detect-virt-" + virt, DetectVirt);
        options.env.insert("XDG_CONFIG_HOME", settingsHome.path());
        const QString schemas = schema == NoClientSchema ? "/schemas" : "/schemas-client";
        options.env.insert("GSETTINGS_SCHEMA_DIR", TestEnv::binaryDir() + schemas);
        RUN_ROW_IN_CHILD(options);
        return;
    }

    TestEnv::TempRoot root;
    Log::GetInstance()->setLogPath(Paths::logFile());
    setLoggingPath(Paths::logFile());
    qInstallMessageHandler(outputMessage);

    if (!configFlag.isEmpty())
        root.writeConfig("[style]\nforce_full_screen=" + configFlag.toUtf8() + "\n");
    if (!kivInfo.isEmpty())
        root.writeFile("/etc/kiv/info", kivInfo.toUtf8());
    root.writeFile("/etc/os-release", "NAME=\"KIV Desktop\"\nVERSION_ID=\"5.0\"\n");
    root.writeFile("/proc/cmdline", liveSystem ? "BOOT_IMAGE=/live/vmlinuz boot=live quiet\n" : "ro quiet\n");
    QCOMPARE(QGSettings::isSchemaInstalled("com.kiv.domain"), schema != NoClientSchema);
    if (schema != NoClientSchema) {
        QGSettings client("com.kiv.domain");
        client.set("force-full-screen", schema == SchemaSaysTrue);
    }

    QCOMPARE(Utils::isForceFullScreen(), expected);
    const QString log = root.logText();
    QVERIFY(log.contains(QString(" full_screen && !isVirtual() && !isLivecd():  %1").arg(expected ? 1 : 0)));
    QCOMPARE(log.contains("isForceFullScreen isSchemaInstalled: "), schema != NoClientSchema);
    int last = -1;
    for (const QString &probe : {"isVirtual enter", "isLivecd enter", "filePath: "}) {
        const int at = log.indexOf(probe);
        QCOMPARE(at >= 0, probes.contains(probe));
        if (at >= 0) {
            QVERIFY2(at > last, qPrintable(probe + " asked out of order"));
            last = at;
        }
    }

    // Fixed for the rest of the process: a changed configuration is not read, nothing is asked.
    root.writeConfig(expected ? "[style]\nforce_full_screen=false\n" : "[style]\nforce_full_screen=true\n");
    QCOMPARE(Utils::isForceFullScreen(), expected);
    QCOMPARE(root.logText(), log);
}

QTEST_MAIN(TestForceFullScreen)
#include "tst_forcefullscreen.moc"
