#include "support/linuxtools.h"
#include "update/minisign.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray Descriptor = "[Release]\r\nVersion=2.0\r\nList=md5.txt\r\n";

// file with the decoded bytes of one of its base64 lines replaced from offset on.
QByteArray patched(const QByteArray &file, int line, int offset, const QByteArray &bytes)
{
    QList<QByteArray> lines = file.split('\n');
    QByteArray decoded = QByteArray::fromBase64(lines.at(line));
    decoded.replace(offset, bytes.size(), bytes);
    lines[line] = decoded.toBase64();
    return lines.join('\n');
}

QByteArray flipped(const QByteArray &file, int line, int offset)
{
    const char byte = QByteArray::fromBase64(file.split('\n').at(line)).at(offset);
    return patched(file, line, offset, QByteArray(1, char(byte ^ 1)));
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

class TestMinisign : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void secretKey_data();
    void secretKey();
    void publicKeys_data();
    void publicKeys();
    void verify_data();
    void verify();

private:
    bool minisign(const QStringList &arguments, const QByteArray &input = QByteArray(), QByteArray *output = nullptr);
    QByteArray file(const QString &name) const;

    QTemporaryDir m_dir;
    MinisignSecretKey m_plain;
};

bool TestMinisign::minisign(const QStringList &arguments, const QByteArray &input, QByteArray *output)
{
    // Not a terminal: minisign reads the password lines from standard input.
    const ToolRun run = runLinuxTool(QStringLiteral("minisign"), arguments, input, m_dir.path());
    if (output)
        *output = run.out + run.err;
    return run.exitCode == 0;
}

QByteArray TestMinisign::file(const QString &name) const
{
    QFile f(m_dir.filePath(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void TestMinisign::initTestCase()
{
    if (linuxToolPath(QStringLiteral("minisign")).isEmpty())
        QSKIP("the minisign command is not installed (Debian package minisign)");
    QVERIFY(m_dir.isValid());
    QVERIFY(minisign({"-G", "-W", "-p", "plain.pub", "-s", "plain.key"}));
    QVERIFY(minisign({"-G", "-W", "-p", "other.pub", "-s", "other.key"}));
    QVERIFY(minisign({"-G", "-p", "locked.pub", "-s", "locked.key"}, "pass word\npass word\n"));
    QVERIFY(writeFile(m_dir.filePath("update.ini"), Descriptor));
    QVERIFY(minisign({"-S", "-s", "plain.key", "-m", "update.ini", "-x", "prehashed.minisig", "-t", "version 2.0"}));
    QVERIFY(minisign({"-S", "-l", "-s", "plain.key", "-m", "update.ini", "-x", "legacy.minisig", "-t", "legacy"}));
    QString error;
    QVERIFY2(parseMinisignSecretKey(file("plain.key"), QByteArray(), m_plain, error), qPrintable(error));
}

void TestMinisign::secretKey_data()
{
    QTest::addColumn<QByteArray>("keyFile");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QString>("publicFile"); // minisign's public key file for it; empty: refused
    QTest::addColumn<QString>("error");
    const auto row = [](const char *name, const QByteArray &keyFile, const QString &error,
                        const QByteArray &password = QByteArray(), const QString &publicFile = QString()) {
        QTest::newRow(name) << keyFile << password << publicFile << error;
    };

    const QByteArray plain = file("plain.key");
    const QByteArray locked = file("locked.key");
    row("unencrypted (-W)", plain, QString(), QByteArray(), "plain.pub");
    row("password protected", locked, QString(), "pass word", "locked.pub");
    row("wrong password", locked, "wrong password", "pass Word");
    // The key id, seed, public key and checksum start at byte 54, 62, 94 and 126.
    row("seed damaged", flipped(plain, 1, 62), "the secret key's public half does not match its seed");
    row("checksum damaged", flipped(plain, 1, 130), "the secret key's checksum does not match");
    // Refused before anything is allocated: opslimit 2^26, memlimit 2^31, so N = 2^21.
    row("scrypt memory 2 GiB", patched(locked, 1, 38, QByteArray::fromHex("0000000400000000" "0000008000000000")),
        "the secret key's scrypt parameters need more than 1 GiB", "pass word");
    row("public key file", file("plain.pub"), "line 2: not a minisign secret key");
}

void TestMinisign::secretKey()
{
    QFETCH(QByteArray, keyFile);
    QFETCH(QByteArray, password);
    QFETCH(QString, publicFile);
    QFETCH(QString, error);

    MinisignSecretKey key;
    QString message;
    QCOMPARE(parseMinisignSecretKey(keyFile, password, key, message), error.isEmpty());
    QCOMPARE(message, error);
    if (!error.isEmpty())
        return;
    QCOMPARE(minisignPublicKeyFile(key), file(publicFile));

    // Signed here, checked by minisign, with a tab and UTF-8 text in the trusted comment.
    const QByteArray comment = "timestamp:1700000000\tfile:update.ini\t\xe7\x89\x88\xe6\x9c\xac";
    QVERIFY(writeFile(m_dir.filePath("ours.minisig"), signMinisign(Descriptor, key, comment)));
    QByteArray output;
    QVERIFY2(minisign({"-V", "-p", publicFile, "-m", "update.ini", "-x", "ours.minisig"}, QByteArray(), &output),
             output.constData());
    QVERIFY(output.contains(QByteArray("\nTrusted comment: " + comment + '\n')));
    QVERIFY(signMinisign(Descriptor, key, "one\ntrusted comment: two").isEmpty());
}

void TestMinisign::publicKeys_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArrayList>("keyLines"); // the base64 lines expected back, in order
    QTest::addColumn<QString>("error");
    const auto refused = [](const char *name, const QByteArray &text, const QString &error) {
        QTest::newRow(name) << text << QByteArrayList() << error;
    };

    const QByteArray plain = file("plain.pub");
    const QByteArray other = file("other.pub");
    const QByteArray plainLine = plain.split('\n').at(1);
    QTest::newRow("made by minisign") << plain << QByteArrayList{plainLine} << QString();
    QTest::newRow("two keys, blank lines, CRLF") << QByteArray("\n" + other + "\n\n" + plain).replace("\n", "\r\n")
                                                 << QByteArrayList{other.split('\n').at(1), plainLine} << QString();
    refused("empty", "\n\n", "no public key found");
    refused("key without comment", plainLine, "line 1: expected an untrusted comment");
    refused("stray character", QByteArray(plain).insert(plain.indexOf('\n') + 5, '!'),
            "line 2: not a minisign public key");
    refused("same key twice", plain + plain, "line 4: key " + minisignKeyIdText(m_plain.keyId) + " is listed twice");
}

void TestMinisign::publicKeys()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArrayList, keyLines);
    QFETCH(QString, error);

    QList<MinisignPublicKey> keys;
    QString message;
    QCOMPARE(parseMinisignPublicKeys(text, keys, message), error.isEmpty());
    QCOMPARE(message, error);
    QByteArrayList lines;
    for (const MinisignPublicKey &key : qAsConst(keys))
        lines += QByteArray("Ed" + key.keyId + key.key).toBase64();
    QCOMPARE(lines, keyLines);
}

