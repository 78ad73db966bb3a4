#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class QNetworkReply;

// Keeps one reply from waiting on a stalled server for ever. From the moment the reply leaves Qt's
// queue (its connection starts, or its request is sent; requests waiting behind Qt's connections per
// host have not started), the reply has to see its headers and at least minimumBytes of its body within
// every window of windowMSecs. One that doesn't is aborted after a log line naming the cause, and its
// owner sees an ordinary failed attempt (OperationCanceledError).
//
// The bytes are counted on the thread of the reply as Qt hands them over. A pause of that thread (a
// long synchronous step of the event loop) is no stall: the window starts again after it, since what
// arrived meanwhile may still wait in the event queue.
//
// Made a child of the reply, it ends with it.
class StallWatch : public QObject
{
    Q_OBJECT
public:
    StallWatch(QNetworkReply* reply, QString name, int windowMSecs, qint64 minimumBytes);

private:
    void begin();
    void check();

    QNetworkReply* reply;
    QString name;
    int windowMSecs;
    qint64 minimumBytes;
    QTimer ticker;
    QElapsedTimer clock;
    qint64 lastTickMSecs = 0;
    QList<qint64> samples; // bytes received at the last ticks, the oldest one a window ago
    qint64 received = 0;
    bool headersArrived = false;
};
