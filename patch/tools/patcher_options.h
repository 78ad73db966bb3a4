#pragma once
// The command line's options: its usage text, and the parsing of the arguments into PatcherOptions. Every
// error is one line naming the option, followed by the banner and the usage.

#include "patch/core/dpatch_types.h"
#include "patch/dir/dir_checksum.h"

#include <stddef.h>

static const size_t dpatch_kDefaultCacheSize = 64 * 1024 * 1024;

struct PatcherOptions
{
    BOOL isLoadOldAll;
    BOOL isMemoryOptionSet;
    size_t cacheSize;
    BOOL isOpenFileLimitSet;
    dpatch_StreamPos_t maxOpenFileNumber;
    BOOL isForceOverwrite;
    BOOL isOutputHelp;
    BOOL isOutputVersion;
    BOOL isRunSFX;
    const char* outSelfExtractArchive;
    const char* selfExecuteFile;
    TChecksumSet checksumSet;
    const char* positional[3];
    int positionalCount;
};

void printBanner();
void printUsage();
// Prints message, the banner and the usage; answers DPATCH_OPTIONS_ERROR.
int optionError(const char* message);

// Reads argv[1..argc) into o (the defaults first); 0 when every argument is accepted, else the error's
// message.
const char* parsePatcherOptions(PatcherOptions* o, int argc, char** argv);
// The limit of open files the options ask for: the default without -n, never below the smallest limit.
size_t maxOpenFileNumberOf(const PatcherOptions* o);
