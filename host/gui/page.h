#pragma once
// One line's debugger page: the statement trees of the main flow and of the
// script functions, with the variable grids under them. GUI thread only.
#include <QIcon>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTreeWidget>
#include <memory>
#include <vector>

#include "host/gui/debugaccess.h"

class QSplitter;
class QTabWidget;
class TagTelBasic;
class TagCtrlPages;

// Node images: 0 plain, 1 current, 2 breakpoint, 3 current with a breakpoint.
QIcon StatementImage(int index);

// A variable grid: "No.", "Name", "Value", "Note" over the rows of one body.
class TagVarGrid : public QTableWidget {
  Q_OBJECT
 public:
  explicit TagVarGrid(QWidget* parent = nullptr);
  // Rows for vars: parameters, constants that do not hold a function, then
  // the variables whose names do not begin with "__"; at least one row.
  void Fill(const std::vector<dbgview::Var>& vars);
  // The Name cell of a data row, empty for none.
  QString NameAt(int row) const;
  // Header clicks: column 0 numbers (highest first, then declaration order),
  // column 1 names (descending, then ascending), alternating process-wide.
  void SortByHeader(int column);
  // The alternation starts at the descending state.
  static void ResetSortFlags();

 private:
  void Show();
  std::vector<dbgview::Var> vars_;
  int order_ = 0;  // 0 declaration, 1 name desc, 2 name asc, 3 number desc
};

// Paints statements blue when current, red with a breakpoint; selected
// nodes yellow, magenta or white on a dark bar.
class TagStmtDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  void initStyleOption(QStyleOptionViewItem* opt, const QModelIndex& index) const override;
};

class TagStmtTree : public QTreeWidget {
  Q_OBJECT
 public:
  // Which statement a node shows; body null for a function's header.
  struct NodeRef {
    TagTelBasic* body = nullptr;
    int index = -1;
  };
  explicit TagStmtTree(QWidget* parent = nullptr);

  // Appends a node under the last node one level up (pre-order).
  void AddNode(int depth, const QString& text, NodeRef ref);
  int NodeCount() const { return static_cast<int>(nodes_.size()); }
  QTreeWidgetItem* Node(int i) const { return i >= 0 && i < NodeCount() ? nodes_[static_cast<size_t>(i)] : nullptr; }
  NodeRef Ref(int i) const { return i >= 0 && i < NodeCount() ? refs_[static_cast<size_t>(i)] : NodeRef{}; }
  int NodeOf(const QTreeWidgetItem* item) const;
  int SelectedNode() const { return NodeOf(currentItem()); }
  bool IsCurrent(int node) const;
  bool IsBreak(int node) const;
  // Image 3/1 (current) or 2/0 by the node's breakpoint.
  void SetImage(int node, bool current);

 Q_SIGNALS:
  void toggleRequested(int node);
  void watchRequested(int node, QPoint globalPos);

 protected:
  void mousePressEvent(QMouseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;

 private:
  std::vector<QTreeWidgetItem*> nodes_;
  std::vector<NodeRef> refs_;
  std::vector<QTreeWidgetItem*> parents_;  // last node per depth
};

class TagPage {
 public:
  TagPage(QTabWidget* pageControl, int line, std::shared_ptr<TagTelBasic> script, TagCtrlPages* owner);
  // Clears every breakpoint and lets a paused script run on.
  ~TagPage();
  TagPage(const TagPage&) = delete;
  TagPage& operator=(const TagPage&) = delete;

  QWidget* Tab() const { return tab_; }
  int Line() const { return line_; }
  TagTelBasic& Script() const { return *script_; }
  const std::shared_ptr<TagTelBasic>& ScriptRef() const { return script_; }
  TagStmtTree* MainTree() const { return mainTree_; }
  TagStmtTree* FuncTree() const { return funcTree_; }
  TagVarGrid* MainGrid() const { return mainGrid_; }
  TagVarGrid* FuncGrid() const { return funcGrid_; }
  int MarkedMain() const { return markedMain_; }
  int MarkedSub() const { return markedSub_; }

  // The function body running now (the run mark of the line), or null.
  TagTelBasic* RunningFunction() const;
  // Tree index of a function's first statement; -1 for none.
  int FunctionBase(const TagTelBasic* f) const;
  void FillMainGrid();
  void FillFuncGrid();
  // Refills the grids (F5); nothing for a script that failed to initialise.
  void Flush();
  void MarkMain(int index);
  void MarkSub(int index, bool prevWasCall);
  // F6 and image clicks: toggles the statement a node shows.
  void ToggleBreak(TagStmtTree* tree, int node);
  // Whichever tree has the focus (the main tree when neither has).
  TagStmtTree* FocusedTree() const;
  // The display poll: marks, pause and refresh requests.
  void Poll(bool autoRefresh);

  // The tree texts as lines (for the views and tests).
  static std::vector<std::string> MainTreeLines(const TagTelBasic& script);
  static std::vector<std::string> FuncTreeLines(const TagTelBasic& script);

 private:
  void BuildTrees();
  void OnWatch(TagStmtTree* tree, int node, QPoint pos);
  void OnVarView(TagVarGrid* grid, int row);

  QTabWidget* pageControl_;
  QWidget* tab_ = nullptr;
  QSplitter* split_ = nullptr;
  TagStmtTree* mainTree_ = nullptr;
  TagStmtTree* funcTree_ = nullptr;
  TagVarGrid* mainGrid_ = nullptr;
  TagVarGrid* funcGrid_ = nullptr;
  std::shared_ptr<TagTelBasic> script_;
  TagCtrlPages* owner_;
  int line_;
  int markedMain_ = -1;
  int markedSub_ = -1;
  TagTelBasic* shownFunction_ = nullptr;
  // The script's functions when the page was made, with the tree index of
  // each one's first statement and its first statement id in the run loop.
  std::vector<TagTelBasic*> funcs_;
  std::vector<int> funcBases_;
  std::vector<int> funcIds_;
  // Poll state.
  int lastStatement_ = -2;
  bool lastPaused_ = false;
  uint32_t lastRefresh_ = 0;
};
