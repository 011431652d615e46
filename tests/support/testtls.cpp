#include "support/testtls.h"

#include "support/linuxtools.h"

#include <QFile>
#include <QList>

#ifdef Q_OS_WIN
#include <windows.h>
#include <wincrypt.h>
#endif

bool makeTestCertificates(const QString &folder, TestCertificates &made, QString &errorMessage)
{
    // Both valid from now for a day. The server's name is its address, which a
    // client checks against the IP entry of subjectAltName.
    const QList<QStringList> steps{
        {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
         QStringLiteral("-nodes"), QStringLiteral("-keyout"), QStringLiteral("ca.key"), QStringLiteral("-out"),
         QStringLiteral("ca.pem"), QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"),
         QStringLiteral("/CN=Updater Test CA"), QStringLiteral("-addext"),
         QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
         QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")},
        {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-CA"), QStringLiteral("ca.pem"),
         QStringLiteral("-CAkey"), QStringLiteral("ca.key"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
         QStringLiteral("-nodes"), QStringLiteral("-keyout"), QStringLiteral("server.key"), QStringLiteral("-out"),
         QStringLiteral("server.pem"), QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"),
         QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1"),
         QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:FALSE"), QStringLiteral("-addext"),
         QStringLiteral("extendedKeyUsage=serverAuth")}};
    for (const QStringList &step : steps) {
        const ToolRun run = runLinuxTool(QStringLiteral("openssl"), step, QByteArray(), folder);
        if (run.exitCode != 0) {
            errorMessage = QStringLiteral("openssl %1: %2").arg(step.join(QLatin1Char(' ')), QString::fromLocal8Bit(run.err));
            return false;
        }
    }
    made.authority = folder + QStringLiteral("/ca.pem");
    made.certificate = folder + QStringLiteral("/server.pem");
    made.key = folder + QStringLiteral("/server.key");
    return true;
}

#ifdef Q_OS_WIN
namespace {

// The current user's ROOT store through the registry provider. Under Wine 8 a
// certificate deleted through the system provider (a collection that holds the
// machine's roots as well) is reported deleted but stays in the registry.
HCERTSTORE openUserRoots()
{
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"ROOT");
}

} // namespace

SystemTrust::SystemTrust(const QString &authorityPath, bool)
{
    QFile file(authorityPath);
    const QByteArray pem = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.constData(), DWORD(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                              nullptr, nullptr)) {
        m_error = QStringLiteral("no PEM certificate in %1").arg(authorityPath);
        return;
    }
    QByteArray der(int(size), '\0');
    CryptStringToBinaryA(pem.constData(), DWORD(pem.size()), CRYPT_STRING_BASE64HEADER,
                         reinterpret_cast<BYTE *>(der.data()), &size, nullptr, nullptr);
    HCERTSTORE store = openUserRoots();
    const bool added = store
        && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE *>(der.constData()),
                                            size, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const DWORD error = GetLastError();
    if (store)
        CertCloseStore(store, 0); // writes the registry
    if (!added) {
        m_error = QStringLiteral("cannot add %1 to the user's ROOT store: error %2").arg(authorityPath).arg(error);
        return;
    }
    m_der = der;
}

SystemTrust::~SystemTrust()
{
    if (m_der.isEmpty())
        return;
    HCERTSTORE store = openUserRoots();
    if (!store)
        return;
    const auto *bytes = reinterpret_cast<const BYTE *>(m_der.constData());
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, bytes, DWORD(m_der.size()));
    PCCERT_CONTEXT found =
        wanted ? CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr) : nullptr;
    if (found)
        CertDeleteCertificateFromStore(found); // releases found as well
    if (wanted)
        CertFreeCertificateContext(wanted);
    CertCloseStore(store, 0);
}
#else
SystemTrust::SystemTrust(const QString &authorityPath, bool hashed)
{
    // OpenSSL looks a root up in a folder by the hash of its subject, as "<hash>.0";
    // Qt uses such a folder only when it holds a file of that form.
    const ToolRun hash = runLinuxTool(QStringLiteral("openssl"),
                                      {QStringLiteral("x509"), QStringLiteral("-hash"), QStringLiteral("-noout"),
                                       QStringLiteral("-in"), authorityPath});
    const QString name = hashed ? QString::fromLatin1(hash.out.trimmed()) + QStringLiteral(".0")
                                : QStringLiteral("ca-certificates.crt");
    if (hash.exitCode != 0 || !m_roots.isValid() || !QFile::copy(authorityPath, m_roots.filePath(name))) {
        m_error = QStringLiteral("cannot make a root folder of %1: %2").arg(authorityPath, QString::fromLocal8Bit(hash.err));
        return;
    }
    // A user namespace lets an unprivileged user mount; unshare makes the mount
    // private, so it is gone with the updater and nothing outside sees it.
    const QStringList namespaceCommand{QStringLiteral("--user"), QStringLiteral("--map-root-user"),
                                       QStringLiteral("--mount"), QStringLiteral("sh"), QStringLiteral("-c"),
                                       QStringLiteral("mount --bind \"$0\" /etc/ssl/certs && exec \"$@\""),
                                       m_roots.path()};
    // Tried once here, so that a machine without user namespaces says so instead
    // of the updater silently not starting.
    const ToolRun probe = runLinuxTool(QStringLiteral("unshare"), namespaceCommand + QStringList{QStringLiteral("true")});
    if (probe.exitCode != 0) {
        m_error = QStringLiteral("no private mount namespace: %1").arg(QString::fromLocal8Bit(probe.err));
        return;
    }
    m_launcher = QStringList{linuxToolPath(QStringLiteral("unshare"))} + namespaceCommand;
}

SystemTrust::~SystemTrust() = default;
#endif
