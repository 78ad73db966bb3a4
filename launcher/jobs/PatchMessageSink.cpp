#include "jobs/PatchMessageSink.h"

#include <QDebug>
#include <QString>
#include <stdarg.h>

// Last: it defines a macro named check that Qt's headers must not see.
#include "patch/core/dpatch_check.h"

namespace
{
// One pair per thread, created on the thread's first message and destroyed when the thread ends.
thread_local QString dpatchOutBuffer;
thread_local QString dpatchErrBuffer;

int appendAndFlush(QString& buffer, const char* format, va_list args)
{
    const QString text = QString::vasprintf(format, args);
    buffer += text;
    flushDpatchLog(buffer);
    return int(text.size());
}
} // namespace

void flushDpatchLog(QString& buffer)
{
    qsizetype lineEnd;
    while ((lineEnd = buffer.indexOf(u'\n')) >= 0) {
        qDebug().noquote() << "[dpatch]" << QStringView(buffer).left(lineEnd);
        buffer.remove(0, lineEnd + 1);
    }
}

int dpatch_printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int length = appendAndFlush(dpatchOutBuffer, format, args);
    va_end(args);
    return length;
}

int dpatch_fprintf(void* /*stream*/, const char* format, ...)
{
    // The engine passes stderr here; the log is the only sink, so the stream is not looked at.
    va_list args;
    va_start(args, format);
    const int length = appendAndFlush(dpatchErrBuffer, format, args);
    va_end(args);
    return length;
}
