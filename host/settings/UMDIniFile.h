// UMDIniFile.h - reading and writing one INI file, with no caching between calls.
//
// File format (the classic profile-file rules; UTF-8 text)
//   - A line whose first non-blank character is '[' and which holds a ']' starts a section; the
//     name is the text between the '[' and the first ']', trimmed. Text after the ']' is ignored.
//   - Inside a section, a line holding '=' is a key line: key = the text before the first '=',
//     value = the text after it, both trimmed of white space (blank, tab, CR, LF, VT, FF). A key
//     that is empty after trimming makes no key line.
//   - A line whose first non-blank character is ';' is a comment. Comments, blank lines, lines
//     before the first section and every other line are kept exactly as they are.
//   - Section and key names match without regard to ASCII letter case; other bytes (UTF-8
//     sequences of other scripts) must match exactly. Names asked for are trimmed like names
//     stored, so " Key " and "key" name the same key.
//   - The first section with the asked name is the section: a later section of the same name is
//     kept but never read or written. Within it, the first key line of the name wins.
//   - On read, one pair of equal surrounding quotes (" or ') is removed from a value.
//   - A UTF-8 byte order mark at the start is skipped on read and kept on write. Lines may end
//     in LF or CRLF.
//
// Writing
//   - The whole file is rewritten through a temporary file "<name>.tmp" in the same folder,
//     flushed to disk (fsync) and renamed over the file, so a reader or a writer that dies at any
//     moment sees either the old or the new file, never a mix. The new file gets the old file's
//     permission bits (and, where the process may, its owner); a new file gets 0666 less umask.
//     A settings file that is a symbolic link is followed: its target is rewritten.
//   - Lines the write does not change are kept byte for byte, with their own line endings. New
//     lines end with LF; a rewritten key line keeps its own ending and the spelling of its name.
//     A missing key goes right after the last key line of its section (so blank lines and
//     comments that close the section stay after it); a missing section goes to the end of the
//     file, after one blank line.
//   - Section and key names are trimmed before they are looked up or stored.
//   - A value that would not read back as written (leading or trailing white space, or one pair
//     of surrounding quotes) is stored inside double quotes, which reading removes again.
//   - Refused, with nothing written: a line break (CR or LF) or NUL byte in section, key or
//     value; a section or key empty after trimming; ']' in a section; '=' in a key; a key
//     beginning with '[' or ';' (it would read back as a section or a comment).
//   - Fails, with nothing written: a missing folder, a read-only file (one the process may not
//     write, or one without any write permission bit, which holds also for root), a settings path
//     that is not a regular file, any I/O error.
//
// Reading
//   - A missing file or folder means every key is absent. A file that exists but cannot be read
//     (a folder in its place, an I/O error) throws std::system_error.
//   - A value read is cut to at most MDIniMaxValueChars characters. Characters are Unicode code
//     points of the UTF-8 text (a byte that is not part of a valid sequence counts as one), and a
//     cut never splits a character. So a value of 2047 emoji reads back whole although it takes
//     4094 UTF-16 units.
//
// Threads and processes
//   Any thread may use any number of TMDIniFile objects at once. Writers of one file inside a
//   process are serialised by a process-wide mutex per path; processes sharing a folder take an
//   exclusive flock() on "<name>.lock" in the same folder around read-modify-write. The lock
//   file is created on the first write and left in place (removing it would race with a writer
//   that has it open). Reads take no lock: the rename makes each read see one whole file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The most characters (code points) a value read hands back.
inline constexpr size_t MDIniMaxValueChars = 2047;

// One INI file, named by its UTF-8 path. Holds nothing open: each call opens, reads or rewrites,
// and closes. Immutable after construction; see the header comment for threads.
class TMDIniFile {
 public:
  explicit TMDIniFile(std::string path) : FPath(std::move(path)) {}

  const std::string& Path() const { return FPath; }

  // The value of section/key (quotes removed, cut to MDIniMaxValueChars), or nothing when the
  // key, the section, the file or its folder is absent. Throws std::system_error when the file
  // exists but cannot be read.
  std::optional<std::string> ReadString(std::string_view section, std::string_view key) const;

  // Stores value under section/key. False when refused (MDIniCanStore) or when the file could
  // not be written; the file is then unchanged.
  bool WriteString(std::string_view section, std::string_view key, std::string_view value) const;

 private:
  std::string FPath;
};

// Text-level operations on the contents of an INI file (no I/O).

// Whether section/key/value can be stored so that they read back as given.
bool MDIniCanStore(std::string_view section, std::string_view key, std::string_view value);

// The stored value of section/key in text (quotes removed, not cut), or nothing.
std::optional<std::string> MDIniLookup(std::string_view text, std::string_view section,
                                       std::string_view key);

// text with section/key set to value, by the rules above. Requires MDIniCanStore.
std::string MDIniUpdate(std::string_view text, std::string_view section, std::string_view key,
                        std::string_view value);

// The first maxChars code points of UTF-8 text (see the header comment for how bytes count).
std::string_view MDIniCutChars(std::string_view text, size_t maxChars);
