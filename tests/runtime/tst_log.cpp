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

// Set in a copy of this program that logs through the Qt handler before it has a log path.
const char *const EarlyMessageVariable = "KIV_LOG_EARLY_MESSAGE";

// In the copy: one message before the path is set, one after; the copy ends here.
void logBeforeThePathAndExit(const QString &path)
{
    qInstallMessageHandler(outputMessage);
    qInfo("%s", "before the path");
    setLoggingPath(path);
    qInfo("%s", "after the path");
    std::fflush(stdout);
    std::_Exit(0);
}
}  // namespace

class TestLog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void lineFormat_data();
    void lineFormat();
    void levelThreshold();
    void overlongFormatIsRefused();
    void longExpansionIsCutAtTheBuffer();
    void deletedFileIsCreatedAgain();
    void missingFolderLosesTheLineQuietly();
    void printLogGoesToQtDebug();
    void qtMessagesGoToFileAndStdout();
    void messageBeforeThePathKeepsTheFileEmpty();

private:
    QTemporaryDir m_dir;
    QString m_path;
};

void TestLog::initTestCase()
{
    if (qEnvironmentVariableIsSet(EarlyMessageVariable))
        logBeforeThePathAndExit(qEnvironmentVariable(EarlyMessageVariable));
}

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

// The length limit concerns the format itself, which only a built text can make that long.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
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
#pragma GCC diagnostic pop

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

void TestLog::printLogGoesToQtDebug()
{
    // One debug message of the default category per line, never the file; the level threshold
    // holds.
    static QStringList captured;
    captured.clear();
    QtMessageHandler previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context,
                                                          const QString &message) {
        captured << QString("%1|%2|%3").arg(type).arg(context.category).arg(message);
    });
    Log::GetInstance()->PrintLog(LOG_WARN, "%s:%s", "op", "%d 50%");
    Log::GetInstance()->setLogLevel(LOG_ERROR);
    Log::GetInstance()->PrintLog(LOG_WARN, "%s", "below the threshold");
    qInstallMessageHandler(previous);

    QCOMPARE(captured.size(), 1);
    QVERIFY2(QRegularExpression(R"(^0\|default\|\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[LOG_WARN\] \{op:%d 50%\}$)")
                 .match(captured.first())
                 .hasMatch(),
             qPrintable(captured.first()));
    QVERIFY(!QFile::exists(m_path));
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

void TestLog::messageBeforeThePathKeepsTheFileEmpty()
{
    // The handler's file is bound at its first message: with no path yet it never has one,
    // and every line still reaches standard output.
    const QString path = m_dir.path() + "/late.log";
    QProcess copy;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(EarlyMessageVariable, path);
    copy.setProcessEnvironment(environment);
    copy.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(copy.waitForFinished(20000));
    QCOMPARE(copy.exitCode(), 0);
    const QString output = QString::fromUtf8(copy.readAllStandardOutput());
    const QString stamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3}\])";
    QVERIFY2(QRegularExpression("\n" + stamp + R"(\[Info\]\[default\] before the path\n)" + stamp +
                                R"(\[Info\]\[default\] after the path\n$)")
                 .match(output)
                 .hasMatch(),
             qPrintable(output));
    QVERIFY(!QFile::exists(path));
}

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"
