#include "patch/os/link_check.h"

#include <string.h>
#include <sys/stat.h>

const char* dpatch_linkInPath(const char* path, size_t rootSize, char* buf, size_t bufSize)
{
    const size_t length = strlen(path);
    if (length >= bufSize || rootSize > length)
        return 0;
    memcpy(buf, path, length + 1);
    for (size_t end = rootSize; end <= length; ++end) {
        if (end < length && buf[end] != '/')
            continue;
        if (end == rootSize || buf[end - 1] == '/')
            continue; // no component ends here
        const char saved = buf[end];
        buf[end] = '\0';
        struct stat st;
        const int statResult = lstat(buf, &st);
        if (statResult == 0 && S_ISLNK(st.st_mode))
            return buf;
        buf[end] = saved;
        if (statResult != 0)
            return 0;
    }
    return 0;
}
