#include "host/gui/mainwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QSplitter>
#include <QVBoxLayout>
#include <QWindow>

#include "host/app.h"
#include "core/log.h"
#include "platform/msgbox.h"
#include "platform/text.h"

namespace {

QString Q(const std::string& gb) { return QString::fromStdString(plat::GbkToUtf8(gb)); }
std::string GB(const QString& s) { return plat::Utf8ToGbk(s.toStdString()); }

QColor MonitorColor(int index) {
  const TagRgb& c = kMonitorColors[static_cast<size_t>(index & 15)];
  return QColor(c.r, c.g, c.b);
}

QLabel* MakePanel(QWidget* parent, const char* name, int minWidth) {
  auto* l = new QLabel(parent);
  l->setObjectName(name);
  l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  l->setMinimumWidth(minWidth);
  l->setContentsMargins(6, 0, 6, 0);
  l->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return l;
}

// English captions of the menu items (Chinese ones are given where the items are made).
struct Caption {
  const char* name;
  const char* english;
};
constexpr Caption kEnglish[] = {
    {"FileMenu", "&File"},        {"OpenCfg", "&Configure"},     {"ViewLog", "View&Log"},
    {"Exit", "E&xit"},            {"OperMenu", "&Operation"},    {"PopOpen", "&Open"},
    {"Reset", "&Reset"},          {"PopReset", "&Reset"},        {"Reload", "Re&load"},
    {"PopReload", "Re&load"},     {"HideStatus", "HideStatus&Area"}, {"DebugMenu", "&Debug"},
    {"DebugOpen", "Open Page..."}, {"DebugClosePage", "Close Page"}, {"DebugCloseAll", "Close All"},
    {"DebugStep", "Step"},        {"DebugRun", "Run"},           {"DebugFlush", "Flush"},
    {"DebugCallStack", "Call Stack..."}, {"HelpMenu", "&Help"},  {"PopOpenCfg", "&Configure"},
    {"PopViewLog", "View&Log"},   {"PopExit", "E&xit"},
};

}  // namespace

// --- grid ------------------------------------------------------------------------

TagLineGrid::TagLineGrid(QWidget* parent) : QTableWidget(parent) {
  verticalHeader()->setVisible(false);
  verticalHeader()->setDefaultSectionSize(16);
  verticalHeader()->setMinimumSectionSize(14);
  horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  // The style's minimum (about the header font's height) would widen the
  // narrow columns of the several-group layout, down to 1 pixel.
  horizontalHeader()->setMinimumSectionSize(1);
  horizontalHeader()->setHighlightSections(false);
  horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                  QAbstractItemView::AnyKeyPressed);
  setWordWrap(false);
  setShowGrid(true);
}

TagGridRange TagLineGrid::VisibleRange() const {
  TagGridRange r;
  if (rowCount() == 0 || columnCount() == 0) return TagGridRange{1, 0, 0, -1};
  int top = rowAt(0), bottom = rowAt(viewport()->height() - 1);
  if (top < 0) top = 0;
  if (bottom < 0) bottom = rowCount() - 1;
  int left = columnAt(0), right = columnAt(viewport()->width() - 1);
  if (left < 0) left = 0;
  if (right < 0) right = columnCount() - 1;
  r.firstRow = top + 1;
  r.lastRow = bottom + 1;
  r.firstColumn = left;
  r.lastColumn = right;
  return r;
}

TagGridDelegate::TagGridDelegate(TForm1* form) : QStyledItemDelegate(form), form_(form) {}

void TagGridDelegate::paint(QPainter* p, const QStyleOptionViewItem& opt, const QModelIndex& index) const {
  auto monitor = form_->System().Monitor();
  if (!form_->PaintsCells() || !monitor) {
    QStyledItemDelegate::paint(p, opt, index);
    return;
  }
  int line, cell;
  if (!monitor->Layout().LineAt(index.column(), index.row() + 1, &line, &cell)) {
    QStyledItemDelegate::paint(p, opt, index);
    return;
  }
  auto [fg, bg] = monitor->CellColors(line, cell);
  p->save();
  p->fillRect(opt.rect, MonitorColor(bg));
  if (opt.state & QStyle::State_Selected) {
    QPen pen(opt.palette.highlight().color(), 2);
    p->setPen(pen);
    p->drawRect(opt.rect.adjusted(1, 1, -1, -1));
  }
  p->setPen(MonitorColor(fg));
  p->setFont(opt.font);
  QRect tr = opt.rect.adjusted(2, 0, -2, 0);
  QString text = index.data(Qt::DisplayRole).toString();
  p->drawText(tr, Qt::AlignLeft | Qt::AlignVCenter, opt.fontMetrics.elidedText(text, Qt::ElideRight, tr.width()));
  p->restore();
}

