#pragma once

#include <QString>

// A line's format is always a literal of the calling code: outside data (server replies, D-Bus
// arguments, file contents) goes in as an argument, never as the format. Every file that logs
// includes this header, so a format that is not a literal fails its build.
#pragma GCC diagnostic warning "-Wformat"
#pragma GCC diagnostic error "-Wformat-nonliteral"

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
