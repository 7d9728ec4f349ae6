#include "host/gui/page.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QSplitter>
#include <QTransform>
#include <QTabWidget>
#include <algorithm>
#include <cstdio>

#include "engine/telbasic.h"
#include "host/gui/ctrlpages.h"
#include "host/gui/debugforms.h"
#include "core/monitor.h"
#include "core/runcfg.h"
#include "platform/text.h"

namespace {

QString Q(const std::string& gb) { return QString::fromStdString(plat::GbkToUtf8(gb)); }

// Header click alternation, shared by every grid.
bool g_nameDescNext = true;
bool g_numberDescNext = true;

bool IsBlockMark(OpKind kind) {
  return kind == kOpBlockOpen || kind == kOpBlockClose || kind == kOpBreak || kind == kOpContinue;
}

}  // namespace

// --- images -------------------------------------------------------------------------

QIcon StatementImage(int index) {
  static QIcon images[4];
  index &= 3;
  if (!images[index].isNull()) return images[index];
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const bool current = index & 1, brk = index & 2;
  if (brk) {
    p.setPen(QPen(QColor(140, 0, 0), 1));
    p.setBrush(QColor(220, 30, 30));
    p.drawEllipse(QRectF(2, 2, 12, 12));
  } else if (!current) {
    p.setPen(QPen(QColor(170, 170, 170), 1));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(6, 6, 4, 4));
  }
  if (current) {
    QPolygonF arrow;
    arrow << QPointF(3, 5) << QPointF(8, 5) << QPointF(8, 2) << QPointF(14, 8) << QPointF(8, 14) << QPointF(8, 11)
          << QPointF(3, 11);
    // On a breakpoint the arrow sits inside the red dot.
    if (brk) arrow = QTransform().translate(8, 8).scale(0.6, 0.6).translate(-8.5, -8).map(arrow);
    p.setPen(QPen(brk ? QColor(120, 90, 0) : QColor(0, 90, 0), 1));
    p.setBrush(brk ? QColor(255, 220, 40) : QColor(40, 180, 60));
    p.drawPolygon(arrow);
  }
  p.end();
  images[index] = QIcon(pm);
  return images[index];
}

// --- variable grid ---------------------------------------------------------------------

TagVarGrid::TagVarGrid(QWidget* parent) : QTableWidget(parent) {
  setColumnCount(4);
  setHorizontalHeaderLabels({"No.", "Name", "Value", "Note"});
  verticalHeader()->setVisible(false);
  verticalHeader()->setDefaultSectionSize(18);
  verticalHeader()->setMinimumSectionSize(14);
  horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  horizontalHeader()->setStretchLastSection(true);
  const int half = horizontalHeader()->defaultSectionSize() / 2;
  setColumnWidth(0, half);
  setColumnWidth(1, 110);
  setColumnWidth(2, 150);
  setColumnWidth(3, half);
  setWordWrap(false);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
  connect(horizontalHeader(), &QHeaderView::sectionClicked, this, &TagVarGrid::SortByHeader);
  setRowCount(1);
}

void TagVarGrid::ResetSortFlags() {
  g_nameDescNext = true;
  g_numberDescNext = true;
}

void TagVarGrid::Fill(const std::vector<dbgview::Var>& vars) {
  vars_.clear();
  for (const dbgview::Var& v : vars) {
    if (v.origin == dbgview::Var::kConst && v.isFunction) continue;
    // Compiler temporaries.
    if (v.origin == dbgview::Var::kVar && v.name.compare(0, 2, "__") == 0) continue;
    vars_.push_back(v);
  }
  Show();
}

