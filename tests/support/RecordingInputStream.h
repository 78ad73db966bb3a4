#pragma once
// An engine input stream over a byte array that records every read (position and length), so a test
// can see how the engine walks the data, and that can be made to fail from a given read on.

#include "patch/core/dpatch_types.h"

#include <QByteArray>
#include <QList>
#include <QPair>

class RecordingInputStream
{
public:
    explicit RecordingInputStream(const QByteArray& data);
    RecordingInputStream(const RecordingInputStream&) = delete;
    RecordingInputStream& operator=(const RecordingInputStream&) = delete;

    const dpatch_TStreamInput* stream() const;
    // Pretends the stream has another size than its bytes (reads past the bytes still fail).
    void setStreamSize(quint64 size);
    // Reads with index >= n (counted from 0) fail.
    void failFromRead(int n);

    QList<QPair<quint64, quint64>> reads; // (position, length) of every successful read
    quint64 bytesRead = 0;

private:
    static BOOL read(const dpatch_TStreamInput* stream, dpatch_StreamPos_t readFromPos, dpatch_byte* out_data,
                     dpatch_byte* out_data_end);

    dpatch_TStreamInput input;
    QByteArray data;
    int failFrom = -1;
    int readCount = 0;
};
