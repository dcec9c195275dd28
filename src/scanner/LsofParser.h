// lsof's field output, turned into the processes that listen on a TCP port.
#pragma once

#include "ListeningProcess.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

// One record per process id of a listing, with the port of its first name line and all of its
// names, in order of appearance. Works on the bytes: line breaks are trimmed from both ends,
// lines split at line feeds, and only the texts that records keep are decoded. Nothing, after
// printing "Error decoding data: N bytes", when the bytes are not UTF-8.
std::optional<QList<ListeningProcess>> parseListeningProcesses(QByteArrayView listing);

// Reassembles lsof's repeat-mode stream into complete listings: a read may end anywhere, also
// inside a line or a UTF-8 sequence, and lsof ends each listing with the marker line "m".
class LsofListingBuffer {
public:
    // Bytes kept while no marker arrives; past it they are dropped, with one diagnostic line,
    // up to the next marker.
    static constexpr qsizetype defaultLimit = qsizetype(16) * 1024 * 1024;

    explicit LsofListingBuffer(qsizetype limit = defaultLimit) : m_limit(limit) {}

    // Takes the bytes of one read. Returns the last listing they complete (without its marker
    // line), or nothing when they complete none.
    std::optional<QByteArray> append(QByteArrayView bytes);
    // Forgets a partial listing, as when the child that wrote it has ended.
    void clear();
    qsizetype pendingSize() const { return m_pending.size(); }

private:
    QByteArray m_pending;
    qsizetype m_limit;
    bool m_discarding = false;
};
