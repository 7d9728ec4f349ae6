#pragma once
// The debugger's small windows: one variable, the variables of a statement,
// and the call stack of a running script function.
#include <QDialog>
#include <memory>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QTreeWidget;
class QTreeWidgetItem;
class TagTelBasic;
class TagVarGrid;

// "变量查询": looks a name up among the parameters, variables and constants.
class TVarViewForm : public QDialog {
  Q_OBJECT
 public:
  explicit TVarViewForm(QWidget* parent = nullptr);
  // The script is kept alive while the window shows one of its bodies.
  void SetVar(std::shared_ptr<TagTelBasic> script, const TagTelBasic* body, const QString& name,
              const QString& title);
  // "刷新": looks the name up again.
  void Lookup();
  // The note label ("参数", "变量" or "常量"), the kind with its type name.
  QString Note() const;
  QString Kind() const;
  QString Value() const;

 private:
  std::shared_ptr<TagTelBasic> script_;
  const TagTelBasic* body_ = nullptr;
  QLineEdit* name_;
  QLabel* note_;
  QLabel* kind_;
  QPlainTextEdit* value_;
  QString kindText_;
};

// "相关变量...": the watch text of a statement.
class TOperVarsForm : public QDialog {
  Q_OBJECT
 public:
  explicit TOperVarsForm(QWidget* parent = nullptr);
  void SetText(const QString& text);
  QString Text() const;

 private:
  QPlainTextEdit* memo_;
};

// "Call Stack List": the running function and its callers, each node with
// its function's variables.
class TCallStackForm : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kMaxNodes = 31;
  explicit TCallStackForm(QWidget* parent = nullptr);
  // Fills CallTree from the running function along its callers; selects
  // the first node and shows it. False when nothing runs.
  bool Fill(std::shared_ptr<TagTelBasic> script, TagTelBasic* running);
  void Clear();
  // The node's function name into SubFuncLab and its variables into StringGrid2.
  void ShowNode(QTreeWidgetItem* item);
  const TagTelBasic* ScriptOf() const { return script_.get(); }
  QTreeWidget* Tree() const { return tree_; }
  QLabel* FuncLabel() const { return label_; }
  TagVarGrid* Grid() const { return grid_; }

 private:
  std::shared_ptr<TagTelBasic> script_;
  std::vector<TagTelBasic*> bodies_;
  QTreeWidget* tree_;
  QLabel* label_;
  TagVarGrid* grid_;
};
