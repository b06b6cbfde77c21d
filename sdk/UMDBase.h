// UMDBase.h - base objects, locks, events, the message queue and small helpers shared by the
// host and every plug-in (link the `mdsdk` static library).
//
// Threads
//   - TMDComObject::AddRef/Release are atomic and may be called from any thread; exactly one
//     Release (the one whose decrement reached 0) destroys the object.
//   - TLock is re-entrant. TEvent may be set, reset and waited on from any thread.
//   - TThreadCommandQueue: any number of threads Post; exactly one thread calls Take.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "UMDTypes.h"

// ---------------------------------------------------------------------------------------------
// Object bases
// ---------------------------------------------------------------------------------------------

// Base of objects whose lifetime one owner controls (the kernel, the control panel, the module
// loader, the binder). AddRef and Release do nothing and answer 1; the owner deletes it.
class TBaseObject : public IUnknown {
 public:
  TBaseObject() = default;
  TBaseObject(const TBaseObject&) = delete;
  TBaseObject& operator=(const TBaseObject&) = delete;
  virtual ~TBaseObject() = default;

  // Answers IUnknown; anything else: nil and E_NOINTERFACE. Subclasses test their own GUIDs
  // first and pass the rest here.
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  uint32_t MDCALL AddRef() override { return 1; }
  uint32_t MDCALL Release() override { return 1; }
};

// Base of reference-counted objects. The count starts at 0; the QueryInterface that hands the
// object out gives the first reference, and the Release that brings it back to 0 deletes it.
// An object whose first QueryInterface failed was never counted: its creator deletes it (hold it
// in a std::unique_ptr until the hand-out succeeded, then release the unique_ptr).
class TMDComObject : public IUnknown {
 public:
  TMDComObject() = default;
  TMDComObject(const TMDComObject&) = delete;
  TMDComObject& operator=(const TMDComObject&) = delete;
  virtual ~TMDComObject() = default;

  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  uint32_t MDCALL AddRef() override;
  uint32_t MDCALL Release() override;

  int32_t RefCount() const { return FRefCount.load(std::memory_order_acquire); }

 private:
  std::atomic<int32_t> FRefCount{0};
};

// Joins a base (TBaseObject or TMDComObject, or a subclass of them) with the contract
// interfaces an object implements, routing every interface's IUnknown slots to the base, so an
// object has one identity and one count whichever interface is used.
template <class Base, class... Interfaces>
class TMDComImpl : public Base, public Interfaces... {
 public:
  using Base::Base;
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return Base::QueryInterface(iid, obj);
  }
  uint32_t MDCALL AddRef() override { return Base::AddRef(); }
  uint32_t MDCALL Release() override { return Base::Release(); }
};

// QueryInterface helper: hands out `self` as interface I with one reference.
template <class I, class T>
inline HRESULT MDHandOut(T* self, void** obj) {
  I* itf = static_cast<I*>(self);
  itf->AddRef();
  *obj = itf;
  return S_OK;
}

// Runs a QueryInterface body; an exception becomes E_OUTOFMEMORY with a nil out pointer.
template <class F>
inline HRESULT MDQueryGuard(void** obj, F&& body) noexcept {
  if (obj == nullptr) return E_POINTER;
  try {
    return body();
  } catch (...) {
    *obj = nullptr;
    return E_OUTOFMEMORY;
  }
}

// Runs a method body; an exception becomes `onError` (E_UNEXPECTED unless stated otherwise).
template <class F>
inline HRESULT MDGuard(F&& body, HRESULT onError = E_UNEXPECTED) noexcept {
  try {
    return body();
  } catch (...) {
    return onError;
  }
}

// ---------------------------------------------------------------------------------------------
// TComPtr: owns one reference to a contract interface.
// ---------------------------------------------------------------------------------------------

template <class T>
class TComPtr {
 public:
  TComPtr() = default;
  TComPtr(std::nullptr_t) {}
  // Adds a reference of its own.
  explicit TComPtr(T* p) : FPtr(p) {
    if (FPtr) FPtr->AddRef();
  }
  TComPtr(const TComPtr& o) : TComPtr(o.FPtr) {}
  TComPtr(TComPtr&& o) noexcept : FPtr(std::exchange(o.FPtr, nullptr)) {}
  ~TComPtr() { Reset(); }
  TComPtr& operator=(const TComPtr& o) {
    TComPtr(o).Swap(*this);
    return *this;
  }
  TComPtr& operator=(TComPtr&& o) noexcept {
    TComPtr(std::move(o)).Swap(*this);
    return *this;
  }
  TComPtr& operator=(std::nullptr_t) {
    Reset();
    return *this;
  }

  // Takes over a reference the caller already holds (an out-argument's).
  static TComPtr Adopt(T* p) {
    TComPtr r;
    r.FPtr = p;
    return r;
  }
  // QueryInterface `from` for T; nil when refused.
  template <class U>
  static TComPtr Query(U* from) {
    TComPtr r;
    if (from) {
      void* out = nullptr;
      if (MD_SUCCEEDED(from->QueryInterface(MDIID<T>::value, &out)) && out)
        r.FPtr = static_cast<T*>(out);
    }
    return r;
  }

