#include "update/changedfiles.h"

#include "update/md5.h"
#include "update/sha256.h"

#include <QCryptographicHash>

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTextCodec>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>
#include <vector>

namespace {

// What the record says of the listed files. The record of a million files is read a
// piece at a time rather than parsed into a second map as large as the list's,
// which doubled the memory of every check. Each recorded file takes one slot,
// found by the fingerprint of the file its line names (listPathIdentity), that
// holds the listed entry the line names exactly and whether their MD5 texts are
// equal. A later line for the same file takes its slot over, as a later line wins
// in a list. Two files that share a fingerprint share a slot: the one that lost
// it counts as unrecorded and is examined on disk, which costs a read, never a
// missed change.
class RecordedVerdicts
{
public:
    enum Verdict { Unrecorded, Same, Differs };

    /// Room for about this many recorded files without growing, taken at the first
    /// one: the table is never briefly held twice over for a record as long as the
    /// list, and costs nothing without a record.
    explicit RecordedVerdicts(int expected) : m_expected(std::size_t(std::max(expected, 1))) {}

    /// listed: the entry the line names exactly; null when the list has none.
    void record(quint64 identity, const UpdateFileEntry *listed, bool same)
    {
        if ((m_used + 1) * 2 > m_slots.size())
            grow();
        Slot &slot = m_slots[find(identity)];
        if (slot.identity != identity) {
            slot.identity = identity;
            ++m_used;
        }
        slot.listed = quintptr(listed) | (same ? 1 : 0);
    }

    Verdict verdict(quint64 identity, const UpdateFileEntry *listed) const
    {
        if (m_slots.empty())
            return Unrecorded;
        const Slot &slot = m_slots[find(identity)];
        if (slot.identity != identity || (slot.listed & ~quintptr(1)) != quintptr(listed))
            return Unrecorded;
        return slot.listed & 1 ? Same : Differs;
    }

private:
    struct Slot
    {
        quint64 identity = 0; // 0: free; a fingerprint of 0 is stored as 1
        quintptr listed = 0;  // the entry's address, its lowest bit set when the texts are equal
    };

    std::size_t find(quint64 &identity) const
    {
        if (identity == 0)
            identity = 1;
        const std::size_t mask = m_slots.size() - 1;
        std::size_t i = std::size_t(identity) & mask;
        while (m_slots[i].identity != 0 && m_slots[i].identity != identity)
            i = (i + 1) & mask;
        return i;
    }

    void grow()
    {
        std::size_t size = 1024;
        while (size < std::max(m_slots.size() * 2, m_expected * 2))
            size *= 2;
        std::vector<Slot> old = std::exchange(m_slots, std::vector<Slot>(size));
        for (Slot &slot : old) {
            if (slot.identity != 0)
                m_slots[find(slot.identity)] = slot;
        }
    }

    std::size_t m_expected;
    std::vector<Slot> m_slots;
    std::size_t m_used = 0;
};

// check(i) for every i below count, on all cores, with the answers in that order.
// Items are handed out one by one, so that one large file does not hold a whole
// share back. check must only read what the threads share.
template <typename Check>
std::vector<char> onAllCores(std::size_t count, const Check &check)
{
    std::vector<char> answers(count, 0);
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < count;)
            answers[i] = check(i);
    };
    std::vector<std::thread> helpers;
    for (int t = 1; t < QThread::idealThreadCount() && std::size_t(t) < count; ++t)
        helpers.emplace_back(work);
    work();
    for (std::thread &helper : helpers)
        helper.join();
    return answers;
}

} // namespace

