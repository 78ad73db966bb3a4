#include "StderrCapture.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

StderrCapture::StderrCapture()
{
    fflush(stderr);
    char name[] = "/tmp/stderr-capture-XXXXXX";
    captureDescriptor = mkstemp(name);
    if (captureDescriptor < 0)
        return;
    unlink(name);
    savedDescriptor = dup(STDERR_FILENO);
    dup2(captureDescriptor, STDERR_FILENO);
}

StderrCapture::~StderrCapture()
{
    if (captureDescriptor < 0)
        return;
    fflush(stderr);
    dup2(savedDescriptor, STDERR_FILENO);
    close(savedDescriptor);
    close(captureDescriptor);
}

QByteArray StderrCapture::take()
{
    QByteArray result;
    if (captureDescriptor < 0)
        return result;
    fflush(stderr);
    char buffer[4096];
    lseek(captureDescriptor, 0, SEEK_SET);
    ssize_t got;
    while ((got = read(captureDescriptor, buffer, sizeof(buffer))) > 0)
        result.append(buffer, got);
    if (ftruncate(captureDescriptor, 0) != 0)
        result.append("<capture could not be reset>");
    lseek(captureDescriptor, 0, SEEK_SET);
    return result;
}
