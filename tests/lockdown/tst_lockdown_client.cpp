// Where the client's own schema "com.kiv.domain" is installed its list of areas takes the place
// of the configuration's, even when it is empty.
#include <QtTest>

#include <QGSettings/QGSettings>

#include <memory>

#include "paths.h"
#include "testenv.h"
#include "utils.h"

// This program alone sees the client schema: its folder is chosen before GLib reads any schema.
static void useClientSchemas()
{
    qputenv("GSETTINGS_SCHEMA_DIR", QByteArray(AGENT_BINARY_DIR) + "/schemas-client");
}
Q_CONSTRUCTOR_FUNCTION(useClientSchemas)

class TestLockdownClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void schemaListWinsOverConfiguration_data();
    void schemaListWinsOverConfiguration();

private:
    std::unique_ptr<TestEnv::TempRoot> m_root;
};

void TestLockdownClient::initTestCase()
{
    m_root = std::make_unique<TestEnv::TempRoot>();
    QVERIFY(QGSettings::isSchemaInstalled("com.kiv.domain"));
}

void TestLockdownClient::schemaListWinsOverConfiguration_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QStringList>("schemaAreas");  // empty: the schema's default
    QTest::addColumn<QStringList>("areas");
    QTest::newRow("schema list") << QByteArray("[style]\nauto_add_domain_area=a,b\n") << QStringList{"x", "y"}
                                 << QStringList{"x", "y"};
    QTest::newRow("empty schema list") << QByteArray("[style]\nauto_add_domain_area=a,b\n") << QStringList()
                                       << QStringList();
    QTest::newRow("no configuration") << QByteArray() << QStringList{"north"} << QStringList{"north"};
}

void TestLockdownClient::schemaListWinsOverConfiguration()
{
    QFETCH(QByteArray, config);
    QFETCH(QStringList, schemaAreas);
    QFETCH(QStringList, areas);

    m_root->remove(TestEnv::ConfigIni);
    if (!config.isEmpty())
        m_root->writeConfig(config);
    QGSettings client("com.kiv.domain");
    if (schemaAreas.isEmpty())
        client.reset("auto-add-domain-area");
    else
        client.set("auto-add-domain-area", schemaAreas);
    QCOMPARE(Utils::get_auto_add_domain_area(), areas);
}

QTEST_MAIN(TestLockdownClient)
#include "tst_lockdown_client.moc"
