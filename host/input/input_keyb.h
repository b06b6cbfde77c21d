// input_keyb.h - the keyboard input module: names key presses and reports them as source
// "Keyboard".
//
// A key press arrives as the pair of a Windows key-down message: the virtual-key code and the
// message's flags word (bit 29 set while Alt is held). The module names the key from the
// key-name table and puts the modifiers in front: "Ctrl + " if Ctrl is down, then "Shift + ",
// then "Alt + ", so a name reads "Alt + Shift + Ctrl + F5". Shift and Ctrl come from the
// key-state query of the calling thread (UMDKeyState.h), Alt from bit 29. The Shift and Ctrl
// keys themselves (16, 17) are not reported.
//
// Threads: HandleInput runs on the caller's thread (the binder calls it under its own lock) and
// keeps no state between calls.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "input/UMDInputModule.h"

// Bit 29 of a key-down message's flags: Alt was held.
inline constexpr int32_t MD_KEYDATA_ALT = 0x20000000;

struct TMDKeyName {
  uint32_t Code;
  const char16_t* Name;
};

// Every virtual-key code that has a name of its own, in code order.
std::span<const TMDKeyName> MDKeyNameTable();
// The name of a key without modifiers: the table's name, or else the one character whose
// UTF-16 value is the low 16 bits of the code (an empty text when those are 0).
std::u16string MDKeyName(uint32_t keyCode);
// The full input name of a key press with the given modifiers.
std::u16string MDInputName(uint32_t keyCode, bool shift, bool ctrl, bool alt);

// The keyboard module's description: "Keyboard", version 1.0.0.0, CreateKeyboardInput.
extern const TMDInputInfo KeyboardInputInfo;

class TKeyboardInput final : public TMDComImpl<TMDInputModule, IMDInputSink> {
 public:
  using TMDComImpl::TMDComImpl;

  // Answers IMDInputSink, then IMDInputModule, then IUnknown.
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override;
  // Names the key and reports it to the binder; S_OK always.
  HRESULT MDCALL HandleInput(uint32_t keyCode, int32_t keyData) override;
};

// The keyboard's factory (TMDCreateFunc): owner must answer IMDActionInput.
HRESULT MDCALL CreateKeyboardInput(IUnknown* owner, const GUID* iid, void** obj);
