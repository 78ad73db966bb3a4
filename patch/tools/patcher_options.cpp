#include "patch/tools/patcher_options.h"

#include "patch/core/dpatch_log.h"
#include "patch/drivers/dir_patch_result.h"

#include <stdio.h>
#include <string.h>

namespace
{
const size_t kDefaultOpenFiles = 24;
const size_t kMinOpenFiles = 8;

// Decimal digits with an optional k, m or g (either case); no leading zero, no wrap-around.
BOOL parseSize(const char* text, dpatch_StreamPos_t* out_value)
{
    const char* p = text;
    if (*p < '0' || *p > '9')
        return 0;
    if (p[0] == '0' && p[1] >= '0' && p[1] <= '9')
        return 0;
    dpatch_StreamPos_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const unsigned digit = (unsigned)(*p - '0');
        if (value > (~(dpatch_StreamPos_t)0 - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    unsigned shift = 0;
    switch (*p) {
    case '\0':
        break;
    case 'k':
    case 'K':
        shift = 10;
        break;
    case 'm':
    case 'M':
        shift = 20;
        break;
    case 'g':
    case 'G':
        shift = 30;
        break;
    default:
        return 0;
    }
    if (shift != 0) {
        if (p[1] != '\0' || value >= ((dpatch_StreamPos_t)1 << (64 - shift)))
            return 0;
        value <<= shift;
    }
    *out_value = value;
    return 1;
}

BOOL parseChecksumSets(const char* text, TChecksumSet* set)
{
    set->isCheck_diffData = 0;
    set->isCheck_oldRefData = 0;
    set->isCheck_newRefData = 0;
    set->isCheck_copyFileData = 0;
    for (;;) {
        const char* end = strchr(text, '-');
        const size_t length = end ? (size_t)(end - text) : strlen(text);
        if (length == 4 && strncmp(text, "diff", 4) == 0)
            set->isCheck_diffData = 1;
        else if (length == 3 && strncmp(text, "old", 3) == 0)
            set->isCheck_oldRefData = 1;
        else if (length == 3 && strncmp(text, "new", 3) == 0)
            set->isCheck_newRefData = 1;
        else if (length == 4 && strncmp(text, "copy", 4) == 0)
            set->isCheck_copyFileData = 1;
        else if (length == 3 && strncmp(text, "all", 3) == 0) {
            set->isCheck_diffData = 1;
            set->isCheck_oldRefData = 1;
            set->isCheck_newRefData = 1;
            set->isCheck_copyFileData = 1;
        } else if (length == 2 && strncmp(text, "no", 2) == 0) {
            set->isCheck_diffData = 0;
            set->isCheck_oldRefData = 0;
            set->isCheck_newRefData = 0;
            set->isCheck_copyFileData = 0;
        } else
            return 0;
        if (!end)
            return 1;
        text = end + 1;
    }
}

// 0 when the argument is accepted, else the option error's message.
const char* parseOption(PatcherOptions* o, const char* arg)
{
    dpatch_StreamPos_t value = 0;
    switch (arg[1]) {
    case 'h':
    case '?':
        if (arg[2] != '\0' || o->isOutputHelp)
            return "options -h ERROR!\n\n";
        o->isOutputHelp = 1;
        return 0;
    case 'v':
        if (arg[2] != '\0' || o->isOutputVersion)
            return "options -v ERROR!\n\n";
        o->isOutputVersion = 1;
        return 0;
    case 'f':
        if (arg[2] != '\0' || o->isForceOverwrite)
            return "options -f ERROR!\n\n";
        o->isForceOverwrite = 1;
        return 0;
    case 'm':
        if (arg[2] != '\0' || o->isMemoryOptionSet)
            return "options -m ERROR!\n\n";
        o->isMemoryOptionSet = 1;
        o->isLoadOldAll = 1;
        return 0;
    case 's':
        if (o->isMemoryOptionSet || (arg[2] != '-' && arg[2] != '\0'))
            return "options -s ERROR!\n\n";
        o->isMemoryOptionSet = 1;
        if (arg[2] == '\0') {
            o->cacheSize = dpatch_kDefaultCacheSize;
            return 0;
        }
        if (!parseSize(arg + 3, &value) || value > (dpatch_StreamPos_t)(size_t) ~(size_t)0)
            return "options -s-? ERROR!\n\n";
        o->cacheSize = (size_t)value;
        return 0;
    case 'n':
        if (o->isOpenFileLimitSet || arg[2] != '-' || !parseSize(arg + 3, &value))
            return "options -n-? ERROR!\n\n";
        o->isOpenFileLimitSet = 1;
        o->maxOpenFileNumber = value;
        return 0;
    case 'C':
        if (arg[2] != '-' || !parseChecksumSets(arg + 3, &o->checksumSet))
            return "options -C-? ERROR!\n\n";
        return 0;
    case 'X':
        if (arg[2] == '\0') {
            if (o->isRunSFX)
                return "options -X ERROR!\n\n";
            o->isRunSFX = 1;
            return 0;
        }
        if (arg[2] == '#') {
            if (o->outSelfExtractArchive || arg[3] == '\0')
                return "options -X#? ERROR!\n\n";
            o->outSelfExtractArchive = arg + 3;
            return 0;
        }
        if (arg[2] == '-') {
            if (o->selfExecuteFile || strncmp(arg, "-X-exe#", 7) != 0)
                return "options -X-? ERROR!\n\n";
            if (arg[7] == '\0')
                return "options -X-exe#? ERROR!\n\n";
            o->selfExecuteFile = arg + 7;
            return 0;
        }
        return "options -X ERROR!\n\n";
    default:
        return "options -? ERROR!\n\n";
    }
}

} // namespace

void printBanner()
{
    dpatch_printf("dirpatch 1.0: the patch engine's command-line patcher\n\n");
}

void printUsage()
{
    dpatch_printf("patch usage: dirpatch [options] oldPath diffFile outNewPath\n"
                  "create  SFX: dirpatch [-X-exe#selfExecuteFile] diffFile -X#outSelfExtractArchive\n"
                  "run     SFX: selfExtractArchive [[options] oldPath -X outNewPath]\n"
                  "extract SFX: selfExtractArchive      (same as: selfExtractArchive -f \"\" -X \"./\")\n"
                  "  if oldPath is empty input parameter \"\"\n"
                  "memory options:\n"
                  "  -m  oldPath all loaded into Memory;\n"
                  "      requires (oldFileSize+ 4*decompress stream size)+O(1) bytes of memory.\n"
                  "  -s[-cacheSize] \n"
                  "      DEFAULT -s-64m; oldPath loaded as Stream;\n"
                  "      requires (cacheSize+ 4*decompress stream size)+O(1) bytes of memory;\n"
                  "      cacheSize can like 262144 or 256k or 512m or 2g etc....\n"
                  "special options:\n"
                  "  -C-checksumSets\n"
                  "      set Checksum data for directory patch, DEFAULT -C-new-copy;\n"
                  "      checksumSets support (can choose multiple):\n"
                  "        -C-diff         checksum diffFile;\n"
                  "        -C-old          checksum old reference files;\n"
                  "        -C-new          checksum new files edited from old reference files;\n"
                  "        -C-copy         checksum new files copy from old same files;\n"
                  "        -C-no           no checksum;\n"
                  "        -C-all          same as: -C-diff-old-new-copy;\n"
                  "  -n-maxOpenFileNumber\n"
                  "      limit Number of open files at same time when stream directory patch;\n"
                  "      maxOpenFileNumber>=8, DEFAULT -n-24, the best limit value by different\n"
                  "        operating system.\n"
                  "  -f  Force overwrite, ignore write path already exists;\n"
                  "      DEFAULT (no -f) not overwrite and then return error;\n"
                  "      support oldPath outNewPath same path!(patch to tempPath and overwrite old)\n"
                  "      if used -f and outNewPath is exist file:\n"
                  "        if patch output file, will overwrite;\n"
                  "        if patch output directory, will always return error;\n"
                  "      if used -f and outNewPath is exist directory:\n"
                  "        if patch output file, will always return error;\n"
                  "        if patch output directory, will overwrite, but not delete\n"
                  "          needless existing files in directory.\n"
                  "  -h or -?\n"
                  "      output Help info (this usage).\n"
                  "  -v  output Version info.\n"
                  "\n");
}

int optionError(const char* message)
{
    dpatch_fprintf(stderr, "%s", message);
    printBanner();
    printUsage();
    return DPATCH_OPTIONS_ERROR;
}

const char* parsePatcherOptions(PatcherOptions* o, int argc, char** argv)
{
    memset(o, 0, sizeof(*o));
    o->cacheSize = dpatch_kDefaultCacheSize;
    o->checksumSet.isCheck_newRefData = 1;
    o->checksumSet.isCheck_copyFileData = 1;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] == '-') {
            const char* message = parseOption(o, arg);
            if (message)
                return message;
            continue;
        }
        if (o->positionalCount == 3)
            return "options input count ERROR!\n\n";
        if (arg[0] == '\0' && o->positionalCount > 0)
            return "options ? ERROR!\n\n";
        o->positional[o->positionalCount++] = arg;
    }
    return 0;
}

size_t maxOpenFileNumberOf(const PatcherOptions* o)
{
    if (!o->isOpenFileLimitSet)
        return kDefaultOpenFiles;
    if (o->maxOpenFileNumber < kMinOpenFiles)
        return kMinOpenFiles;
    return o->maxOpenFileNumber > (size_t) ~(size_t)0 ? (size_t) ~(size_t)0 : (size_t)o->maxOpenFileNumber;
}
