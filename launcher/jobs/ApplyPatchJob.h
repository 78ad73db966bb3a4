#pragma once

#include <QByteArray>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>
#include <cstdint>

struct TDirPatcher;

// Applies one downloaded directory patch from the install directory into the staging directory with
// the patch engine, on whatever thread go() is called on (the Updater moves each job to a thread of
// its own). Reports the percentage of patched bytes written through updateProgress and ends with
// exactly one of finished() or failed(). A job serves one go().
class ApplyPatchJob : public QObject
{
    Q_OBJECT
public:
    ApplyPatchJob(QString oldDir, QString newDir, QString diffFile, QObject* parent);
    ~ApplyPatchJob() override;

    // Called from the engine's listener callbacks on the job's thread.
    void setProgressTotal(std::uint64_t total);
    void addProgress(std::uint64_t bytes);
    // Takes what the copies of unchanged files need from the loaded patch: the roots the engine joins
    // paths to and which new files are executable.
    void beginPatch(TDirPatcher* patcher);
    // Makes newFileName, an unchanged file, a hard link to oldFileName where the two may share a file,
    // else a copy of it carrying its modification time.
    bool copySameFile(const char* oldFileName, const char* newFileName);

    // Whether path (a full path the engine built) lies inside root: root itself, or below it with no
    // ".." step. The engine refuses such paths in a patch too; the job does not rely on that alone.
    static bool isInsideRoot(const char* path, const QByteArray& root);

    const QByteArray& oldRoot() const { return oldDir; }
    const QByteArray& newRoot() const { return newDir; }

    // Logs "Reason:" and the name of an engine result code (empty for a code without a name).
    static void logPatchFailureReason(int code);

signals:
    void updateProgress(QString format, qlonglong progress = 0, qlonglong maxProgress = 1);
    // Just before finished(): the paths (relative to the install) that the patch kept as they were, at
    // the same path with the same mode; a record of the old version holds for these and no others.
    void unchangedFilesKept(QStringList paths);
    void finished();
    void failed();

public slots:
    void go();

private:
    QByteArray oldDir;
    QByteArray newDir;
    QByteArray diffFile;
    std::uint64_t totalBytes;
    std::uint64_t doneBytes;
    std::uint64_t lastPercent;

    // The old install must stay exactly as it was until the new one is in place, so a new file shares
    // an old one only where it needs nothing of its own: the same mode, and one new path per old file.
    QByteArray oldPrefix;
    QByteArray newPrefix;
    QSet<QByteArray> executables;              // relative paths of the new files the patch marks executable
    QSet<QPair<quint64, quint64>> linkedFiles; // device and inode of the old files linked so far
    int newFileMode = -1;                      // permission bits of a file made in the new folder; -1 unknown
    QStringList keptPaths;
};
