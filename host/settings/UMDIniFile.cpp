// UMDIniFile.cpp - see UMDIniFile.h for the file format and the write protocol.
#include "settings/UMDIniFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

bool IsQuote(char c) { return c == '"' || c == '\''; }

// A value as it reads back: trimmed, one pair of equal surrounding quotes removed.
std::string_view Unquote(std::string_view v) {
  v = Trim(v);
  if (v.size() >= 2 && IsQuote(v.front()) && v.front() == v.back()) v = v.substr(1, v.size() - 2);
  return v;
}

// ---------------------------------------------------------------------------------------------
// Line model
// ---------------------------------------------------------------------------------------------

enum class TLineKind { Other, Section, Key };

struct TLine {
  std::string_view Body;  // without its line ending
  std::string_view Eol;   // "\n", "\r\n", "\r" (CR at the very end) or "" (last line)
  TLineKind Kind = TLineKind::Other;
  std::string_view Name;   // section or key name, trimmed
  std::string_view Value;  // key lines: the raw text after '='
  bool Produced = false;   // written by this update: the text is in Owned
  std::string Owned;
};

struct TParsed {
  std::string_view Bom;
  std::vector<TLine> Lines;
};

void Classify(TLine& line, bool inSection) {
  const std::string_view t = Trim(line.Body);
  if (t.empty() || t.front() == ';') return;
  if (t.front() == '[') {
    const size_t close = t.find(']');
    if (close != std::string_view::npos) {
      line.Kind = TLineKind::Section;
      line.Name = Trim(t.substr(1, close - 1));
    }
    return;
  }
  if (!inSection) return;
  const size_t eq = t.find('=');
  if (eq == std::string_view::npos) return;
  const std::string_view name = Trim(t.substr(0, eq));
  if (name.empty()) return;
  line.Kind = TLineKind::Key;
  line.Name = name;
  line.Value = t.substr(eq + 1);
}

TParsed Parse(std::string_view text) {
  TParsed p;
  if (text.substr(0, kBom.size()) == kBom) {
    p.Bom = text.substr(0, kBom.size());
    text.remove_prefix(kBom.size());
  }
  bool inSection = false;
  while (!text.empty()) {
    TLine line;
    const size_t nl = text.find('\n');
    if (nl == std::string_view::npos) {
      line.Body = text;
      text = {};
    } else {
      line.Body = text.substr(0, nl);
      text.remove_prefix(nl + 1);
    }
    const size_t bodyEnd = line.Body.size();
    size_t eolStart = bodyEnd;
    if (eolStart > 0 && line.Body[eolStart - 1] == '\r') --eolStart;
    const char* base = line.Body.data();
    line.Eol = std::string_view(base + eolStart,
                                bodyEnd - eolStart + (nl == std::string_view::npos ? 0 : 1));
    line.Body = line.Body.substr(0, eolStart);
    Classify(line, inSection);
    if (line.Kind == TLineKind::Section) inSection = true;
    p.Lines.push_back(std::move(line));
  }
  return p;
}

// The lines of one section: Header is its header line, End is one past its last line.
struct TSectionRange {
  size_t Header;
  size_t End;
};

// The first section named `section`, or nothing.
std::optional<TSectionRange> FindSection(const TParsed& p, std::string_view section) {
  for (size_t i = 0; i < p.Lines.size(); ++i) {
    if (p.Lines[i].Kind != TLineKind::Section || !SameName(p.Lines[i].Name, section)) continue;
    size_t end = i + 1;
    while (end < p.Lines.size() && p.Lines[end].Kind != TLineKind::Section) ++end;
    return TSectionRange{i, end};
  }
  return std::nullopt;
}

std::optional<size_t> FindKey(const TParsed& p, TSectionRange r, std::string_view key) {
  for (size_t i = r.Header + 1; i < r.End; ++i)
    if (p.Lines[i].Kind == TLineKind::Key && SameName(p.Lines[i].Name, key)) return i;
  return std::nullopt;
}

// The value text as written: quoted when trimming or unquoting would change it on read.
std::string EncodeValue(std::string_view value) {
  if (Unquote(value) == value) return std::string(value);
  std::string out;
  out.reserve(value.size() + 2);
  out += '"';
  out += value;
  out += '"';
  return out;
}

