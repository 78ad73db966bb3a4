#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Where a RetrieveFileJob keeps the bytes of its parts as they arrive, and how it makes them one
// resource at the end. The job decides which store a download uses and polices the sizes; the store
// only keeps what it is given. A write that fails says which file and why through failedPath() and
// failureCause().
class PartStore
{
public:
    virtual ~PartStore() = default;

    // Prepares the store before any part is requested.
    virtual bool open() { return true; }
    // A new attempt of the part begins: whatever its earlier attempts brought is forgotten.
    virtual bool startAttempt(int partIndex) = 0;
    // Keeps data, the bytes of the part's current attempt from offset at in that part on.
    virtual bool write(int partIndex, qint64 at, const QByteArray& data) = 0;
    // Every part is complete: makes them one resource.
    virtual bool finish() = 0;
    // The size of the resource finish() made.
    virtual qint64 joinedSize() const = 0;
    // The resource, when the store holds it in memory; else an empty array (the resource is a file).
    virtual QByteArray takeJoined() { return QByteArray(); }
    // The download has failed: nothing of it is kept, in memory or on disk.
    virtual void discard() = 0;

    QString failedPath() const { return failurePath; }
    QString failureCause() const { return failureText; }

protected:
    // Records why a write failed; false, for the caller to return.
    bool fail(const QString& path, const QString& cause)
    {
        failurePath = path;
        failureText = cause;
        return false;
    }

private:
    QString failurePath;
    QString failureText;
};
