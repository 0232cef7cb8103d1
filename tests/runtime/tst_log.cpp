// Both log channels: the file logger's line format and limits, and the Qt message handler that
// writes to the same file and to standard output.
#include <QtTest>

#include <cstdio>
#include <unistd.h>

#include "log.h"
#include "logging.h"
#include "testenv.h"

namespace {
QString readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

const QString StampPattern = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\])";
}  // namespace

class TestLog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void lineFormat_data();
    void lineFormat();
    void levelThreshold();
    void overlongFormatIsRefused();
    void longExpansionIsCutAtTheBuffer();
    void deletedFileIsCreatedAgain();
    void missingFolderLosesTheLineQuietly();
    void qtMessagesGoToFileAndStdout();

private:
    QTemporaryDir m_dir;
    QString m_path;
};

void TestLog::init()
{
    m_path = m_dir.path() + "/agent.log";
    QFile::remove(m_path);
    Log::GetInstance()->setLogPath(m_path);
    Log::GetInstance()->setLogLevel(LOG_DEBUG);
}

void TestLog::cleanup() { Log::GetInstance()->setLogLevel(LOG_DEBUG); }

void TestLog::lineFormat_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("expectedTail");

    QTest::newRow("info") << int(LOG_INFO) << "main" << " [LOG_INFO] main:hello";
    QTest::newRow("debug") << int(LOG_DEBUG) << "x" << " [LOG_DEBUG] x:hello";
    QTest::newRow("warn") << int(LOG_WARN) << "x" << " [LOG_WARN] x:hello";
    QTest::newRow("error") << int(LOG_ERROR) << "x" << " [LOG_ERROR] x:hello";
    QTest::newRow("unknown level has an empty name") << 7 << "x" << " [] x:hello";
    QTest::newRow("chinese text unchanged") << int(LOG_INFO) << "创建临时文件" << " [LOG_INFO] 创建临时文件:hello";
    QTest::newRow("percent in an argument stays text") << int(LOG_INFO) << "%s%n%d" << " [LOG_INFO] %s%n%d:hello";
}

void TestLog::lineFormat()
{
    QFETCH(int, level);
    QFETCH(QString, argument);
    QFETCH(QString, expectedTail);

    Log::GetInstance()->SaveFileLog(LOGLEVEL(level), "%s:hello", argument.toUtf8().constData());
    const QString text = readAll(m_path);
    QVERIFY2(QRegularExpression("^" + StampPattern + QRegularExpression::escape(expectedTail) + "\n$")
                 .match(text).hasMatch(),
             qPrintable(text));
}

void TestLog::levelThreshold()
{
    Log::GetInstance()->setLogLevel(LOG_WARN);
    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s", "not written");
    Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s", "written");
    QVERIFY(QRegularExpression("^" + StampPattern + R"( \[LOG_ERROR\] written\n$)").match(readAll(m_path)).hasMatch());
}

void TestLog::overlongFormatIsRefused()
{
    const QByteArray format(8192, 'a');
    Log::GetInstance()->SaveFileLog(LOG_INFO, format.constData(), 0);
    const QString text = readAll(m_path);
    QCOMPARE(text.count('\n'), 1);
    QVERIFY2(QRegularExpression("^" + StampPattern + R"( \[LOG_ERROR\] write too bigger log content\n$)")
                 .match(text).hasMatch(),
             qPrintable(text.left(200)));

    // 8191 characters is still accepted.
    QFile::remove(m_path);
    const QByteArray fits(8191, 'b');
    Log::GetInstance()->SaveFileLog(LOG_INFO, fits.constData(), 0);
    QVERIFY(readAll(m_path).contains(QString(fits)));
}

void TestLog::longExpansionIsCutAtTheBuffer()
{
    const QByteArray big(20000, 'z');
    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s:%s", "op", big.constData());
    const QString text = readAll(m_path);
    const int start = text.indexOf("op:");
    QVERIFY(start > 0);
    const QString message = text.mid(start).chopped(1);  // without the line end
    QCOMPARE(message.size(), Log::BufferSize - 1);
}

void TestLog::deletedFileIsCreatedAgain()
{
    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s", "first");
    QVERIFY(QFile::remove(m_path));
    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s", "second");
    const QString text = readAll(m_path);
    QVERIFY(text.contains("second"));
    QVERIFY(!text.contains("first"));
}

void TestLog::missingFolderLosesTheLineQuietly()
{
    const QString missing = m_dir.path() + "/no/such/folder/agent.log";
    Log::GetInstance()->setLogPath(missing);
    Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s", "lost");
    QVERIFY(!QFile::exists(missing));
}

void TestLog::qtMessagesGoToFileAndStdout()
{
    const QString qtLog = m_dir.path() + "/qt.log";
    const QString captured = m_dir.path() + "/stdout.txt";

    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    FILE *capture = fopen(qPrintable(captured), "w");
    dup2(fileno(capture), STDOUT_FILENO);

    setLoggingPath(qtLog);
    QtMessageHandler previous = qInstallMessageHandler(outputMessage);
    qInfo() << "abc";
    qCInfo(SESSION_DBUS).noquote() << "session line";
    qCDebug(SESSION_DBUS) << "debug stays off";
    qCInfo(NOTIFY) << "notice";
    qInstallMessageHandler(previous);

    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    fclose(capture);

    const QString stamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3}\])";
    const QString expected = "^" + stamp + R"(\[Info\]\[default\] abc\n)" + stamp +
                             R"(\[Info\]\[session_dbus_interface\] session line\n)" + stamp +
                             R"(\[Info\]\[notify\] notice\n$)";
    const QString fileText = readAll(qtLog);
    QVERIFY2(QRegularExpression(expected).match(fileText).hasMatch(), qPrintable(fileText));
    const QString outText = readAll(captured);
    QVERIFY2(QRegularExpression(expected).match(outText).hasMatch(), qPrintable(outText));
}

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"