void TagVarGrid::Show() {
  std::vector<dbgview::Var> rows;
  std::vector<dbgview::Var> plain;
  for (const dbgview::Var& v : vars_) (v.origin == dbgview::Var::kVar ? plain : rows).push_back(v);
  switch (order_) {
    case 1:
      std::stable_sort(plain.begin(), plain.end(), [](const auto& a, const auto& b) { return a.name > b.name; });
      break;
    case 2:
      std::stable_sort(plain.begin(), plain.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
      break;
    case 3:
      std::reverse(plain.begin(), plain.end());
      break;
    default:
      break;
  }
  rows.insert(rows.end(), plain.begin(), plain.end());
  clearContents();
  setRowCount(std::max<int>(1, static_cast<int>(rows.size())));
  for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
    const dbgview::Var& v = rows[static_cast<size_t>(r)];
    char no[24];
    const char* suffix = v.origin == dbgview::Var::kParam ? "p" : v.origin == dbgview::Var::kConst ? "c" : "";
    std::snprintf(no, sizeof no, "%d%s", v.position, suffix);
    const QString cells[4] = {QString::fromLatin1(no), Q(v.name), Q(v.value), Q(v.note)};
    for (int c = 0; c < 4; ++c) setItem(r, c, new QTableWidgetItem(cells[c]));
  }
}

QString TagVarGrid::NameAt(int row) const {
  QTableWidgetItem* it = item(row, 1);
  return it ? it->text() : QString();
}

void TagVarGrid::SortByHeader(int column) {
  if (column == 1) {
    order_ = g_nameDescNext ? 1 : 2;
    setHorizontalHeaderItem(1, new QTableWidgetItem(QString::fromUtf8(g_nameDescNext ? "Name↓" : "Name↑")));
    setHorizontalHeaderItem(0, new QTableWidgetItem("No."));
    g_nameDescNext = !g_nameDescNext;
  } else if (column == 0) {
    order_ = g_numberDescNext ? 3 : 0;
    setHorizontalHeaderItem(0, new QTableWidgetItem(QString::fromUtf8(g_numberDescNext ? "No↓" : "No↑")));
    setHorizontalHeaderItem(1, new QTableWidgetItem("Name"));
    g_numberDescNext = !g_numberDescNext;
  } else {
    return;
  }
  Show();
}

// --- statement trees ----------------------------------------------------------------------

void TagStmtDelegate::initStyleOption(QStyleOptionViewItem* opt, const QModelIndex& index) const {
  QStyledItemDelegate::initStyleOption(opt, index);
  auto* tree = qobject_cast<const TagStmtTree*>(parent());
  if (!tree) return;
  const int node = index.data(Qt::UserRole).toInt();
  const bool current = tree->IsCurrent(node), brk = tree->IsBreak(node);
  QColor text = current ? QColor(0, 0, 230) : brk ? QColor(210, 0, 0) : opt->palette.color(QPalette::WindowText);
  QColor selected = current ? QColor(255, 255, 0) : brk ? QColor(255, 0, 255) : QColor(255, 255, 255);
  opt->palette.setColor(QPalette::Text, text);
  opt->palette.setColor(QPalette::HighlightedText, selected);
  opt->palette.setColor(QPalette::Highlight, QColor(10, 36, 106));
}

TagStmtTree::TagStmtTree(QWidget* parent) : QTreeWidget(parent) {
  setHeaderHidden(true);
  setColumnCount(1);
  setIndentation(14);
  setIconSize(QSize(16, 16));
  setUniformRowHeights(true);
  setExpandsOnDoubleClick(false);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setItemDelegate(new TagStmtDelegate(this));
}

void TagStmtTree::AddNode(int depth, const QString& text, NodeRef ref) {
  depth = std::max(0, std::min(depth, static_cast<int>(parents_.size())));
  auto* item = depth == 0 ? new QTreeWidgetItem(this) : new QTreeWidgetItem(parents_[static_cast<size_t>(depth - 1)]);
  item->setText(0, text);
  item->setData(0, Qt::UserRole, NodeCount());
  parents_.resize(static_cast<size_t>(depth));
  parents_.push_back(item);
  nodes_.push_back(item);
  refs_.push_back(ref);
  SetImage(NodeCount() - 1, false);
}

int TagStmtTree::NodeOf(const QTreeWidgetItem* item) const {
  if (!item) return -1;
  bool ok = false;
  int n = item->data(0, Qt::UserRole).toInt(&ok);
  return ok && n >= 0 && n < NodeCount() && nodes_[static_cast<size_t>(n)] == item ? n : -1;
}

