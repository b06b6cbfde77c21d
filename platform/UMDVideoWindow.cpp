// UMDVideoWindow.cpp - the video renderer's X11 window.
#include "UMDVideoWindow.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <cstdlib>

namespace {

// The owner may destroy its window (and with it ours) at any time; an X error on our own
// connection must not end the process, as Xlib's default handler would.
int (*PreviousHandler)(Display*, XErrorEvent*) = nullptr;
std::mutex HandlerLock;
int OurDisplays = 0;  // guarded by HandlerLock

int IgnoreErrors(Display* d, XErrorEvent* e) { return 0; }

void InstallHandler() {
  std::lock_guard<std::mutex> g(HandlerLock);
  if (OurDisplays++ == 0) PreviousHandler = XSetErrorHandler(IgnoreErrors);
}
void RemoveHandler() {
  std::lock_guard<std::mutex> g(HandlerLock);
  if (--OurDisplays == 0) XSetErrorHandler(PreviousHandler);
}

}  // namespace

TMDVideoWindow::TMDVideoWindow(std::function<void()> onUserClose)
    : FOnUserClose(std::move(onUserClose)) {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) return;
  Display* d = XOpenDisplay(name);
  if (!d) return;
  InstallHandler();
  FDisplay = d;
  FRoot = DefaultRootWindow(d);
  XSetWindowAttributes a{};
  a.background_pixel = BlackPixel(d, DefaultScreen(d));
  a.event_mask = StructureNotifyMask;
  FWindow = XCreateWindow(d, FRoot, FLeft, FTop, FWidth, FHeight, 0, CopyFromParent, InputOutput,
                          CopyFromParent, CWBackPixel | CWEventMask, &a);
  XStoreName(d, FWindow, "Midavo Video");
  Atom del = XInternAtom(d, "WM_DELETE_WINDOW", False);
  FDeleteAtom = del;
  XSetWMProtocols(d, FWindow, &del, 1);
  XSync(d, False);
  FEvents = std::thread([this] { EventLoop(); });
}

TMDVideoWindow::~TMDVideoWindow() {
  FStop = true;
  if (FEvents.joinable()) FEvents.join();
  if (FDisplay) {
    auto* d = static_cast<Display*>(FDisplay);
    XDestroyWindow(d, FWindow);
    XSync(d, False);
    XCloseDisplay(d);
    RemoveHandler();
  }
}

void TMDVideoWindow::EventLoop() {
  auto* d = static_cast<Display*>(FDisplay);
  pollfd p{ConnectionNumber(d), POLLIN, 0};
  while (!FStop) {
    poll(&p, 1, 50);
    bool closed = false;
    {
      std::lock_guard<std::mutex> g(FLock);
      while (XPending(d) > 0) {
        XEvent e;
        XNextEvent(d, &e);
        if (e.type == ClientMessage && static_cast<Atom>(e.xclient.data.l[0]) == FDeleteAtom) {
          XUnmapWindow(d, FWindow);
          XFlush(d);
          FVisible = false;
          closed = true;
        }
      }
    }
    if (closed && FOnUserClose) FOnUserClose();
  }
}

void TMDVideoWindow::ApplyGeometry_unlocked() {
  if (!FDisplay) return;
  auto* d = static_cast<Display*>(FDisplay);
  XMoveResizeWindow(d, FWindow, FLeft, FTop, FWidth > 0 ? FWidth : 1, FHeight > 0 ? FHeight : 1);
  XFlush(d);
}

void TMDVideoWindow::SetVideoSize(int width, int height) {
  std::lock_guard<std::mutex> g(FLock);
  if (FPositionSet || width <= 0 || height <= 0) return;
  FWidth = width;
  FHeight = height;
  ApplyGeometry_unlocked();
}

void TMDVideoWindow::SetStyle(int32_t style) {
  std::lock_guard<std::mutex> g(FLock);
  FStyle = style;
}

void TMDVideoWindow::SetAutoShow(bool autoShow) {
  std::lock_guard<std::mutex> g(FLock);
  FAutoShow = autoShow;
}

bool TMDVideoWindow::AutoShow() {
  std::lock_guard<std::mutex> g(FLock);
  return FAutoShow;
}

void TMDVideoWindow::SetVisible(bool visible) {
  std::lock_guard<std::mutex> g(FLock);
  FVisible = visible;
  if (!FDisplay) return;
  auto* d = static_cast<Display*>(FDisplay);
  if (visible)
    XMapRaised(d, FWindow);
  else
    XUnmapWindow(d, FWindow);
  XFlush(d);
}

bool TMDVideoWindow::Visible() {
  std::lock_guard<std::mutex> g(FLock);
  return FVisible;
}

void TMDVideoWindow::SetOwner(uintptr_t owner) {
  std::lock_guard<std::mutex> g(FLock);
  FOwner = owner;
  if (!FDisplay) return;
  auto* d = static_cast<Display*>(FDisplay);
  XReparentWindow(d, FWindow, owner ? owner : FRoot, FLeft, FTop);
  if (FVisible) XMapRaised(d, FWindow);
  XSync(d, False);
}

uintptr_t TMDVideoWindow::Owner() {
  std::lock_guard<std::mutex> g(FLock);
  return FOwner;
}

void TMDVideoWindow::SetDrain(uintptr_t drain) {
  std::lock_guard<std::mutex> g(FLock);
  FDrain = drain;
}

void TMDVideoWindow::SetPosition(int left, int top, int width, int height) {
  std::lock_guard<std::mutex> g(FLock);
  FLeft = left;
  FTop = top;
  FWidth = width;
  FHeight = height;
  FPositionSet = true;
  ApplyGeometry_unlocked();
}

void TMDVideoWindow::GetPosition(int* left, int* top, int* width, int* height) {
  std::lock_guard<std::mutex> g(FLock);
  *left = FLeft;
  *top = FTop;
  *width = FWidth;
  *height = FHeight;
}