void TestMinisign::verify_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QByteArray>("keys");
    QTest::addColumn<QByteArray>("comment"); // the trusted comment when accepted
    QTest::addColumn<QString>("error");

    const QByteArray other = file("other.pub");
    const QByteArray rotation = other + file("plain.pub"); // a new key, then the current one
    const QByteArray prehashed = file("prehashed.minisig");
    const QByteArray legacy = file("legacy.minisig");
    const auto row = [&](const char *name, const QByteArray &signature, const QString &error,
                         const QByteArray &comment = QByteArray(), const QByteArray &data = Descriptor,
                         const QByteArray &keys = QByteArray()) {
        QTest::newRow(name) << data << signature << (keys.isEmpty() ? rotation : keys) << comment << error;
    };
    const QString noMatch = QStringLiteral("the signature does not match the data");
    const QByteArray changed = Descriptor + ' ';

    row("minisign, prehashed", prehashed, QString(), "version 2.0");
    row("minisign, legacy", legacy, QString(), "legacy");
    row("ours", signMinisign(Descriptor, m_plain, "ours"), QString(), "ours");
    row("key not trusted", prehashed,
        "signed with key " + minisignKeyIdText(m_plain.keyId) + ", which is not a trusted key", QByteArray(),
        Descriptor, other);
    row("data changed", prehashed, noMatch, QByteArray(), changed);
    row("signature changed", flipped(prehashed, 1, 40), noMatch);
    row("prehashed relabelled legacy", patched(prehashed, 1, 0, "Ed"), noMatch);
    row("trusted comment changed", QByteArray(prehashed).replace("version 2.0", "version 9.0"),
        "the trusted comment's signature does not match");
    row("public key file", file("plain.pub"), "line 2: not a minisign signature");
    row("unknown algorithm", patched(prehashed, 1, 0, "Ex"), "line 2: unsupported signature algorithm");
    row("text after it", prehashed + "\nmore\n", "line 6: unexpected text after the signature");
    row("too large", prehashed + QByteArray(64 * 1024, '\n'), "signature file is too large");
}

void TestMinisign::verify()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, signature);
    QFETCH(QByteArray, keys);
    QFETCH(QByteArray, comment);
    QFETCH(QString, error);

    QList<MinisignPublicKey> trusted;
    QString message;
    QVERIFY(parseMinisignPublicKeys(keys, trusted, message));
    QByteArray trustedComment = "unchanged";
    QCOMPARE(verifyMinisign(data, signature, trusted, message, &trustedComment), error.isEmpty());
    QCOMPARE(message, error);
    QCOMPARE(trustedComment, error.isEmpty() ? comment : QByteArray("unchanged"));
}

QTEST_GUILESS_MAIN(TestMinisign)
#include "tst_minisign.moc"
