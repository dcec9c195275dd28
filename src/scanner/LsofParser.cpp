#include "LsofParser.h"

#include "Log.h"

#include <QHash>
#include <QRegularExpression>
#include <QStringDecoder>

std::optional<QStringList> splitLsofChunk(QByteArrayView chunk)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(chunk);
    if (decoder.hasError()) {
        Platform::printLine(QStringLiteral("Error decoding data: %1 bytes").arg(chunk.size()));
        return std::nullopt;
    }
    static const auto isLineBreak = [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029;
    };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isLineBreak(text[begin]))
        ++begin;
    while (end > begin && isLineBreak(text[end - 1]))
        --end;
    return text.mid(begin, end - begin).split(QLatin1Char('\n'));
}

QList<ListeningProcess> parseListeningProcesses(const QStringList &lines)
{
    static const QString portPattern = QStringLiteral(":([0-9]*)$");
    QString pid;
    QString cmd;
    // Each pid's record as it stands after its first name line, and every name it has.
    QList<std::pair<QString, ListeningProcess>> first;
    QHash<QString, QStringList> names;
    for (const QString &line : lines) {
        if (line.isEmpty())
            continue;
        const QChar field = line.front();
        if (field == u'p') {
            pid = line.mid(1);
        } else if (field == u'c') {
            cmd = line.mid(1);
        } else if (field == u'n') {
            QStringList &known = names[pid];
            known.append(line.mid(1));
            if (known.size() > 1)
                continue; // only the first name gives the port
            const QStringList matches = regexMatches(portPattern, line.mid(1));
            const QString port = matches.isEmpty() ? QString() : matches.front().mid(1);
            first.append({pid, ListeningProcess(pid, port, cmd)});
        }
    }
    QList<ListeningProcess> result;
    result.reserve(first.size());
    for (const auto &[id, record] : std::as_const(first))
        result.append(ListeningProcess(record.pid(), record.port(), record.cmd(), names.value(id)));
    return result;
}

QStringList regexMatches(const QString &pattern, const QString &text)
{
    // The parser asks with one pattern every time; compiling it once is enough.
    thread_local QRegularExpression expression;
    if (expression.pattern() != pattern || !expression.isValid())
        expression = QRegularExpression(pattern);
    if (!expression.isValid()) {
        Platform::printLine(QStringLiteral("invalid regex: ") + expression.errorString());
        return {QString()};
    }
    QStringList matches;
    for (auto it = expression.globalMatch(text); it.hasNext();)
        matches.append(it.next().captured(0));
    return matches;
}

std::optional<QByteArray> LsofListingBuffer::append(QByteArrayView bytes)
{
    // A listing ends at a line holding only "m"; lines start after a line feed, or at the very
    // start of the stream.
    const qsizetype searchFrom = qMax<qsizetype>(0, m_pending.size() - 2);
    m_pending.append(bytes);

    // The index just past each marker line the new bytes complete; the last ends the listing
    // to apply, the one before it (or the start of what is kept) begins that listing. Older
    // bytes hold no marker: they were removed through the last one.
    qsizetype lastEnd = -1;
    qsizetype listingStart = 0;
    for (qsizetype i = m_pending.indexOf("m\n", searchFrom); i >= 0;
         i = m_pending.indexOf("m\n", i + 1)) {
        if (i == 0 || m_pending.at(i - 1) == '\n') {
            if (lastEnd >= 0)
                listingStart = lastEnd;
            lastEnd = i + 2;
        }
    }
    if (lastEnd < 0) {
        if (m_pending.size() > m_limit) {
            if (!m_discarding) {
                Platform::logLine(QStringLiteral("lsof output of %1 bytes holds no complete "
                                                 "listing; dropping it up to the next one")
                                      .arg(m_pending.size()));
            }
            // Keep what tells whether the next "m\n" starts a line: the last byte, and the one
            // before an "m", which may itself be the marker's start.
            m_pending = m_pending.right(m_pending.endsWith('m') ? 2 : 1);
            m_discarding = true;
        }
        return std::nullopt;
    }
    const qsizetype markerStart = lastEnd - 2;
    const bool complete = !m_discarding || listingStart > 0;
    std::optional<QByteArray> listing;
    if (complete)
        listing = m_pending.sliced(listingStart, markerStart - listingStart);
    m_discarding = false;
    m_pending.remove(0, lastEnd);
    if (!complete)
        return std::nullopt;
    return listing;
}

void LsofListingBuffer::clear()
{
    m_pending.clear();
    m_discarding = false;
}