QWidget* TagGridDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& opt,
                                       const QModelIndex& index) const {
  auto monitor = form_->System().Monitor();
  int line, cell;
  if (!monitor || !monitor->Layout().LineAt(index.column(), index.row() + 1, &line, &cell) || cell != kCellKeys)
    return nullptr;
  auto* e = new QLineEdit(parent);
  e->setFrame(false);
  // What the cell held when editing began, kept with the editor.
  TagKeysEdit before = monitor->BeginKeysEdit(line);
  e->setProperty("rodizLine", line);
  e->setProperty("rodizBefore", QByteArray::fromStdString(before.text));
  e->setProperty("rodizConsumed", QVariant::fromValue<qulonglong>(before.consumed));
  return e;
}

void TagGridDelegate::setEditorData(QWidget* editor, const QModelIndex&) const {
  auto* e = static_cast<QLineEdit*>(editor);
  if (e->property("rodizLoaded").toBool()) return;
  e->setProperty("rodizLoaded", true);
  e->setText(Q(e->property("rodizBefore").toByteArray().toStdString()));
}

void TagGridDelegate::setModelData(QWidget* editor, QAbstractItemModel*, const QModelIndex&) const {
  auto* e = static_cast<QLineEdit*>(editor);
  auto monitor = form_->System().Monitor();
  if (!monitor) return;
  TagKeysEdit before{e->property("rodizBefore").toByteArray().toStdString(),
                     e->property("rodizConsumed").value<qulonglong>()};
  monitor->CommitKeysEdit(e->property("rodizLine").toInt(), before, GB(e->text()));
  // The grid shows the merged text with the next tick.
}

// --- images ------------------------------------------------------------------------

QIcon DrawTrayImage(bool alarm) {
  QIcon icon;
  for (int size : {16, 22, 32, 48, 64}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QColor base = alarm ? QColor(210, 40, 40) : QColor(30, 130, 200);
    QRadialGradient g(size * 0.35, size * 0.3, size * 0.8);
    g.setColorAt(0, base.lighter(150));
    g.setColorAt(1, base.darker(120));
    p.setBrush(g);
    p.setPen(QPen(base.darker(160), size / 16.0 + 0.5));
    p.drawEllipse(QRectF(1, 1, size - 2, size - 2));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    if (alarm) {
      // An exclamation mark.
      p.drawRoundedRect(QRectF(size * 0.43, size * 0.2, size * 0.14, size * 0.4), size * 0.05, size * 0.05);
      p.drawEllipse(QRectF(size * 0.42, size * 0.68, size * 0.16, size * 0.16));
    } else {
      // A telephone handset.
      QPainterPath path;
      path.moveTo(size * 0.28, size * 0.25);
      path.cubicTo(size * 0.2, size * 0.45, size * 0.45, size * 0.8, size * 0.72, size * 0.75);
      path.lineTo(size * 0.75, size * 0.62);
      path.lineTo(size * 0.6, size * 0.56);
      path.lineTo(size * 0.53, size * 0.62);
      path.cubicTo(size * 0.45, size * 0.58, size * 0.4, size * 0.5, size * 0.38, size * 0.45);
      path.lineTo(size * 0.44, size * 0.39);
      path.lineTo(size * 0.4, size * 0.24);
      path.closeSubpath();
      p.drawPath(path);
    }
    p.end();
    icon.addPixmap(pm);
  }
  return icon;
}

QPixmap DrawLogo(int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient g(0, 0, size, size);
  g.setColorAt(0, QColor(40, 150, 220));
  g.setColorAt(1, QColor(20, 70, 140));
  p.setBrush(g);
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(QRectF(0, 0, size, size), size * 0.2, size * 0.2);
  p.setPen(QPen(Qt::white, size * 0.07, Qt::SolidLine, Qt::RoundCap));
  p.setBrush(Qt::NoBrush);
  // Sound waves beside a dot: a voice platform.
  QPointF c(size * 0.32, size * 0.5);
  p.drawEllipse(c, size * 0.05, size * 0.05);
  for (int i = 1; i <= 3; ++i) {
    double r = size * 0.14 * i;
    p.drawArc(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), -50 * 16, 100 * 16);
  }
  p.end();
  return pm;
}

// --- about ------------------------------------------------------------------------

namespace {
class ClickLabel : public QLabel {
 public:
  ClickLabel(const QString& text, std::string target, QWidget* parent)
      : QLabel(text, parent), target_(std::move(target)) {
    setCursor(Qt::PointingHandCursor);
  }

 protected:
  void mousePressEvent(QMouseEvent*) override { plat::ShellOpen(target_); }

