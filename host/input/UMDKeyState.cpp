#include "input/UMDKeyState.h"

#include <atomic>

namespace {

struct TThreadKeyState {
  bool Set = false;
  uint32_t Modifiers = 0;
};

thread_local TThreadKeyState tKeyState;
std::atomic<TMDKeyStateProvider> gProvider{nullptr};

uint32_t CurrentModifiers() {
  if (tKeyState.Set) return tKeyState.Modifiers;
  const TMDKeyStateProvider provider = gProvider.load(std::memory_order_acquire);
  return provider ? provider() : 0;
}

}  // namespace

int16_t MDGetKeyState(int32_t virtualKey) {
  uint32_t bit = 0;
  if (virtualKey == MD_VK_SHIFT)
    bit = MDKS_SHIFT;
  else if (virtualKey == MD_VK_CONTROL)
    bit = MDKS_CTRL;
  else
    return 0;
  return (CurrentModifiers() & bit) ? static_cast<int16_t>(0x8000) : 0;
}

void MDSetKeyStateProvider(TMDKeyStateProvider provider) {
  gProvider.store(provider, std::memory_order_release);
}

TMDKeyStateScope::TMDKeyStateScope(uint32_t modifiers)
    : FHadSetting(tKeyState.Set), FPrevious(tKeyState.Modifiers) {
  tKeyState.Set = true;
  tKeyState.Modifiers = modifiers;
}

TMDKeyStateScope::~TMDKeyStateScope() {
  tKeyState.Set = FHadSetting;
  tKeyState.Modifiers = FPrevious;
}
