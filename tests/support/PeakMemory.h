#pragma once
// The peak memory of this process, for the programs that measure what one step costs in memory.

#include <QtGlobal>

// VmHWM of this process image in KiB, -1 when it can't be read. The rusage figure would carry the parent's
// over exec.
qint64 peakResidentKiB();
// VmPeak of this process image in KiB (address space, mapped whether used or not), -1 when it can't be read.
qint64 peakAddressSpaceKiB();
