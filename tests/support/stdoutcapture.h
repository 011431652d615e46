#pragma once

// Captures what in-process code writes to std::cout while the object lives.

#include <QByteArray>

#include <iostream>
#include <sstream>

class StdoutCapture
{
public:
    StdoutCapture() : m_previous(std::cout.rdbuf(m_buffer.rdbuf())) {}
    ~StdoutCapture() { std::cout.rdbuf(m_previous); }
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    /// Everything written so far, as bytes.
    QByteArray bytes() const { return QByteArray::fromStdString(m_buffer.str()); }

private:
    std::ostringstream m_buffer;
    std::streambuf *m_previous;
};
