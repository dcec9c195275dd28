#include "Autostart.h"

#include "Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace LaunchAtLogin {

QString entryPath()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || QDir::isRelativePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart/ambrel.desktop");
}

bool isEnabled()
{
    QFile entry(entryPath());
    if (!entry.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    bool inDesktopEntry = false;
    while (!entry.atEnd()) {
        const QByteArray line = entry.readLine().trimmed();
        if (line.startsWith('['))
            inDesktopEntry = line == "[Desktop Entry]";
        else if (inDesktopEntry && line.startsWith("Hidden") &&
                 line.mid(6).trimmed().startsWith('='))
            return line.mid(line.indexOf('=') + 1).trimmed() != "true";
    }
    return true;
}

// Exec= takes a quoted argument where the path holds anything a shell-like reader would split.
static QString quotedExec(const QString &program)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    if (std::none_of(program.begin(), program.end(), [](QChar c) { return reserved.contains(c); }))
        return program;
    QString quoted = program;
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('"'), QStringLiteral("\\\""))
        .replace(QLatin1Char('`'), QStringLiteral("\\`"))
        .replace(QLatin1Char('$'), QStringLiteral("\\$"));
    // The desktop-entry reader unescapes backslashes once more before it unquotes.
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

bool setEnabled(bool enabled)
{
    const QString path = entryPath();
    if (!enabled) {
        if (!QFile::exists(path) || QFile::remove(path))
            return true;
        Platform::logLine(QStringLiteral("cannot remove the autostart entry ") + path);
        return false;
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        Platform::logLine(QStringLiteral("cannot create the autostart folder for ") + path);
        return false;
    }
    QSaveFile entry(path);
    if (entry.open(QIODevice::WriteOnly | QIODevice::Text)) {
        const QString text = QStringLiteral("[Desktop Entry]\n"
                                            "Type=Application\n"
                                            "Name=Ambrel\n"
                                            "Comment=Lists the processes listening on TCP ports\n"
                                            "Exec=%1\n"
                                            "Icon=ambrel\n"
                                            "Terminal=false\n"
                                            "X-GNOME-Autostart-enabled=true\n")
                                 .arg(quotedExec(QCoreApplication::applicationFilePath()));
        entry.write(text.toUtf8());
        if (entry.commit())
            return true;
    }
    Platform::logLine(QStringLiteral("cannot write the autostart entry ") + path +
                      QStringLiteral(": ") + entry.errorString());
    return false;
}

} // namespace LaunchAtLogin
