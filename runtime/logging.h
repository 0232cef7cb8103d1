#pragma once

#include <QLoggingCategory>
#include <QString>

// Qt's message channel: every message goes, stamped with its level word and category,
// to the agent's log file and to standard output.
void setLoggingPath(const QString &path);
void outputMessage(QtMsgType type, const QMessageLogContext &context, const QString &message);

const QLoggingCategory &FORM_WINDOWS_ADMIN();
const QLoggingCategory &FORM_WINDOWS_DOMAIN();
const QLoggingCategory &WEBSOCKET();
const QLoggingCategory &MAINWINDOW();
const QLoggingCategory &DBUS();
const QLoggingCategory &FORM_ADD_PREPARE();
const QLoggingCategory &SESSION_DBUS();
const QLoggingCategory &NOTIFY();
const QLoggingCategory &DOMAIN_DBUS_INTERFACE();

// A tagged message: "[operation:line] " followed directly by the message parts, without
// Qt's automatic spaces and quotes. Built only when the level is enabled in the category.
#define TAGGED_INFO(category) TAGGED_INFO_AS(category, __FUNCTION__)
// The same for an operation whose work lives in a helper of another name.
#define TAGGED_INFO_AS(category, operation) \
    qCInfo(category).noquote().nospace() << "[" << operation << ":" << __LINE__ << "] "
#define TAGGED_WARNING(category) \
    qCWarning(category).noquote().nospace() << "[" << __FUNCTION__ << ":" << __LINE__ << "] "
