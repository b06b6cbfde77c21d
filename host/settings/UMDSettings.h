// UMDSettings.h - the settings store: typed reads and writes of settings.ini for everybody.
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "UMDBase.h"

// TINIWriter: the host's IMDSettings. The kernel creates it in Init and hands it out; every
// service and module that asks keeps a reference.
//
// The file is <GetApplicationDir>/settings.ini, fixed at construction. The store caches
// nothing: each call opens the file, does one read or one read-modify-write, and closes it, so
// all users see each other's latest writes. File format, write protocol and locking are those of
// TMDIniFile (UMDIniFile.h).
//
// Values
//   - ReadString hands back at most 2047 characters (code points). Text is UTF-8 in the file, so
//     every character survives a round trip; a text with an unpaired UTF-16 surrogate cannot be
//     stored and its write is refused.
//   - Integers are written in decimal. Reading accepts decimal with an optional sign, "0x"/"0X"
//     followed by hex digits, and "$" followed by hex digits; the whole text must be the number.
//     Decimal outside the int32 range reads as the default; hex text names the 32-bit pattern
//     (0xFFFFFFFF reads as -1), and more than 32 bits read as the default.
//   - Booleans are written as 1 or 0 and read as an integer: non-zero is true (-1).
//
// Threads: any thread may call any method at any time. The path and description are fixed at
// construction; writers are serialised inside TMDIniFile. FResultsLock guards FResults, the text
// each thread's last ReadString handed out (one slot per thread, so a text stays valid until
// that thread's next ReadString on this store, whatever other threads do).
class TINIWriter : public TMDComImpl<TMDComObject, IMDSettings> {
 public:
  // Keeps a reference to kernel; when it is not nil, takes the path from its GetApplicationDir.
  // With no kernel (or no folder from it) every read fails with the default and every write
  // fails.
  explicit TINIWriter(IMDKernel* kernel);

  // IUnknown: answers IMDSettings and IUnknown only.
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;

  // IMDMessageSink: ignores every message.
  HRESULT MDCALL HandleMessage(const TMDMessage* msg) override;

  // IMDSettings
  HRESULT MDCALL ReadString(const char16_t* section, const char16_t* key, const char16_t* def,
                            const char16_t** value) override;
  HRESULT MDCALL WriteString(const char16_t* section, const char16_t* key,
                             const char16_t* value) override;
  HRESULT MDCALL ReadInteger(const char16_t* section, const char16_t* key, int32_t def,
                             int32_t* value) override;
  HRESULT MDCALL WriteInteger(const char16_t* section, const char16_t* key, int32_t value) override;
  HRESULT MDCALL ReadBool(const char16_t* section, const char16_t* key, BOOL32 def,
                          BOOL32* value) override;
  HRESULT MDCALL WriteBool(const char16_t* section, const char16_t* key, BOOL32 value) override;

  // The settings file's path (empty when the store has none).
  const std::u16string& FileName() const { return FFileName; }
  const TMDModuleInfo& Description() const { return FDescription; }

 private:
  // The integer stored under section/key, or def when there is none or it does not parse.
  // Throws when the file cannot be read.
  int32_t ReadIntegerOrThrow(const char16_t* section, const char16_t* key, int32_t def) const;
  bool Write(const char16_t* section, const char16_t* key, const std::string& value) const;

  TComPtr<IMDKernel> FKernel;
  std::u16string FFileName;
  TMDModuleInfo FDescription{};
  std::string FPath;  // FFileName in UTF-8

  std::mutex FResultsLock;
  std::unordered_map<std::thread::id, std::u16string> FResults;
};
