// The Qt key translation: every key the keyboard module names can be pressed in Qt and reaches
// it with the right virtual-key code, and the flags word is the one of a Windows key-down.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "input/UMDQtKeys.h"
#include "input/input_keyb.h"

namespace {

struct TQtKeyCase {
  int Key;
  bool Keypad;
  uint32_t VirtualKey;
  const char16_t* Name;  // what the keyboard module calls it
};

// Every code of the key-name table, and the letters and digits, from a Qt key press.
const TQtKeyCase kQtKeyCases[] = {
    {Qt::Key_Backspace, false, 8, u"Backspace"},
    {Qt::Key_Tab, false, 9, u"TAB"},
    {Qt::Key_Backtab, false, 9, u"TAB"},
    {Qt::Key_Clear, true, 12, u"Clear"},  // keypad 5 with Num Lock off
    {Qt::Key_Return, false, 13, u"Enter"},
    {Qt::Key_Enter, true, 13, u"Enter"},
    {Qt::Key_Alt, false, 18, u"Menu"},
    {Qt::Key_Pause, false, 19, u"Pause"},
    {Qt::Key_CapsLock, false, 20, u"CapsLock"},
    {Qt::Key_Escape, false, 27, u"ESC"},
    {Qt::Key_Space, false, 32, u"SpaceBar"},
    {Qt::Key_PageUp, false, 33, u"Page Up"},
    {Qt::Key_PageDown, false, 34, u"Page Down"},
    {Qt::Key_End, false, 35, u"End"},
    {Qt::Key_Home, false, 36, u"Home"},
    {Qt::Key_Left, false, 37, u"Left"},
    {Qt::Key_Up, false, 38, u"Up"},
    {Qt::Key_Right, false, 39, u"Right"},
    {Qt::Key_Down, false, 40, u"Down"},
    {Qt::Key_Home, true, 36, u"Home"},  // keypad 7 with Num Lock off
    {Qt::Key_Select, false, 41, u"Select"},
    {Qt::Key_Printer, false, 42, u"Print"},
    {Qt::Key_Execute, false, 43, u"Execute"},
    {Qt::Key_Print, false, 44, u"Snapshot"},
    {Qt::Key_Insert, false, 45, u"Insert"},
    {Qt::Key_Delete, false, 46, u"Delete"},
    {Qt::Key_Delete, true, 46, u"Delete"},
    {Qt::Key_Help, false, 47, u"Help"},
    {Qt::Key_Super_L, false, 91, u"LeftWin"},
    {Qt::Key_Super_R, false, 92, u"RightWin"},
    {Qt::Key_Menu, false, 93, u"Apps"},
    {Qt::Key_0, true, 96, u"Numpad 0"},
    {Qt::Key_1, true, 97, u"Numpad 1"},
    {Qt::Key_2, true, 98, u"Numpad 2"},
    {Qt::Key_3, true, 99, u"Numpad 3"},
    {Qt::Key_4, true, 100, u"Numpad 4"},
    {Qt::Key_5, true, 101, u"Numpad 5"},
    {Qt::Key_6, true, 102, u"Numpad 6"},
    {Qt::Key_7, true, 103, u"Numpad 7"},
    {Qt::Key_8, true, 104, u"Numpad 8"},
    {Qt::Key_9, true, 105, u"Numpad 9"},
    {Qt::Key_Asterisk, true, 106, u"*"},
    {Qt::Key_Plus, true, 107, u"+"},
    {Qt::Key_Comma, true, 108, u"Separator"},
    {Qt::Key_Minus, true, 109, u"-"},
    {Qt::Key_Period, true, 110, u"."},
    {Qt::Key_Slash, true, 111, u"/"},
    {Qt::Key_F1, false, 112, u"F1"},
    {Qt::Key_F2, false, 113, u"F2"},
    {Qt::Key_F3, false, 114, u"F3"},
    {Qt::Key_F4, false, 115, u"F4"},
    {Qt::Key_F5, false, 116, u"F5"},
    {Qt::Key_F6, false, 117, u"F6"},
    {Qt::Key_F7, false, 118, u"F7"},
    {Qt::Key_F8, false, 119, u"F8"},
    {Qt::Key_F9, false, 120, u"F9"},
    {Qt::Key_F10, false, 121, u"F10"},
    {Qt::Key_F11, false, 122, u"F11"},
    {Qt::Key_F12, false, 123, u"F12"},
    {Qt::Key_F13, false, 124, u"F13"},
    {Qt::Key_F14, false, 125, u"F14"},
    {Qt::Key_F15, false, 126, u"F15"},
    {Qt::Key_F16, false, 127, u"F16"},
    {Qt::Key_F17, false, 128, u"F17"},
    {Qt::Key_F18, false, 129, u"F18"},
    {Qt::Key_F19, false, 130, u"F19"},
    {Qt::Key_F20, false, 131, u"F20"},
    {Qt::Key_F21, false, 132, u"F21"},
    {Qt::Key_F22, false, 133, u"F22"},
    {Qt::Key_F23, false, 134, u"F23"},
    {Qt::Key_F24, false, 135, u"F24"},
    {Qt::Key_NumLock, false, 144, u"NumLock"},
    {Qt::Key_ScrollLock, false, 145, u"ScrollLock"},
    {Qt::Key_Semicolon, false, 186, u";"},
    {Qt::Key_Colon, false, 186, u";"},  // Shift + ";" on a US layout
    {Qt::Key_Equal, false, 187, u"="},
    {Qt::Key_Plus, false, 187, u"="},
    {Qt::Key_Comma, false, 188, u","},
    {Qt::Key_Less, false, 188, u","},
    {Qt::Key_Minus, false, 189, u"-"},
    {Qt::Key_Underscore, false, 189, u"-"},
    {Qt::Key_Period, false, 190, u"."},
    {Qt::Key_Greater, false, 190, u"."},
    {Qt::Key_Slash, false, 191, u"/"},
    {Qt::Key_Question, false, 191, u"/"},
    {Qt::Key_QuoteLeft, false, 192, u"Semicolon"},
    {Qt::Key_AsciiTilde, false, 192, u"Semicolon"},
    {Qt::Key_BracketLeft, false, 219, u"["},
    {Qt::Key_BraceLeft, false, 219, u"["},
    {Qt::Key_Backslash, false, 220, u"\\"},
    {Qt::Key_Bar, false, 220, u"\\"},
    {Qt::Key_BracketRight, false, 221, u"]"},
    {Qt::Key_BraceRight, false, 221, u"]"},
    {Qt::Key_Apostrophe, false, 222, u"Apostrophe"},
    {Qt::Key_QuoteDbl, false, 222, u"Apostrophe"},
    {Qt::Key_A, false, 0x41, u"A"},
    {Qt::Key_P, false, 0x50, u"P"},
    {Qt::Key_Z, true, 0x5A, u"Z"},
    {Qt::Key_0, false, 0x30, u"0"},
    {Qt::Key_9, false, 0x39, u"9"},
    {Qt::Key_Exclam, false, 0x31, u"1"},
    {Qt::Key_ParenRight, false, 0x30, u"0"},
    {Qt::Key_Asterisk, false, 0x38, u"8"},
    // the modifier keys themselves: passed, and not named
    {Qt::Key_Shift, false, 16, nullptr},
    {Qt::Key_Control, false, 17, nullptr},
};

TEST(QtKeys, EveryNamedKeyComesFromAQtKeyPress) {
  std::set<uint32_t> reached;
  for (const TQtKeyCase& c : kQtKeyCases) {
    const Qt::KeyboardModifiers modifiers = c.Keypad ? Qt::KeypadModifier : Qt::NoModifier;
    TMDKeyDown key;
    const QKeyEvent event(QEvent::KeyPress, c.Key, modifiers);
    ASSERT_TRUE(MDTranslateKeyPress(&event, &key)) << "Qt key " << std::hex << c.Key;
    EXPECT_EQ(key.VirtualKey, c.VirtualKey) << "Qt key " << std::hex << c.Key;
    if (c.Name) EXPECT_EQ(MDKeyName(key.VirtualKey), std::u16string(c.Name));
    reached.insert(key.VirtualKey);
  }
  for (const TMDKeyName& named : MDKeyNameTable())
    EXPECT_TRUE(reached.count(named.Code)) << "no Qt key press for code " << named.Code;
}

TEST(QtKeys, FlagsWordAndSystemKeys) {
  struct TCase {
    int Key;
    Qt::KeyboardModifiers Modifiers;
    bool Repeat;
    uint32_t Message;
    uint32_t Flags;
  };
  const TCase cases[] = {
      {Qt::Key_A, Qt::NoModifier, false, MD_WM_KEYDOWN, 0x00000001},
      {Qt::Key_A, Qt::ShiftModifier | Qt::ControlModifier, false, MD_WM_KEYDOWN, 0x00000001},
      {Qt::Key_A, Qt::NoModifier, true, MD_WM_KEYDOWN, 0x40000001},
      {Qt::Key_A, Qt::AltModifier, false, MD_WM_SYSKEYDOWN, 0x20000001},
      {Qt::Key_Alt, Qt::AltModifier, false, MD_WM_SYSKEYDOWN, 0x20000001},
      {Qt::Key_Alt, Qt::NoModifier, false, MD_WM_SYSKEYDOWN, 0x20000001},  // Alt's own press
      {Qt::Key_F10, Qt::NoModifier, false, MD_WM_SYSKEYDOWN, 0x00000001},
      {Qt::Key_F11, Qt::NoModifier, false, MD_WM_KEYDOWN, 0x00000001},
      {Qt::Key_Left, Qt::NoModifier, false, MD_WM_KEYDOWN, 0x01000001},        // extended
      {Qt::Key_Left, Qt::KeypadModifier, false, MD_WM_KEYDOWN, 0x00000001},    // keypad 4
      {Qt::Key_Enter, Qt::KeypadModifier, false, MD_WM_KEYDOWN, 0x01000001},   // keypad Enter
      {Qt::Key_Return, Qt::NoModifier, false, MD_WM_KEYDOWN, 0x00000001},
  };
  for (const TCase& c : cases) {
    TMDKeyDown key;
    ASSERT_TRUE(MDTranslateKeyPress(c.Key, c.Modifiers, c.Repeat, &key));
    EXPECT_EQ(key.Message, c.Message) << std::hex << c.Key;
    EXPECT_EQ(static_cast<uint32_t>(key.Flags), c.Flags) << std::hex << c.Key;
  }
  // Keys without a virtual-key code are not translated.
  TMDKeyDown key;
  EXPECT_FALSE(MDTranslateKeyPress(Qt::Key_unknown, Qt::NoModifier, false, &key));
  EXPECT_FALSE(MDTranslateKeyPress(Qt::Key_Launch0, Qt::NoModifier, false, &key));
  EXPECT_FALSE(MDTranslateKeyPress(Qt::Key_AltGr, Qt::NoModifier, false, &key));
  EXPECT_FALSE(MDTranslateKeyPress(Qt::Key_Equal, Qt::KeypadModifier, false, &key));
}

}  // namespace
