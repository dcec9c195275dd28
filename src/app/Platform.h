// Every operation and constant that depends on the operating system lives behind this
// header, so that the rest of Ambrel never asks which system it runs on.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <optional>

class QProcess;

namespace Platform {

// The program's name as shown in diagnostics and the desktop entry.
inline constexpr char programName[] = "ambrel";

// "/usr/sbin/lsof" where it exists; Debian and most others install it in /usr/bin.
QString lsofLaunchPath();

// The shell that runs one-off command lines.
QString shellPath();

// The interface whose address another machine reaches us on: the one that carries the IPv4
// default route, or "en0" when there is no route table to read.
QString networkInterfaceName();
// The same choice, made from the text of /proc/net/route; empty when it names no default route.
QString defaultRouteInterface(const QByteArray &procNetRoute);

// One plain line to standard error, prefixed with the program name and pid, and to the system
// log. The text is never used as a format.
void logLine(const QString &text);
// One line to standard output, flushed at once.
void printLine(const QString &text);

// The installed resources, "<prefix>/share/ambrel/", as a file URL ending in a slash; an empty
// URL when the program does not run from an installed tree.
QUrl resourceURL();
// Starts "<bundle>/bin/ambrel" detached, where the bundle is given as a file URL text.
// Returns whether the new process was started.
bool openBundle(const QString &bundleText);

// SIGTERM, SIGINT and SIGHUP end the event loop the normal way, so that quitting still stops
// the children. Call once, after the application object exists.
void quitOnTerminationSignals();

// Makes the child end when Ambrel ends, even when Ambrel is killed and cannot stop it.
void endWithParent(QProcess &child);

// When the process with this id started, in clock ticks since boot (field 22 of
// /proc/<pid>/stat). With the pid it names one process for good: a reused pid starts later.
// Nothing when no such process exists.
std::optional<quint64> processStartTime(qint64 pid);

// A desktop notification (org.freedesktop.Notifications), sent without waiting; nothing
// happens where no notification server runs.
void notify(const QString &summary, const QString &body);

// Tells when the desktop has a tray to show a status item in: a StatusNotifierItem host on
// D-Bus, or an XEmbed tray on X11. Qt picks its tray protocol once, when the first tray icon
// is made, so that icon must not be made before a host is there.
class TrayHostWatcher : public QObject {
    Q_OBJECT
public:
    explicit TrayHostWatcher(QObject *parent = nullptr);
    ~TrayHostWatcher() override;

    bool isAvailable() const;

Q_SIGNALS:
    // A host appeared where there was none.
    void appeared();
    // The D-Bus host came back after it had gone, as when the panel restarts.
    void restarted();

private:
    bool dbusHostRegistered() const;
    bool x11TrayOwned() const;

    struct X11Tray;
    X11Tray *m_x11 = nullptr;
    bool m_dbusHostSeen = false;
    bool m_dbusHostGone = false;
};

} // namespace Platform
