// dirpatch: the patch engine on its own command line.
#include "patch/tools/patcher_command_line.h"

int main(int argc, char** argv)
{
    return runPatcherCommandLine(argc, argv);
}