bool TagStmtTree::IsCurrent(int node) const {
  NodeRef r = Ref(node);
  if (!r.body) return false;
  if (r.body->parent && r.body->runEnded.load()) return false;
  return r.body->curOperIndex.load() == r.index;
}

bool TagStmtTree::IsBreak(int node) const {
  NodeRef r = Ref(node);
  return r.body && dbgview::HasBreakpoint(*r.body, r.index);
}

void TagStmtTree::SetImage(int node, bool current) {
  if (QTreeWidgetItem* item = Node(node)) item->setIcon(0, StatementImage((IsBreak(node) ? 2 : 0) + (current ? 1 : 0)));
}

void TagStmtTree::mousePressEvent(QMouseEvent* e) {
  QTreeWidget::mousePressEvent(e);
  if (e->button() != Qt::LeftButton) return;
  QModelIndex idx = indexAt(e->position().toPoint());
  if (!idx.isValid()) return;
  // The image sits at the start of the item's rectangle.
  QRect r = visualRect(idx);
  const int x = e->position().toPoint().x();
  if (x >= r.left() && x < r.left() + iconSize().width() + 4) Q_EMIT toggleRequested(idx.data(Qt::UserRole).toInt());
}

void TagStmtTree::mouseDoubleClickEvent(QMouseEvent* e) {
  QTreeWidget::mouseDoubleClickEvent(e);
  QModelIndex idx = indexAt(e->position().toPoint());
  if (idx.isValid()) Q_EMIT watchRequested(idx.data(Qt::UserRole).toInt(), e->globalPosition().toPoint());
}

// --- page -----------------------------------------------------------------------------------

namespace {

std::string MainLine(const dbgview::Stmt& st) {
  char tail[96];
  if (IsBlockMark(st.kind) && st.owner >= 0)
    std::snprintf(tail, sizeof tail, "  [%d:%d %d:%d]", st.index, st.lineNo, st.next, st.owner);
  else
    std::snprintf(tail, sizeof tail, "  [%d:%d %d]", st.index, st.lineNo, st.next);
  return st.text + tail;
}

std::string FuncLine(const dbgview::Stmt& st) {
  char tail[64];
  std::snprintf(tail, sizeof tail, "  [%d:%d]", st.index, st.lineNo);
  return st.text + tail;
}

std::string FuncHeader(const TagTelBasic& f) { return f.definitionText + " : (" + f.scriptFile + ")"; }

}  // namespace

std::vector<std::string> TagPage::MainTreeLines(const TagTelBasic& script) {
  std::vector<std::string> lines;
  for (const dbgview::Stmt& st : dbgview::Statements(script))
    lines.push_back(std::string(static_cast<size_t>(st.depth), '\t') + MainLine(st));
  return lines;
}

std::vector<std::string> TagPage::FuncTreeLines(const TagTelBasic& script) {
  std::vector<std::string> lines;
  for (const TagTelBasic* f : script.functions) {
    lines.push_back(FuncHeader(*f));
    for (const dbgview::Stmt& st : dbgview::Statements(*f))
      lines.push_back(std::string(static_cast<size_t>(st.depth) + 1, '\t') + FuncLine(st));
  }
  return lines;
}

