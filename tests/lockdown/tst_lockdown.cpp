// The desktop lock-down against real GSettings (keyfile backend) and the desktop shell's
// stand-in: switching the escape routes off and on, the bindings kept across sessions in the
// configuration, and desktops that lack a schema or a key.
#include <QtTest>

#include <QGSettings/QGSettings>

#include <memory>

#include "dbusmock.h"
#include "log.h"
#include "logging.h"
#include "paths.h"
#include "selfrun.h"
#include "testenv.h"
#include "utils.h"

namespace {
const char *const MediaKeys = "org.qoro.settings-daemon.plugins.media-keys";
const char *const Workspaces = "org.qoro.desktop.wm.keybindings";
const char *const ShowDesktop = "org.gnome.desktop.wm.keybindings";
using TestEnv::ConfigIni;

const QString DesktopName = QStringLiteral("org.freedesktop.Desktop");
const QString DesktopPath = QStringLiteral("/org/freedesktop/Desktop");

QStringList bindings(const char *schema, const char *key) { return QGSettings(schema).get(key).toStringList(); }

// Serves the settings' change notifications until a write made after everything else has come
// back: every notification of earlier writes has been delivered by then.
void settleChanges(QGSettings &watcher)
{
    QSignalSpy changed(&watcher, &QGSettings::changed);
    const QStringList marker{"<Super>" + QString::number(QDateTime::currentMSecsSinceEpoch())};
    watcher.set("minimize", marker);
    QVERIFY(TestEnv::waitFor([&] {
        for (const QList<QVariant> &signal : changed)
            if (signal.first().toString() == "minimize")
                return true;
        return false;
    }, 5000));
}
}  // namespace

class TestLockdown : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void lockDownAndLiftRestoreTheDesktop_data();
    void lockDownAndLiftRestoreTheDesktop();
    void loginLiftPutsSavedBindingsBack();
    void resetWritesOnlyWhatDiffers_data();
    void resetWritesOnlyWhatDiffers();
    void missingSchemaOrKeyIsSkipped_data();
    void missingSchemaOrKeyIsSkipped();
    void autoAddDomainAreaFromConfiguration_data();
    void autoAddDomainAreaFromConfiguration();

private:
    QList<bool> taskViewCalls() const;

    std::unique_ptr<TestEnv::TempRoot> m_root;
    std::unique_ptr<DBusMock> m_desktop;
    QTemporaryDir m_schemaDirs;
};

void TestLockdown::initTestCase()
{
    m_root = std::make_unique<TestEnv::TempRoot>();
    Log::GetInstance()->setLogPath(Paths::logFile());
    setLoggingPath(Paths::logFile());
    qInstallMessageHandler(outputMessage);
    if (SelfRun::isChild())
        return;

    m_desktop.reset(DBusMock::bare(DesktopName, DesktopPath, DesktopName, DBusMock::SessionBus));
    QVERIFY(m_desktop->isRunning());
    m_desktop->addMethod(DesktopPath, DesktopName, "AppSwitcherSetEnable", "b", "b", "ret = True");
}

void TestLockdown::cleanupTestCase() { m_desktop.reset(); }

void TestLockdown::init()
{
    m_root->remove(ConfigIni);
    if (m_desktop)
        m_desktop->clearCalls(DesktopPath);
}

QList<bool> TestLockdown::taskViewCalls() const
{
    QList<bool> values;
    for (const QVariantList &args : m_desktop->callsOf(DesktopPath, "AppSwitcherSetEnable"))
        values << args.value(0).toBool();
    return values;
}

void TestLockdown::lockDownAndLiftRestoreTheDesktop_data()
{
    QTest::addColumn<QStringList>("showDesktop");
    QTest::newRow("one binding") << QStringList{"<Super>d"};
    QTest::newRow("two bindings") << QStringList{"<Super>d", "<Primary><Alt>d"};
    QTest::newRow("no binding") << QStringList();
}

