#include "LsofParser.h"

#include "Log.h"

#include <QHash>
#include <QStringList>
#include <QVarLengthArray>

#include <algorithm>

#include <cstring>

namespace {

// The length of the line break that ends (or, with `atEnd` false, starts) the bytes: U+000A to
// U+000D, U+0085, U+2028 or U+2029 in UTF-8; 0 for none.
qsizetype lineBreak(QByteArrayView b, bool atEnd)
{
    const auto is = [&](QByteArrayView seq) {
        return atEnd ? b.endsWith(seq) : b.startsWith(seq);
    };
    if (!b.isEmpty()) {
        const char c = atEnd ? b.back() : b.front();
        if (c >= '\n' && c <= '\r')
            return 1;
    }
    if (is("\xc2\x85"))
        return 2;
    return is("\xe2\x80\xa8") || is("\xe2\x80\xa9") ? 3 : 0;
}

// The port of a name such as "127.0.0.1:3000": the digits after its last colon, which must run
// to its end; empty when they do not.
QByteArrayView portOf(QByteArrayView name)
{
    const qsizetype colon = name.lastIndexOf(':');
    if (colon < 0)
        return {};
    const QByteArrayView digits = name.sliced(colon + 1);
    const bool all =
        std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    return all ? digits : QByteArrayView();
}

} // namespace

std::optional<QList<ListeningProcess>> parseListeningProcesses(QByteArrayView listing)
{
    if (!listing.isValidUtf8()) {
        Platform::printLine(QStringLiteral("Error decoding data: %1 bytes").arg(listing.size()));
        return std::nullopt;
    }
    while (qsizetype n = lineBreak(listing, false))
        listing = listing.sliced(n);
    while (qsizetype n = lineBreak(listing, true))
        listing.chop(n);

    // Views into the listing; only what the records keep is decoded, at the end.
    struct Raw {
        QByteArrayView pid, cmd, port;
        QVarLengthArray<QByteArrayView, 2> names;
    };
    QList<Raw> raws;
    QHash<QByteArrayView, qsizetype> byPid; // lsof lists a pid once; a repeat adds its names
    QByteArrayView pid;
    QByteArrayView cmd;
    qsizetype current = -1; // the record of `pid`, once it has a name
    for (qsizetype at = 0; at < listing.size();) {
        const char *start = listing.data() + at;
        const void *eol = std::memchr(start, '\n', size_t(listing.size() - at));
        const qsizetype length = eol ? static_cast<const char *>(eol) - start : listing.size() - at;
        const QByteArrayView line(start, length);
        at += length + 1;
        if (line.isEmpty())
            continue;
        const QByteArrayView value = line.sliced(1);
        if (line.front() == 'p') {
            pid = value;
            current = byPid.value(pid, -1);
        } else if (line.front() == 'c') {
            cmd = value;
        } else if (line.front() == 'n') {
            if (current < 0) {
                current = raws.size();
                byPid.insert(pid, current);
                raws.append({pid, cmd, portOf(value), {}});
            }
            raws[current].names.append(value);
        }
    }
    QList<ListeningProcess> result;
    result.reserve(raws.size());
    for (const Raw &raw : std::as_const(raws)) {
        QStringList names;
        names.reserve(raw.names.size());
        for (QByteArrayView name : raw.names)
            names.append(QString::fromUtf8(name));
        result.append(ListeningProcess(QString::fromUtf8(raw.pid), QString::fromUtf8(raw.port),
                                       QString::fromUtf8(raw.cmd), std::move(names)));
    }
    return result;
}

// The index of the next "m\n" at or after `from`, or -1. memmem compares a word at a time; an
// unchanged listing is read every few seconds, so this search is most of what it costs.
static qsizetype findMarker(const QByteArray &bytes, qsizetype from)
{
    if (from >= bytes.size())
        return -1;
    const char *start = bytes.constData();
    const void *hit = memmem(start + from, size_t(bytes.size() - from), "m\n", 2);
    return hit ? static_cast<const char *>(hit) - start : -1;
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
    for (qsizetype i = findMarker(m_pending, searchFrom); i >= 0;
         i = findMarker(m_pending, i + 1)) {
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
