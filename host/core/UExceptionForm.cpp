#include "core/UExceptionForm.h"

#include <QShowEvent>

#include "ui_UExceptionForm.h"

TExceptionForm::TExceptionForm(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      ui(new Ui::TExceptionForm) {
  ui->setupUi(this);
  setFixedSize(306, 149);
  move(413, 248);
  connect(ui->BClose, &QPushButton::clicked, this, &TExceptionForm::BCloseClick);
}

TExceptionForm::~TExceptionForm() { delete ui; }

QString TExceptionForm::MessageOf(const std::exception_ptr& exception) {
  if (!exception) return QString();
  try {
    std::rethrow_exception(exception);
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  } catch (...) {
    return QStringLiteral("An unknown exception was raised.");
  }
}

void TExceptionForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) ui->MMessage->setPlainText(MessageOf(FException));
}

void TExceptionForm::BCloseClick() { close(); }
