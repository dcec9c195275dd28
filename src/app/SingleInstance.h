// One Ambrel per user session.
#pragma once

#include <QLocalServer>
#include <QObject>

class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum Claim {
        Claimed,   // this process has the session
        Unguarded, // no socket could be made: other starts cannot be kept away (logged)
        Running,   // another Ambrel has it, and was told of this start
        Silent,    // another process holds the socket and does not answer within 2 s
    };

    explicit SingleInstance(QObject *parent = nullptr);

    Claim claim();
    // For Running and Silent: the other process's pid; 0 where it cannot be told.
    qint64 owner() const { return m_owner; }

Q_SIGNALS:
    // Another start was refused.
    void anotherStart();

private:
    QLocalServer m_server;
    qint64 m_owner = 0;
};
