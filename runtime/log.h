#pragma once

#include <QString>

enum LOGLEVEL : int {
    LOG_DEBUG = 0,
    LOG_INFO = 1,
    LOG_WARN = 2,
    LOG_ERROR = 3,
};

// The agent's own line logger: one printf-formatted line per call, appended to the log file
// that the Qt message handler also writes to. The file is opened and closed for every line so
// that a rotated or deleted log is picked up at the next line.
class Log
{
public:
    static Log *GetInstance();

    void setLogPath(QString path);
    void setLogLevel(LOGLEVEL level);
    QString getLevelStr(LOGLEVEL level);

    void SaveFileLog(LOGLEVEL level, const char *format, ...) __attribute__((format(printf, 3, 4)));
    void PrintLog(LOGLEVEL level, const char *format, ...) __attribute__((format(printf, 3, 4)));

    static constexpr int BufferSize = 8192;

private:
    Log();

    static Log *instance;
    QString m_logPath;
    LOGLEVEL m_logLevel = LOG_DEBUG;
};