 private:
  std::string target_;
};
constexpr const char* kMakerPage = "https://www.corvane.example/";
constexpr const char* kSupportMail = "mailto:support@corvane.example";
}  // namespace

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent) {
  setObjectName("AboutForm");
  setModal(true);
  setWindowTitle("About");
  auto* lay = new QHBoxLayout(this);
  auto* logo = new ClickLabel("", kMakerPage, this);
  logo->setPixmap(DrawLogo(72));
  logo->setAlignment(Qt::AlignTop);
  lay->addWidget(logo);
  auto* col = new QVBoxLayout;
  auto* brand = new ClickLabel("Vintaro", kMakerPage, this);
  QFont bf = brand->font();
  bf.setPointSizeF(bf.pointSizeF() * 1.8);
  bf.setBold(true);
  brand->setFont(bf);
  brand->setStyleSheet("color: #1e5c9a;");
  col->addWidget(brand);
  col->addWidget(new QLabel(Q(ProductName(0)) + "  /  " + Q(ProductName(1)), this));
  verLab_ = new QLabel(Q(VersionText()), this);
  verLab_->setObjectName("AboutVerLab");
  col->addWidget(verLab_);
  col->addWidget(new ClickLabel("Corvane Telecom Systems", kMakerPage, this));
  auto* mail = new ClickLabel("support@corvane.example", kSupportMail, this);
  mail->setStyleSheet("color: #1a5fb4; text-decoration: underline;");
  col->addWidget(mail);
  auto* ok = new QPushButton(Q(GBK("确定")), this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  col->addWidget(ok, 0, Qt::AlignRight);
  lay->addLayout(col);
}

void TAboutForm::SetVersion(const QString& text) { verLab_->setText(text); }

// --- main window -------------------------------------------------------------------

TForm1::TForm1(QWidget* parent) : QMainWindow(parent), system_(this) {
  setObjectName("Form1");
  setMinimumSize(TagWinLayout::kMinW, TagWinLayout::kMinH);
  resize(TagWinLayout::kInitW, TagWinLayout::kInitH);
  move(TagWinLayout::kInitX, TagWinLayout::kInitY);
  images_[0] = DrawTrayImage(false);
  images_[1] = images_[0];
  images_[2] = DrawTrayImage(true);
  setWindowIcon(images_[0]);

  auto* central = new QWidget(this);
  auto* v = new QVBoxLayout(central);
  v->setContentsMargins(0, 0, 0, 0);
  v->setSpacing(0);

  // Status area.
  panel1_ = new QWidget(central);
  panel1_->setObjectName("Panel1");
  panel1_->setFixedHeight(58);
  panel1_->setAutoFillBackground(true);
  QPalette pal = panel1_->palette();
  QLinearGradient bgGrad(0, 0, 0, 58);
  bgGrad.setColorAt(0, QColor(250, 252, 255));
  bgGrad.setColorAt(1, QColor(222, 232, 244));
  pal.setBrush(QPalette::Window, bgGrad);
  panel1_->setPalette(pal);
  auto* h = new QHBoxLayout(panel1_);
  h->setContentsMargins(6, 4, 6, 4);
  h->setSpacing(6);
  auto* logo = new QLabel(panel1_);
  logo->setPixmap(DrawLogo(46));
  h->addWidget(logo);
  auto* brandCol = new QVBoxLayout;
  brandCol->setSpacing(0);
  auto* brand = new QLabel("Vintaro", panel1_);
  QFont bf = brand->font();
  bf.setPointSizeF(bf.pointSizeF() * 1.5);
  bf.setBold(true);
  brand->setFont(bf);
  brand->setStyleSheet("color: #1e5c9a;");
  brandCol->addWidget(brand);
  verLab_ = new QLabel(panel1_);
  verLab_->setObjectName("VerLab");
  verLab_->setStyleSheet("color: #555;");
  brandCol->addWidget(verLab_);
  auto* maker = new QLabel("Corvane", panel1_);
  maker->setStyleSheet("color: #777;");
  brandCol->addWidget(maker);
  h->addLayout(brandCol);
  auto* grid = new QGridLayout;
  grid->setSpacing(3);
  infoPanel_ = MakePanel(panel1_, "InfoPanel", 170);
  timerPanel_ = MakePanel(panel1_, "TimerPanel", 70);
  monConnPanel_ = MakePanel(panel1_, "MonConnPanel", 220);
  linePanel_ = MakePanel(panel1_, "LinePanel", 220);
  countPanel_ = MakePanel(panel1_, "CountPanel", 260);
  timerPanel_->setAlignment(Qt::AlignCenter);
  grid->addWidget(infoPanel_, 0, 0);
  grid->addWidget(timerPanel_, 0, 1);
  grid->addWidget(monConnPanel_, 0, 2);
  grid->addWidget(linePanel_, 1, 0, 1, 2);
  grid->addWidget(countPanel_, 1, 2);
  grid->setColumnStretch(2, 1);
  h->addLayout(grid, 1);
  v->addWidget(panel1_);

  // Grid and the debugger panel beside it.
  auto* split = new QSplitter(Qt::Horizontal, central);
  grid_ = new TagLineGrid(split);
  grid_->setObjectName("LineGrid");
  grid_->setItemDelegate(new TagGridDelegate(this));
  // Empty headers until the system start binds the grid.
  grid_->setColumnCount(kCellCount);
  grid_->setHorizontalHeaderLabels(QStringList(kCellCount, QString()));
  for (int i = 0; i < kCellCount; ++i) grid_->setColumnWidth(i, TagWinLayout::kInitWidths[static_cast<size_t>(i)]);
  split->addWidget(grid_);
  debugPan_ = new QWidget(split);
  debugPan_->setObjectName("DebugPan");
  auto* dv = new QVBoxLayout(debugPan_);
  dv->setContentsMargins(2, 2, 2, 2);
  auto* bar = new QHBoxLayout;
  stepBtn_ = new QPushButton(debugPan_);
  runBtn_ = new QPushButton(debugPan_);
  flushBtn_ = new QPushButton(debugPan_);
  closePageBtn_ = new QPushButton(debugPan_);
  autoFlush_ = new QCheckBox(debugPan_);
  for (QWidget* w : {static_cast<QWidget*>(stepBtn_), static_cast<QWidget*>(runBtn_),
                     static_cast<QWidget*>(flushBtn_), static_cast<QWidget*>(closePageBtn_),
                     static_cast<QWidget*>(autoFlush_)})
    bar->addWidget(w);
  bar->addStretch();
  dv->addLayout(bar);
  pageControl_ = new QTabWidget(debugPan_);
  pageControl_->setObjectName("PageControl1");
  dv->addWidget(pageControl_, 1);
  split->addWidget(debugPan_);
  split->setObjectName("DebugSplitter");
  split->setStretchFactor(0, 1);
  split->setStretchFactor(1, 1);
  debugPan_->hide();
  connect(stepBtn_, &QPushButton::clicked, this, [this] {
    if (ctrlPages_) ctrlPages_->StepCmd();
  });
  connect(runBtn_, &QPushButton::clicked, this, [this] {
    if (ctrlPages_) ctrlPages_->RunCmd();
  });
  connect(flushBtn_, &QPushButton::clicked, this, [this] {
    if (ctrlPages_) ctrlPages_->FlushCmd();
  });
  connect(closePageBtn_, &QPushButton::clicked, this, &TForm1::DebugClosePage);
  v->addWidget(split, 1);
  setCentralWidget(central);

  BuildMenus();

  timer1_.setInterval(1000);
  connect(&timer1_, &QTimer::timeout, this, &TForm1::OnTick);
  about_ = new TAboutForm(this);
}

TForm1::~TForm1() {
  timer1_.stop();
  ctrlPages_.reset();
  SetExitHook(nullptr);
  if (CurrentSystem() == &system_) SetCurrentSystem(nullptr);
}

QAction* TForm1::AddAction(QMenu* menu, const char* name, const QString& zh, const QKeySequence& key) {
  QAction* a = menu->addAction(zh);
  a->setObjectName(name);
  a->setProperty("rodizChinese", zh);
  if (!key.isEmpty()) a->setShortcut(key);
  return a;
}

void TForm1::BuildMenus() {
  auto zh = [](const char* utf8) { return QString::fromUtf8(utf8); };
  fileMenu_ = menuBar()->addMenu(zh("文件(&F)"));
  fileMenu_->setObjectName("FileMenu");
  operMenu_ = menuBar()->addMenu(zh("操作(&O)"));
  operMenu_->setObjectName("OperMenu");
  debugMenu_ = menuBar()->addMenu(zh("调试(&D)"));
  debugMenu_->setObjectName("DebugMenu");
  helpMenu_ = menuBar()->addMenu(zh("帮助(&H)"));
  helpMenu_->setObjectName("HelpMenu");
  for (QMenu* m : {fileMenu_, operMenu_, debugMenu_, helpMenu_}) m->menuAction()->setObjectName(m->objectName());

  connect(AddAction(fileMenu_, "OpenCfg", zh("打开配置文件")), &QAction::triggered, this, &TForm1::OpenConfig);
  connect(AddAction(fileMenu_, "ViewLog", zh("查看运行日志")), &QAction::triggered, this, &TForm1::ViewLog);
  fileMenu_->addSeparator();
  connect(AddAction(fileMenu_, "Exit", zh("退出(&X)")), &QAction::triggered, this, [this] { system_.ExitSequence(); });

  QAction* reset = AddAction(operMenu_, "Reset", zh("复位(&R)"));
  reset->setEnabled(false);
  connect(reset, &QAction::triggered, this, [this] { system_.Reset(); });
  connect(AddAction(operMenu_, "Reload", zh("重新加载(&L)")), &QAction::triggered, this, [this] { system_.Reload(); });
  operMenu_->addSeparator();
  connect(AddAction(operMenu_, "HideStatus", zh("隐藏状态区")), &QAction::triggered, this, &TForm1::ToggleStatusArea);

  // The debugger's commands act on its pages, made at the end of the start-up.
  auto pages = [this](void (TagCtrlPages::*cmd)()) {
    return [this, cmd] {
      if (ctrlPages_) (ctrlPages_.get()->*cmd)();
    };
  };
  connect(AddAction(debugMenu_, "DebugOpen", zh("开启...")), &QAction::triggered, this, &TForm1::DebugOpen);
  connect(AddAction(debugMenu_, "DebugClosePage", zh("关闭当前页"), QKeySequence(Qt::Key_F2)), &QAction::triggered,
          this, &TForm1::DebugClosePage);
  connect(AddAction(debugMenu_, "DebugCloseAll", zh("关闭全部页")), &QAction::triggered, this, &TForm1::DebugCloseAll);
  debugMenu_->addSeparator();
  connect(AddAction(debugMenu_, "DebugStep", zh("单步"), QKeySequence(Qt::Key_F8)), &QAction::triggered, this,
          pages(&TagCtrlPages::StepCmd));
  connect(AddAction(debugMenu_, "DebugRun", zh("运行"), QKeySequence(Qt::Key_F9)), &QAction::triggered, this,
          pages(&TagCtrlPages::RunCmd));
  connect(AddAction(debugMenu_, "DebugFlush", zh("刷新变量列表"), QKeySequence(Qt::Key_F5)), &QAction::triggered, this,
          pages(&TagCtrlPages::FlushCmd));
  connect(AddAction(debugMenu_, "DebugCallStack", zh("显示调用堆栈"), QKeySequence(Qt::Key_F4)), &QAction::triggered,
          this, [this] {
            if (ctrlPages_) ctrlPages_->CallStackCmd();
          });
  connect(AddAction(debugMenu_, "DebugBreak", zh("设置(取消)断点"), QKeySequence(Qt::Key_F6)), &QAction::triggered,
          this, pages(&TagCtrlPages::ToggleBreakCmd));

  connect(AddAction(helpMenu_, "About", "About..."), &QAction::triggered, this, &TForm1::ShowAbout);

  popup_ = new QMenu(this);
  popup_->setObjectName("PopupMenu1");
  connect(AddAction(popup_, "PopOpen", zh("打开(&O)")), &QAction::triggered, this, &TForm1::ShowForm);
  popup_->addSeparator();
  QAction* preset = AddAction(popup_, "PopReset", zh("复位(&R)"));
  preset->setEnabled(false);
  connect(preset, &QAction::triggered, this, [this] { system_.Reset(); });
  connect(AddAction(popup_, "PopReload", zh("重新加载(&L)")), &QAction::triggered, this, [this] { system_.Reload(); });
  connect(AddAction(popup_, "PopHideStatus", zh("隐藏状态区(&A)")), &QAction::triggered, this,
          &TForm1::ToggleStatusArea);
  connect(AddAction(popup_, "PopOpenCfg", zh("打开配置文件")), &QAction::triggered, this, &TForm1::OpenConfig);
  connect(AddAction(popup_, "PopViewLog", zh("查看运行日志")), &QAction::triggered, this, &TForm1::ViewLog);
  popup_->addSeparator();
  connect(AddAction(popup_, "PopOpenDebug", "Open Debug ..."), &QAction::triggered, this, &TForm1::DebugOpen);
  connect(AddAction(popup_, "PopHangup", "Hangup"), &QAction::triggered, this, &TForm1::HangupSelected);
  popup_->addSeparator();
  connect(AddAction(popup_, "PopAbout", "About..."), &QAction::triggered, this, &TForm1::ShowAbout);
  connect(AddAction(popup_, "PopExit", zh("退出(&X)")), &QAction::triggered, this, [this] { system_.ExitSequence(); });
  connect(popup_, &QMenu::aboutToShow, this, &TForm1::PreparePopup);
}

QAction* TForm1::Action(const char* name) const {
  for (QAction* a : findChildren<QAction*>())
    if (a->objectName() == name) return a;
  for (QMenu* m : {fileMenu_, operMenu_, debugMenu_, helpMenu_})
    if (m->objectName() == name) return m->menuAction();
  return nullptr;
}

QLabel* TForm1::Panel(const char* name) const { return findChild<QLabel*>(name); }

QIcon TForm1::TrayImage(int index) const { return images_[index < 0 || index > 2 ? 0 : index]; }

void TForm1::StartUp() {
  SetCurrentSystem(&system_);
  SetExitHook([this] { QMetaObject::invokeMethod(this, &TForm1::WMKxSysQuit, Qt::QueuedConnection); });
  system_.CreateEvents();
  verLab_->setText(Q(VersionText()));
  about_->SetVersion(verLab_->text());
  groups_ = runCfg.colGroupNum < 1 ? 1 : runCfg.colGroupNum;
  formPos_.Load();
  RestoreLayout();
  system_.InitSystem();
  RawLog("InitSystem() OK.");
  language_ = runCfg.languageType;
  SetCaptions(language_);
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = new QSystemTrayIcon(images_[0], this);
    tray_->setToolTip(appTitle_);
    tray_->setContextMenu(popup_);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
      if (r == QSystemTrayIcon::Trigger || r == QSystemTrayIcon::DoubleClick) ShowForm();
    });
    tray_->show();
  } else {
    LogAlways("No notification area: running without the tray icon; the Show event brings the window back.");
  }
  trayTip_ = appTitle_;
  if (runCfg.isShowForm) show();
  RawLog("new TagCtrlPages()...");
  ctrlPages_ = std::make_unique<TagCtrlPages>(pageControl_, autoFlush_, &system_, this);
  RawLog("new TagCtrlPages() OK.");
  timer1_.start();
}