  void Reset() {
    if (T* p = std::exchange(FPtr, nullptr)) p->Release();
  }
  // Gives up the reference without releasing it.
  T* Detach() { return std::exchange(FPtr, nullptr); }
  // Releases what is held and returns the slot for an out-argument.
  void** PutVoid() {
    Reset();
    return reinterpret_cast<void**>(&FPtr);
  }
  T** Put() {
    Reset();
    return &FPtr;
  }
  void Swap(TComPtr& o) noexcept { std::swap(FPtr, o.FPtr); }

  T* Get() const { return FPtr; }
  T* operator->() const { return FPtr; }
  explicit operator bool() const { return FPtr != nullptr; }

 private:
  T* FPtr = nullptr;
};

// ---------------------------------------------------------------------------------------------
// TLock and TEvent
// ---------------------------------------------------------------------------------------------

// A re-entrant lock: the holder may enter again and leaves as often as it entered.
// Also a BasicLockable, so std::lock_guard / std::unique_lock work with it.
class TLock {
 public:
  void Enter() { FMutex.lock(); }
  void Leave() { FMutex.unlock(); }
  void lock() { FMutex.lock(); }
  void unlock() { FMutex.unlock(); }
  bool try_lock() { return FMutex.try_lock(); }

 private:
  std::recursive_mutex FMutex;
};

// Events that can be waited on together share one hub (its mutex and condition variable).
class TEventHub {
 public:
  std::mutex Mutex;
  std::condition_variable Changed;
};

// A manual- or auto-reset event, not signalled at construction. Events that are to be waited
// on together (TEvent::WaitAny) must be built on the same hub.
class TEvent {
 public:
  explicit TEvent(bool manualReset, std::shared_ptr<TEventHub> hub = nullptr);
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // Waits until signalled; an auto-reset event is cleared by the wait that it ends.
  // timeoutMs < 0 waits without limit. Returns false on time-out.
  bool Wait(int timeoutMs = -1);
  // Waits until one of the events (all on one hub) is signalled and returns the index of the
  // first signalled one in list order, or -1 on time-out.
  static int WaitAny(std::initializer_list<TEvent*> events, int timeoutMs = -1);

  // Identifies the event for waiting (never 0 once constructed).
  uintptr_t Handle() const { return reinterpret_cast<uintptr_t>(this); }

 private:
  bool Consume_unlocked();  // hub mutex held

  std::shared_ptr<TEventHub> FHub;
  bool FManualReset;
  bool FSignalled = false;  // guarded by FHub->Mutex
};

// ---------------------------------------------------------------------------------------------
// TThreadCommandQueue: many posting threads, one consuming thread.
// ---------------------------------------------------------------------------------------------

class TThreadCommandQueue {
 public:
  TThreadCommandQueue();
  ~TThreadCommandQueue();  // frees every message still queued
  TThreadCommandQueue(const TThreadCommandQueue&) = delete;
  TThreadCommandQueue& operator=(const TThreadCommandQueue&) = delete;

  // Appends a copy. Any thread. Raises std::bad_alloc with the queue unchanged.
  void Post(const TMDMessage* msg);
  // The consuming thread only. Blocks until there is a message or the queue is terminated.
  // Returns 0 with the message copied out, 1 once terminated (whatever is queued), E_FAIL when
  // woken with nothing to take.
  int32_t Take(TMDMessage* msg);
  // Every Take from now on returns 1 at once.
  void Terminate();

 private:
  // Posters append to FIncoming under FMutex; the consumer swaps the whole batch out in one
  // lock and then hands it out from FTaking without any lock.
  std::mutex FMutex;
  std::vector<TMDMessage> FIncoming;  // guarded by FMutex
  std::vector<TMDMessage> FTaking;    // consumer only
  size_t FNext = 0;                   // consumer only
  std::atomic<bool> FTerminated{false};
  std::shared_ptr<TEventHub> FHub;
  TEvent FNotEmpty;   // manual reset: set by the post that finds FIncoming empty
  TEvent FTerminate;  // manual reset: set once, never cleared
};

// ---------------------------------------------------------------------------------------------
// Files and texts
// ---------------------------------------------------------------------------------------------

// The file's last-write time in local time, packed as a DOS date-time (date in the upper 16
// bits). -1 for no such file, a directory, or a time outside 1980..2107. A path with wild cards
// (* ?) takes its first match in name order.
int32_t FileAge(const char16_t* path);
int32_t FileAge(const std::string& utf8Path);
// True for a file (or a link to one) that is not a directory, whatever its time stamp.
bool FileExists(const char16_t* path);
bool FileExists(const std::string& utf8Path);
// Deletes every blank (U+0020) in place; other white space stays.
void StripSpaces(std::u16string& text);

// UTF-16 <-> UTF-8. Unpaired surrogates and malformed bytes become U+FFFD.
std::string MDToUtf8(std::u16string_view text);
std::string MDToUtf8(const char16_t* text);  // nil -> ""
std::u16string MDToUtf16(std::string_view text);

// Length of a zero-terminated UTF-16 text; 0 for nil.
size_t MDStrLen(const char16_t* text);
