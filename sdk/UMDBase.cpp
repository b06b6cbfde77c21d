// UMDBase.cpp - base objects, locks, events, the message queue and helpers.
#include "UMDBase.h"

#include <glob.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <new>

// ---------------------------------------------------------------------------------------------
// Object bases
// ---------------------------------------------------------------------------------------------

HRESULT MDCALL TBaseObject::QueryInterface(const GUID& iid, void** obj) {
  return MDQueryGuard(obj, [&]() -> HRESULT {
    if (iid == IID_IUnknown) return MDHandOut<IUnknown>(this, obj);
    *obj = nullptr;
    return E_NOINTERFACE;
  });
}

HRESULT MDCALL TMDComObject::QueryInterface(const GUID& iid, void** obj) {
  return MDQueryGuard(obj, [&]() -> HRESULT {
    if (iid == IID_IUnknown) return MDHandOut<IUnknown>(this, obj);
    *obj = nullptr;
    return E_NOINTERFACE;
  });
}

uint32_t MDCALL TMDComObject::AddRef() {
  return static_cast<uint32_t>(FRefCount.fetch_add(1, std::memory_order_relaxed) + 1);
}

uint32_t MDCALL TMDComObject::Release() {
  const int32_t count = FRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (count == 0) delete this;
  return static_cast<uint32_t>(count);
}

// ---------------------------------------------------------------------------------------------
// TEvent
// ---------------------------------------------------------------------------------------------

TEvent::TEvent(bool manualReset, std::shared_ptr<TEventHub> hub)
    : FHub(hub ? std::move(hub) : std::make_shared<TEventHub>()), FManualReset(manualReset) {}

void TEvent::Set() {
  {
    std::lock_guard<std::mutex> guard(FHub->Mutex);
    FSignalled = true;
  }
  FHub->Changed.notify_all();
}

void TEvent::Reset() {
  std::lock_guard<std::mutex> guard(FHub->Mutex);
  FSignalled = false;
}

bool TEvent::IsSet() const {
  std::lock_guard<std::mutex> guard(FHub->Mutex);
  return FSignalled;
}

bool TEvent::Consume_unlocked() {
  if (!FSignalled) return false;
  if (!FManualReset) FSignalled = false;
  return true;
}

bool TEvent::Wait(int timeoutMs) { return WaitAny({this}, timeoutMs) == 0; }

int TEvent::WaitAny(std::initializer_list<TEvent*> events, int timeoutMs) {
  if (events.size() == 0) return -1;
  TEventHub& hub = *(*events.begin())->FHub;
  std::unique_lock<std::mutex> lock(hub.Mutex);
  int found = -1;
  auto ready = [&] {
    int i = 0;
    for (TEvent* e : events) {
      if (e->Consume_unlocked()) {
        found = i;
        return true;
      }
      ++i;
    }
    return false;
  };
  if (timeoutMs < 0) {
    hub.Changed.wait(lock, ready);
  } else if (!hub.Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
    return -1;
  }
  return found;
}

// ---------------------------------------------------------------------------------------------
// TThreadCommandQueue
//
// Threading: Post from any thread; Take from the one consumer thread. Posters append to
// FIncoming under FMutex and signal only when they find it empty; the consumer swaps the whole
// batch out in one lock (clearing the signal there, so no wake-up is lost) and then hands the
// messages out from FTaking without any lock. Messages are stored by value in two reused
// buffers, so posting allocates only when a buffer grows. Once terminated, Take answers 1 at
// once; whatever is still queued is dropped with the queue.
// ---------------------------------------------------------------------------------------------

TThreadCommandQueue::TThreadCommandQueue()
    : FHub(std::make_shared<TEventHub>()), FNotEmpty(true, FHub), FTerminate(true, FHub) {}

TThreadCommandQueue::~TThreadCommandQueue() = default;

void TThreadCommandQueue::Post(const TMDMessage* msg) {
  bool wasEmpty;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    FIncoming.push_back(*msg);
    wasEmpty = FIncoming.size() == 1;
  }
  if (wasEmpty) FNotEmpty.Set();
}

