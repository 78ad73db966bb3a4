#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>

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

    // Whether path (a full path the engine built) lies inside root: root itself, or below it with no
    // ".." step. The engine refuses such paths in a patch too; the job does not rely on that alone.
    static bool isInsideRoot(const char* path, const QByteArray& root);

    const QByteArray& oldRoot() const { return oldDir; }
    const QByteArray& newRoot() const { return newDir; }

    // Logs "Reason:" and the name of an engine result code (empty for a code without a name).
    static void logPatchFailureReason(int code);

signals:
    void updateProgress(QString format, qlonglong progress = 0, qlonglong maxProgress = 1);
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
};
