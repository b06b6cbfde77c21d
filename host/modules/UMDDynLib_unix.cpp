#include "modules/UMDDynLib.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>

namespace MDDynLib {

THandle Load(const std::string& path) { return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }

void* Symbol(THandle lib, const char* name) { return lib ? ::dlsym(lib, name) : nullptr; }

void Free(THandle lib) {
  if (lib) ::dlclose(lib);
}

std::vector<std::string> ScanFolder(const std::string& folder, const std::string& suffix) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() < suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    struct stat st {};
    const std::string path = folder + "/" + name;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (std::string& name : names) name = folder + "/" + name;
  return names;
}

}  // namespace MDDynLib