TagPage::TagPage(QTabWidget* pageControl, int line, std::shared_ptr<TagTelBasic> script, TagCtrlPages* owner)
    : pageControl_(pageControl), script_(std::move(script)), owner_(owner), line_(line) {
  tab_ = new QWidget;
  tab_->setObjectName(QString("DebugPage%1").arg(line));
  auto* lay = new QHBoxLayout(tab_);
  lay->setContentsMargins(0, 0, 0, 0);
  split_ = new QSplitter(Qt::Horizontal, tab_);
  split_->setHandleWidth(2);
  auto makePanel = [this](TagStmtTree** tree, TagVarGrid** grid, const char* treeName, const char* gridName) {
    auto* panel = new QSplitter(Qt::Vertical, split_);
    panel->setHandleWidth(2);
    *tree = new TagStmtTree(panel);
    (*tree)->setObjectName(treeName);
    *grid = new TagVarGrid(panel);
    (*grid)->setObjectName(gridName);
    panel->setStretchFactor(0, 2);
    panel->setStretchFactor(1, 1);
    panel->setSizes({200, 100});
    return panel;
  };
  makePanel(&mainTree_, &mainGrid_, "MainTree", "MainVarGrid");
  makePanel(&funcTree_, &funcGrid_, "FuncTree", "FuncVarGrid");
  split_->setSizes({500, 500});
  lay->addWidget(split_);

  FillMainGrid();
  BuildTrees();
  for (TagStmtTree* tree : {mainTree_, funcTree_}) {
    QObject::connect(tree, &TagStmtTree::toggleRequested, tab_, [this, tree](int node) { ToggleBreak(tree, node); });
    QObject::connect(tree, &TagStmtTree::watchRequested, tab_,
                     [this, tree](int node, QPoint pos) { OnWatch(tree, node, pos); });
  }
  for (TagVarGrid* grid : {mainGrid_, funcGrid_})
    QObject::connect(grid, &QTableWidget::cellDoubleClicked, tab_, [this, grid](int row, int) { OnVarView(grid, row); });

  pageControl_->addTab(tab_, QString::number(line_));
  pageControl_->setCurrentWidget(tab_);
  dbgview::SetPageOpen(line_, true);
}

TagPage::~TagPage() {
  dbgview::SetPageOpen(line_, false);
  dbgview::ClearBreakpoints(*script_);
  dbgview::SetPaused(*script_, false);
  int i = pageControl_->indexOf(tab_);
  if (i >= 0) pageControl_->removeTab(i);
  delete tab_;
}

void TagPage::BuildTrees() {
  mainTree_->setUpdatesEnabled(false);
  std::vector<dbgview::Stmt> main = dbgview::Statements(*script_);
  for (size_t i = 0; i < main.size(); ++i)
    mainTree_->AddNode(main[i].depth, Q(MainLine(main[i])), {script_.get(), static_cast<int>(i)});
  mainTree_->expandAll();
  mainTree_->setUpdatesEnabled(true);

  // Statement ids of the run loop: the main body's, then each function's.
  int id = static_cast<int>(main.size());
  funcTree_->setUpdatesEnabled(false);
  for (TagTelBasic* f : script_->functions) {
    funcTree_->AddNode(0, Q(FuncHeader(*f)), {});
    std::vector<dbgview::Stmt> body = dbgview::Statements(*f);
    funcs_.push_back(f);
    funcBases_.push_back(funcTree_->NodeCount());
    funcIds_.push_back(id);
    id += static_cast<int>(body.size());
    for (size_t i = 0; i < body.size(); ++i)
      funcTree_->AddNode(body[i].depth + 1, Q(FuncLine(body[i])), {f, static_cast<int>(i)});
  }
  funcTree_->expandAll();
  funcTree_->setUpdatesEnabled(true);
}

int TagPage::FunctionBase(const TagTelBasic* f) const {
  for (size_t k = 0; k < funcs_.size(); ++k)
    if (funcs_[k] == f) return funcBases_[k];
  return -1;
}

TagTelBasic* TagPage::RunningFunction() const {
  TagMonitor* m = CurrentMonitor();
  if (!m) return nullptr;
  TagRunMark mark = m->GetRunMark(line_);
  if (mark.function < 0) return nullptr;
  for (size_t k = 0; k < funcs_.size(); ++k)
    if (funcIds_[k] == mark.function) return funcs_[k]->runEnded.load() ? nullptr : funcs_[k];
  return nullptr;
}

void TagPage::FillMainGrid() {
  std::vector<dbgview::Var> vars;
  if (dbgview::Vars(*script_, &vars)) mainGrid_->Fill(vars);
}

void TagPage::FillFuncGrid() {
  TagTelBasic* f = RunningFunction();
  std::vector<dbgview::Var> vars;
  if (f && dbgview::Vars(*f, &vars)) funcGrid_->Fill(vars);
  shownFunction_ = f;
}

void TagPage::Flush() {
  if (script_->initResult != 0) return;
  FillMainGrid();
  if (RunningFunction()) FillFuncGrid();
}

