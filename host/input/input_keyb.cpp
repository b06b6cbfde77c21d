#include "input/input_keyb.h"

#include <array>
#include <memory>

#include "input/UMDKeyState.h"

namespace {

constexpr TMDKeyName kKeyNames[] = {
    {8, u"Backspace"},   {9, u"TAB"},          {12, u"Clear"},     {13, u"Enter"},
    {18, u"Menu"},       {19, u"Pause"},       {20, u"CapsLock"},  {27, u"ESC"},
    {32, u"SpaceBar"},   {33, u"Page Up"},     {34, u"Page Down"}, {35, u"End"},
    {36, u"Home"},       {37, u"Left"},        {38, u"Up"},        {39, u"Right"},
    {40, u"Down"},       {41, u"Select"},      {42, u"Print"},     {43, u"Execute"},
    {44, u"Snapshot"},   {45, u"Insert"},      {46, u"Delete"},    {47, u"Help"},
    {91, u"LeftWin"},    {92, u"RightWin"},    {93, u"Apps"},      {96, u"Numpad 0"},
    {97, u"Numpad 1"},   {98, u"Numpad 2"},    {99, u"Numpad 3"},  {100, u"Numpad 4"},
    {101, u"Numpad 5"},  {102, u"Numpad 6"},   {103, u"Numpad 7"}, {104, u"Numpad 8"},
    {105, u"Numpad 9"},  {106, u"*"},          {107, u"+"},        {108, u"Separator"},
    {109, u"-"},         {110, u"."},          {111, u"/"},        {112, u"F1"},
    {113, u"F2"},        {114, u"F3"},         {115, u"F4"},       {116, u"F5"},
    {117, u"F6"},        {118, u"F7"},         {119, u"F8"},       {120, u"F9"},
    {121, u"F10"},       {122, u"F11"},        {123, u"F12"},      {124, u"F13"},
    {125, u"F14"},       {126, u"F15"},        {127, u"F16"},      {128, u"F17"},
    {129, u"F18"},       {130, u"F19"},        {131, u"F20"},      {132, u"F21"},
    {133, u"F22"},       {134, u"F23"},        {135, u"F24"},      {144, u"NumLock"},
    {145, u"ScrollLock"}, {186, u";"},         {187, u"="},        {188, u","},
    {189, u"-"},         {190, u"."},          {191, u"/"},        {192, u"Semicolon"},
    {219, u"["},         {220, u"\\"},         {221, u"]"},        {222, u"Apostrophe"},
};

// Direct look-up by code; every named code is below 256.
constexpr std::array<const char16_t*, 256> kByCode = [] {
  std::array<const char16_t*, 256> byCode{};
  for (const TMDKeyName& entry : kKeyNames) byCode[entry.Code] = entry.Name;
  return byCode;
}();

}  // namespace

const TMDInputInfo KeyboardInputInfo{u"Keyboard", u"The Midavo developers",
                                     MDMakeVersion(1, 0, 0, 0), 0, &CreateKeyboardInput};

std::span<const TMDKeyName> MDKeyNameTable() { return kKeyNames; }

std::u16string MDKeyName(uint32_t keyCode) {
  if (keyCode < kByCode.size() && kByCode[keyCode]) return kByCode[keyCode];
  const char16_t ch = static_cast<char16_t>(keyCode & 0xFFFF);
  return ch ? std::u16string(1, ch) : std::u16string();
}

std::u16string MDInputName(uint32_t keyCode, bool shift, bool ctrl, bool alt) {
  std::u16string name = MDKeyName(keyCode);
  if (ctrl) name.insert(0, u"Ctrl + ");
  if (shift) name.insert(0, u"Shift + ");
  if (alt) name.insert(0, u"Alt + ");
  return name;
}

HRESULT MDCALL TKeyboardInput::QueryInterface(const GUID& iid, void** obj) {
  return MDQueryGuard(obj, [&]() -> HRESULT {
    if (iid == IID_IMDInputSink) return MDHandOut<IMDInputSink>(this, obj);
    return TMDInputModule::QueryInterface(iid, obj);
  });
}

HRESULT MDCALL TKeyboardInput::HandleInput(uint32_t keyCode, int32_t keyData) {
  return MDGuard(
      [&]() -> HRESULT {
        if (keyCode == MD_VK_SHIFT || keyCode == MD_VK_CONTROL) return S_OK;
        const bool shift = MDGetKeyState(MD_VK_SHIFT) < 0;
        const bool ctrl = MDGetKeyState(MD_VK_CONTROL) < 0;
        const bool alt = (keyData & MD_KEYDATA_ALT) != 0;
        const std::u16string name = MDInputName(keyCode, shift, ctrl, alt);
        if (IMDActionInput* binder = Binder()) binder->ReportInput(Info().Name, name.c_str());
        return S_OK;
      },
      S_OK);
}

HRESULT MDCALL CreateKeyboardInput(IUnknown* owner, const GUID* iid, void** obj) {
  if (!obj) return E_POINTER;
  *obj = nullptr;
  if (!owner || !iid) return E_FAIL;
  return MDGuard([&]() -> HRESULT {
    auto binder = TComPtr<IMDActionInput>::Query(owner);
    if (!binder) return E_FAIL;
    auto module = std::make_unique<TKeyboardInput>(binder.Get(), KeyboardInputInfo);
    const HRESULT hr = module->QueryInterface(*iid, obj);
    if (MD_SUCCEEDED(hr) && *obj) {
      module.release();  // the reference handed out owns it now
    } else {
      *obj = nullptr;
    }
    return hr;
  });
}
