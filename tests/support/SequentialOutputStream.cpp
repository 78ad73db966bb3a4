#include "SequentialOutputStream.h"

#include <cstring>

SequentialOutputStream::SequentialOutputStream(quint64 size)
{
    output.streamOwner = this;
    output.streamSize = size;
    output.readBack = &SequentialOutputStream::readBack;
    output.write = &SequentialOutputStream::write;
}

const dpatch_TStreamOutput* SequentialOutputStream::stream() const
{
    return &output;
}

QByteArray SequentialOutputStream::written() const
{
    return data;
}

BOOL SequentialOutputStream::readBack(const dpatch_TStreamOutput* stream, dpatch_StreamPos_t readFromPos,
                                      dpatch_byte* out_data, dpatch_byte* out_data_end)
{
    const SequentialOutputStream* self = static_cast<const SequentialOutputStream*>(stream->streamOwner);
    const quint64 length = quint64(out_data_end - out_data);
    if (readFromPos > quint64(self->data.size()) || length > quint64(self->data.size()) - readFromPos)
        return 0;
    std::memcpy(out_data, self->data.constData() + readFromPos, size_t(length));
    return 1;
}

BOOL SequentialOutputStream::write(const dpatch_TStreamOutput* stream, dpatch_StreamPos_t writeToPos,
                                   const dpatch_byte* data, const dpatch_byte* data_end)
{
    SequentialOutputStream* self = static_cast<SequentialOutputStream*>(stream->streamOwner);
    if (data_end < data)
        return 0;
    const quint64 length = quint64(data_end - data);
    if (writeToPos > stream->streamSize || length > stream->streamSize - writeToPos)
        return 0;
    ++self->writeCount;
    if (writeToPos != quint64(self->data.size())) {
        self->sequential = false;
        return 0;
    }
    self->data.append((const char*)data, qsizetype(length));
    return 1;
}