void TForm1::SetCaptions(int language) {
  const bool en = language == 1;
  QString title = !runCfg.formTitle.empty() ? Q(runCfg.formTitle) : Q(ProductName(language));
  setWindowTitle(title);
  appTitle_ = title;
  QApplication::setApplicationDisplayName(title);
  for (QAction* a : findChildren<QAction*>()) {
    QVariant zh = a->property("rodizChinese");
    if (!zh.isValid()) continue;
    QString text = zh.toString();
    if (en)
      for (const Caption& c : kEnglish)
        if (a->objectName() == c.name) text = c.english;
    a->setText(text);
  }
  const std::pair<QMenu*, const char*> menus[] = {
      {fileMenu_, "文件(&F)"}, {operMenu_, "操作(&O)"}, {debugMenu_, "调试(&D)"}, {helpMenu_, "帮助(&H)"}};
  for (auto& [m, zhText] : menus) {
    QString text = QString::fromUtf8(zhText);
    if (en)
      for (const Caption& c : kEnglish)
        if (m->objectName() == c.name) text = c.english;
    m->setTitle(text);
  }
  if (QAction* h = Action("PopHideStatus"))
    h->setText(en ? (statusShown_ ? "HideStatus&Area" : "DispStatus&Area")
                  : QString::fromUtf8(statusShown_ ? "隐藏状态区(&A)" : "显示状态区(&A)"));
  stepBtn_->setText(en ? "Step(F8)" : QString::fromUtf8("单步(F8)"));
  runBtn_->setText(en ? "Run(F9)" : QString::fromUtf8("运行(F9)"));
  flushBtn_->setText(en ? "Flush(F5)" : QString::fromUtf8("刷新(F5)"));
  closePageBtn_->setText(en ? "ClosePage(F2)" : QString::fromUtf8("关闭当前页(F2)"));
  autoFlush_->setText(en ? "&Auto Flush" : QString::fromUtf8("动态刷新&A"));
  const bool debugOn = runCfg.isDispSente == 1;
  debugMenu_->menuAction()->setEnabled(debugOn);
  Action("PopOpenDebug")->setEnabled(debugOn);
}

