// Catches what the code under test writes to one of our own file descriptors.
#pragma once

#include <QByteArray>
#include <QTemporaryFile>

#include <cstdio>
#include <unistd.h>

class FdCapture {
public:
    explicit FdCapture(int fd) : m_fd(fd)
    {
        m_file.open();
        std::fflush(nullptr);
        m_saved = dup(fd);
        dup2(m_file.handle(), fd);
    }
    ~FdCapture() { release(); }

    // Restores the descriptor and returns everything written to it.
    QByteArray release()
    {
        if (m_saved >= 0) {
            std::fflush(nullptr);
            dup2(m_saved, m_fd);
            close(m_saved);
            m_saved = -1;
            m_file.seek(0);
            m_text = m_file.readAll();
        }
        return m_text;
    }

private:
    int m_fd;
    int m_saved = -1;
    QTemporaryFile m_file;
    QByteArray m_text;
};
