#include "publish/signingkey.h"

#include <QFile>

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

namespace {

const char SignPasswordVariable[] = "UPDATER_SIGN_PASSWORD";

// A key file is two short lines; anything far larger is not one.
constexpr qint64 MaxKeyFileSize = 64 * 1024;

// The key line starts with the signature algorithm "Ed" and the key derivation
// algorithm: "Sc" (scrypt) when a password protects it, two zero bytes when not.
// Anything else is left to the parser, which says what is wrong with it.
bool isEncryptedKey(const QByteArray &text)
{
    const QList<QByteArray> lines = text.split('\n');
    for (const QByteArray &line : lines) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith("untrusted comment:"))
            continue;
        return QByteArray::fromBase64(trimmed).mid(2, 2) == "Sc";
    }
    return false;
}

bool stdinIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stdin)) != 0;
#else
    return isatty(STDIN_FILENO) != 0;
#endif
}

// One line from standard input with the terminal's echo switched off, without
// its line end.
QByteArray readPasswordLine(const QString &prompt)
{
    std::fputs(prompt.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
#ifdef Q_OS_WIN
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    const bool quiet = GetConsoleMode(input, &mode) && SetConsoleMode(input, mode & ~ENABLE_ECHO_INPUT);
#else
    termios saved;
    bool quiet = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (quiet) {
        termios noEcho = saved;
        // ECHONL still shows the typed line end, so the next output starts on a line of its own.
        noEcho.c_lflag &= ~tcflag_t(ECHO);
        noEcho.c_lflag |= ECHONL;
        quiet = tcsetattr(STDIN_FILENO, TCSAFLUSH, &noEcho) == 0;
    }
#endif
    QByteArray line;
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar())
        line += static_cast<char>(c);
    if (line.endsWith('\r'))
        line.chop(1);
#ifdef Q_OS_WIN
    if (quiet) {
        SetConsoleMode(input, mode);
        std::fputs("\n", stderr);
    }
#else
    if (quiet)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
#endif
    return line;
}

} // namespace

bool loadSigningKey(const QString &path, MinisignSecretKey &key, QString &errorMessage)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        errorMessage = QStringLiteral("--sign \"%1\": cannot be read: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray text = file.read(MaxKeyFileSize);
    file.close();

    QByteArray password;
    if (isEncryptedKey(text)) {
        if (qEnvironmentVariableIsSet(SignPasswordVariable)) {
#ifdef Q_OS_WIN
            // qgetenv gives the ANSI code page there, which loses what it cannot
            // express; the password's bytes are its UTF-8, as minisign takes them.
            password = qEnvironmentVariable(SignPasswordVariable).toUtf8();
#else
            password = qgetenv(SignPasswordVariable);
#endif
        } else if (stdinIsTerminal()) {
            password = readPasswordLine(QStringLiteral("Password of the secret key \"%1\": ").arg(path));
        } else {
            // A scheduled job or a pipe: nobody could answer a prompt.
            errorMessage = QStringLiteral("--sign \"%1\": the key is encrypted: set %2 to its password, or run "
                                          "on a terminal to type it")
                               .arg(path, QLatin1String(SignPasswordVariable));
            return false;
        }
    }
    QString error;
    if (!parseMinisignSecretKey(text, password, key, error)) {
        errorMessage = QStringLiteral("--sign \"%1\": %2").arg(path, error);
        return false;
    }
    return true;
}
