#pragma once

// What the Windows attributes of a file make of it, for this system's file services.

#include "os/FileSystem.h"

#include <windows.h>

namespace kestrel::os {

// A reparse point (a symbolic link, a junction, a mount point) is a link, whatever it points to.
inline NodeKind kindOf(DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return NodeKind::Link;
    if (attributes & FILE_ATTRIBUTE_DEVICE)
        return NodeKind::Other;
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? NodeKind::Folder : NodeKind::File;
}

} // namespace kestrel::os
