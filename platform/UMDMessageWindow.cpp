// UMDMessageWindow.cpp - hidden message windows over GLib main contexts.
//
// A window is a record in a process-wide table keyed by its handle, with a queue of posted
// messages. Posting appends to the queue and, when the queue was idle, attaches an idle source
// to the window's main context that carries only the handle; when the context dispatches it, the
// handle is looked up again and the queued messages are handed to the procedure in posting
// order, so a destroyed window's messages fall on the floor. Destroying a window also destroys
// its pending idle source: the source's callback is code of this library, which may be unloaded
// before the context runs again.
//
// Threads: the table is guarded by WindowsMutex, each queue by its window's QueueLock; neither
// is held while a procedure runs. A window's procedure runs on the thread iterating its context.
#include <glib.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "UMDPlatform.h"

namespace {

struct TPosted {
  uint32_t Msg;
  uintptr_t WParam;
  intptr_t LParam;
};

struct TWindow {
  TMDWindowProc Proc;
  GMainContext* Context;  // one reference
  std::mutex QueueLock;
  std::deque<TPosted> Queue;  // guarded by QueueLock
  bool Scheduled = false;     // an idle source is attached; guarded by QueueLock
  GSource* Pending = nullptr;  // that source (one reference); guarded by QueueLock
  bool Dead = false;           // deallocated: nothing is scheduled any more; guarded by QueueLock
  ~TWindow() {
    if (Pending) g_source_unref(Pending);
    g_main_context_unref(Context);
  }
};

std::mutex WindowsMutex;
std::map<MDHANDLE, std::shared_ptr<TWindow>> Windows;  // guarded by WindowsMutex
MDHANDLE NextHandle = 0x10000;                         // guarded by WindowsMutex

std::shared_ptr<TWindow> FindWindow(MDHANDLE handle) {
  std::lock_guard<std::mutex> g(WindowsMutex);
  auto it = Windows.find(handle);
  return it == Windows.end() ? nullptr : it->second;
}

gboolean DispatchPosted(gpointer data) {
  auto w = FindWindow(reinterpret_cast<MDHANDLE>(data));
  if (!w) return G_SOURCE_REMOVE;
  std::deque<TPosted> batch;
  {
    std::lock_guard<std::mutex> g(w->QueueLock);
    batch.swap(w->Queue);
    w->Scheduled = false;
    if (w->Pending) g_source_unref(w->Pending);
    w->Pending = nullptr;
  }
  for (const TPosted& p : batch) {
    try {
      w->Proc(p.Msg, p.WParam, p.LParam);
    } catch (...) {
      // A window procedure has nobody to report to; the message is done with.
    }
  }
  return G_SOURCE_REMOVE;
}

}  // namespace

MDHANDLE MDAllocateHWnd(TMDWindowProc proc) {
  auto w = std::make_shared<TWindow>();
  w->Proc = std::move(proc);
  w->Context = g_main_context_ref_thread_default();
  std::lock_guard<std::mutex> g(WindowsMutex);
  MDHANDLE h = NextHandle++;
  Windows.emplace(h, std::move(w));
  return h;
}

void MDDeallocateHWnd(MDHANDLE window) {
  std::shared_ptr<TWindow> dead;  // released outside the lock
  {
    std::lock_guard<std::mutex> g(WindowsMutex);
    auto it = Windows.find(window);
    if (it == Windows.end()) return;
    dead = std::move(it->second);
    Windows.erase(it);
  }
  std::lock_guard<std::mutex> g(dead->QueueLock);
  dead->Dead = true;
  dead->Queue.clear();
  if (dead->Pending) {
    g_source_destroy(dead->Pending);
    g_source_unref(dead->Pending);
    dead->Pending = nullptr;
  }
}

bool MDPostMessage(MDHANDLE window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  auto w = FindWindow(window);
  if (!w) return false;
  std::lock_guard<std::mutex> g(w->QueueLock);
  if (w->Dead) return false;
  w->Queue.push_back({msg, wParam, lParam});
  if (w->Scheduled) return true;
  w->Scheduled = true;
  // Attached under the queue lock, so a deallocation on the window's thread either sees the
  // source and destroys it or comes before it and stops it from being made.
  GSource* src = g_idle_source_new();
  g_source_set_priority(src, G_PRIORITY_DEFAULT);
  g_source_set_callback(src, DispatchPosted, reinterpret_cast<gpointer>(window), nullptr);
  g_source_attach(src, w->Context);  // wakes the context
  w->Pending = src;                  // keeps the reference
  return true;
}

intptr_t MDSendMessage(MDHANDLE window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  auto w = FindWindow(window);
  return w ? w->Proc(msg, wParam, lParam) : 0;
}