UpdateFileMap findChangedFiles(UpdateFileMap files, QDir root)
{
    // The slots keep addresses of entries in files, so they must come from its own data.
    files.detach();
    RecordedVerdicts recorded(files.size());
    QTextCodec *const codec = QTextCodec::codecForLocale();
    UpdateFileEntry line;
    auto expected = files.begin();
    forEachListFileLine(root.absoluteFilePath(QStringLiteral("update_md5.info")), [&](const char *text, int length) {
        if (!parseFileListLine(text, length, codec, HostPathRules, line))
            return;
        // The record is the list of an earlier release, in the same order: the entry
        // after the last one found is tried before a search.
        const auto listed = expected != files.end() && expected.key() == line.path ? expected : files.find(line.path);
        if (listed != files.end())
            expected = std::next(listed);
        const bool found = listed != files.end();
        recorded.record(listPathIdentity(line.path), found ? &*listed : nullptr, found && listed->md5 == line.md5);
    });

    // A failed open is a system call like any other; a list of a million new files
    // would spend seconds on them. A folder that does not exist holds none of its
    // files, so it is looked at once for all of them.
    QHash<QString, bool> folderExists;
    const QString base = root.absolutePath() + QLatin1Char('/');
    // Unchanged entries are taken out of the list itself: when most files differ,
    // as on a first installation, a second map would double the memory of the check.
    std::vector<UpdateFileMap::iterator> unrecorded;
    for (auto it = files.begin(); it != files.end();) {
        const UpdateFileEntry &entry = it.value();
        const RecordedVerdicts::Verdict verdict = recorded.verdict(listPathIdentity(it.key()), &*it);
        // Entries come from parseFileList, whose paths are already safe; checking
        // again keeps this function from reading outside root for any caller.
        if (verdict == RecordedVerdicts::Unrecorded && isSafeRelativePath(entry.path)) {
            const QString path = base + entry.path;
            const QString folder = path.left(path.lastIndexOf(QLatin1Char('/')));
            auto known = folderExists.constFind(folder);
            if (known == folderExists.cend())
                known = folderExists.insert(folder, QFileInfo(folder).isDir());
            if (*known)
                unrecorded.push_back(it);
        }
        if (verdict == RecordedVerdicts::Same)
            it = files.erase(it);
        else
            ++it;
    }
    // Files the record does not know are read afterwards, on all cores: on a first
    // run that is every installed file.
    const std::vector<char> unchanged = onAllCores(unrecorded.size(), [&](std::size_t i) {
        return fileMatchesEntry(base + unrecorded[i]->path, *unrecorded[i]);
    });
    for (std::size_t i = 0; i < unrecorded.size(); ++i) {
        if (unchanged[i])
            files.erase(unrecorded[i]);
    }
    return files;
}

UpdateFileMap findDamagedFiles(UpdateFileMap files, QDir root)
{
    files.detach();
    std::vector<UpdateFileMap::iterator> entries;
    entries.reserve(std::size_t(files.size()));
    for (auto it = files.begin(); it != files.end(); ++it)
        entries.push_back(it);
    const QString base = root.absolutePath() + QLatin1Char('/');
    const std::vector<char> intact = onAllCores(entries.size(), [&](std::size_t i) {
        const UpdateFileEntry &entry = *entries[i];
        if (!isSafeRelativePath(entry.path))
            return false;
        const QString path = base + entry.path;
        const QFileInfo installed(path);
        // A symbolic link is not the file it points to; a Windows shortcut is a
        // file. Asked first, as the look at the link itself also tells the type
        // and size of anything else: one system call less per file.
        return (!installed.isSymLink() || installed.isShortcut()) && installed.isFile()
            && quint64(installed.size()) == entry.size && fileMatchesEntry(path, entry);
    });
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (intact[i])
            files.erase(entries[i]);
    }
    return files;
}

bool fileHashes(const QString &filePath, QByteArray &md5Text, QByteArray &sha256Hex)
{
    QCryptographicHash md5(QCryptographicHash::Md5);
    Sha256 sha256;
    if (!forEachFileChunk(filePath, [&](const char *data, qint64 size) {
            md5.addData(data, static_cast<int>(size));
            sha256.addData(data, size);
        }))
        return false;
    md5Text = md5TextFromDigest(md5.result());
    sha256Hex = sha256.hexResult();
    return true;
}

bool fileMatchesEntry(const QString &filePath, const UpdateFileEntry &entry)
{
    if (entry.sha256.isEmpty())
        return fileMatchesMd5(filePath, entry.md5);
    QByteArray md5;
    QByteArray sha256;
    // MD5 collisions can be made at will; only both together identify the file.
    return fileHashes(filePath, md5, sha256) && md5 == entry.md5 && sha256 == entry.sha256;
}
