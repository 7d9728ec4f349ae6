#pragma once
#include <QAction>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <memory>

#include "host/formpos.h"
#include "host/gui/ctrlpages.h"
#include "host/system.h"

// The line grid: header row from the table's header, one table row per grid
// row below it. Cells are painted in the monitor's colours.
class TagLineGrid : public QTableWidget {
  Q_OBJECT
 public:
  explicit TagLineGrid(QWidget* parent = nullptr);
  // Grid row (1 and up) to the table row and back.
  static int TableRow(int gridRow) { return gridRow - 1; }
  TagGridRange VisibleRange() const;
};

// Paints a cell in its line's colours and edits the keys cell through the
// monitor, so keys a line takes meanwhile are not typed twice.
class TagGridDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  explicit TagGridDelegate(class TForm1* form);
  void paint(QPainter* p, const QStyleOptionViewItem& opt, const QModelIndex& index) const override;
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& opt, const QModelIndex& index) const override;
  void setEditorData(QWidget* editor, const QModelIndex& index) const override;
  void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;

 private:
  TForm1* form_;
};

class TAboutForm : public QDialog {
  Q_OBJECT
 public:
  explicit TAboutForm(QWidget* parent = nullptr);
  void SetVersion(const QString& text);

 private:
  QLabel* verLab_;
};

class TForm1 : public QMainWindow, public TagSystemView {
  Q_OBJECT
 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // The start-up sequence of the window's creation (after the configuration
  // and the log are ready).
  void StartUp();
  TagSystem& System() { return system_; }

  // TagSystemView
  void SetInfoPanel(const std::string& text) override;
  void SetLinePanel(const std::string& text) override;
  void SetCountPanel(const std::string& text) override;
  void SetTimePanel(const std::string& text) override;
  void SetConnPanel(const std::string& text) override;
  void BindGrid(const TagGridLayout& layout, const std::array<std::string, kCellCount>& headers) override;
  TagGridRange VisibleRange() const override;
  void PaintCells(const std::vector<TagCellUpdate>& cells) override;
  void SetTrayState(bool normal) override;
  void ShowMainWindow() override;
  void PostQuit() override;
  void SetTickInterval(int ms) override;
  void RemoveTrayIcon() override;
  void SaveLayout() override;
  void CloseWindow() override;
  void CloseDebugPages() override;

  // Captions for the language; the debugger menu by IS_DISP_SENTE.
  void SetCaptions(int language);
  // The layout from FormPos.dat, else the default one.
  void RestoreLayout();
  TagWinLayout CurrentLayout() const;
  void ApplyLayout(const TagWinLayout& layout);

  // Whether a grid cell is painted in the monitor's colours now.
  bool PaintsCells() const;
  TagLineGrid* Grid() const { return grid_; }
  QAction* Action(const char* name) const;
  QMenu* PopupMenu() const { return popup_; }
  bool TrayAlarm() const { return trayAlarm_; }
  QString TrayTip() const { return trayTip_; }
  QIcon TrayImage(int index) const;
  QLabel* Panel(const char* name) const;
  bool StatusAreaShown() const { return statusShown_; }
  // Updates the pop-up's enabled states as before it opens.
  void PreparePopup();
  // Saves the window as PNG; false when it could not be written.
  bool SaveScreenshot(const QString& path);
  // The debugger's pages; null before the start-up made them.
  TagCtrlPages* CtrlPages() const { return ctrlPages_.get(); }
  QWidget* DebugPanel() const { return debugPan_; }
  // The line of the grid's selected cell, -1 for none.
  int SelectedLine() const;

 public Q_SLOTS:
  void WMKxSysQuit();
  void OnTick();
  void ShowForm();
  void ToggleStatusArea();
  void OpenConfig();
  void ViewLog();
  void ShowAbout();
  void HangupSelected();
  void OnExitSignal();
  // Debugger commands.
  void DebugOpen();
  void DebugClosePage();
  void DebugCloseAll();
  // With RODIZ_SCREENSHOT: the window with its debugger page, once.
  bool SaveDebugShot();

 protected:
  void closeEvent(QCloseEvent* e) override;
  void changeEvent(QEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;

 private:
  QAction* AddAction(QMenu* menu, const char* name, const QString& zh, const QKeySequence& key = {});
  void BuildMenus();
  void ContinueRefresh();
  void MaybeScreenshot();

  TagSystem system_;
  TagMapCfg formPos_;
  QWidget* panel1_ = nullptr;
  QLabel* verLab_ = nullptr;
  QLabel* infoPanel_ = nullptr;
  QLabel* timerPanel_ = nullptr;
  QLabel* monConnPanel_ = nullptr;
  QLabel* linePanel_ = nullptr;
  QLabel* countPanel_ = nullptr;
  TagLineGrid* grid_ = nullptr;
  QWidget* debugPan_ = nullptr;
  QTabWidget* pageControl_ = nullptr;
  QPushButton* stepBtn_ = nullptr;
  QPushButton* runBtn_ = nullptr;
  QPushButton* flushBtn_ = nullptr;
  QPushButton* closePageBtn_ = nullptr;
  QCheckBox* autoFlush_ = nullptr;
  QTimer timer1_;
  QMenu* fileMenu_ = nullptr;
  QMenu* operMenu_ = nullptr;
  QMenu* debugMenu_ = nullptr;
  QMenu* helpMenu_ = nullptr;
  QMenu* popup_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  TAboutForm* about_ = nullptr;
  std::unique_ptr<TagCtrlPages> ctrlPages_;
  QIcon images_[3];
  bool trayAlarm_ = false;
  QString trayTip_;
  QString appTitle_;
  bool statusShown_ = true;
  bool refreshPending_ = false;
  bool shotTaken_ = false;
  bool debugShotTaken_ = false;
  bool painted_ = false;
  bool loadedBeforeTick_ = false;  // the lines had loaded when the current tick began
  int language_ = 0;
  int groups_ = 1;
};

// Draws the icons and the logo (no artwork files).
QIcon DrawTrayImage(bool alarm);
QPixmap DrawLogo(int size);
// Message boxes on the GUI thread; from other threads queued there while the
// caller waits.
void InstallBoxService();
// The box itself: shown at once on the GUI thread; from another thread queued
// there, the caller waiting until it is answered or cancelled() says so (then
// kIdCancel, and a box not yet shown never shows).
int GuiMessageBox(const std::string& title, const std::string& text, int flags,
                  const std::function<bool()>& cancelled);
