#pragma once

#include <QByteArray>

// Sends everything written to the process's standard error (fd 2, stdio's stderr included) into a private
// temporary file while it lives, so tests can check the patch engine's error lines as the stdio message
// functions print them. Not thread-safe; one capture at a time.
class StderrCapture
{
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Everything written since construction or the previous take().
    QByteArray take();

private:
    int savedDescriptor = -1;
    int captureDescriptor = -1;
};
