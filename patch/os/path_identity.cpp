#include "patch/os/path_identity.h"

#include "patch/os/file_services.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

BOOL isSamePath(const char* a, const char* b)
{
    struct stat statA;
    struct stat statB;
    if (stat(a, &statA) == 0 && stat(b, &statB) == 0)
        return statA.st_dev == statB.st_dev && statA.st_ino == statB.st_ino;
    char bufA[dpatch_kPathBufSize];
    char bufB[dpatch_kPathBufSize];
    if (!dpatch_copyWithoutTrailingSlashes(a, bufA) || !dpatch_copyWithoutTrailingSlashes(b, bufB))
        return 0;
    return strcmp(bufA, bufB) == 0;
}

BOOL isPathInside(const char* inner, const char* outer)
{
    struct stat outerStat;
    if (stat(outer, &outerStat) != 0 || !S_ISDIR(outerStat.st_mode))
        return 0;
    char buf[dpatch_kPathBufSize];
    if (!dpatch_copyWithoutTrailingSlashes(inner, buf))
        return 0;
    char* real = 0;
    while (!(real = realpath(buf[0] ? buf : ".", 0))) {
        char* slash = strrchr(buf, '/');
        if (!slash)
            buf[0] = '\0';
        else
            slash[slash == buf ? 1 : 0] = '\0';
    }
    BOOL isInside = 0;
    for (;;) {
        struct stat st;
        if (stat(real, &st) == 0 && st.st_dev == outerStat.st_dev && st.st_ino == outerStat.st_ino) {
            isInside = 1;
            break;
        }
        char* slash = strrchr(real, '/');
        if (!slash || strcmp(real, "/") == 0)
            break;
        slash[slash == real ? 1 : 0] = '\0';
    }
    free(real);
    return isInside;
}
