// TestPlugin.h - the call log shared by the test plug-ins.
//
// Every plug-in appends one line per call it receives, "<its file name> <event>", to the file
// named by the environment variable MIDAVO_TEST_LOG (nothing is written when it is unset). The
// file outlives the library, so a test can read what happened up to and after the unload. Lines
// are appended with one write each, so the dispatch thread and the main thread may both log.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Any object of this library: dladdr tells which file it was loaded from, so copies of one
// plug-in under different names log under their own names.
const char kLogAnchor = 0;

inline std::string LibraryName() {
  Dl_info info{};
  if (!::dladdr(&kLogAnchor, &info) || !info.dli_fname) return "?";
  std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

inline void Log(const std::string& event) {
  const char* path = std::getenv("MIDAVO_TEST_LOG");
  if (!path || !*path) return;
  const std::string line = LibraryName() + " " + event + "\n";
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), line.size());
  ::close(fd);
}

inline std::string Hex(unsigned long long value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llX", value);
  return text;
}

// Logged when the library is really unmapped (or at process exit for one that stays loaded).
__attribute__((destructor)) void LogUnload() { Log("unloaded"); }

}  // namespace
