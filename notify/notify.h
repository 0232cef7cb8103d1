#pragma once

#include <QJsonObject>
#include <QString>
#include <QWidget>

class QTimer;

namespace Ui {
class Notify;
}

// The transient notice: a small borderless grey box at the top centre of the screen that shows
// one line of text for a number of seconds and then removes itself. Notices requested while
// others are showing appear at the same place and overlap.
class Notify : public QWidget
{
    Q_OBJECT

public:
    Notify(const QString &text, int time, QWidget *parent = nullptr);
    // The count-down form: tells the user that the terminal shuts down ("op" 0) or reboots
    // ("op" 1) in time / 60 minutes, and asks the session manager for it when the time is up.
    Notify(QJsonObject json, int time, QWidget *parent = nullptr);
    ~Notify() override;

signals:
    void timeout();

public slots:
    void onTimeout();

private:
    void shape(const QString &text);
    void fitText(const QString &text);
    QTimer *startDisplayTimer();

    Ui::Notify *ui;
    int op = 0;
    int time = 0;
};