void TestLockdown::lockDownAndLiftRestoreTheDesktop()
{
    QFETCH(QStringList, showDesktop);
    if (!SelfRun::isChild()) {
        // The binding is remembered once per process: each row is a fresh process.
        RUN_ROW_IN_CHILD(SelfRun::Options());
        QCOMPARE(taskViewCalls(), (QList<bool>{false, true}));
        return;
    }

    QGSettings media(MediaKeys), workspaces(Workspaces), keybindings(ShowDesktop);
    keybindings.set("show-desktop", showDesktop);
    media.set("terminal", QString("<Super>t"));
    workspaces.set("switch-to-workspace-right", QStringList{"<Super>Right"});
    workspaces.set("switch-to-workspace-left", QStringList{"<Super>Left"});
    const QStringList firstWorkspace = bindings(Workspaces, "switch-to-workspace-1");

    Utils::handleForceFullScreen(false, false);
    QCOMPARE(QGSettings(MediaKeys).get("terminal").toString(), QString("[]"));
    for (const char *key : {"switch-to-workspace-right", "switch-to-workspace-up", "switch-to-workspace-down"})
        QCOMPARE(bindings(Workspaces, key), QStringList());
    QCOMPARE(bindings(Workspaces, "switch-to-workspace-left"), QStringList{"<Super>Left"});
    QCOMPARE(bindings(Workspaces, "switch-to-workspace-1"), firstWorkspace);
    QCOMPARE(bindings(ShowDesktop, "show-desktop"), QStringList());
    QCOMPARE(Utils::get_config_value("style/taskview_key").toString(), showDesktop.join(","));
    QSettings written(Paths::configIni(), QSettings::IniFormat);
    QCOMPARE(written.value("style/taskview_key").toString(), showDesktop.join(","));
    QVERIFY(m_root->waitForLog("handleForceFullScreen, enable value:false, login value:false"));
    QVERIFY(m_root->waitForLog("setTerminalEnable get terminal result: [], enable: false"));
    QVERIFY(m_root->waitForLog("setWorkSpaceEnable enable: false"));
    QVERIFY(m_root->waitForLog("setWinKeyEnable set taskview_key: " + showDesktop.join(",")));

    Utils::handleForceFullScreen(true, false);
    QCOMPARE(QGSettings(MediaKeys).get("terminal").toString(), QString("<Primary><Alt>t"));
    QCOMPARE(bindings(Workspaces, "switch-to-workspace-right"), QStringList{"<Primary><Alt>Right"});
    QCOMPARE(bindings(Workspaces, "switch-to-workspace-up"), QStringList{"<Primary><Alt>Up"});
    QCOMPARE(bindings(Workspaces, "switch-to-workspace-down"), QStringList{"<Primary><Alt>Down"});
    QCOMPARE(bindings(Workspaces, "switch-to-workspace-left"), QStringList{"<Super>Left"});
    QCOMPARE(bindings(ShowDesktop, "show-desktop"), showDesktop);
    QVERIFY(m_root->waitForLog("setTerminalEnable get terminal result: <Primary><Alt>t, enable: true"));
}

void TestLockdown::loginLiftPutsSavedBindingsBack()
{
    // A session that ended while locked down left its bindings in the configuration.
    m_root->writeFile(ConfigIni, "[style]\ntaskview_key=<Super>d\n");
    QGSettings(ShowDesktop).set("show-desktop", QStringList());
    QGSettings(MediaKeys).set("terminal", QString("[]"));

    Utils::handleForceFullScreen(true, true);
    QCOMPARE(bindings(ShowDesktop, "show-desktop"), QStringList{"<Super>d"});
    QCOMPARE(QGSettings(MediaKeys).get("terminal").toString(), QString("<Primary><Alt>t"));
    QCOMPARE(taskViewCalls(), QList<bool>{true});
    QVERIFY(m_root->waitForLog("handleForceFullScreen, enable value:true, login value:true"));
    QVERIFY(m_root->logText().contains("reset show-desktop: "));
    QVERIFY(!m_root->logText().contains("setWinKeyEnable"));
}

void TestLockdown::resetWritesOnlyWhatDiffers_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QStringList>("current");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<bool>("written");

    QTest::newRow("saved equals current") << QByteArray("[style]\ntaskview_key=<Super>d\n")
                                          << QStringList{"<Super>d"} << QStringList{"<Super>d"} << false;
    QTest::newRow("two saved equal current") << QByteArray("[style]\ntaskview_key=<Super>d,<Primary>d\n")
                                             << QStringList{"<Super>d", "<Primary>d"}
                                             << QStringList{"<Super>d", "<Primary>d"} << false;
    QTest::newRow("nothing saved") << QByteArray() << QStringList() << QStringList() << false;
    QTest::newRow("saved empty") << QByteArray("[style]\ntaskview_key=\n") << QStringList() << QStringList() << false;
    QTest::newRow("saved differs") << QByteArray("[style]\ntaskview_key=<Super>d\n") << QStringList()
                                   << QStringList{"<Super>d"} << true;
    QTest::newRow("saved quoted list") << QByteArray("[style]\ntaskview_key=\"<Super>d,<Primary>d\"\n")
                                       << QStringList{"<Super>x"} << QStringList{"<Super>d", "<Primary>d"} << true;
    QTest::newRow("saved unquoted list") << QByteArray("[style]\ntaskview_key=<Super>d,<Primary>d\n")
                                         << QStringList() << QStringList{"<Super>d", "<Primary>d"} << true;
}

void TestLockdown::resetWritesOnlyWhatDiffers()
{
    QFETCH(QByteArray, config);
    QFETCH(QStringList, current);
    QFETCH(QStringList, after);
    QFETCH(bool, written);

    if (!config.isEmpty())
        m_root->writeFile(ConfigIni, config);
    QGSettings watcher(ShowDesktop);
    watcher.set("show-desktop", current);
    settleChanges(watcher);
    const int logLines = m_root->countInLog("reset show-desktop: ");

    QSignalSpy changed(&watcher, &QGSettings::changed);
    Utils::resetWinKey();
    settleChanges(watcher);

    bool showDesktopChanged = false;
    for (const QList<QVariant> &signal : changed)
        showDesktopChanged |= signal.first().toString() == "showDesktop";
    QCOMPARE(showDesktopChanged, written);
    QCOMPARE(watcher.get("show-desktop").toStringList(), after);
    QCOMPARE(m_root->countInLog("reset show-desktop: "), logLines + (written ? 1 : 0));
}

