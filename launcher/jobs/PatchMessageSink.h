#pragma once

// The launcher's side of the patch engine's message functions dpatch_printf (notes) and dpatch_fprintf
// (errors), declared in patch/dpatch_check.h and defined in PatchMessageSink.cpp. The engine prints a
// line in pieces; each thread keeps its own buffer per function and logs every completed line as one
// debug message "[dpatch] <line>", so lines from different threads never mix. Text still waiting for its
// line feed when its thread ends is dropped.
//
// The declarations of the two functions come with patch/dpatch_check.h; that header also defines a macro
// named check, so include it after every Qt header.

class QString;

// Logs every complete line at the front of buffer and removes it with its line feed; text after the last
// line feed stays for the next call.
void flushDpatchLog(QString& buffer);
