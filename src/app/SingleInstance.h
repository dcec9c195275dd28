// One Ambrel per user session.
#pragma once

#include <QLocalServer>
#include <QObject>

#include <optional>

class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QObject *parent = nullptr);

    // Claims the session for this process. Nothing when it could; otherwise the pid of the
    // Ambrel that has it, which is told of this start.
    std::optional<qint64> claim();

Q_SIGNALS:
    // Another start was refused.
    void anotherStart();

private:
    QLocalServer m_server;
};
