#pragma once

// The client's shared vocabulary of task stages, event kinds and caller paths. Every source
// that includes this header holds its own read-only copy of the tables.

#include <QMap>
#include <QString>
#include <QStringList>

enum TaskStage {
    TASK_NONE = 0,
    TASK_START = 1,
    TASK_DOWNLOADING = 2,
    TASK_DOWNLOADED = 3,
    TASK_INSTALLING = 4,
    TASK_INSTALLED = 5,
    TASK_END = 6,
};

enum ActionType {
    NETWORK_CONNECT_FAILED = 0,
    SERVER_CONNECT_FAILED = 1,
    SERVER_CONNECT_ABNORMAL = 2,
    ADD_DOMAIN_FAILED = 3,
    ADD_DOMAIN_SUCCEEDED = 4,
};

static const QStringList ALLOWED_CALLER_PATHS = {
    "/usr/share/kiv-domain-client/kiv-domain-client",
    "/usr/share/kiv-domain-client/kiv-domain-session-agent",
};

static const QMap<TaskStage, QString> stageToStrMap = {
    {TASK_NONE, "none"},
    {TASK_START, "start"},
    {TASK_DOWNLOADING, "downloading"},
    {TASK_DOWNLOADED, "downloaded"},
    {TASK_INSTALLING, "installing"},
    {TASK_INSTALLED, "installed"},
    {TASK_END, "end"},
};

static const QMap<TaskStage, QString> stageToErrMsg = {
    {TASK_NONE, ""},
    {TASK_START, "start error"},
    {TASK_DOWNLOADING, "downloading error"},
    {TASK_DOWNLOADED, "downloaded error"},
    {TASK_INSTALLING, "installing error"},
    {TASK_INSTALLED, "installed error"},
    {TASK_END, ""},
};

static const QMap<ActionType, QString> actionTyToStr = {
    {NETWORK_CONNECT_FAILED, "网络连接失败"},
    {SERVER_CONNECT_FAILED, "服务器连接失败"},
    {SERVER_CONNECT_ABNORMAL, "服务器连接异常"},
    {ADD_DOMAIN_FAILED, "加域失败"},
    {ADD_DOMAIN_SUCCEEDED, "加域成功"},
};
