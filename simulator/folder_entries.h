#pragma once

#include <string>

#include <dirent.h>

namespace tarvex_sim {

// Hands the name and the path of each entry of `folder` to `visit`; false when
// the folder cannot be read.
template <typename Visit>
bool ForEachEntry(const std::string &folder, Visit visit)
{
    DIR *entries = ::opendir(folder.c_str());
    if (!entries)
        return false;
    while (const dirent *entry = ::readdir(entries))
        visit(std::string(entry->d_name), folder + '/' + entry->d_name);
    ::closedir(entries);
    return true;
}

} // namespace tarvex_sim
