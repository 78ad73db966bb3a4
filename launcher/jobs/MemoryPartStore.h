#pragma once

#include "jobs/PartStore.h"

#include <QList>

// Keeps each part in memory and joins them in index order: for manifests and other resources the
// caller wants as bytes.
class MemoryPartStore : public PartStore
{
public:
    explicit MemoryPartStore(int partCount);

    bool startAttempt(int partIndex) override;
    bool write(int partIndex, qint64 at, const QByteArray& data) override;
    bool finish() override;
    qint64 joinedSize() const override;
    QByteArray takeJoined() override;
    void discard() override;

private:
    QList<QByteArray> partData; // what each part's current attempt has brought
    QByteArray merged;
};