void TagPage::MarkMain(int index) {
  if (isCloseing.load()) return;
  if (markedMain_ >= 0) {
    mainTree_->SetImage(markedMain_, false);
    if (QTreeWidgetItem* it = mainTree_->Node(markedMain_)) it->setSelected(false);
  }
  if (index >= 0 && index < mainTree_->NodeCount()) {
    mainTree_->SetImage(index, true);
    mainTree_->setCurrentItem(mainTree_->Node(index));
    mainTree_->scrollToItem(mainTree_->Node(index));
    markedMain_ = index;
  }
}

void TagPage::MarkSub(int index, bool prevWasCall) {
  TagTelBasic* f = RunningFunction();
  if (!f) return;
  int base = FunctionBase(f);
  if (base < 0) return;
  int node = base + index;
  if (markedSub_ >= 0) funcTree_->SetImage(markedSub_, false);
  if (prevWasCall && node > base) funcTree_->SetImage(node - 1, false);
  if (funcTree_->Node(node) && funcTree_->Ref(node).body == f) {
    funcTree_->SetImage(node, true);
    funcTree_->setCurrentItem(funcTree_->Node(node));
    funcTree_->scrollToItem(funcTree_->Node(node));
    markedSub_ = node;
  }
}

void TagPage::ToggleBreak(TagStmtTree* tree, int node) {
  TagStmtTree::NodeRef r = tree->Ref(node);
  if (!r.body) return;  // a function's header
  dbgview::SetBreakpoint(*r.body, r.index, !dbgview::HasBreakpoint(*r.body, r.index));
  const int marked = tree == mainTree_ ? markedMain_ : markedSub_;
  tree->SetImage(node, node == marked);
  tree->setCurrentItem(tree->Node(node));
  tree->viewport()->update();
}

TagStmtTree* TagPage::FocusedTree() const { return funcTree_->hasFocus() ? funcTree_ : mainTree_; }

void TagPage::OnWatch(TagStmtTree* tree, int node, QPoint pos) {
  TagStmtTree::NodeRef r = tree->Ref(node);
  if (!r.body || !dbgview::IsPaused(*script_)) return;
  TOperVarsForm form(owner_->DialogParent());
  form.SetText(Q(dbgview::WatchText(*r.body, r.index)));
  form.move(pos);
  form.exec();
}

void TagPage::OnVarView(TagVarGrid* grid, int row) {
  if (row < 0 || script_->initResult != 0) return;
  QString name = grid->NameAt(row);
  if (name.isEmpty()) return;
  const TagTelBasic* body = script_.get();
  QString title = "Mian Var Display";
  if (grid == funcGrid_) {
    TagTelBasic* f = RunningFunction();
    if (!f) return;
    body = f;
    title = "Function Var Display";
  }
  TVarViewForm form(owner_->DialogParent());
  form.SetVar(script_, body, name, title);
  form.exec();
}

void TagPage::Poll(bool autoRefresh) {
  TagMonitor* m = CurrentMonitor();
  TagRunMark mark = m ? m->GetRunMark(line_) : TagRunMark{};
  const bool paused = dbgview::IsPaused(*script_);
  const uint32_t refresh = dbgview::RefreshCount(*script_);
  const bool moved = mark.statement != lastStatement_;
  if (autoRefresh && moved) {
    if (mark.function < 0)
      owner_->ShowRunLine(line_, mark.index);
    else
      owner_->ShowSubRunLine(line_, mark.index, mark.prevWasCall);
  }
  if (refresh != lastRefresh_ || (paused && (!lastPaused_ || moved))) {
    // Where the script stopped is shown whether or not statements follow the run.
    if (paused && !autoRefresh) {
      if (mark.function < 0)
        MarkMain(mark.index);
      else
        MarkSub(mark.index, mark.prevWasCall);
    }
    Flush();
  }
  if (moved && RunningFunction() != shownFunction_) FillFuncGrid();
  if (moved || paused != lastPaused_) {
    mainTree_->viewport()->update();
    funcTree_->viewport()->update();
  }
  lastStatement_ = mark.statement;
  lastPaused_ = paused;
  lastRefresh_ = refresh;
}
