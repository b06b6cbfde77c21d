// kernel_form.h - the form of the "General" page. It holds no setting yet and stores nothing.
//
// Threads: main thread only.
#pragma once

#include "controlpanel/UMDPropertyPage.h"

namespace Ui {
class TKernelProp;
}

class TKernelProp final : public TMDPropertyForm {
  Q_OBJECT
 public:
  explicit TKernelProp(TMDBasePropertyPage* page);
  ~TKernelProp() override;

 private:
  Ui::TKernelProp* ui;
};
