// UExceptionForm.h - the window that shows an exception nothing else caught.
//
// The application shows it modally for every exception that reaches the main loop (or the main
// form's start-up); closing it drops the exception and the application goes on.
//
// Threads: main thread only.
#pragma once

#include <QDialog>
#include <exception>

namespace Ui {
class TExceptionForm;
}

class TExceptionForm final : public QDialog {
  Q_OBJECT
 public:
  explicit TExceptionForm(QWidget* parent = nullptr);
  ~TExceptionForm() override;

  // The exception to show; kept until the form goes.
  void SetException(std::exception_ptr exception) { FException = std::move(exception); }
  // The text shown for an exception: what() of a std::exception, else a generic line.
  static QString MessageOf(const std::exception_ptr& exception);

 protected:
  void showEvent(QShowEvent* event) override;  // FormShow

 private:
  void BCloseClick();

  Ui::TExceptionForm* ui;
  std::exception_ptr FException;
};
