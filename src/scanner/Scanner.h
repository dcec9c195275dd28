// The listening processes, kept current from lsof's stream.
#pragma once

#include "ListeningProcess.h"
#include "LsofParser.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>

#include <optional>

class LsofTask;

// Owns the lsof child and the road of its output: read, frame into listings, skip repeats,
// decode, parse, check. Says when the list of processes changes, and why none come.
class Scanner : public QObject {
    Q_OBJECT
public:
    explicit Scanner(QObject *parent = nullptr);

    // Starts the child; it is started again whenever it ends or stalls, until stop().
    void startLsofTask(const QString &launchPath, const QStringList &arguments);
    void stop();
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

    LsofTask *m_task;
    LsofListingBuffer m_listings;
    // The last listing's bytes, applied or refused: the same bytes again need no decoding,
    // splitting or comparing, nor a second diagnostic.
    std::optional<QByteArray> m_lastListing;
    // The lines of the last listing applied.
    QStringList m_lsof;
    QList<Listener> m_processes;
};

// Runs lsof once, without repeat mode, through the same parsing and checking. Nothing, with
// the reason in `why`, when lsof cannot run, writes more than a listing may hold, or takes
// longer than the deadline.
std::optional<QList<Listener>> listOnce(const QString &launchPath, QString *why,
                                        int deadlineMs = 30000);
