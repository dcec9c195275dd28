#include "ListeningProcess.h"

#include "Log.h"
#include "Processes.h"

#include <ranges>

std::optional<qint64> positiveDecimal(const QString &text)
{
    qsizetype i = 0;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
        ++i;
    if (i == text.size())
        return std::nullopt;
    for (qsizetype j = i; j < text.size(); ++j) {
        if (text[j] < u'0' || text[j] > u'9')
            return std::nullopt;
    }
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    if (!ok || value <= 0)
        return std::nullopt;
    return value;
}

QList<Listener> checkedListeners(const QList<ListeningProcess> &records)
{
    QList<Listener> checked;
    qsizetype left = 0;
    for (const ListeningProcess &record : std::views::reverse(records)) {
        const std::optional<qint64> pid = positiveDecimal(record.pid());
        const std::optional<qint64> port = positiveDecimal(record.port());
        if (!pid || !port)
            continue;
        if (checked.size() == maxListeners) {
            ++left;
            continue;
        }
        checked.append({*pid, Platform::processStartTime(*pid).value_or(-1), *port, record.cmd()});
    }
    if (left > 0) {
        Platform::logLine(QStringLiteral("%1 listening processes; the menu shows the first %2")
                              .arg(checked.size() + left)
                              .arg(checked.size()));
    }
    return checked;
}

QString processTitle(const Listener &process)
{
    // Enough for any real command name; a longer one would take seconds to lay out each time
    // the menu opens.
    constexpr qsizetype longest = 100;
    QString command = process.command;
    command.replace(u'\t', u' ');
    command = Platform::printable(command);
    if (command.size() > longest) {
        command.truncate(command.at(longest - 1).isHighSurrogate() ? longest - 1 : longest);
        command += u'…';
    }
    return QString::number(process.port) + QStringLiteral(" · ") + command;
}
