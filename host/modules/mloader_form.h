// mloader_form.h - the form of the "Modules" page.
//
// The "Modules" tab lists the module records of every loaded library; the "Property Pages" tab
// lists the page records of the libraries with their description, version and address, and a
// "Visible" flag per page that the control panel obeys the next time it opens. Flags are read
// from the settings when the loader is given and stored only when the control panel applies.
//
// Threads
//   - Construction, SetLoader, the fill steps and the events run on the main thread.
//   - ApplyChanges runs on the kernel's dispatch thread (under the page's lock): it reads the
//     loader's page pool, which does not change after start-up, and the flags.
// Locks: FFlagsMutex guards FVisible, which the main thread changes while the user clicks.
#pragma once

#include <mutex>
#include <vector>

#include "controlpanel/UMDPropertyPage.h"

namespace Ui {
class TMLoaderPage;
}
class TMDModuleLoader;

// The four bytes of a packed version, most significant first, in decimal, joined by full stops.
QString FormatVersion(uint32_t version);

class TMLoaderPage final : public TMDPropertyForm {
  Q_OBJECT
 public:
  explicit TMLoaderPage(TMDBasePropertyPage* page);
  ~TMLoaderPage() override;

  void SetLoader(TMDModuleLoader* loader);
  void FillPageList();
  void FillModuleList();
  void ApplyChanges() override;

 protected:
  void showEvent(QShowEvent* event) override;  // FormShow

 private:
  void CBCategoryChange(int index);
  void LBPropertiesClick();
  void CBVisibleClick(bool checked);
  std::u16string PageKey(int32_t index) const;

  Ui::TMLoaderPage* ui;
  TMDModuleLoader* FLoader = nullptr;
  std::mutex FFlagsMutex;
  std::vector<BOOL32> FVisible;  // one per record of the loader's page pool
};
