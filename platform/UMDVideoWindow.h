// UMDVideoWindow.h - the video renderer's window: an X11 window of its own that the overlay
// sink draws into, placed inside the owner window (or on its own at the top level).
//
// Threads: every method may be called from any thread; FLock guards the fields and the X
// connection, which only this object uses. A thread of its own watches the connection for the
// window manager's close request and calls OnUserClose (without FLock held).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <atomic>

class TMDVideoWindow {
 public:
  // Opens a connection to the X server named by DISPLAY; without one the window only keeps
  // its properties (Handle() is 0).
  explicit TMDVideoWindow(std::function<void()> onUserClose);
  ~TMDVideoWindow();
  TMDVideoWindow(const TMDVideoWindow&) = delete;
  TMDVideoWindow& operator=(const TMDVideoWindow&) = delete;

  uintptr_t Handle() const { return FWindow; }
  // The picture size, once known: the window takes it unless a position was set.
  void SetVideoSize(int width, int height);

  void SetStyle(int32_t style);
  void SetAutoShow(bool autoShow);
  bool AutoShow();
  void SetVisible(bool visible);
  bool Visible();
  void SetOwner(uintptr_t owner);
  uintptr_t Owner();
  void SetDrain(uintptr_t drain);
  void SetPosition(int left, int top, int width, int height);
  void GetPosition(int* left, int* top, int* width, int* height);

 private:
  void EventLoop();
  void ApplyGeometry_unlocked();

  std::function<void()> FOnUserClose;
  std::mutex FLock;
  void* FDisplay = nullptr;  // Display*, guarded by FLock
  uintptr_t FWindow = 0;     // set at construction
  uintptr_t FRoot = 0;
  uintptr_t FDeleteAtom = 0;
  uintptr_t FOwner = 0;  // the fields below are guarded by FLock
  uintptr_t FDrain = 0;
  int32_t FStyle = 0;
  bool FAutoShow = true;
  bool FVisible = false;
  bool FPositionSet = false;
  int FLeft = 0, FTop = 0, FWidth = 320, FHeight = 240;
  std::atomic<bool> FStop{false};
  std::thread FEvents;
};