void TestLockdown::missingSchemaOrKeyIsSkipped_data()
{
    QTest::addColumn<QString>("schemaXml");  // the desktop's only schemas; empty: none at all
    QTest::addColumn<QStringList>("skipped");

    QTest::newRow("no desktop schemas") << QString()
                                        << QStringList{QString("schema %1 is not installed").arg(MediaKeys),
                                                       QString("schema %1 is not installed").arg(Workspaces),
                                                       QString("schema %1 is not installed").arg(ShowDesktop)};
    const QString withoutKeys = QString(R"(<schemalist>
  <schema id="%1" path="/org/qoro/settings-daemon/plugins/media-keys/">
    <key name="home" type="s"><default>''</default></key>
  </schema>
  <schema id="%2" path="/org/qoro/desktop/wm/keybindings/">
    <key name="switch-to-workspace-right" type="as"><default>[]</default></key>
    <key name="switch-to-workspace-down" type="as"><default>[]</default></key>
  </schema>
  <schema id="%3" path="/org/gnome/desktop/wm/keybindings/">
    <key name="minimize" type="as"><default>[]</default></key>
  </schema>
</schemalist>)").arg(MediaKeys, Workspaces, ShowDesktop);
    QTest::newRow("schemas without the keys")
        << withoutKeys
        << QStringList{QString("schema %1 has no key terminal").arg(MediaKeys),
                       QString("schema %1 has no key switch-to-workspace-up").arg(Workspaces),
                       QString("schema %1 has no key show-desktop").arg(ShowDesktop)};
}

void TestLockdown::missingSchemaOrKeyIsSkipped()
{
    QFETCH(QString, schemaXml);
    QFETCH(QStringList, skipped);

    if (!SelfRun::isChild()) {
        // GLib reads the schemas once per process: this desktop is a child of its own, which sees
        // no system schemas either.
        const QString dir = m_schemaDirs.path() + "/" + QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
        QDir().mkpath(dir + "/data");
        if (!schemaXml.isEmpty()) {
            QFile file(dir + "/desktop.gschema.xml");
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(schemaXml.toUtf8());
            file.close();
            const TestEnv::CommandResult compiled = TestEnv::runCommand("glib-compile-schemas", {"--strict", dir});
            QVERIFY2(compiled.exitCode == 0, qPrintable(compiled.output));
        }
        SelfRun::Options options;
        options.env.insert("GSETTINGS_SCHEMA_DIR", dir);
        options.env.insert("XDG_DATA_DIRS", dir + "/data");
        RUN_ROW_IN_CHILD(options);
        // The task view does not depend on GSettings: it is still switched.
        QCOMPARE(taskViewCalls(), (QList<bool>{false, true, true}));
        return;
    }

    m_root->writeFile(ConfigIni, "[style]\ntaskview_key=<Super>d\nauto_add_domain_area=a,b\n");
    Utils::handleForceFullScreen(false, false);
    Utils::handleForceFullScreen(true, false);
    Utils::handleForceFullScreen(true, true);
    QCOMPARE(Utils::isForceFullScreen(), false);
    QCOMPARE(Utils::get_auto_add_domain_area(), (QStringList{"a", "b"}));
    for (const QString &line : skipped)
        QVERIFY2(m_root->waitForLog(line + ", skipped"), qPrintable(line));
    QVERIFY(m_root->waitForLog("[Warning][default] setTerminalEnable: schema "));
}

void TestLockdown::autoAddDomainAreaFromConfiguration_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QStringList>("areas");
    QTest::newRow("two areas") << QByteArray("[style]\nauto_add_domain_area=a,b\n") << QStringList{"a", "b"};
    QTest::newRow("quoted") << QByteArray("[style]\nauto_add_domain_area=\"north,south\"\n")
                            << QStringList{"north", "south"};
    QTest::newRow("empty part kept") << QByteArray("[style]\nauto_add_domain_area=a,,b\n")
                                     << QStringList{"a", "", "b"};
    QTest::newRow("one area") << QByteArray("[style]\nauto_add_domain_area=north\n") << QStringList{"north"};
    QTest::newRow("empty") << QByteArray("[style]\nauto_add_domain_area=\n") << QStringList();
    QTest::newRow("absent") << QByteArray() << QStringList();
}

void TestLockdown::autoAddDomainAreaFromConfiguration()
{
    QFETCH(QByteArray, config);
    QFETCH(QStringList, areas);
    if (!config.isEmpty())
        m_root->writeFile(ConfigIni, config);
    QCOMPARE(Utils::get_auto_add_domain_area(), areas);
}

QTEST_MAIN(TestLockdown)
#include "tst_lockdown.moc"
