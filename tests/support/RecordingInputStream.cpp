#include "RecordingInputStream.h"

#include <cstring>

RecordingInputStream::RecordingInputStream(const QByteArray& data) : data(data)
{
    input.streamOwner = this;
    input.streamSize = quint64(data.size());
    input.read = &RecordingInputStream::read;
}

const dpatch_TStreamInput* RecordingInputStream::stream() const
{
    return &input;
}

void RecordingInputStream::setStreamSize(quint64 size)
{
    input.streamSize = size;
}

void RecordingInputStream::failFromRead(int n)
{
    failFrom = n;
}

BOOL RecordingInputStream::read(const dpatch_TStreamInput* stream, dpatch_StreamPos_t readFromPos,
                                dpatch_byte* out_data, dpatch_byte* out_data_end)
{
    RecordingInputStream* self = static_cast<RecordingInputStream*>(stream->streamOwner);
    const int index = self->readCount++;
    if (self->failFrom >= 0 && index >= self->failFrom)
        return 0;
    if (out_data_end < out_data)
        return 0;
    const quint64 length = quint64(out_data_end - out_data);
    const quint64 size = quint64(self->data.size());
    if (readFromPos > size || length > size - readFromPos || readFromPos > stream->streamSize ||
        length > stream->streamSize - readFromPos)
        return 0;
    if (length > 0)
        std::memcpy(out_data, self->data.constData() + readFromPos, size_t(length));
    self->reads.append({readFromPos, length});
    self->bytesRead += length;
    return 1;
}
