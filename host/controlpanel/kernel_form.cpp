#include "controlpanel/kernel_form.h"

#include "ui_kernel_form.h"

TKernelProp::TKernelProp(TMDBasePropertyPage* page) : TMDPropertyForm(page), ui(new Ui::TKernelProp) {
  ui->setupUi(this);
}

TKernelProp::~TKernelProp() { delete ui; }
