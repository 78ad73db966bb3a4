#pragma once
// Whether two paths name the same file or folder, or one lies inside the other, however each is spelled
// ("old", "./old", "old/", "../x/old", a link to it, a hard link): what exists is compared by device and
// inode, and only a path that doesn't exist yet is judged by its spelling.

#include "patch/core/dpatch_types.h"

// Two existing paths are the same when they lead to the same device and inode; when one of them doesn't
// exist, when they are spelled alike but for their trailing '/'s.
BOOL isSamePath(const char* a, const char* b);
// Whether inner is the existing directory outer or lies below it: the deepest existing part of inner is
// resolved, and it and its parents are compared with outer by device and inode.
BOOL isPathInside(const char* inner, const char* outer);
