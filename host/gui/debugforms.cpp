#include "host/gui/debugforms.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "engine/telbasic.h"
#include "host/gui/debugaccess.h"
#include "host/gui/page.h"
#include "platform/text.h"

namespace {
QString Q(const std::string& gb) { return QString::fromStdString(plat::GbkToUtf8(gb)); }
std::string GB(const QString& s) { return plat::Utf8ToGbk(s.toStdString()); }
}  // namespace

// --- one variable -----------------------------------------------------------------------

TVarViewForm::TVarViewForm(QWidget* parent) : QDialog(parent) {
  setObjectName("VarViewForm");
  setWindowTitle(QString::fromUtf8("变量查询"));
  setModal(true);
  auto* v = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  name_ = new QLineEdit(this);
  name_->setObjectName("VarName");
  note_ = new QLabel(this);
  note_->setObjectName("NoteLab");
  kind_ = new QLabel(this);
  kind_->setObjectName("TypeLab");
  form->addRow("Name", name_);
  form->addRow("Note", note_);
  form->addRow("Type", kind_);
  v->addLayout(form);
  value_ = new QPlainTextEdit(this);
  value_->setObjectName("ValueMemo");
  value_->setReadOnly(true);
  v->addWidget(value_, 1);
  auto* refresh = new QPushButton(QString::fromUtf8("刷新"), this);
  refresh->setObjectName("RefreshBtn");
  connect(refresh, &QPushButton::clicked, this, &TVarViewForm::Lookup);
  connect(name_, &QLineEdit::returnPressed, this, &TVarViewForm::Lookup);
  v->addWidget(refresh, 0, Qt::AlignRight);
  resize(380, 240);
}

void TVarViewForm::SetVar(std::shared_ptr<TagTelBasic> script, const TagTelBasic* body, const QString& name,
                          const QString& title) {
  script_ = std::move(script);
  body_ = body;
  setWindowTitle(title);
  name_->setText(name);
  Lookup();
}

void TVarViewForm::Lookup() {
  if (!body_) return;
  std::string note, value, kind;
  dbgview::FindVarText(*body_, GB(name_->text()), &note, &value, &kind);
  kindText_ = Q(kind);
  // "变量: 整型": the kind goes to the note label, the type beside it.
  int colon = kindText_.indexOf(':');
  note_->setText(colon < 0 ? Q(note) : kindText_.left(colon));
  kind_->setText(colon < 0 ? kindText_ : kindText_.mid(colon + 1).trimmed());
  value_->setPlainText(Q(value));
}

QString TVarViewForm::Note() const { return note_->text(); }
QString TVarViewForm::Kind() const { return kindText_; }
QString TVarViewForm::Value() const { return value_->toPlainText(); }

// --- statement variables -------------------------------------------------------------------

TOperVarsForm::TOperVarsForm(QWidget* parent) : QDialog(parent) {
  setObjectName("OperVarsForm");
  setWindowTitle(QString::fromUtf8("相关变量..."));
  setModal(true);
  auto* v = new QVBoxLayout(this);
  memo_ = new QPlainTextEdit(this);
  memo_->setObjectName("Memo1");
  memo_->setReadOnly(true);
  v->addWidget(memo_);
  resize(320, 200);
}

void TOperVarsForm::SetText(const QString& text) { memo_->setPlainText(text); }
QString TOperVarsForm::Text() const { return memo_->toPlainText(); }

// --- call stack -------------------------------------------------------------------------------

TCallStackForm::TCallStackForm(QWidget* parent) : QDialog(parent) {
  setObjectName("CallStackForm");
  setWindowTitle("Call Stack List");
  setModal(false);
  auto* v = new QVBoxLayout(this);
  auto* split = new QSplitter(Qt::Horizontal, this);
  tree_ = new QTreeWidget(split);
  tree_->setObjectName("CallTree");
  tree_->setHeaderHidden(true);
  tree_->setRootIsDecorated(false);
  auto* right = new QWidget(split);
  auto* rv = new QVBoxLayout(right);
  rv->setContentsMargins(0, 0, 0, 0);
  label_ = new QLabel(right);
  label_->setObjectName("SubFuncLab");
  label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  rv->addWidget(label_);
  grid_ = new TagVarGrid(right);
  grid_->setObjectName("StringGrid2");
  rv->addWidget(grid_, 1);
  split->setSizes({160, 360});
  v->addWidget(split);
  connect(tree_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* it) { ShowNode(it); });
  connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* it) { ShowNode(it); });
  connect(grid_, &QTableWidget::cellDoubleClicked, this, [this](int row, int) {
    QTreeWidgetItem* it = tree_->currentItem();
    int k = it ? it->data(0, Qt::UserRole).toInt() : -1;
    if (k < 0 || k >= static_cast<int>(bodies_.size()) || !script_ || script_->initResult != 0) return;
    QString name = grid_->NameAt(row);
    if (name.isEmpty()) return;
    TVarViewForm form(this);
    form.SetVar(script_, bodies_[static_cast<size_t>(k)], name, QString::fromUtf8("函数内变量查询"));
    form.exec();
  });
  resize(560, 320);
}

bool TCallStackForm::Fill(std::shared_ptr<TagTelBasic> script, TagTelBasic* running) {
  Clear();
  if (!script || !running) return false;
  script_ = std::move(script);
  // The running function, then each caller; a function that is its own
  // caller ends the walk.
  for (TagTelBasic* f = running; f && f->parent && static_cast<int>(bodies_.size()) < kMaxNodes; f = f->caller) {
    bodies_.push_back(f);
    auto* it = new QTreeWidgetItem(tree_);
    it->setText(0, Q(f->name.empty() ? f->definitionText : f->name));
    it->setData(0, Qt::UserRole, static_cast<int>(bodies_.size()) - 1);
    if (f->caller == f) break;
  }
  if (bodies_.empty()) return false;
  tree_->setCurrentItem(tree_->topLevelItem(0));
  ShowNode(tree_->topLevelItem(0));
  return true;
}

void TCallStackForm::Clear() {
  tree_->clear();
  bodies_.clear();
  label_->clear();
  grid_->Fill({});
  script_.reset();
}

void TCallStackForm::ShowNode(QTreeWidgetItem* item) {
  int k = item ? item->data(0, Qt::UserRole).toInt() : -1;
  if (k < 0 || k >= static_cast<int>(bodies_.size())) return;
  const TagTelBasic* f = bodies_[static_cast<size_t>(k)];
  label_->setText(Q(dbgview::FunctionName(*f)));
  std::vector<dbgview::Var> vars;
  dbgview::Vars(*f, &vars);
  grid_->Fill(vars);
}