// --- layout ---------------------------------------------------------------------

TagWinLayout TForm1::CurrentLayout() const {
  TagWinLayout l;
  l.x = x();
  l.y = y();
  l.width = width();
  l.height = height();
  for (int i = 0; i < 8; ++i) l.widths[i] = i < grid_->columnCount() ? grid_->columnWidth(i) : l.widths[i];
  return l;
}

void TForm1::ApplyLayout(const TagWinLayout& l) {
  move(l.x, l.y);
  resize(std::max(l.width, TagWinLayout::kMinW), std::max(l.height, TagWinLayout::kMinH));
  if (grid_->columnCount() < kCellCount * groups_) grid_->setColumnCount(kCellCount * groups_);
  for (int g = 0; g < groups_; ++g)
    for (int i = 0; i < 8; ++i) grid_->setColumnWidth(g * kCellCount + i, l.widths[i]);
}

void TForm1::RestoreLayout() {
  TagWinLayout l;
  if (!LoadPost(formPos_, &l)) {
    QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    QRect r = s ? s->availableGeometry() : QRect(0, 0, 1280, 800);
    DefaultLayout(groups_, runCfg.isDispSente, r.x(), r.y(), r.width(), r.height(), &l);
  }
  ApplyLayout(l);
}

void TForm1::SaveLayout() {
  StorePost(&formPos_, CurrentLayout());
  formPos_.Save();
}

