// Folder chores shared by the download driver, the staging and the component processing.
#pragma once

#include <string>

// Deletes every entry directly in folder that is not itself a folder (subfolders and their content
// stay). False when folder is empty or any deletion failed.
bool removeFolderFiles(const std::string& folder);