int32_t TThreadCommandQueue::Take(TMDMessage* msg) {
  if (FTerminated.load(std::memory_order_acquire)) return 1;
  if (FNext < FTaking.size()) {
    *msg = FTaking[FNext++];
    return 0;
  }
  if (TEvent::WaitAny({&FTerminate, &FNotEmpty}) == 0) return 1;
  {
    std::lock_guard<std::mutex> guard(FMutex);
    FTaking.clear();
    FNext = 0;
    FTaking.swap(FIncoming);
    FNotEmpty.Reset();
  }
  if (FTaking.empty()) return E_FAIL;
  *msg = FTaking[FNext++];
  return 0;
}

void TThreadCommandQueue::Terminate() {
  FTerminated.store(true, std::memory_order_release);
  FTerminate.Set();
}

// ---------------------------------------------------------------------------------------------
// Files and texts
// ---------------------------------------------------------------------------------------------

namespace {
// Resolves wild cards (* ?) to the first match in name order; "" when nothing matches.
std::string FirstMatch(const std::string& path) {
  if (path.find_first_of("*?") == std::string::npos) return path;
  glob_t g{};
  const int rc = ::glob(path.c_str(), GLOB_NOSORT | GLOB_NOESCAPE, nullptr, &g);
  std::string first;
  if (rc == 0) {
    for (size_t i = 0; i < g.gl_pathc; ++i)
      if (first.empty() || std::string(g.gl_pathv[i]) < first) first = g.gl_pathv[i];
  }
  ::globfree(&g);
  return first;
}

// stat of a file that is not a directory.
bool StatFile(const std::string& utf8Path, struct stat* st) {
  const std::string path = FirstMatch(utf8Path);
  return !path.empty() && ::stat(path.c_str(), st) == 0 && !S_ISDIR(st->st_mode);
}
}  // namespace

int32_t FileAge(const std::string& utf8Path) {
  struct stat st {};
  if (!StatFile(utf8Path, &st)) return -1;
  const time_t t = st.st_mtim.tv_sec;
  struct tm local {};
  if (!::localtime_r(&t, &local)) return -1;
  const int year = local.tm_year + 1900;
  if (year < 1980 || year > 2107) return -1;
  const uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | ((local.tm_mon + 1) << 5) |
                                              local.tm_mday);
  const uint32_t time = static_cast<uint32_t>((local.tm_hour << 11) | (local.tm_min << 5) |
                                              (local.tm_sec / 2));
  return static_cast<int32_t>(date << 16 | time);
}

int32_t FileAge(const char16_t* path) { return path ? FileAge(MDToUtf8(path)) : -1; }
// A file whose time stamp lies outside the DOS range (a reproducible build's 1970, say) still
// exists: existence does not hang on the time conversion.
bool FileExists(const std::string& utf8Path) {
  struct stat st {};
  return StatFile(utf8Path, &st);
}
bool FileExists(const char16_t* path) { return path && FileExists(MDToUtf8(path)); }

void StripSpaces(std::u16string& text) { std::erase(text, u' '); }

size_t MDStrLen(const char16_t* text) {
  if (!text) return 0;
  size_t n = 0;
  while (text[n]) ++n;
  return n;
}

namespace {
void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendUtf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  }
}
}  // namespace

std::string MDToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        ++i;
      } else {
        c = 0xFFFD;
      }
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::string MDToUtf8(const char16_t* text) {
  return text ? MDToUtf8(std::u16string_view(text, MDStrLen(text))) : std::string();
}

std::u16string MDToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    char32_t c = 0xFFFD;
    size_t len = 1;
    if (b < 0x80) {
      c = b;
    } else if ((b >> 5) == 0x6) {
      len = 2;
    } else if ((b >> 4) == 0xE) {
      len = 3;
    } else if ((b >> 3) == 0x1E) {
      len = 4;
    }
    if (len > 1) {
      bool ok = i + len <= text.size();
      char32_t v = b & (0x7F >> len);
      for (size_t k = 1; ok && k < len; ++k) {
        const auto cb = static_cast<unsigned char>(text[i + k]);
        if ((cb & 0xC0) != 0x80) ok = false;
        v = (v << 6) | (cb & 0x3F);
      }
      static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
      if (ok && v >= kMin[len] && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
        c = v;
      } else {
        len = 1;
        c = 0xFFFD;
      }
    }
    AppendUtf16(out, c);
    i += len;
  }
  return out;
}