// --- view -----------------------------------------------------------------------

void TForm1::SetInfoPanel(const std::string& text) { infoPanel_->setText(Q(text)); }
void TForm1::SetLinePanel(const std::string& text) { linePanel_->setText(Q(text)); }
void TForm1::SetCountPanel(const std::string& text) { countPanel_->setText(Q(text)); }
void TForm1::SetTimePanel(const std::string& text) { timerPanel_->setText(Q(text)); }
void TForm1::SetConnPanel(const std::string& text) { monConnPanel_->setText(Q(text)); }

void TForm1::BindGrid(const TagGridLayout& layout, const std::array<std::string, kCellCount>& headers) {
  std::array<int, 8> widths;
  for (int i = 0; i < 8; ++i)
    widths[i] = i < grid_->columnCount() ? grid_->columnWidth(i) : TagWinLayout::kInitWidths[i];
  groups_ = layout.groups;
  grid_->clear();
  grid_->setColumnCount(layout.Columns());
  grid_->setRowCount(layout.Rows() - 1);
  QStringList labels;
  for (int g = 0; g < layout.groups; ++g)
    for (int c = 0; c < kCellCount; ++c) labels << Q(headers[c]);
  grid_->setHorizontalHeaderLabels(labels);
  for (int g = 0; g < layout.groups; ++g)
    for (int i = 0; i < 8; ++i) grid_->setColumnWidth(g * kCellCount + i, widths[i]);
  for (int row = 0; row < grid_->rowCount(); ++row)
    for (int col = 0; col < grid_->columnCount(); ++col) {
      auto* item = new QTableWidgetItem;
      int line, cell;
      bool keys = layout.LineAt(col, row + 1, &line, &cell) && cell == kCellKeys;
      item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | (keys ? Qt::ItemIsEditable : Qt::NoItemFlags));
      grid_->setItem(row, col, item);
    }
}

