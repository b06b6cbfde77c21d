// UMDSettings.cpp - TINIWriter over TMDIniFile.
#include "settings/UMDSettings.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "settings/UMDIniFile.h"

namespace {

constexpr char16_t kStoreName[] = u"Advanced INI Settings Writer";
constexpr char16_t kStoreUrl[] = u"https://midavo.example.org/";

// Nil texts are empty texts.
const char16_t* OrEmpty(const char16_t* text) { return text ? text : u""; }

// Whether a UTF-16 text converts to UTF-8 and back unchanged (no unpaired surrogate).
bool IsWellFormed(const char16_t* text) {
  for (const char16_t* p = OrEmpty(text); *p; ++p) {
    if (*p >= 0xD800 && *p <= 0xDBFF) {
      if (p[1] < 0xDC00 || p[1] > 0xDFFF) return false;
      ++p;
    } else if (*p >= 0xDC00 && *p <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Hex digits only, at most 32 bits of value (leading zeros are free): the int32 bit pattern.
std::optional<int32_t> ParseHex(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : digits) {
    const int d = HexDigit(c);
    if (d < 0) return std::nullopt;
    v = v * 16 + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<int32_t>(static_cast<uint32_t>(v));
}

// Optional sign and decimal digits, within the int32 range.
std::optional<int32_t> ParseDecimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
    if (v > int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  if (negative) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(v);
}

std::optional<int32_t> ParseInteger(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    return ParseHex(text.substr(2));
  if (!text.empty() && text.front() == '$') return ParseHex(text.substr(1));
  return ParseDecimal(text);
}

}  // namespace

TINIWriter::TINIWriter(IMDKernel* kernel) : FKernel(kernel) {
  if (!kernel) return;
  FDescription.Name = kStoreName;
  FDescription.Description = kStoreName;
  FDescription.Url = kStoreUrl;
  FDescription.Version = 0x00080000;
  const char16_t* dir = nullptr;
  if (MD_FAILED(kernel->GetApplicationDir(&dir)) || !dir || !*dir) return;
  FFileName = dir;
  if (FFileName.back() != u'/') FFileName += u'/';
  FFileName += u"settings.ini";
  FPath = MDToUtf8(FFileName);
}

HRESULT MDCALL TINIWriter::QueryInterface(const GUID& iid, void** obj) {
  return MDQueryGuard(obj, [&]() -> HRESULT {
    if (iid == IID_IMDSettings) return MDHandOut<IMDSettings>(this, obj);
    return TMDComObject::QueryInterface(iid, obj);
  });
}

HRESULT MDCALL TINIWriter::HandleMessage(const TMDMessage*) { return S_OK; }

HRESULT MDCALL TINIWriter::ReadString(const char16_t* section, const char16_t* key,
                                      const char16_t* def, const char16_t** value) {
  if (!value) return E_FAIL;
  try {
    if (FPath.empty()) throw std::runtime_error("no settings file");
    const auto stored = TMDIniFile(FPath).ReadString(MDToUtf8(section), MDToUtf8(key));
    if (!stored) {
      *value = OrEmpty(def);
      return S_FALSE;
    }
    std::u16string text = MDToUtf16(*stored);
    {
      std::lock_guard guard(FResultsLock);
      std::u16string& slot = FResults[std::this_thread::get_id()];
      slot.swap(text);
      *value = slot.c_str();
    }
    return *stored == MDToUtf8(def) ? S_FALSE : S_OK;
  } catch (...) {
    *value = def;
    return E_FAIL;
  }
}

HRESULT MDCALL TINIWriter::WriteString(const char16_t* section, const char16_t* key,
                                       const char16_t* value) {
  return MDGuard([&]() -> HRESULT {
    if (!IsWellFormed(section) || !IsWellFormed(key) || !IsWellFormed(value)) return E_UNEXPECTED;
    return Write(section, key, MDToUtf8(value)) ? S_OK : E_UNEXPECTED;
  });
}

HRESULT MDCALL TINIWriter::ReadInteger(const char16_t* section, const char16_t* key, int32_t def,
                                       int32_t* value) {
  if (!value) return E_FAIL;
  try {
    *value = ReadIntegerOrThrow(section, key, def);
    return S_FALSE;
  } catch (...) {
    *value = def;
    return E_FAIL;
  }
}

HRESULT MDCALL TINIWriter::WriteInteger(const char16_t* section, const char16_t* key,
                                        int32_t value) {
  return MDGuard([&]() -> HRESULT {
    if (!IsWellFormed(section) || !IsWellFormed(key)) return E_UNEXPECTED;
    return Write(section, key, std::to_string(value)) ? S_OK : E_UNEXPECTED;
  });
}

HRESULT MDCALL TINIWriter::ReadBool(const char16_t* section, const char16_t* key, BOOL32 def,
                                    BOOL32* value) {
  if (!value) return E_FAIL;
  try {
    *value = ReadIntegerOrThrow(section, key, def ? 1 : 0) ? MD_TRUE : MD_FALSE;
    return S_FALSE;
  } catch (...) {
    *value = def;
    return E_FAIL;
  }
}

HRESULT MDCALL TINIWriter::WriteBool(const char16_t* section, const char16_t* key, BOOL32 value) {
  return MDGuard([&]() -> HRESULT {
    if (!IsWellFormed(section) || !IsWellFormed(key)) return E_UNEXPECTED;
    return Write(section, key, value ? "1" : "0") ? S_OK : E_UNEXPECTED;
  });
}

int32_t TINIWriter::ReadIntegerOrThrow(const char16_t* section, const char16_t* key,
                                       int32_t def) const {
  if (FPath.empty()) throw std::runtime_error("no settings file");
  const auto stored = TMDIniFile(FPath).ReadString(MDToUtf8(section), MDToUtf8(key));
  if (!stored) return def;
  return ParseInteger(*stored).value_or(def);
}

bool TINIWriter::Write(const char16_t* section, const char16_t* key,
                       const std::string& value) const {
  if (FPath.empty()) return false;
  return TMDIniFile(FPath).WriteString(MDToUtf8(section), MDToUtf8(key), value);
}
