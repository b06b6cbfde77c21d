// UMDQtKeys.h - Qt key presses as Windows key-down messages.
//
// The kernel's IMDInputSink takes key presses as the two words of a Windows key-down message:
// the virtual-key code and the flags word. This header turns a Qt key press into that pair,
// with one table from Qt key codes (and the keypad modifier) to virtual-key codes. It is
// header-only and needs nothing but Qt, so the host and plug-ins that own windows use the same
// translation.
//
// The flags word holds a repeat count of 1 (bits 0-15), the extended-key bit 24 for the
// navigation keys off the keypad and the keypad's Enter and "/", bit 29 while Alt is held and
// bit 30 for an auto-repeated press. As on Windows, a press with Alt held, the Alt key itself and
// F10 come as system keys (MD_WM_SYSKEYDOWN), which the host does not hand over. AltGr (a
// character shift on Linux layouts) has no virtual-key code.
//
// Shifted symbols are mapped back to the key that makes them on a US layout ("!" is the "1"
// key, ":" the ";" key), because Qt reports the symbol, not the key.
//
// Threads: pure functions.
#pragma once

#include <QKeyEvent>
#include <Qt>
#include <cstdint>

inline constexpr uint32_t MD_WM_KEYDOWN = 0x0100;
inline constexpr uint32_t MD_WM_SYSKEYDOWN = 0x0104;

// One key-down message.
struct TMDKeyDown {
  uint32_t Message = 0;     // MD_WM_KEYDOWN or MD_WM_SYSKEYDOWN
  uint32_t VirtualKey = 0;  // wParam
  int32_t Flags = 0;        // lParam
};

namespace MDQtKeys {

enum TPad : uint8_t { kMain, kPad, kAny };  // which presses an entry matches

struct TEntry {
  int Key;
  TPad Pad;
  uint16_t VirtualKey;
  bool Extended;  // bit 24 of the flags word
};

// clang-format off
inline constexpr TEntry kTable[] = {
    {Qt::Key_Backspace, kAny, 8, false},   {Qt::Key_Tab, kAny, 9, false},
    {Qt::Key_Backtab, kAny, 9, false},     {Qt::Key_Clear, kAny, 12, false},
    {Qt::Key_Return, kAny, 13, false},     {Qt::Key_Enter, kPad, 13, true},
    {Qt::Key_Enter, kMain, 13, false},     {Qt::Key_Shift, kAny, 16, false},
    {Qt::Key_Control, kAny, 17, false},    {Qt::Key_Alt, kAny, 18, false},
    {Qt::Key_Pause, kAny, 19, false},
    {Qt::Key_CapsLock, kAny, 20, false},   {Qt::Key_Escape, kAny, 27, false},
    {Qt::Key_Space, kAny, 32, false},
    // the navigation keys; on the keypad (Num Lock off) they are not extended
    {Qt::Key_PageUp, kMain, 33, true},     {Qt::Key_PageUp, kPad, 33, false},
    {Qt::Key_PageDown, kMain, 34, true},   {Qt::Key_PageDown, kPad, 34, false},
    {Qt::Key_End, kMain, 35, true},        {Qt::Key_End, kPad, 35, false},
    {Qt::Key_Home, kMain, 36, true},       {Qt::Key_Home, kPad, 36, false},
    {Qt::Key_Left, kMain, 37, true},       {Qt::Key_Left, kPad, 37, false},
    {Qt::Key_Up, kMain, 38, true},         {Qt::Key_Up, kPad, 38, false},
    {Qt::Key_Right, kMain, 39, true},      {Qt::Key_Right, kPad, 39, false},
    {Qt::Key_Down, kMain, 40, true},       {Qt::Key_Down, kPad, 40, false},
    {Qt::Key_Insert, kMain, 45, true},     {Qt::Key_Insert, kPad, 45, false},
    {Qt::Key_Delete, kMain, 46, true},     {Qt::Key_Delete, kPad, 46, false},
    {Qt::Key_Select, kAny, 41, false},     {Qt::Key_Printer, kAny, 42, false},
    {Qt::Key_Execute, kAny, 43, false},    {Qt::Key_Print, kAny, 44, true},
    {Qt::Key_Help, kAny, 47, false},
    // digits, and the US layout's symbols on them
    {Qt::Key_0, kMain, 0x30, false},       {Qt::Key_ParenRight, kMain, 0x30, false},
    {Qt::Key_1, kMain, 0x31, false},       {Qt::Key_Exclam, kMain, 0x31, false},
    {Qt::Key_2, kMain, 0x32, false},       {Qt::Key_At, kMain, 0x32, false},
    {Qt::Key_3, kMain, 0x33, false},       {Qt::Key_NumberSign, kMain, 0x33, false},
    {Qt::Key_4, kMain, 0x34, false},       {Qt::Key_Dollar, kMain, 0x34, false},
    {Qt::Key_5, kMain, 0x35, false},       {Qt::Key_Percent, kMain, 0x35, false},
    {Qt::Key_6, kMain, 0x36, false},       {Qt::Key_AsciiCircum, kMain, 0x36, false},
    {Qt::Key_7, kMain, 0x37, false},       {Qt::Key_Ampersand, kMain, 0x37, false},
    {Qt::Key_8, kMain, 0x38, false},       {Qt::Key_Asterisk, kMain, 0x38, false},
    {Qt::Key_9, kMain, 0x39, false},       {Qt::Key_ParenLeft, kMain, 0x39, false},
    {Qt::Key_Super_L, kAny, 91, true},     {Qt::Key_Meta, kAny, 91, true},
    {Qt::Key_Super_R, kAny, 92, true},     {Qt::Key_Menu, kAny, 93, true},
    // the keypad with Num Lock on
    {Qt::Key_0, kPad, 96, false},          {Qt::Key_1, kPad, 97, false},
    {Qt::Key_2, kPad, 98, false},          {Qt::Key_3, kPad, 99, false},
    {Qt::Key_4, kPad, 100, false},         {Qt::Key_5, kPad, 101, false},
    {Qt::Key_6, kPad, 102, false},         {Qt::Key_7, kPad, 103, false},
    {Qt::Key_8, kPad, 104, false},         {Qt::Key_9, kPad, 105, false},
    {Qt::Key_Asterisk, kPad, 106, false},  {Qt::Key_Plus, kPad, 107, false},
    {Qt::Key_Comma, kPad, 108, false},     {Qt::Key_Minus, kPad, 109, false},
    {Qt::Key_Period, kPad, 110, false},    {Qt::Key_Slash, kPad, 111, true},
    {Qt::Key_NumLock, kAny, 144, true},    {Qt::Key_ScrollLock, kAny, 145, false},
    // media keys
    {Qt::Key_VolumeMute, kAny, 173, true}, {Qt::Key_VolumeDown, kAny, 174, true},
    {Qt::Key_VolumeUp, kAny, 175, true},   {Qt::Key_MediaNext, kAny, 176, true},
    {Qt::Key_MediaPrevious, kAny, 177, true}, {Qt::Key_MediaStop, kAny, 178, true},
    {Qt::Key_MediaPlay, kAny, 179, true},  {Qt::Key_MediaTogglePlayPause, kAny, 179, true},
    // punctuation, and the US layout's shifted symbols on the same keys
    {Qt::Key_Semicolon, kMain, 186, false},    {Qt::Key_Colon, kMain, 186, false},
    {Qt::Key_Equal, kMain, 187, false},        {Qt::Key_Plus, kMain, 187, false},
    {Qt::Key_Comma, kMain, 188, false},        {Qt::Key_Less, kMain, 188, false},
    {Qt::Key_Minus, kMain, 189, false},        {Qt::Key_Underscore, kMain, 189, false},
    {Qt::Key_Period, kMain, 190, false},       {Qt::Key_Greater, kMain, 190, false},
    {Qt::Key_Slash, kMain, 191, false},        {Qt::Key_Question, kMain, 191, false},
    {Qt::Key_QuoteLeft, kMain, 192, false},    {Qt::Key_AsciiTilde, kMain, 192, false},
    {Qt::Key_BracketLeft, kMain, 219, false},  {Qt::Key_BraceLeft, kMain, 219, false},
    {Qt::Key_Backslash, kMain, 220, false},    {Qt::Key_Bar, kMain, 220, false},
    {Qt::Key_BracketRight, kMain, 221, false}, {Qt::Key_BraceRight, kMain, 221, false},
    {Qt::Key_Apostrophe, kMain, 222, false},   {Qt::Key_QuoteDbl, kMain, 222, false},
};
// clang-format on

// Letters and function keys are not in the table: they follow their code ranges.
inline const TEntry* Find(int key, bool keypad) {
  for (const TEntry& entry : kTable) {
    if (entry.Key != key) continue;
    if (entry.Pad == kAny || (entry.Pad == kPad) == keypad) return &entry;
  }
  return nullptr;
}

}  // namespace MDQtKeys

