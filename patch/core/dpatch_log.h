#pragma once
// The engine's two message functions. The launcher supplies them (its sink logs every complete line);
// programs built without it link a stand-in pair. Kept apart from the check macros so that code which
// only supplies or calls the functions does not get a macro named check.

// Normal messages.
int dpatch_printf(const char* format, ...);
// Error messages; stream is ignored by the launcher (the engine passes stderr).
int dpatch_fprintf(void* stream, const char* format, ...);
