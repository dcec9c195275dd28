#include "Log.h"

#include <cstdio>
#include <syslog.h>
#include <unistd.h>

namespace Platform {

QString printable(QStringView text)
{
    QString shown;
    shown.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            ++i;
        }
        if (QChar::isPrint(c))
            shown += QStringView(QChar::fromUcs4(c));
        else
            shown += QChar::ReplacementCharacter;
    }
    return shown;
}

void logLine(const QString &text)
{
    static const bool opened = [] {
        openlog(programName, LOG_PID, LOG_USER);
        return true;
    }();
    Q_UNUSED(opened);
    const QByteArray line = printable(text).toUtf8();
    std::fprintf(stderr, "%s[%d]: %s\n", programName, int(getpid()), line.constData());
    std::fflush(stderr);
    syslog(LOG_NOTICE, "%s", line.constData());
}

void printLine(const QString &text)
{
    const QByteArray line = printable(text).toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace Platform