bool HasLineBreak(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// ---------------------------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------------------------

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Closes a descriptor when it goes out of scope.
class TFd {
 public:
  explicit TFd(int fd = -1) : FFd(fd) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() { Reset(); }
  int Get() const { return FFd; }
  void Reset() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
  }
  // Closes now and reports whether the close itself succeeded (it may report a write error).
  bool Close() {
    const int fd = FFd;
    FFd = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int FFd;
};

int OpenRetry(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do fd = ::open(path, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// The file's whole content and its status. Nothing when the file or its folder is missing.
struct TFileContent {
  std::string Text;
  struct stat Stat {};
};

std::optional<TFileContent> ReadWholeFile(const std::string& path) {
  // O_NONBLOCK keeps a FIFO in the file's place from blocking the open.
  TFd fd(OpenRetry(path.c_str(), O_RDONLY | O_NONBLOCK));
  if (fd.Get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    ThrowErrno("open settings file");
  }
  TFileContent c;
  if (::fstat(fd.Get(), &c.Stat) != 0) ThrowErrno("stat settings file");
  if (!S_ISREG(c.Stat.st_mode))
    throw std::system_error(EISDIR, std::generic_category(), "settings path is not a regular file");
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno("read settings file");
    }
    if (n == 0) break;
    c.Text.append(buf, static_cast<size_t>(n));
  }
  return c;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// The process-wide writer lock of one path. Entries are never removed: a process writes few
// distinct files. The map is never destroyed, so a write during static destruction still works.
std::mutex& WriterMutex(const std::string& path) {
  static std::mutex* mapLock = new std::mutex;
  static auto* mutexes = new std::map<std::string, std::unique_ptr<std::mutex>>;
  std::lock_guard guard(*mapLock);
  auto& slot = (*mutexes)[path];
  if (!slot) slot = std::make_unique<std::mutex>();
  return *slot;
}

// Holds an exclusive flock on "<path>.lock" while alive; Locked() is false when the lock file
// could not be opened (for example, a missing folder).
class TFileLock {
 public:
  // Read-only is enough for flock, and lets users other than the lock file's creator share it.
  explicit TFileLock(const std::string& path)
      : FFd(OpenRetry((path + ".lock").c_str(), O_RDONLY | O_CREAT, 0666)) {
    if (FFd.Get() < 0) return;
    int rc;
    do rc = ::flock(FFd.Get(), LOCK_EX);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) FFd.Reset();
  }
  bool Locked() const { return FFd.Get() >= 0; }

 private:
  TFd FFd;  // closing it releases the lock
};

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file a write replaces: the path itself, or the target of a symbolic link.
std::optional<std::string> WriteTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  if (!real) return std::nullopt;  // a dangling link: creating its target is not ours to do
  return std::string(real.get());
}

