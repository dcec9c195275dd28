// Catches the log lines Ambrel writes to standard error while it lives.
#pragma once

#include <QCoreApplication>
#include <QStringList>
#include <QTemporaryFile>

#include <cstdio>
#include <unistd.h>

class LogCapture {
public:
    LogCapture()
    {
        m_file.open();
        std::fflush(stderr);
        m_saved = dup(STDERR_FILENO);
        dup2(m_file.handle(), STDERR_FILENO);
    }
    ~LogCapture()
    {
        std::fflush(stderr);
        dup2(m_saved, STDERR_FILENO);
        close(m_saved);
    }

    // The texts of the lines logged so far, without the program name and pid.
    QStringList lines()
    {
        std::fflush(stderr);
        m_file.seek(0);
        const QString prefix =
            QStringLiteral("ambrel[%1]: ").arg(QCoreApplication::applicationPid());
        QStringList texts;
        for (const QString &line : QString::fromUtf8(m_file.readAll()).split(QLatin1Char('\n'))) {
            if (line.startsWith(prefix))
                texts << line.mid(prefix.size());
        }
        return texts;
    }

private:
    QTemporaryFile m_file;
    int m_saved = -1;
};
