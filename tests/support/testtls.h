#pragma once

// HTTPS for the process-level tests: a certificate authority and a server
// certificate for 127.0.0.1, made at test time with the Linux openssl command
// (through runLinuxTool, so the Windows build's tests under Wine make them alike),
// and trust in that authority for the real updater, which knows no other roots
// than the system's.
//
//   TestCertificates tls;   // folder: kept until nginx has stopped
//   QVERIFY2(makeTestCertificates(folder, tls, error), qPrintable(error));
//   nginx.setTls(tls.certificate, tls.key);
//   SystemTrust trust(tls.authority);
//   QVERIFY2(trust.isValid(), qPrintable(trust.errorString()));
//   inst.setLauncher(trust.launcher());
//
// Nothing is added to the machine's trust store:
// - Linux: Qt 5.15 reads roots only from fixed folders (/etc/ssl/certs and the
//   like) and ignores SSL_CERT_FILE and SSL_CERT_DIR, so the updater is started in
//   a private mount namespace in which /etc/ssl/certs holds the authority alone.
// - Windows: Qt looks a missing root up in the system store ROOT, which includes
//   the current user's; the authority is added there while the object lives. On a
//   real Windows that asks the user to confirm; the tests that use it need the
//   Linux tools and so run only under Wine, in the test's own prefix.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

/// The files makeTestCertificates() wrote, absolute paths.
struct TestCertificates
{
    QString authority;   ///< the CA's certificate (PEM)
    QString certificate; ///< the server's certificate for IP 127.0.0.1, signed by the CA (PEM)
    QString key;         ///< the server's private key (PEM, unencrypted)
};

/// Makes a fresh CA and a server certificate it signed, valid for a day, in folder.
/// False with openssl's message when it cannot.
bool makeTestCertificates(const QString &folder, TestCertificates &made, QString &errorMessage);

class SystemTrust
{
public:
    /// Trusts the CA certificate in authorityPath (PEM) as a root until destroyed.
    /// On Linux the folder holds it by its hash, or (hashed false) only as the
    /// system's bundle "ca-certificates.crt", as on systems without hashed roots.
    explicit SystemTrust(const QString &authorityPath, bool hashed = true);
    ~SystemTrust();
    SystemTrust(const SystemTrust &) = delete;
    SystemTrust &operator=(const SystemTrust &) = delete;

    bool isValid() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }

    /// The command the updater is started through so that it sees the trust (its
    /// path and arguments follow); empty when it is started directly.
    QStringList launcher() const { return m_launcher; }

private:
    QString m_error;
    QStringList m_launcher;
    QByteArray m_der;      ///< Windows: the certificate added to the store
    QTemporaryDir m_roots; ///< Linux: the folder seen as /etc/ssl/certs
};