bool MayWrite(const std::string& path, const struct stat& st) {
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

// Writes text to "<target>.tmp", flushes it and renames it over target.
bool ReplaceFile(const std::string& target, std::string_view text, const struct stat* old) {
  const std::string temp = target + ".tmp";
  // A temp file left behind by a writer that died is stale: only the lock holder writes it.
  if (::unlink(temp.c_str()) != 0 && errno != ENOENT) return false;
  const mode_t mode = old ? (old->st_mode & 07777) : 0666;
  TFd fd(OpenRetry(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode));
  if (fd.Get() < 0) return false;
  bool ok = true;
  if (old) {
    // The umask may have cleared bits of the old mode; and keep the owner where we may.
    ok = ::fchmod(fd.Get(), mode) == 0;
    struct stat now {};
    if (ok && ::fstat(fd.Get(), &now) == 0 &&
        (now.st_uid != old->st_uid || now.st_gid != old->st_gid)) {
      if (::fchown(fd.Get(), old->st_uid, old->st_gid) == 0) ok = ::fchmod(fd.Get(), mode) == 0;
    }
  }
  ok = ok && WriteAll(fd.Get(), text) && ::fsync(fd.Get()) == 0;
  ok = fd.Close() && ok;
  if (ok) ok = ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable. The new file is in place already, so a failure here does
  // not make the write fail.
  TFd dir(OpenRetry(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY));
  if (dir.Get() >= 0) ::fsync(dir.Get());
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Text level
// ---------------------------------------------------------------------------------------------

bool MDIniCanStore(std::string_view section, std::string_view key, std::string_view value) {
  if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) return false;
  section = Trim(section);
  key = Trim(key);
  if (section.empty() || key.empty()) return false;
  if (section.find(']') != std::string_view::npos) return false;
  if (key.find('=') != std::string_view::npos) return false;
  if (key.front() == '[' || key.front() == ';') return false;
  return true;
}

std::optional<std::string> MDIniLookup(std::string_view text, std::string_view section,
                                       std::string_view key) {
  section = Trim(section);
  key = Trim(key);
  if (section.empty() || key.empty()) return std::nullopt;
  const TParsed p = Parse(text);
  const auto range = FindSection(p, section);
  if (!range) return std::nullopt;
  const auto at = FindKey(p, *range, key);
  if (!at) return std::nullopt;
  return std::string(Unquote(p.Lines[*at].Value));
}

std::string MDIniUpdate(std::string_view text, std::string_view section, std::string_view key,
                        std::string_view value) {
  section = Trim(section);
  key = Trim(key);
  TParsed p = Parse(text);
  const std::string encoded = EncodeValue(value);

  auto makeLine = [](std::string body) {
    TLine l;
    l.Produced = true;
    l.Owned = std::move(body);
    l.Eol = "\n";
    return l;
  };
  // A line that ends the file without LF gets one when a line follows it or when it is
  // rewritten; every other line keeps its own ending.
  auto terminate = [](TLine& line) {
    if (line.Eol.empty())
      line.Eol = "\n";
    else if (line.Eol == "\r")
      line.Eol = "\r\n";
  };

  if (const auto range = FindSection(p, section)) {
    if (const auto at = FindKey(p, *range, key)) {
      TLine& line = p.Lines[*at];
      line.Produced = true;
      line.Owned = std::string(line.Name) + "=" + encoded;
      terminate(line);
    } else {
      size_t after = range->Header;
      for (size_t i = range->Header + 1; i < range->End; ++i)
        if (p.Lines[i].Kind == TLineKind::Key) after = i;
      terminate(p.Lines[after]);
      p.Lines.insert(p.Lines.begin() + static_cast<std::ptrdiff_t>(after + 1),
                     makeLine(std::string(key) + "=" + encoded));
    }
  } else {
    if (!p.Lines.empty()) {
      terminate(p.Lines.back());
      if (!Trim(p.Lines.back().Body).empty()) p.Lines.push_back(makeLine(std::string()));
    }
    p.Lines.push_back(makeLine("[" + std::string(section) + "]"));
    p.Lines.push_back(makeLine(std::string(key) + "=" + encoded));
  }

  std::string out;
  out.reserve(text.size() + key.size() + section.size() + encoded.size() + 8);
  out += p.Bom;
  for (const TLine& l : p.Lines) {
    out += l.Produced ? std::string_view(l.Owned) : l.Body;
    out += l.Eol;
  }
  return out;
}

std::string_view MDIniCutChars(std::string_view text, size_t maxChars) {
  size_t pos = 0;
  size_t chars = 0;
  while (pos < text.size() && chars < maxChars) {
    const auto b = static_cast<unsigned char>(text[pos]);
    size_t len = 1;
    if (b >= 0xC2 && b <= 0xDF)
      len = 2;
    else if (b >= 0xE0 && b <= 0xEF)
      len = 3;
    else if (b >= 0xF0 && b <= 0xF4)
      len = 4;
    if (len > 1) {
      // A sequence counts as one character only when it is complete; else its lead byte alone.
      bool complete = pos + len <= text.size();
      for (size_t i = 1; complete && i < len; ++i)
        complete = (static_cast<unsigned char>(text[pos + i]) & 0xC0) == 0x80;
      if (!complete) len = 1;
    }
    pos += len;
    ++chars;
  }
  return text.substr(0, pos);
}

// ---------------------------------------------------------------------------------------------
// TMDIniFile
// ---------------------------------------------------------------------------------------------

std::optional<std::string> TMDIniFile::ReadString(std::string_view section,
                                                  std::string_view key) const {
  const auto content = ReadWholeFile(FPath);
  if (!content) return std::nullopt;
  auto value = MDIniLookup(content->Text, section, key);
  if (value) value->resize(MDIniCutChars(*value, MDIniMaxValueChars).size());
  return value;
}

bool TMDIniFile::WriteString(std::string_view section, std::string_view key,
                             std::string_view value) const {
  if (!MDIniCanStore(section, key, value)) return false;
  const auto target = WriteTarget(FPath);
  if (!target) return false;

  std::lock_guard inProcess(WriterMutex(*target));
  TFileLock betweenProcesses(*target);
  if (!betweenProcesses.Locked()) return false;

  std::optional<TFileContent> old;
  try {
    old = ReadWholeFile(*target);
  } catch (const std::system_error&) {
    return false;
  }
  if (old && !MayWrite(*target, old->Stat)) return false;
  const std::string_view oldText = old ? std::string_view(old->Text) : std::string_view();
  const std::string text = MDIniUpdate(oldText, section, key, value);
  if (old && text == oldText) return true;  // already stored
  return ReplaceFile(*target, text, old ? &old->Stat : nullptr);
}
