// The long-running lsof child that reports the listening sockets every 3 seconds.
#pragma once

#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#include <optional>

// The 15 arguments: TCP sockets in LISTEN state, numeric, repeated every 3 s, as fields
// command name, name and process id, with nothing appended to the port.
QStringList lsofArguments();

// Runs lsof and starts it again when it ends while Ambrel runs, after a delay that doubles on
// every failure in a row and resets once a listing arrives.
class LsofTask : public QObject {
    Q_OBJECT
public:
    explicit LsofTask(QObject *parent = nullptr);
    ~LsofTask() override;

    void start(const QString &launchPath, const QStringList &arguments);
    // Stops the child for good: asks it to end, waits a bounded time, then kills it.
    void terminate();

    // Called when a complete listing arrived: the child works, so failures count anew.
    void listingArrived();

    void setRestartDelays(int firstMs, int maxMs);
    // How long a running child may go without completing a listing before it counts as
    // stalled: it is then stopped and started again like one that ended.
    void setStallTimeout(int ms) { m_watchdog.setInterval(ms); }
    int nextRestartDelay() const { return m_delayMs; }
    bool isRestartPending() const { return m_restart.isActive(); }

    // Why no listings come, for the tooltip; empty once a listing arrived.
    QString problem() const { return m_problem; }
    QProcess *process() const { return m_process; }

Q_SIGNALS:
    // Standard output has bytes to read from process().
    void readyRead();
    // The child ended, or could not be started; its last output has been delivered.
    void ended();
    void problemChanged(const QString &problem);

private:
    void launch();
    void failed(const QString &why);
    void setProblem(const QString &problem);

    QProcess *m_process;
    QTimer m_restart;
    QTimer m_watchdog;
    bool m_stalled = false;
    QString m_launchPath;
    QStringList m_arguments;
    QString m_problem;
    int m_firstDelayMs = 3000;
    int m_maxDelayMs = 60000;
    int m_delayMs = 3000;
    bool m_stopped = false;
};
