#include "modules/mloader_form.h"

#include <QLabel>
#include <QShowEvent>
#include <QStyle>

#include "modules/UMDModuleLoader.h"
#include "ui_mloader_form.h"

namespace {
constexpr char16_t kPagesSection[] = u"ControlPanel.PropertyPages";

QString Text(const char16_t* text) {
  return text ? QString::fromUtf16(text) : QString();
}

// The information labels have a fixed width: a longer text is shortened with an ellipsis and
// shown whole in the label's tool tip.
void SetFitted(QLabel* label, const QString& text, Qt::TextElideMode mode) {
  const QString fitted = label->fontMetrics().elidedText(text, mode, label->width());
  label->setText(fitted);
  label->setToolTip(fitted == text ? QString() : text);
}
}  // namespace

QString FormatVersion(uint32_t version) {
  return QStringLiteral("%1.%2.%3.%4")
      .arg(version >> 24 & 0xFF)
      .arg(version >> 16 & 0xFF)
      .arg(version >> 8 & 0xFF)
      .arg(version & 0xFF);
}

TMLoaderPage::TMLoaderPage(TMDBasePropertyPage* page)
    : TMDPropertyForm(page), ui(new Ui::TMLoaderPage) {
  ui->setupUi(this);
  ui->SpeedButton1->setIcon(style()->standardIcon(QStyle::SP_FileIcon));
  ui->SpeedButton2->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
  ui->SpeedButton3->setIcon(style()->standardIcon(QStyle::SP_TrashIcon));
  connect(ui->CBCategory, &QComboBox::currentIndexChanged, this, &TMLoaderPage::CBCategoryChange);
  connect(ui->LBProperties, &QListWidget::currentRowChanged, this,
          [this](int) { LBPropertiesClick(); });
  connect(ui->CBVisible, &QCheckBox::clicked, this, &TMLoaderPage::CBVisibleClick);
}

TMLoaderPage::~TMLoaderPage() { delete ui; }

void TMLoaderPage::SetLoader(TMDModuleLoader* loader) {
  FLoader = loader;
  FillPageList();
  FillModuleList();
}

std::u16string TMLoaderPage::PageKey(int32_t index) const {
  TMDPageInfo info{};
  FLoader->GetPageInfoAt(index, &info);
  std::u16string key = info.Name ? info.Name : u"";
  StripSpaces(key);
  return key;
}

void TMLoaderPage::FillPageList() {
  ui->LBProperties->clear();
  if (!FLoader) return;
  const int32_t count = FLoader->PagePoolCount();
  IMDSettings* settings = Page() ? Page()->Settings() : nullptr;
  std::vector<BOOL32> flags(static_cast<size_t>(count), MD_TRUE);
  for (int32_t i = 0; i < count; ++i) {
    TMDPageInfo info{};
    FLoader->GetPageInfoAt(i, &info);
    if (settings) {
      BOOL32 visible = MD_TRUE;
      settings->ReadBool(kPagesSection, PageKey(i).c_str(), MD_TRUE, &visible);
      flags[i] = visible;
    }
    ui->LBProperties->addItem(Text(info.Name));
  }
  {
    std::lock_guard<std::mutex> guard(FFlagsMutex);
    FVisible = std::move(flags);
  }
  if (count > 0) ui->LBProperties->setCurrentRow(0);
  LBPropertiesClick();
}

void TMLoaderPage::FillModuleList() {
  ui->LBModuleList->clear();
  if (!FLoader) return;
  for (int32_t i = 0; i < FLoader->ModulePoolCount(); ++i) {
    TMDModuleInfo info{};
    FLoader->GetModuleInfoAt(i, &info);
    ui->LBModuleList->addItem(Text(info.Name));
  }
  if (ui->LBModuleList->count() > 0) ui->LBModuleList->setCurrentRow(0);
}

void TMLoaderPage::LBPropertiesClick() {
  const int i = ui->LBProperties->currentRow();
  if (!FLoader || i < 0 || i >= FLoader->PagePoolCount()) return;
  TMDPageInfo info{};
  FLoader->GetPageInfoAt(i, &info);
  SetFitted(ui->LDescription, Text(info.Description), Qt::ElideRight);
  SetFitted(ui->LUrl, Text(info.Url), Qt::ElideMiddle);
  ui->LVersion->setText(FormatVersion(info.Version));
  bool visible = true;
  {
    std::lock_guard<std::mutex> guard(FFlagsMutex);
    if (static_cast<size_t>(i) < FVisible.size()) visible = FVisible[i] != 0;
  }
  ui->CBVisible->setChecked(visible);
}

void TMLoaderPage::CBVisibleClick(bool checked) {
  const int i = ui->LBProperties->currentRow();
  if (!FLoader || i < 0 || i >= FLoader->PagePoolCount()) return;
  // Pages whose names differ only in blanks share one setting: they change together, so the
  // flag written last cannot undo the user's choice.
  const std::u16string key = PageKey(i);
  std::lock_guard<std::mutex> guard(FFlagsMutex);
  for (int32_t j = 0; j < static_cast<int32_t>(FVisible.size()); ++j)
    if (j == i || PageKey(j) == key) FVisible[j] = checked ? MD_TRUE : MD_FALSE;
}

void TMLoaderPage::CBCategoryChange(int) {
  // Module categories have no effect yet.
}

void TMLoaderPage::showEvent(QShowEvent* event) {
  TMDPropertyForm::showEvent(event);
  if (!event->spontaneous()) ui->CBCategory->setCurrentIndex(0);
}

void TMLoaderPage::ApplyChanges() {
  IMDSettings* settings = Page() ? Page()->Settings() : nullptr;
  if (!FLoader || !settings) return;
  std::vector<BOOL32> flags;
  {
    std::lock_guard<std::mutex> guard(FFlagsMutex);
    flags = FVisible;
  }
  const int32_t count = std::min<int32_t>(FLoader->PagePoolCount(), flags.size());
  for (int32_t i = 0; i < count; ++i)
    settings->WriteBool(kPagesSection, PageKey(i).c_str(), flags[i]);
}
