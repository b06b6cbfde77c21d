// The keyboard input module: key names, modifiers, and what it reports to the binder.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "input/UMDKeyState.h"
#include "input/input_keyb.h"

namespace {

// Collects what input modules report.
class TReportLog final : public TMDComImpl<TBaseObject, IMDActionInput> {
 public:
  HRESULT MDCALL QueryInterface(const GUID& iid, void** obj) override {
    return MDQueryGuard(obj, [&]() -> HRESULT {
      if (iid == IID_IMDActionInput) return MDHandOut<IMDActionInput>(this, obj);
      return TBaseObject::QueryInterface(iid, obj);
    });
  }
  HRESULT MDCALL ReportInput(const char16_t* source, const char16_t* input) override {
    Reports.push_back(std::u16string(source) + u"|" + input);
    return E_FAIL;  // ignored by the module
  }
  HRESULT MDCALL GetBinding(const char16_t*, int32_t, const char16_t**) override { return E_FAIL; }
  HRESULT MDCALL SetBinding(const char16_t*, int32_t, const char16_t*) override { return E_FAIL; }
  HRESULT MDCALL BeginAssign(const char16_t*, int32_t) override { return E_FAIL; }

  std::vector<std::u16string> Reports;
};

TComPtr<IMDInputSink> NewKeyboard(TReportLog& log) {
  TComPtr<IMDInputSink> sink;
  EXPECT_EQ(CreateKeyboardInput(static_cast<TBaseObject*>(&log), &IID_IMDInputSink,
                                sink.PutVoid()),
            S_OK);
  return sink;
}

constexpr int32_t kAlt = MD_KEYDATA_ALT;
constexpr uint32_t kShift = MDKS_SHIFT, kCtrl = MDKS_CTRL;

struct TKeyCase {
  uint32_t Code;
  int32_t Data;
  uint32_t Modifiers;
  const char16_t* Name;  // nil: nothing is reported
};

const TKeyCase kKeyCases[] = {
    // letters and digits name themselves
    {0x41, 0, 0, u"A"},
    {0x5A, 0, 0, u"Z"},
    {0x30, 0, 0, u"0"},
    {0x39, 0, 0, u"9"},
    // prefixes: Ctrl first, then Shift, then Alt in front of it
    {0x41, 0, kCtrl, u"Ctrl + A"},
    {0x41, 0, kShift, u"Shift + A"},
    {0x41, kAlt, 0, u"Alt + A"},
    {0x41, 0, kShift | kCtrl, u"Shift + Ctrl + A"},
    {0x41, kAlt, kShift | kCtrl, u"Alt + Shift + Ctrl + A"},
    {0x74, kAlt, kShift | kCtrl, u"Alt + Shift + Ctrl + F5"},
    {0x60, 0, kCtrl, u"Ctrl + Numpad 0"},
    {0x41, 0x1E0001, 0, u"A"},  // other bits of the key data mean nothing
    // the Shift and Ctrl keys themselves are not reported, whatever is held
    {16, 0, 0, nullptr},
    {17, 0, 0, nullptr},
    {16, kAlt, kShift | kCtrl, nullptr},
    {17, kAlt, kShift | kCtrl, nullptr},
    // Alt is named, and is held only by the key data
    {18, kAlt, 0, u"Alt + Menu"},
    {18, 0, 0, u"Menu"},
    // the named keys
    {8, 0, 0, u"Backspace"},
    {9, 0, 0, u"TAB"},
    {12, 0, 0, u"Clear"},
    {13, 0, 0, u"Enter"},
    {19, 0, 0, u"Pause"},
    {20, 0, 0, u"CapsLock"},
    {27, 0, 0, u"ESC"},
    {32, 0, 0, u"SpaceBar"},
    {33, 0, 0, u"Page Up"},
    {34, 0, 0, u"Page Down"},
    {35, 0, 0, u"End"},
    {36, 0, 0, u"Home"},
    {37, 0, 0, u"Left"},
    {38, 0, 0, u"Up"},
    {39, 0, 0, u"Right"},
    {40, 0, 0, u"Down"},
    {41, 0, 0, u"Select"},
    {42, 0, 0, u"Print"},
    {43, 0, 0, u"Execute"},
    {44, 0, 0, u"Snapshot"},
    {45, 0, 0, u"Insert"},
    {46, 0, 0, u"Delete"},
    {47, 0, 0, u"Help"},
    {91, 0, 0, u"LeftWin"},
    {92, 0, 0, u"RightWin"},
    {93, 0, 0, u"Apps"},
    {144, 0, 0, u"NumLock"},
    {145, 0, 0, u"ScrollLock"},
    // the keypad
    {96, 0, 0, u"Numpad 0"},
    {97, 0, 0, u"Numpad 1"},
    {101, 0, 0, u"Numpad 5"},
    {105, 0, 0, u"Numpad 9"},
    {106, 0, 0, u"*"},
    {107, 0, 0, u"+"},
    {108, 0, 0, u"Separator"},
    {109, 0, 0, u"-"},
    {110, 0, 0, u"."},
    {111, 0, 0, u"/"},
    // function keys, in code order
    {0x70, 0, 0, u"F1"},
    {0x71, 0, 0, u"F2"},
    {0x79, 0, 0, u"F10"},
    {0x7B, 0, 0, u"F12"},
    {0x7C, 0, 0, u"F13"},
    {0x86, 0, 0, u"F23"},
    {0x87, 0, 0, u"F24"},
    // punctuation; three keys share their text with the keypad's
    {186, 0, 0, u";"},
    {187, 0, 0, u"="},
    {188, 0, 0, u","},
    {189, 0, 0, u"-"},
    {190, 0, 0, u"."},
    {191, 0, 0, u"/"},
    {192, 0, 0, u"Semicolon"},
    {219, 0, 0, u"["},
    {220, 0, 0, u"\\"},
    {221, 0, 0, u"]"},
    {222, 0, 0, u"Apostrophe"},
    // codes the table does not name: the character of the low 16 bits
    {0x88, 0, 0, u"\u0088"},
    {1, 0, 0, u"\u0001"},
    {7, 0, 0, u"\u0007"},
    {10, 0, 0, u"\n"},
    {248, 0, 0, u"\u00F8"},
    {223, 0, 0, u"\u00DF"},
    {0x263A, 0, 0, u"\u263A"},
    {0x10041, 0, 0, u"A"},
    {0x10020, 0, 0, u" "},  // not "SpaceBar": the table is asked with the whole code
    {0x10000, 0, 0, u""},
    {0x10000, 0, kCtrl, u"Ctrl + "},
};

TEST(KeyboardInput, NamesKeysWithTheirModifiers) {
  TReportLog log;
  auto keyboard = NewKeyboard(log);
  ASSERT_TRUE(keyboard);
  for (const TKeyCase& c : kKeyCases) {
    log.Reports.clear();
    {
      TMDKeyStateScope held(c.Modifiers);
      EXPECT_EQ(keyboard->HandleInput(c.Code, c.Data), S_OK);
    }
    if (!c.Name) {
      EXPECT_TRUE(log.Reports.empty()) << "code " << c.Code;
      continue;
    }
    ASSERT_EQ(log.Reports.size(), 1u) << "code " << c.Code;
    EXPECT_EQ(log.Reports[0], u"Keyboard|" + std::u16string(c.Name))
        << "code " << c.Code << " data " << c.Data << " modifiers " << c.Modifiers;
  }
}

TEST(KeyboardInput, KeyStateIsPerThreadAndFallsBackToTheProvider) {
  TReportLog log;
  auto keyboard = NewKeyboard(log);
  TMDKeyStateScope held(kCtrl);
  // Another thread does not see this thread's setting; it asks the provider.
  MDSetKeyStateProvider([]() -> uint32_t { return MDKS_SHIFT; });
  std::thread([&] { keyboard->HandleInput('B', 0); }).join();
  MDSetKeyStateProvider(nullptr);
  std::thread([&] { keyboard->HandleInput('C', 0); }).join();
  keyboard->HandleInput('D', 0);
  {
    TMDKeyStateScope inner(0);  // nested settings restore what was set before
    keyboard->HandleInput('E', 0);
  }
  keyboard->HandleInput('F', 0);
  EXPECT_EQ(log.Reports, (std::vector<std::u16string>{u"Keyboard|Shift + B", u"Keyboard|C",
                                                       u"Keyboard|Ctrl + D", u"Keyboard|E",
                                                       u"Keyboard|Ctrl + F"}));
  EXPECT_EQ(MDGetKeyState(MD_VK_MENU), 0);  // Alt is never read from the key state
}

TEST(KeyboardInput, FactoryAndDescription) {
  TReportLog log;
  IUnknown* owner = static_cast<TBaseObject*>(&log);
  void* out = &log;
  EXPECT_EQ(CreateKeyboardInput(nullptr, &IID_IMDInputModule, &out), E_FAIL);
  EXPECT_EQ(out, nullptr);

  // An owner without IMDActionInput.
  TBaseObject plain;
  out = &log;
  EXPECT_EQ(CreateKeyboardInput(&plain, &IID_IMDInputModule, &out), E_FAIL);
  EXPECT_EQ(out, nullptr);

  out = &log;
  EXPECT_EQ(CreateKeyboardInput(owner, &IID_IMDActionList, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);

  TComPtr<IMDInputModule> module;
  ASSERT_EQ(CreateKeyboardInput(owner, &IID_IMDInputModule, module.PutVoid()), S_OK);
  TMDInputInfo info{};
  ASSERT_EQ(module->GetInputInfo(&info), S_OK);
  EXPECT_EQ(std::u16string(info.Name), u"Keyboard");
  EXPECT_NE(info.Author, nullptr);
  EXPECT_EQ(info.Version, 0x01000000u);
  EXPECT_EQ(info.Reserved, 0);
  EXPECT_EQ(info.CreateInput, &CreateKeyboardInput);
  EXPECT_EQ(module->Shutdown(), S_OK);

  // One identity whichever interface is asked: sink, module, IUnknown.
  auto sink = TComPtr<IMDInputSink>::Query(module.Get());
  auto unknown = TComPtr<IUnknown>::Query(module.Get());
  auto again = TComPtr<IUnknown>::Query(sink.Get());
  ASSERT_TRUE(sink && unknown && again);
  EXPECT_EQ(unknown.Get(), again.Get());
}

}  // namespace