TagGridRange TForm1::VisibleRange() const { return grid_->VisibleRange(); }

void TForm1::PaintCells(const std::vector<TagCellUpdate>& cells) {
  for (const TagCellUpdate& u : cells) {
    QTableWidgetItem* item = grid_->item(TagLineGrid::TableRow(u.row), u.column);
    if (item) item->setText(Q(u.text));
  }
  if (!cells.empty()) painted_ = true;
}

bool TForm1::PaintsCells() const { return !isCloseing.load() && system_.LinesReady() && system_.Monitor(); }

void TForm1::SetTrayState(bool normal) {
  const bool en = language_ == 1;
  trayAlarm_ = !normal;
  if (normal)
    trayTip_ = en ? "Corvane CTI Server" : QString::fromUtf8("Tarnwick语音平台");
  else
    trayTip_ = en ? "Err: Lines Block or Quit!" : QString::fromUtf8("注意: 脚本退出或线路堵塞");
  if (tray_) {
    tray_->setIcon(images_[normal ? 0 : 2]);
    tray_->setToolTip(trayTip_);
  }
}

void TForm1::ShowForm() { ShowMainWindow(); }

void TForm1::ShowMainWindow() {
  showNormal();
  raise();
  activateWindow();
}

void TForm1::PostQuit() { QMetaObject::invokeMethod(this, &TForm1::WMKxSysQuit, Qt::QueuedConnection); }

void TForm1::SetTickInterval(int ms) { timer1_.setInterval(ms); }

void TForm1::RemoveTrayIcon() {
  if (tray_) {
    tray_->hide();
    delete tray_;
    tray_ = nullptr;
  }
}

void TForm1::CloseWindow() {
  timer1_.stop();
  close();
}

// --- commands -------------------------------------------------------------------

void TForm1::WMKxSysQuit() {
  RawLog("WMKxSysQuit()!");
  system_.ExitSequence();
}

void TForm1::OnExitSignal() { system_.Terminate(); }

void TForm1::OnTick() {
  // Read before this tick copies the line states, so that a picture taken
  // after it shows the states the loads ended with.
  loadedBeforeTick_ = system_.LinesLoaded();
  if (system_.Tick() && !refreshPending_) {
    refreshPending_ = true;
    QTimer::singleShot(60, this, &TForm1::ContinueRefresh);
  }
  MaybeScreenshot();
}

void TForm1::ContinueRefresh() {
  refreshPending_ = false;
  if (system_.RefreshGrid()) {
    refreshPending_ = true;
    QTimer::singleShot(60, this, &TForm1::ContinueRefresh);
  }
  MaybeScreenshot();
}

void TForm1::MaybeScreenshot() {
  if (shotTaken_) return;
  QByteArray dir = qgetenv("RODIZ_SCREENSHOT");
  if (dir.isEmpty()) return;
  // Once the lines have loaded and their grid is painted, or at once after a failed start.
  if ((!loadedBeforeTick_ || !painted_ || refreshPending_) && system_.LinesReady()) return;
  shotTaken_ = true;
  QString path = QDir(QString::fromLocal8Bit(dir)).filePath(language_ == 1 ? "rodiz-main-en.png" : "rodiz-main-zh.png");
  if (!SaveScreenshot(path)) LogAlwaysF("Screenshot not written: %s", path.toLocal8Bit().constData());
  about_->adjustSize();
  about_->grab().save(QDir(QString::fromLocal8Bit(dir)).filePath("rodiz-about.png"), "PNG");
  if (ctrlPages_ && ctrlPages_->Current()) SaveDebugShot();
}

