#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <atomic>
#include <memory>

#include "host/gui/mainwindow.h"
#include "platform/msgbox.h"
#include "platform/text.h"
#include "platform/tick.h"

namespace {

QString Q(const std::string& gb) { return QString::fromStdString(plat::GbkToUtf8(gb)); }

int ShowBox(const std::string& title, const std::string& text, int flags) {
  QMessageBox box;
  box.setWindowTitle(Q(title));
  box.setText(Q(text));
  switch (flags & 0xF0) {
    case plat::kBoxIconError: box.setIcon(QMessageBox::Critical); break;
    case plat::kBoxIconQuestion: box.setIcon(QMessageBox::Question); break;
    case plat::kBoxIconWarning: box.setIcon(QMessageBox::Warning); break;
    case plat::kBoxIconInfo: box.setIcon(QMessageBox::Information); break;
    default: break;
  }
  switch (flags & 0x0F) {
    case plat::kBoxOkCancel: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
    case plat::kBoxYesNo: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
    default: box.setStandardButtons(QMessageBox::Ok); break;
  }
  switch (box.exec()) {
    case QMessageBox::Cancel: return plat::kIdCancel;
    case QMessageBox::Yes: return plat::kIdYes;
    case QMessageBox::No: return plat::kIdNo;
    default: return plat::kIdOk;
  }
}

// A box asked for by another thread; the caller may stop waiting.
struct Pending {
  std::atomic<bool> abandoned{false};
  std::atomic<bool> done{false};
  std::atomic<int> result{plat::kIdCancel};
};

}  // namespace

int GuiMessageBox(const std::string& title, const std::string& text, int flags,
                  const std::function<bool()>& cancelled) {
  {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return plat::kIdCancel;
    if (QThread::currentThread() == app->thread()) return ShowBox(title, text, flags);
    auto pending = std::make_shared<Pending>();
    QMetaObject::invokeMethod(
        app,
        [pending, title, text, flags] {
          if (!pending->abandoned.load()) pending->result.store(ShowBox(title, text, flags));
          pending->done.store(true);
        },
        Qt::QueuedConnection);
    while (!pending->done.load()) {
      if (cancelled && cancelled()) {
        pending->abandoned.store(true);
        return plat::kIdCancel;
      }
      plat::SleepMs(50);
    }
    return pending->result.load();
  }
}

void InstallBoxService() { plat::SetBoxHandler(GuiMessageBox); }
