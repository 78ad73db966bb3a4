#pragma once

// The number of file descriptors this process has open now, from /proc/self/fd (the listing's own descriptor
// is not counted), so tests can show that nothing was left open and that an open-file limit holds.
int openDescriptorCount();
