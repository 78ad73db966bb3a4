#pragma once
// An engine output stream of a declared size that keeps what is written and notes whether every
// write started exactly where the previous one ended (the engine promises strictly ordered output).

#include "patch/core/dpatch_types.h"

#include <QByteArray>

class SequentialOutputStream
{
public:
    explicit SequentialOutputStream(quint64 size);
    SequentialOutputStream(const SequentialOutputStream&) = delete;
    SequentialOutputStream& operator=(const SequentialOutputStream&) = delete;

    const dpatch_TStreamOutput* stream() const;
    // What was written so far, in order.
    QByteArray written() const;

    bool sequential = true;
    int writeCount = 0;

private:
    static BOOL readBack(const dpatch_TStreamOutput* stream, dpatch_StreamPos_t readFromPos, dpatch_byte* out_data,
                         dpatch_byte* out_data_end);
    static BOOL write(const dpatch_TStreamOutput* stream, dpatch_StreamPos_t writeToPos, const dpatch_byte* data,
                      const dpatch_byte* data_end);

    dpatch_TStreamOutput output;
    QByteArray data;
};
