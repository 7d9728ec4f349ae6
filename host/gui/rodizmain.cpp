#include "host/gui/rodizmain.h"

#include <QApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>

#include "runtime/procobjects.h"
#include "host/app.h"
#include "host/gui/mainwindow.h"
#include "core/log.h"
#include "platform/text.h"

int RodizMain(int argc, char** argv) {
  const char* d = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  if (!(d && *d) && !(w && *w)) ::setenv("QT_QPA_PLATFORM", "offscreen", 0);

  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  InstallBoxService();
  if (!AcquireInstance()) return SecondInstance();
  if (!PrepareStart(argc > 0 ? argv[0] : nullptr)) {
    std::fprintf(stderr, "rodiz: cannot enter the program's folder\n");
    return 1;
  }
  QApplication::setApplicationName(QString::fromStdString(plat::GbkToUtf8(ProductName(runCfg.languageType))));

  int sigFd = InstallExitSignals();
  TForm1 form;
  std::unique_ptr<QSocketNotifier> notifier;
  if (sigFd >= 0) {
    notifier = std::make_unique<QSocketNotifier>(sigFd, QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, &form, [&form, sigFd] {
      if (DrainExitSignals(sigFd) > 0) form.OnExitSignal();
    });
  }
  // The session ending runs the exit sequence, as a termination signal does.
  QObject::connect(&app, &QGuiApplication::commitDataRequest, &form, [&form](QSessionManager&) { form.OnExitSignal(); });
  StartProcessObjects();
  form.StartUp();
  int rc = app.exec();
  FinishProcessObjects();
  return rc;
}
