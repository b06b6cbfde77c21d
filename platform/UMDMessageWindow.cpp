// UMDMessageWindow.cpp - hidden message windows over GLib main contexts.
//
// A window is a record in a process-wide table keyed by its handle. Posting attaches an idle
// source carrying the message to the window's main context; when the context dispatches it, the
// source looks the handle up again and calls the procedure only if the window still exists, so a
// destroyed window's queued messages fall on the floor.
//
// Threads: the table is guarded by WindowsMutex (held only for lookups and edits, never while a
// procedure runs). A window's procedure runs on the thread iterating its context.
#include <glib.h>

#include <map>
#include <memory>
#include <mutex>

#include "UMDPlatform.h"

namespace {

struct TWindow {
  TMDWindowProc Proc;
  GMainContext* Context;  // one reference
  ~TWindow() { g_main_context_unref(Context); }
};

std::mutex WindowsMutex;
std::map<MDHANDLE, std::shared_ptr<TWindow>> Windows;  // guarded by WindowsMutex
MDHANDLE NextHandle = 0x10000;                         // guarded by WindowsMutex

std::shared_ptr<TWindow> FindWindow(MDHANDLE handle) {
  std::lock_guard<std::mutex> g(WindowsMutex);
  auto it = Windows.find(handle);
  return it == Windows.end() ? nullptr : it->second;
}

struct TPosted {
  MDHANDLE Window;
  uint32_t Msg;
  uintptr_t WParam;
  intptr_t LParam;
};

gboolean DispatchPosted(gpointer data) {
  auto* p = static_cast<TPosted*>(data);
  if (auto w = FindWindow(p->Window)) {
    try {
      w->Proc(p->Msg, p->WParam, p->LParam);
    } catch (...) {
      // A window procedure has nobody to report to; the message is done with.
    }
  }
  return G_SOURCE_REMOVE;
}

void FreePosted(gpointer data) { delete static_cast<TPosted*>(data); }

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
  std::lock_guard<std::mutex> g(WindowsMutex);
  auto it = Windows.find(window);
  if (it == Windows.end()) return;
  dead = std::move(it->second);
  Windows.erase(it);
}

bool MDPostMessage(MDHANDLE window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  auto w = FindWindow(window);
  if (!w) return false;
  GSource* src = g_idle_source_new();
  g_source_set_priority(src, G_PRIORITY_DEFAULT);
  g_source_set_callback(src, DispatchPosted, new TPosted{window, msg, wParam, lParam}, FreePosted);
  g_source_attach(src, w->Context);  // wakes the context
  g_source_unref(src);
  return true;
}

intptr_t MDSendMessage(MDHANDLE window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  auto w = FindWindow(window);
  return w ? w->Proc(msg, wParam, lParam) : 0;
}
