// Whether the desktop has a tray to show a status item in.
#pragma once

#include <QObject>

namespace Platform {

// Tells when the desktop has a tray: a StatusNotifierItem host on D-Bus, or an XEmbed tray on
// X11 (only on Qt's X11 platform; on Wayland Qt has only the D-Bus item). Qt picks its tray
// protocol once, when the first tray icon is made, so that icon must not be made before a host
// is there.
class TrayHostWatcher : public QObject {
    Q_OBJECT
public:
    explicit TrayHostWatcher(QObject *parent = nullptr);
    ~TrayHostWatcher() override;

    bool isAvailable() const;
    // Whether a StatusNotifierItem host is registered; a tray icon made now is a D-Bus item.
    bool hasDBusHost() const { return m_dbusHost; }

Q_SIGNALS:
    // A host appeared where there was none.
    void appeared();
    // The D-Bus host came back after it had gone, as when the panel restarts.
    void restarted();

private Q_SLOTS:
    void checkDBusHost();

private:
    bool dbusHostRegistered() const;
    bool x11TrayOwned() const;

    struct X11Tray;
    X11Tray *m_x11 = nullptr;
    bool m_dbusHost = false;
    // The host went away after it had been there; its return is a restart.
    bool m_dbusHostGone = false;
};

} // namespace Platform
