// The listening processes, kept current from lsof's stream.
#pragma once

#include "ListeningProcess.h"
#include "ListeningSockets.h"
#include "LsofParser.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <optional>

class LsofTask;

// Where the list comes from: the kernel's socket table read directly, or an lsof child.
enum class ScanEngine { Native, Lsof };

// The engine named on the command line ("native", "lsof"), else the stored setting "scanner",
// else the native one. Nothing for a name that is neither.
std::optional<ScanEngine> chosenEngine(const QString &commandLine);

// Keeps the list of listening processes current with one of two engines, which give the same
// records in the same order save what lsof cannot tell (a wildcard's family, IPv6-only, other
// users' sockets): the native one reads the kernel's socket table twice a second;
// the lsof one owns the lsof child and the road of its output (read, frame into listings, skip
// repeats, decode, parse, check). Says when the list changes, and why none comes.
class Scanner : public QObject {
    Q_OBJECT
public:
    explicit Scanner(QObject *parent = nullptr);

    // Starts the engine. The native one falls back to lsof, with one log line, when the
    // kernel's table cannot be read at all.
    void start(ScanEngine engine);
    ScanEngine engine() const { return m_engine; }
    // Starts the child; it is started again whenever it ends or stalls, until stop().
    void startLsofTask(const QString &launchPath, const QStringList &arguments);
    void stop();
    // One reading of the kernel's socket table.
    void scanSockets();
    // Every how many readings (two a second) the native engine reads every process's fds.
    void setFullPassEvery(int scans) { m_fullPassEvery = scans; }
    LsofTask *task() const { return m_task; }

    // One read of lsof's standard output, as the pipe delivered it.
    void handleLsofOutput(QByteArrayView bytes);

    // The processes of the last listing applied, in the order they are shown.
    const QList<Listener> &processes() const { return m_processes; }
    // Why no listings come; empty while they do.
    QString problem() const;

Q_SIGNALS:
    void processesChanged(const QList<Listener> &processes);
    void problemChanged(const QString &problem);

private:
    void applyListing(QByteArrayView listing);
    void setNativeProblem(const QString &problem);

    ScanEngine m_engine = ScanEngine::Lsof;
    QTimer m_poll;
    SocketOwners m_owners;
    // Five minutes: what only a full pass finds is rare, and it costs what all else does.
    int m_fullPassEvery = 600;
    int m_scansSinceFullPass = 0;
    static constexpr int newProcessesEvery = 10; // five seconds
    int m_scansSinceLook = 0;
    std::optional<QList<ListeningSocket>> m_lastSockets;
    std::optional<QList<NativeRecord>> m_lastRecords;
    QString m_nativeProblem;
    LsofTask *m_task;
    LsofListingBuffer m_listings;
    // The last listing's bytes, applied or refused: the same bytes again need no decoding,
    // splitting or comparing, nor a second diagnostic.
    std::optional<QByteArray> m_lastListing;
    // The records of the last listing applied.
    std::optional<QList<ListeningProcess>> m_records;
    QList<Listener> m_processes;
};

// The processes once, from the kernel's socket table.
std::optional<QList<Listener>> listSocketsOnce(QString *why);

// Runs lsof once, without repeat mode, through the same parsing and checking. Nothing, with
// the reason in `why`, when lsof cannot run, writes more than a listing may hold, or takes
// longer than the deadline.
std::optional<QList<Listener>> listOnce(const QString &launchPath, QString *why,
                                        int deadlineMs = 30000);
