// What Windows reads from the built executables before they run: the manifest
// (execution level, long paths, DPI awareness, supported systems), the version
// that the file's properties show, and the icon. Asked of Windows itself (Wine in
// CI), so a resource that the system cannot parse fails here.

#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

class TestWinResources : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void executables_data();
    void executables();
};

void TestWinResources::executables_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("description");
    QTest::newRow("updater") << QStringLiteral(UPDATER_EXE) << QStringLiteral("Updater");
#ifdef UPDATER_PUBLISH_EXE
    QTest::newRow("updater-publish") << QStringLiteral(UPDATER_PUBLISH_EXE) << QStringLiteral("Updater release publisher");
#endif
}

void TestWinResources::executables()
{
#ifndef Q_OS_WIN
    QSKIP("resources of Windows executables");
#else
    QFETCH(QString, path);
    QFETCH(QString, description);
    const std::wstring file = QDir::toNativeSeparators(path).toStdWString();

    DWORD ignored = 0;
    QByteArray info(int(GetFileVersionInfoSizeW(file.c_str(), &ignored)), '\0');
    QVERIFY(!info.isEmpty() && GetFileVersionInfoW(file.c_str(), 0, DWORD(info.size()), info.data()));
    const auto text = [&](const wchar_t *name) {
        void *value = nullptr;
        UINT length = 0;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
        return VerQueryValueW(info.data(), key.c_str(), &value, &length) && length > 0
            ? QString::fromWCharArray(static_cast<const wchar_t *>(value)) : QString();
    };
    QCOMPARE(text(L"ProductName"), QStringLiteral("Updater"));
    QCOMPARE(text(L"FileDescription"), description);
    QCOMPARE(text(L"ProductVersion"), QStringLiteral(UPDATER_VERSION));
    QCOMPARE(text(L"FileVersion"), QStringLiteral(UPDATER_VERSION ".0"));

    HMODULE module = LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    QVERIFY(module);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    const QByteArray manifest = found ? QByteArray(static_cast<const char *>(LockResource(LoadResource(module, found))),
                                                   int(SizeofResource(module, found)))
                                      : QByteArray();
    const bool icon = FindResourceW(module, L"IDI_ICON1", MAKEINTRESOURCEW(14)) != nullptr;
    FreeLibrary(module);
    QVERIFY(icon);
    for (const char *needed : {"level=\"asInvoker\"", ">true</longPathAware>", ">PerMonitor</dpiAwareness>",
                               "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"})
        QVERIFY2(manifest.contains(needed), needed);
    // Lists are read in the ANSI code page: declaring UTF-8 would break GBK clients.
    QVERIFY(!manifest.contains("activeCodePage"));
#endif
}

QTEST_MAIN(TestWinResources)
#include "tst_winresources.moc"
