// UMDKeyState.h - the key-state query for the Shift and Ctrl keys.
//
// The keyboard input module reads Shift and Ctrl at the moment a key is handed to it, the way
// a Windows program asks GetKeyState. The X server reports no held keys for synthetic events,
// so the host answers the query with the modifiers of the key event that it is handing over:
// whoever passes a key press to the kernel's IMDInputSink sets them for its own thread for the
// duration of the call (TMDKeyStateScope). When no thread setting is in force the query asks
// the provider that the Qt shell installs (Qt's keyboard modifiers); with no provider no key is
// down.
//
// Threads
//   - The setting is per thread, like the Windows key state: a scope on one thread is never
//     seen by another.
//   - The provider is installed on the main thread at start-up and may be read from any thread
//     (an atomic pointer); the provider itself must be callable from the threads that hand
//     over keys.
#pragma once

#include <cstdint>

inline constexpr int32_t MD_VK_SHIFT = 16;
inline constexpr int32_t MD_VK_CONTROL = 17;
inline constexpr int32_t MD_VK_MENU = 18;  // Alt

// Modifier bits of a setting or of the provider's answer.
inline constexpr uint32_t MDKS_SHIFT = 1;
inline constexpr uint32_t MDKS_CTRL = 2;

// As GetKeyState: the high bit (the value is negative) while the key is down. Answers for the
// Shift and Ctrl keys; every other key reads as up.
int16_t MDGetKeyState(int32_t virtualKey);

// Where the query looks when this thread has no setting. nil: no key is down.
using TMDKeyStateProvider = uint32_t (*)();
void MDSetKeyStateProvider(TMDKeyStateProvider provider);

// Sets this thread's Shift and Ctrl (MDKS_ bits) and restores what was set before when it ends.
class TMDKeyStateScope {
 public:
  explicit TMDKeyStateScope(uint32_t modifiers);
  ~TMDKeyStateScope();
  TMDKeyStateScope(const TMDKeyStateScope&) = delete;
  TMDKeyStateScope& operator=(const TMDKeyStateScope&) = delete;

 private:
  bool FHadSetting;
  uint32_t FPrevious;
};