// The virtual-key code of a Qt key; `keypad` is whether the press carries Qt::KeypadModifier.
// 0 for a key that has none.
inline uint32_t MDQtKeyToVirtualKey(int key, bool keypad) {
  if (key >= Qt::Key_A && key <= Qt::Key_Z) return static_cast<uint32_t>(key);  // 0x41..0x5A
  if (key >= Qt::Key_F1 && key <= Qt::Key_F24) return 112 + static_cast<uint32_t>(key - Qt::Key_F1);
  const MDQtKeys::TEntry* entry = MDQtKeys::Find(key, keypad);
  return entry ? entry->VirtualKey : 0;
}

// The key-down message of a Qt key press. False for a key without a virtual-key code.
inline bool MDTranslateKeyPress(int key, Qt::KeyboardModifiers modifiers, bool autoRepeat,
                                TMDKeyDown* out) {
  const bool keypad = modifiers.testFlag(Qt::KeypadModifier);
  const uint32_t vk = MDQtKeyToVirtualKey(key, keypad);
  if (vk == 0 || !out) return false;
  const MDQtKeys::TEntry* entry = MDQtKeys::Find(key, keypad);
  // The Alt key's own press comes without the Alt modifier; on Windows it is a system key too.
  const bool alt = modifiers.testFlag(Qt::AltModifier) || key == Qt::Key_Alt;
  uint32_t flags = 1;  // repeat count
  if (entry && entry->Extended) flags |= 1u << 24;
  if (alt) flags |= 1u << 29;
  if (autoRepeat) flags |= 1u << 30;
  out->VirtualKey = vk;
  out->Flags = static_cast<int32_t>(flags);
  out->Message = (alt || vk == 121 /* F10 */) ? MD_WM_SYSKEYDOWN : MD_WM_KEYDOWN;
  return true;
}

inline bool MDTranslateKeyPress(const QKeyEvent* event, TMDKeyDown* out) {
  return event && MDTranslateKeyPress(event->key(), event->modifiers(), event->isAutoRepeat(), out);
}
