#include "os/FileSystem.h"

namespace kestrel::os {

std::string withTrailingSeparator(std::string folder, char separator)
{
    if (folder.empty() || folder.back() != separator)
        folder.push_back(separator);
    return folder;
}

} // namespace kestrel::os
