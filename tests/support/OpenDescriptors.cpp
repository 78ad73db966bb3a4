#include "OpenDescriptors.h"

#include <dirent.h>

int openDescriptorCount()
{
    DIR* listing = opendir("/proc/self/fd");
    if (!listing)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(listing)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(listing);
    return count - 1;
}
