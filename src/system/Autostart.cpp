#include "Autostart.h"

#include "Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <glib.h>

#include <algorithm>
#include <memory>

namespace LaunchAtLogin {

namespace {

// GKeyFile keeps the comments, translations and groups of a user's entry when it rewrites it.
using KeyFile = std::unique_ptr<GKeyFile, decltype(&g_key_file_free)>;
constexpr char group[] = "Desktop Entry";

KeyFile newKeyFile()
{
    return {g_key_file_new(), &g_key_file_free};
}

QString takeMessage(GError *error)
{
    QString message = QString::fromUtf8(error->message);
    g_error_free(error);
    return message;
}

// Null, with the reason in *problem, when the text is no key file.
KeyFile parse(const QByteArray &text, QString *problem)
{
    KeyFile entry = newKeyFile();
    GError *error = nullptr;
    const auto flags = GKeyFileFlags(G_KEY_FILE_KEEP_COMMENTS | G_KEY_FILE_KEEP_TRANSLATIONS);
    if (g_key_file_load_from_data(entry.get(), text.constData(), gsize(text.size()), flags, &error))
        return entry;
    *problem = takeMessage(error);
    return {nullptr, &g_key_file_free};
}

QByteArray serialized(GKeyFile *entry)
{
    gsize size = 0;
    gchar *data = g_key_file_to_data(entry, &size, nullptr);
    QByteArray text(data, qsizetype(size));
    g_free(data);
    return text;
}

bool flag(GKeyFile *entry, const char *key, bool fallback)
{
    GError *error = nullptr;
    const bool value = g_key_file_get_boolean(entry, group, key, &error);
    if (error) {
        g_error_free(error);
        return fallback;
    }
    return value;
}

void setFlags(GKeyFile *entry, bool enabled)
{
    g_key_file_set_boolean(entry, group, "Hidden", !enabled);
    g_key_file_set_boolean(entry, group, "X-GNOME-Autostart-enabled", enabled);
}

// The Exec= argument for the program, before the string escapes GKeyFile adds; empty when the
// path holds a control character, which no Exec= line can carry.
QString execArgument(const QString &program)
{
    if (program.isEmpty() || std::any_of(program.begin(), program.end(), [](QChar c) {
            return c.unicode() < 0x20 || c.unicode() == 0x7f;
        }))
        return {};
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    static const QString escapedInQuotes = QStringLiteral("\"`$\\");
    QString argument;
    const bool quote =
        std::any_of(program.begin(), program.end(), [](QChar c) { return reserved.contains(c); });
    for (QChar c : program) {
        if (quote && escapedInQuotes.contains(c))
            argument += QLatin1Char('\\');
        argument += c;
    }
    if (quote)
        argument = QLatin1Char('"') + argument + QLatin1Char('"');
    // Field codes are expanded before the line is split, in quotes too.
    return argument.replace(QLatin1Char('%'), QStringLiteral("%%"));
}

// The entry Ambrel writes where there is none.
KeyFile ownEntry(const QByteArray &exec)
{
    KeyFile entry = newKeyFile();
    g_key_file_set_string(entry.get(), group, "Type", "Application");
    g_key_file_set_string(entry.get(), group, "Name", "Ambrel");
    g_key_file_set_string(entry.get(), group, "Comment",
                          "Shows which processes listen on TCP ports, and acts on them");
    g_key_file_set_value(entry.get(), group, "Exec", exec.constData());
    g_key_file_set_string(entry.get(), group, "Icon", "ambrel");
    g_key_file_set_boolean(entry.get(), group, "Terminal", false);
    setFlags(entry.get(), true);
    return entry;
}

// Ambrel's own entry as it wrote it, for whatever program path.
bool isOwnEntry(GKeyFile *entry)
{
    gchar *exec = g_key_file_get_value(entry, group, "Exec", nullptr);
    const QByteArray own = exec ? serialized(ownEntry(exec).get()) : QByteArray();
    g_free(exec);
    return !own.isEmpty() && own == serialized(entry);
}

bool fail(const QString &what, const QString &why)
{
    Platform::logLine(what + QStringLiteral(": ") + why);
    return false;
}

} // namespace

QString entryPath()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || QDir::isRelativePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart/ambrel.desktop");
}

bool isEnabled()
{
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QString problem;
    const KeyFile entry = parse(file.readAll(), &problem);
    return entry && g_key_file_has_group(entry.get(), group) &&
           !flag(entry.get(), "Hidden", false) &&
           flag(entry.get(), "X-GNOME-Autostart-enabled", true);
}

bool setEnabled(bool enabled)
{
    return setEnabled(enabled, QCoreApplication::applicationFilePath());
}

bool setEnabled(bool enabled, const QString &program)
{
    const QString path = entryPath();
    const QString what = QStringLiteral("cannot change the autostart entry ") + path;
    const QString exec = execArgument(program);
    if (enabled && exec.isEmpty())
        return fail(what, QStringLiteral("the program path holds a control character"));

    QFile file(path);
    const bool exists = file.exists();
    if (!exists && !enabled)
        return true;
    if (exists && !file.open(QIODevice::ReadOnly))
        return fail(what, file.errorString());
    QString problem;
    KeyFile entry = exists ? parse(file.readAll(), &problem) : ownEntry(exec.toUtf8());
    file.close();
    if (!entry)
        return fail(what, problem);

    if (enabled) {
        g_key_file_set_string(entry.get(), group, "Type", "Application");
        g_key_file_set_string(entry.get(), group, "Name", "Ambrel");
        g_key_file_set_string(entry.get(), group, "Exec", exec.toUtf8().constData());
        setFlags(entry.get(), true);
    } else if (isOwnEntry(entry.get())) {
        // Ambrel's own entry, as it wrote it, goes. One the user changed keeps their changes
        // and is only switched off.
        if (file.remove())
            return true;
        return fail(what, file.errorString());
    } else {
        setFlags(entry.get(), false);
    }

    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return fail(what, QStringLiteral("cannot create its folder"));
    QSaveFile save(path);
    if (!save.open(QIODevice::WriteOnly) || save.write(serialized(entry.get())) < 0 ||
        !save.commit())
        return fail(what, save.errorString());
    return true;
}

} // namespace LaunchAtLogin