bool TForm1::SaveScreenshot(const QString& path) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  return grab().save(path, "PNG");
}

int TForm1::SelectedLine() const {
  auto monitor = system_.Monitor();
  if (!monitor || !grid_->currentIndex().isValid()) return -1;
  return monitor->SelectedLine(grid_->currentColumn(), grid_->currentRow() + 1);
}

void TForm1::DebugOpen() {
  if (!ctrlPages_ || runCfg.isDispSente != 1 || isCloseing.load()) return;
  if (!ctrlPages_->OpenLine(SelectedLine())) return;
  debugPan_->show();
  // The first page opened is pictured too, once it has been filled.
  if (!debugShotTaken_ && !qgetenv("RODIZ_SCREENSHOT").isEmpty()) QTimer::singleShot(400, this, &TForm1::SaveDebugShot);
}

bool TForm1::SaveDebugShot() {
  QByteArray dir = qgetenv("RODIZ_SCREENSHOT");
  if (dir.isEmpty() || debugShotTaken_ || !ctrlPages_ || !ctrlPages_->Current()) return false;
  debugShotTaken_ = true;
  QString path =
      QDir(QString::fromLocal8Bit(dir)).filePath(language_ == 1 ? "rodiz-debug-en.png" : "rodiz-debug-zh.png");
  if (SaveScreenshot(path)) return true;
  LogAlwaysF("Screenshot not written: %s", path.toLocal8Bit().constData());
  return false;
}

void TForm1::DebugClosePage() {
  if (!ctrlPages_) return;
  ctrlPages_->ClosePageCmd();
  if (ctrlPages_->Count() == 0) debugPan_->hide();
}

void TForm1::DebugCloseAll() {
  if (!ctrlPages_) return;
  ctrlPages_->CloseAll();
  debugPan_->hide();
}

void TForm1::CloseDebugPages() { DebugCloseAll(); }

void TForm1::ToggleStatusArea() {
  statusShown_ = !statusShown_;
  panel1_->setVisible(statusShown_);
  menuBar()->setVisible(statusShown_);
  const bool en = language_ == 1;
  Action("PopHideStatus")
      ->setText(en ? (statusShown_ ? "HideStatus&Area" : "DispStatus&Area")
                   : QString::fromUtf8(statusShown_ ? "隐藏状态区(&A)" : "显示状态区(&A)"));
}

void TForm1::OpenConfig() { plat::ShellOpen("RoDizRun.cfg"); }

void TForm1::ViewLog() {
  auto w = GetLogWriter();
  plat::ShellOpen(w ? w->FileName() : runCfg.logFile);
}

void TForm1::ShowAbout() { about_->exec(); }

void TForm1::HangupSelected() {
  auto monitor = system_.Monitor();
  if (!monitor || !grid_->currentIndex().isValid()) return;
  int line = monitor->SelectedLine(grid_->currentColumn(), grid_->currentRow() + 1);
  if (line >= 0) system_.Hangup(line);
}

void TForm1::PreparePopup() {
  QAction* open = Action("PopOpenDebug");
  if (runCfg.isDispSente != 1) {
    open->setEnabled(false);
    return;
  }
  bool enable = false;
  auto monitor = system_.Monitor();
  if (monitor && system_.LinesReady() && !isCloseing.load() && grid_->currentIndex().isValid()) {
    int line = monitor->SelectedLine(grid_->currentColumn(), grid_->currentRow() + 1);
    std::string script;
    int initRet = 0;
    TagLineManager* m = system_.LineManager();
    enable = line >= 0 && line < m->LineCount() && m->LineScript(line, &script, &initRet) && !m->IsScrambled(line) &&
             !(ctrlPages_ && ctrlPages_->PageOfLine(line));
  }
  open->setEnabled(enable);
}

// --- window events ----------------------------------------------------------------

void TForm1::closeEvent(QCloseEvent* e) {
  if (!system_.CloseRequested()) {
    // The platform keeps running in the notification area.
    hide();
    e->ignore();
    return;
  }
  timer1_.stop();
  e->accept();
  QCoreApplication::exit(0);
}

void TForm1::changeEvent(QEvent* e) {
  QMainWindow::changeEvent(e);
  if (e->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized))
    QTimer::singleShot(0, this, [this] { hide(); });
}

void TForm1::contextMenuEvent(QContextMenuEvent* e) { popup_->exec(e->globalPos()); }
