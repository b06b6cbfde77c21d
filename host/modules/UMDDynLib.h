// UMDDynLib.h - the platform's dynamic libraries and plug-in folder scan.
//
// Libraries are shared objects loaded with dlopen(RTLD_NOW | RTLD_LOCAL); loading the same file
// twice shares one handle with a count. A folder scan lists the regular files (or links to
// them) whose names end in the given suffix, in byte order of their names, so start-up is the
// same on every machine. Main thread.
#pragma once

#include <string>
#include <vector>

namespace MDDynLib {

using THandle = void*;

// nil when the file cannot be loaded (missing, not a library, unresolved symbols).
THandle Load(const std::string& path);
void* Symbol(THandle lib, const char* name);
void Free(THandle lib);

// Full paths ("<folder>/<name>") of the files in `folder` ending in `suffix`, sorted by name.
// A missing folder yields none.
std::vector<std::string> ScanFolder(const std::string& folder, const std::string& suffix);

}  // namespace MDDynLib
