// The debugger windows on Qt's offscreen platform: pages over scripts whose
// operations the tests build by hand and run on a thread of their own.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>
#include <QMouseEvent>
#include <QTabWidget>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "engine/debugsvc.h"
#include "engine/oper.h"
#include "engine/telbasic.h"
#include "host/gui/ctrlpages.h"
#include "host/gui/debugforms.h"
#include "host/gui/mainwindow.h"
#include "core/log.h"
#include "engine/kxcall.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "tests/host/fake_line_manager.h"
#include "tests/support/tempdir.h"
#include "tests/support/waitfor.h"

namespace {

QApplication* App() {
  static int argc = 1;
  static char name[] = "test_gui";
  static char* argv[] = {name, nullptr};
  if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) return app;
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // The main window tests' environment deletes it at the end of the program.
  return new QApplication(argc, argv);
}

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// An operation made of a lambda.
class FnOper : public TagOper {
 public:
  explicit FnOper(std::function<int()> fn) : fn_(std::move(fn)) { kind = kOpOperation; }
  int Execute() override { return fn_(); }

 private:
  std::function<int()> fn_;
};

class PlainCall : public TagKxCall {};

// Script instances of the lines, and which came from the scrambled form.
struct DebugLines {
  mutable std::mutex lock;
  std::map<int, std::shared_ptr<TagTelBasic>> instances;
  std::set<int> scrambled;
};

class DebugFakeManager : public testsupport::FakeLineManager {
 public:
  DebugFakeManager(std::shared_ptr<testsupport::FakeRecord> rec, std::shared_ptr<DebugLines> d)
      : FakeLineManager(std::move(rec)), d_(std::move(d)) {}
  std::shared_ptr<TagTelBasic> LineInstance(int line) const override {
    std::lock_guard<std::mutex> g(d_->lock);
    auto it = d_->instances.find(line);
    return it == d_->instances.end() ? nullptr : it->second;
  }
  bool IsScrambled(int line) const override {
    std::lock_guard<std::mutex> g(d_->lock);
    return d_->scrambled.count(line) != 0;
  }

 private:
  std::shared_ptr<DebugLines> d_;
};

// A main script of n counting operations; the i-th one also stores its count
// in the variable x.
class CountingScript {
 public:
  // Statements of a script as its page shows them: text and block depth.
  struct Stmt {
    const char* text;
    int depth;
    OpKind kind;
  };
  CountingScript(int line, const std::vector<Stmt>& stmts) : CountingScript(line, static_cast<int>(stmts.size())) {
    for (size_t i = 0; i < stmts.size(); ++i) {
      inst->operations[i]->text = stmts[i].text;
      inst->operations[i]->depth = stmts[i].depth;
      inst->operations[i]->kind = stmts[i].kind;
    }
  }
  // A script compiled from a file.
  CountingScript(int line, const std::string& file) {
    inst = std::make_shared<TagTelBasic>(file, line, &call, 1);
  }
  CountingScript(int line, int n) : counts(static_cast<size_t>(n)) {
    inst = std::make_shared<TagTelBasic>("none.kxs", line, &call, 0);
    inst->initResult = 0;
    auto v = std::make_unique<TagVar>();
    v->DefineInt("x", 0, false);
    x = inst->AddVariable(std::move(v));
    for (int i = 0; i < n; ++i) {
      auto* op = new FnOper([this, i] {
        int c = ++counts[static_cast<size_t>(i)];
        if (i == 1) x->SetInt(c);
        plat::SleepMs(1);
        return 0;
      });
      op->index = i;
      op->lineNo = 10 + i;
      op->text = "Op" + std::to_string(i) + "(x);";
      if (!inst->operations.empty()) inst->operations.back()->next = op;
      inst->AppendOperation(op);
    }
  }
  ~CountingScript() { Stop(); }
  void Start() {
    thread_ = std::thread([this] { inst->Run(); });
  }
  void Stop() {
    if (!thread_.joinable()) return;
    inst->lineStopping = 1;
    inst->hardStop = 1;
    thread_.join();
  }
  int Count(int i) const { return counts[static_cast<size_t>(i)].load(); }

  PlainCall call;
  std::shared_ptr<TagTelBasic> inst;
  TagVar* x = nullptr;
  std::vector<std::atomic<int>> counts;

 private:
  std::thread thread_;
};

TagVar* AddVar(TagTelBasic& inst, const char* name, std::function<void(TagVar&)> define) {
  auto v = std::make_unique<TagVar>();
  define(*v);
  v->SetName(name);
  return inst.AddVariable(std::move(v));
}

class DebuggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    ::setenv("RODIZ_KOBJ_SUFFIX", ("dbgtest" + std::to_string(::getpid()) + "_" + std::to_string(++counter_)).c_str(),
             1);
    saved_ = runCfg;
    runCfg = TagRunCfg();
    runCfg.isWriteLog = 2;
    runCfg.dispDelay = 100;
    runCfg.isDispSente = 1;
    SetLogWriter(std::make_shared<TagWriteLog>("msg_log.txt", 1 << 20, true, true));
    rec_ = testsupport::MakeFakeRecord(6);
    auto rec = rec_;
    auto lines = lines_;
    SetLineManagerFactory([rec, lines](const std::string&, TagRunCfg*) -> std::unique_ptr<TagLineManager> {
      return std::make_unique<DebugFakeManager>(rec, lines);
    });
    TagVarGrid::ResetSortFlags();
  }
  void TearDown() override {
    // Scripts stop before the window (and its pages) go.
    for (auto& s : scripts_) s->Stop();
    if (form_ && !form_->System().Closed()) form_->System().CloseRequested();
    form_.reset();
    // The instances go before the call objects their scripts hold.
    {
      std::lock_guard<std::mutex> g(lines_->lock);
      lines_->instances.clear();
    }
    scripts_.clear();
    SetLineManagerFactory(nullptr);
    SetLogWriter(nullptr);
    runCfg = saved_;
  }
  TForm1& Start() {
    form_ = std::make_unique<TForm1>();
    form_->StartUp();
    form_->show();
    for (int i = 0; i < 500 && isCloseing.load(); ++i) plat::SleepMs(10);
    EXPECT_FALSE(isCloseing.load());
    return *form_;
  }
  CountingScript& Script(int line, int n) { return Keep(line, std::make_unique<CountingScript>(line, n)); }
  CountingScript& Script(int line, const std::vector<CountingScript::Stmt>& stmts) {
    return Keep(line, std::make_unique<CountingScript>(line, stmts));
  }
  // Compiles the script text (UTF-8) as the line's script.
  CountingScript& Compiled(int line, const std::string& utf8) {
    const std::string file = "line" + std::to_string(line) + ".kxs";
    std::ofstream(file, std::ios::binary) << plat::Utf8ToGbk(utf8);
    return Keep(line, std::make_unique<CountingScript>(line, file));
  }
  CountingScript& Keep(int line, std::unique_ptr<CountingScript> script) {
    scripts_.push_back(std::move(script));
    std::lock_guard<std::mutex> g(lines_->lock);
    lines_->instances[line] = scripts_.back()->inst;
    return *scripts_.back();
  }
  // Selects the line's cell in the grid and runs "开启...".
  TagPage* Open(int line) {
    auto l = form_->System().Monitor()->Layout();
    form_->Grid()->setCurrentCell(l.RowOf(line) - 1, l.ColumnOf(line, 0));
    int before = Pages().Count();
    form_->DebugOpen();
    return Pages().Count() > before ? Pages().Page(Pages().Count() - 1) : nullptr;
  }
  TagCtrlPages& Pages() { return *form_->CtrlPages(); }
  // Polls the pages and the window until pred holds (generous time-out).
  bool WaitFor(const std::function<bool()>& pred) {
    return testsupport::WaitFor(pred, 20000, [this] {
      QCoreApplication::processEvents();
      Pages().Poll();
    });
  }
  static bool PausedAt(const TagTelBasic& inst, int index) {
    return inst.paused.load() && inst.curOperIndex.load() == index;
  }
  void Trigger(const char* action) { form_->Action(action)->trigger(); }
  static std::vector<QString> Names(const TagVarGrid& g) {
    std::vector<QString> out;
    for (int r = 0; r < g.rowCount(); ++r) out.push_back(g.NameAt(r));
    return out;
  }
  static QString Cell(const TagVarGrid& g, const QString& name, int column) {
    for (int r = 0; r < g.rowCount(); ++r)
      if (g.NameAt(r) == name) return g.item(r, column) ? g.item(r, column)->text() : QString();
    return "(missing)";
  }
  static void DoubleClick(QTreeWidget* tree, QPoint p) {
    QMouseEvent e(QEvent::MouseButtonDblClick, p, tree->viewport()->mapToGlobal(p), Qt::LeftButton, Qt::LeftButton,
                  Qt::NoModifier);
    QApplication::sendEvent(tree->viewport(), &e);
  }
  // What the modal window that action opens shows ("(none)" when none
  // opens); the window is closed at once.
  static QString ModalText(const std::function<void()>& action) {
    QString seen = "(none)";
    QTimer probe;
    probe.setInterval(20);
    QObject::connect(&probe, &QTimer::timeout, [&] {
      QWidget* w = QApplication::activeModalWidget();
      if (auto* o = qobject_cast<TOperVarsForm*>(w)) {
        seen = o->Text();
        o->reject();
      } else if (auto* v = qobject_cast<TVarViewForm*>(w)) {
        seen = v->windowTitle() + "|" + v->Value();
        v->reject();
      }
    });
    probe.start();
    action();
    probe.stop();
    return seen;
  }
  // A click on the image of a tree node.
  static void ClickImage(TagStmtTree* tree, int node) {
    tree->scrollToItem(tree->Node(node));
    QRect r = tree->visualItemRect(tree->Node(node));
    QPoint p(r.left() + 6, r.center().y());
    QMouseEvent press(QEvent::MouseButtonPress, p, tree->viewport()->mapToGlobal(p), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, p, tree->viewport()->mapToGlobal(p), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(tree->viewport(), &press);
    QApplication::sendEvent(tree->viewport(), &release);
  }

  static inline int counter_ = 0;
  testsupport::TempDir dir_;
  testsupport::ScopedCwd cwd_{dir_.path()};
  TagRunCfg saved_;
  std::shared_ptr<testsupport::FakeRecord> rec_;
  std::shared_ptr<DebugLines> lines_ = std::make_shared<DebugLines>();
  std::vector<std::unique_ptr<CountingScript>> scripts_;
  std::unique_ptr<TForm1> form_;
};

TEST_F(DebuggerTest, BreakpointStepContinueAndClose) {
  Start();
  CountingScript& s = Script(1, 5);
  s.Start();
  TagPage* page = Open(1);
  ASSERT_NE(page, nullptr);
  EXPECT_TRUE(form_->DebugPanel()->isVisible());
  EXPECT_EQ(form_->findChild<QTabWidget*>("PageControl1")->tabText(0), "1");
  ASSERT_EQ(page->MainTree()->NodeCount(), 5);

  // A click on the image of statement 2 sets its breakpoint.
  ClickImage(page->MainTree(), 2);
  EXPECT_TRUE(s.inst->operations[2]->HasBreakpoint());
  ASSERT_TRUE(WaitFor([&] { return PausedAt(*s.inst, 2); }));
  // The script stops just before the statement runs, and the page shows it.
  EXPECT_TRUE(WaitFor([&] { return page->MarkedMain() == 2; }));
  const int passes = s.Count(0);
  EXPECT_EQ(s.Count(2), passes - 1);
  EXPECT_TRUE(WaitFor([&] { return Cell(*page->MainGrid(), "x", 2) == QString::number(s.Count(1)); }));

  // Step: exactly statement 2 runs, and the script waits at 3.
  std::vector<int> before;
  for (int i = 0; i < 5; ++i) before.push_back(s.Count(i));
  Trigger("DebugStep");
  ASSERT_TRUE(WaitFor([&] { return PausedAt(*s.inst, 3); }));
  plat::SleepMs(300);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(s.Count(i), before[static_cast<size_t>(i)] + (i == 2 ? 1 : 0)) << i;
  EXPECT_TRUE(WaitFor([&] { return page->MarkedMain() == 3; }));

  // Continue: one more pass to the breakpoint.
  Trigger("DebugRun");
  ASSERT_TRUE(WaitFor([&] { return s.Count(0) == passes + 1 && PausedAt(*s.inst, 2); }));
  EXPECT_EQ(s.Count(2), passes);

  // Closing the page releases the script: it runs through statement 2 again
  // and again without stopping.
  Trigger("DebugClosePage");
  EXPECT_EQ(Pages().Count(), 0);
  EXPECT_FALSE(form_->DebugPanel()->isVisible());
  EXPECT_FALSE(s.inst->operations[2]->HasBreakpoint());
  EXPECT_TRUE(WaitFor([&] { return s.Count(2) >= passes + 3; }));
  EXPECT_FALSE(s.inst->paused.load());
}

TEST_F(DebuggerTest, BreakpointKeyTogglesTheSelectedStatement) {
  Start();
  CountingScript& s = Script(0, 4);
  TagPage* page = Open(0);
  ASSERT_NE(page, nullptr);
  page->MainTree()->setCurrentItem(page->MainTree()->Node(3));
  Trigger("DebugBreak");
  EXPECT_TRUE(s.inst->operations[3]->HasBreakpoint());
  // The image of a breakpoint that is not the current statement.
  EXPECT_EQ(page->MainTree()->Node(3)->icon(0).cacheKey(), StatementImage(2).cacheKey());
  Trigger("DebugBreak");
  EXPECT_FALSE(s.inst->operations[3]->HasBreakpoint());
  EXPECT_EQ(page->MainTree()->Node(3)->icon(0).cacheKey(), StatementImage(0).cacheKey());
}

TEST_F(DebuggerTest, VariableGridHidesTemporariesAndFunctionConstants) {
  Start();
  CountingScript& s = Script(2, 3);
  AddVar(*s.inst, "s", [](TagVar& v) { v.DefineString("s", "a", false); });
  AddVar(*s.inst, "__t1", [](TagVar& v) { v.DefineInt("__t1", 7, false); });
  AddVar(*s.inst, "K", [](TagVar& v) { v.DefineInt("K", 5, true); });
  AddVar(*s.inst, "d", [](TagVar& v) { v.DefineDouble("d", 1.5, false); });
  auto* body = new TagTelBasic("none.kxs", "fn", s.inst.get());
  s.inst->functions.push_back(body);
  AddVar(*s.inst, "fn", [body](TagVar& v) { v.DefineFunction("fn", body, true); });
  s.inst->operations[1]->SetBreakpoint(true);
  s.Start();
  ASSERT_TRUE(WaitFor([&] { return PausedAt(*s.inst, 1); }));
  TagPage* page = Open(2);
  ASSERT_NE(page, nullptr);
  ASSERT_TRUE(WaitFor([&] { return Cell(*page->MainGrid(), "s", 2) == "\"a\""; }));
  const TagVarGrid& g = *page->MainGrid();
  EXPECT_EQ(g.horizontalHeaderItem(0)->text(), "No.");
  EXPECT_EQ(g.horizontalHeaderItem(3)->text(), "Note");
  for (const QString& n : Names(g)) EXPECT_FALSE(n.startsWith("__")) << n.toStdString();
  EXPECT_EQ(Cell(g, "fn", 1), "(missing)");
  EXPECT_EQ(Cell(g, "x", 2), "0");
  EXPECT_EQ(Cell(g, "K", 2), "5");
  EXPECT_TRUE(Cell(g, "K", 0).endsWith("c"));
  EXPECT_EQ(Cell(g, "d", 2).toDouble(), 1.5);
  // The variables in their order of declaration, after the constants.
  std::vector<QString> names = Names(g);
  auto at = [&](const char* n) { return std::find(names.begin(), names.end(), QString(n)) - names.begin(); };
  EXPECT_LT(at("K"), at("_tempVal"));
  EXPECT_LT(at("_tempVal"), at("x"));
  EXPECT_LT(at("x"), at("s"));
  EXPECT_LT(at("s"), at("d"));

  // The variable window of a row, and of a name that does not exist.
  TVarViewForm view;
  view.SetVar(s.inst, s.inst.get(), "s", "Mian Var Display");
  EXPECT_EQ(view.Value(), "\"a\"");
  EXPECT_EQ(view.Kind(), U("变量: 字符串"));
  EXPECT_EQ(view.Note(), U("变量"));
  view.SetVar(s.inst, s.inst.get(), "K", "Mian Var Display");
  EXPECT_EQ(view.Kind(), U("常量: 整型"));
  view.SetVar(s.inst, s.inst.get(), "nope", "Mian Var Display");
  EXPECT_EQ(view.Value(), U("变量名不存在."));
  EXPECT_EQ(view.Kind(), "");

  // The statement's variables: x is the only name of "Op1(x);" that exists.
  EXPECT_EQ(dbgview::WatchText(*s.inst, 1), "x: 0");
  // A double click on the statement shows them in their window; on a row of
  // the grid, the variable's.
  EXPECT_EQ(ModalText([&] { DoubleClick(page->MainTree(), page->MainTree()->visualItemRect(page->MainTree()->Node(1)).center()); }),
            "x: 0");
  EXPECT_EQ(ModalText([&] {
              const TagVarGrid& grid = *page->MainGrid();
              int row = 0;
              while (row < grid.rowCount() && grid.NameAt(row) != "s") ++row;
              Q_EMIT page->MainGrid()->cellDoubleClicked(row, 2);
            }),
            "Mian Var Display|\"a\"");
  // Running, the statement's window does not open.
  page->ToggleBreak(page->MainTree(), 1);
  ASSERT_FALSE(s.inst->operations[1]->HasBreakpoint());
  Trigger("DebugRun");
  ASSERT_TRUE(WaitFor([&] { return !s.inst->paused.load(); }));
  EXPECT_EQ(ModalText([&] { DoubleClick(page->MainTree(), page->MainTree()->visualItemRect(page->MainTree()->Node(1)).center()); }),
            "(none)");
}

TEST_F(DebuggerTest, PagesOpenOnlyForDebuggableLines) {
  runCfg.isDispSente = 1;
  Start();
  Script(0, 2);
  CountingScript& scrambledFile = Script(1, 2);
  CountingScript& scrambledInst = Script(2, 2);
  scrambledInst.inst->wasScrambled = 1;
  {
    std::lock_guard<std::mutex> g(lines_->lock);
    lines_->scrambled.insert(1);
  }
  (void)scrambledFile;
  struct Case {
    int line;
    TagCtrlPages::OpenCheck check;
  } cases[] = {{1, TagCtrlPages::kOpenScrambled}, {2, TagCtrlPages::kOpenScrambled}, {3, TagCtrlPages::kOpenNoScript},
               {9, TagCtrlPages::kOpenBadLine},   {-1, TagCtrlPages::kOpenBadLine}};
  for (const Case& c : cases) {
    EXPECT_EQ(Pages().CanOpen(c.line), c.check) << c.line;
    if (c.line >= 0 && c.line < 6) {
      EXPECT_EQ(Open(c.line), nullptr) << c.line;
    }
  }
  EXPECT_EQ(Pages().Count(), 0);
  EXPECT_FALSE(form_->DebugPanel()->isVisible());
  // A line opens once; a second request keeps the one page.
  ASSERT_NE(Open(0), nullptr);
  EXPECT_EQ(Pages().CanOpen(0), TagCtrlPages::kOpenHasPage);
  EXPECT_EQ(Open(0), nullptr);
  EXPECT_TRUE(Pages().IsDebugPageOpen(0));
  // "Assert(" of the script asks the engine's copy of the same answer.
  EXPECT_TRUE(::IsDebugPageOpen(0));
  EXPECT_FALSE(::IsDebugPageOpen(1));
  form_->Grid()->setCurrentCell(0, 0);
  form_->PreparePopup();
  EXPECT_FALSE(form_->Action("PopOpenDebug")->isEnabled());
  Trigger("DebugCloseAll");
  EXPECT_EQ(Pages().Count(), 0);
  EXPECT_FALSE(Pages().IsDebugPageOpen(0));
  EXPECT_FALSE(::IsDebugPageOpen(0));
}

TEST_F(DebuggerTest, DebuggerOffOpensNothing) {
  runCfg.isDispSente = 0;
  Start();
  Script(0, 2);
  EXPECT_EQ(Open(0), nullptr);
}

TEST_F(DebuggerTest, ReloadClosesPagesAndReleasesTheScript) {
  Start();
  CountingScript& s = Script(0, 3);
  s.inst->operations[0]->SetBreakpoint(true);
  s.Start();
  ASSERT_NE(Open(0), nullptr);
  ASSERT_TRUE(WaitFor([&] { return PausedAt(*s.inst, 0); }));
  form_->System().Reload();
  EXPECT_EQ(Pages().Count(), 0);
  EXPECT_FALSE(form_->DebugPanel()->isVisible());
  const int c = s.Count(0);
  EXPECT_TRUE(WaitFor([&] { return s.Count(0) > c + 2; }));
}

// A function B called by a function A called by the main flow; B pauses at
// its second statement.
TEST_F(DebuggerTest, FunctionStatementsAndTheCallStack) {
  Start();
  CountingScript& s = Script(3, 3);
  auto makeFn = [&](const char* name, std::vector<std::function<int()>> bodies) {
    auto* f = new TagTelBasic("lib.kxs", name, s.inst.get());
    f->definitionText = std::string("function ") + name + "(v)";
    f->paramCount = 1;
    f->paramNames.push_back("v");
    auto p = std::make_unique<TagVar>();
    p->DefineInt("v", 0, false);
    f->params.push_back(std::move(p));
    for (auto& b : bodies) {
      auto* op = new FnOper(b);
      op->text = "Step(v);";
      op->index = static_cast<int>(f->operations.size());
      if (!f->operations.empty()) f->operations.back()->next = op;
      f->AppendOperation(op);
    }
    s.inst->functions.push_back(f);
    return f;
  };
  TagTelBasic* b = makeFn("B", {[] { return 0; }, [] { return 0; }, [] { return 0; }});
  AddVar(*b, "local", [](TagVar& v) { v.DefineInt("local", 42, false); });
  TagTelBasic* a = nullptr;
  a = makeFn("A", {[&] { return b->RunFunction(a); }});
  a->operations[0]->kind = kOpCall;
  s.inst->operations[1] = [&] {
    delete s.inst->operations[1];
    auto* call = new FnOper([&] { return a->RunFunction(s.inst.get()); });
    call->kind = kOpCall;
    call->index = 1;
    call->text = "A(1);";
    call->next = s.inst->operations[2];
    s.inst->operations[0]->next = call;
    return call;
  }();
  b->operations[1]->SetBreakpoint(true);
  TagPage* page = Open(3);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->FunctionBase(b), 1);
  EXPECT_EQ(page->FunctionBase(a), 5);
  EXPECT_TRUE(page->FuncTree()->IsBreak(2));
  Pages().SetAutoRefresh(true);
  // No function runs yet: no call stack.
  EXPECT_FALSE(Pages().CallStackCmd());
  s.Start();
  ASSERT_TRUE(WaitFor([&] { return s.inst->paused.load() && b->curOperIndex.load() == 1; }));
  EXPECT_TRUE(WaitFor([&] { return page->MarkedSub() == 2 && page->RunningFunction() == b; }));
  EXPECT_TRUE(page->FuncTree()->IsCurrent(2));
  EXPECT_FALSE(page->MainTree()->IsCurrent(0));
  EXPECT_TRUE(WaitFor([&] { return Cell(*page->FuncGrid(), "local", 2) == "42"; }));
  EXPECT_EQ(Cell(*page->FuncGrid(), "v", 0), "0p");
  TVarViewForm view;
  view.SetVar(s.inst, b, "v", "Function Var Display");
  EXPECT_EQ(view.Note(), U("参数"));
  EXPECT_EQ(view.Kind(), U("参数: 整型"));
  EXPECT_EQ(view.Value(), "0");

  ASSERT_TRUE(Pages().CallStackCmd());
  TCallStackForm* cs = Pages().CallStack();
  EXPECT_TRUE(cs->isVisible());
  ASSERT_EQ(cs->Tree()->topLevelItemCount(), 2);
  EXPECT_EQ(cs->Tree()->topLevelItem(0)->text(0), "B");
  EXPECT_EQ(cs->Tree()->topLevelItem(1)->text(0), "A");
  EXPECT_EQ(cs->FuncLabel()->text(), "function B(v)");
  EXPECT_EQ(Cell(*cs->Grid(), "local", 2), "42");
  cs->ShowNode(cs->Tree()->topLevelItem(1));
  EXPECT_EQ(cs->FuncLabel()->text(), "function A(v)");
  EXPECT_EQ(Cell(*cs->Grid(), "local", 2), "(missing)");

  // Step in the function: its next statement.
  Trigger("DebugStep");
  EXPECT_TRUE(WaitFor([&] { return b->curOperIndex.load() == 2 && page->MarkedSub() == 3; }));
  // Closing the page hides the call stack of its script and lets it run.
  Trigger("DebugClosePage");
  EXPECT_FALSE(cs->isVisible());
  EXPECT_FALSE(b->operations[1]->HasBreakpoint());
  const int c = s.Count(2);
  EXPECT_TRUE(WaitFor([&] { return s.Count(2) > c + 2; }));
}

// A compiled script: its statements on the trees, a breakpoint in its main
// loop and one in its function.
TEST_F(DebuggerTest, CompiledScript) {
  Start();
  CountingScript& s = Compiled(0,
                               "n = 0;\n"
                               "function Add(a, b)\n"
                               "{\n"
                               "c = a + b * 2;\n"
                               "return(c);\n"
                               "}\n"
                               "while(1)\n"
                               "{\n"
                               "n = n + 1;\n"
                               "r = Add(n, 2);\n"
                               "}\n");
  ASSERT_EQ(s.inst->initResult, 0) << [] {
    std::ifstream f("errmsg0.txt", std::ios::binary);
    std::stringstream t;
    t << f.rdbuf();
    return plat::GbkToUtf8(t.str());
  }();
  ASSERT_EQ(s.inst->functions.size(), 1u);
  TagTelBasic* add = s.inst->functions[0];
  TagPage* page = Open(0);
  ASSERT_NE(page, nullptr);
  // One node per operation; the function's header names its file.
  ASSERT_EQ(page->MainTree()->NodeCount(), static_cast<int>(s.inst->operations.size()));
  EXPECT_EQ(page->FuncTree()->Node(0)->text(0).toStdString(), add->definitionText + " : (line0.kxs)");
  auto find = [](TagStmtTree* tree, const char* text) {
    for (int i = 0; i < tree->NodeCount(); ++i)
      if (tree->Node(i)->text(0).startsWith(text)) return i;
    return -1;
  };
  const int inc = find(page->MainTree(), "n = n + 1");
  const int sum = find(page->FuncTree(), "c = a + b * 2");
  ASSERT_GE(inc, 0);
  ASSERT_GE(sum, 1);
  // The increment sits inside the loop's block.
  EXPECT_NE(page->MainTree()->Node(inc)->parent(), nullptr);

  page->ToggleBreak(page->MainTree(), inc);
  s.Start();
  ASSERT_TRUE(WaitFor([&] { return PausedAt(*s.inst, inc); }));
  ASSERT_TRUE(WaitFor([&] { return Cell(*page->MainGrid(), "n", 2) == "0"; }));
  for (const QString& n : Names(*page->MainGrid())) EXPECT_FALSE(n.startsWith("__")) << n.toStdString();
  // One step runs the increment.
  Trigger("DebugStep");
  ASSERT_TRUE(WaitFor([&] { return s.inst->paused.load() && s.inst->curOperIndex.load() != inc; }));
  Trigger("DebugFlush");
  EXPECT_TRUE(WaitFor([&] { return Cell(*page->MainGrid(), "n", 2) == "1"; }));

  // Into the function: its parameters and the call stack.
  page->ToggleBreak(page->MainTree(), inc);
  page->ToggleBreak(page->FuncTree(), sum);
  Trigger("DebugRun");
  ASSERT_TRUE(WaitFor([&] { return s.inst->paused.load() && add->curOperIndex.load() == sum - 1; }));
  ASSERT_TRUE(WaitFor([&] { return Cell(*page->FuncGrid(), "a", 2) == "1"; }));
  EXPECT_EQ(Cell(*page->FuncGrid(), "b", 2), "2");
  for (const QString& n : Names(*page->FuncGrid())) EXPECT_FALSE(n.startsWith("__")) << n.toStdString();
  ASSERT_TRUE(Pages().CallStackCmd());
  EXPECT_EQ(Pages().CallStack()->Tree()->topLevelItemCount(), 1);
  EXPECT_EQ(Pages().CallStack()->FuncLabel()->text().toStdString(), add->definitionText);
  EXPECT_EQ(dbgview::WatchText(*add, sum - 1), "a: 1\nb: 2\nc: 0");

  Trigger("DebugCloseAll");
  EXPECT_TRUE(WaitFor([&] { return !s.inst->paused.load(); }));
  EXPECT_FALSE(add->operations[static_cast<size_t>(sum - 1)]->HasBreakpoint());
}

// The window with a page paused in a script, pictured in each language
// (into RODIZ_SCREENSHOT when it is set, for people to look at).
class DebuggerShot : public DebuggerTest, public ::testing::WithParamInterface<int> {};

TEST_P(DebuggerShot, WindowWithAPausedPage) {
  const int language = GetParam();
  QString out = QString::fromLocal8Bit(qgetenv("RODIZ_SCREENSHOT"));
  if (out.isEmpty()) out = QString::fromStdString(dir_ / "shots");
  QDir().mkpath(out);
  ::setenv("RODIZ_SCREENSHOT", out.toLocal8Bit().constData(), 1);
  runCfg.languageType = static_cast<uint8_t>(language);
  runCfg.colGroupNum = 1;
  TForm1& f = Start();
  f.resize(1200, 640);
  CountingScript& s = Compiled(1,
                               "greeting = \"欢迎致电\";\n"
                               "caller = \"13800138000\";\n"
                               "count = 0;\n"
                               "function CheckUser(code)\n"
                               "{\n"
                               "level = 0;\n"
                               "if(code > 100)\n"
                               "{\n"
                               "level = 2;\n"
                               "}\n"
                               "else\n"
                               "{\n"
                               "level = 1;\n"
                               "}\n"
                               "return(level);\n"
                               "}\n"
                               "while(1)\n"
                               "{\n"
                               "count = count + 1;\n"
                               "key = count % 3;\n"
                               "if(key == 1)\n"
                               "{\n"
                               "ret = CheckUser(count);\n"
                               "}\n"
                               "else\n"
                               "{\n"
                               "ret = 0;\n"
                               "}\n"
                               "}\n");
  ASSERT_EQ(s.inst->initResult, 0);
  ASSERT_EQ(s.inst->functions.size(), 1u);
  TagTelBasic* fn = s.inst->functions[0];
  // Stop in the function's else branch, with a breakpoint on the loop's first statement too.
  int inElse = -1;
  for (size_t i = 0; i < fn->operations.size(); ++i)
    if (fn->operations[i]->text.rfind("level = 1", 0) == 0) inElse = static_cast<int>(i);
  ASSERT_GE(inElse, 0);
  fn->operations[static_cast<size_t>(inElse)]->SetBreakpoint(true);
  for (TagOper* op : s.inst->operations)
    if (op->text.rfind("count = count + 1", 0) == 0) op->SetBreakpoint(true);
  s.Start();
  // First the loop's breakpoint; run on into the function.
  ASSERT_TRUE(WaitFor([&] { return s.inst->paused.load(); }));
  s.inst->paused = 0;
  ASSERT_TRUE(WaitFor([&] { return s.inst->paused.load() && fn->curOperIndex.load() == inElse; }));
  form_->findChild<QCheckBox*>()->setChecked(true);
  // The window writes the shot a while after the page opens: clear it first.
  const QString file = QDir(out).filePath(language == 1 ? "rodiz-debug-en.png" : "rodiz-debug-zh.png");
  QFile::remove(file);
  TagPage* page = Open(1);
  ASSERT_NE(page, nullptr);
  ASSERT_TRUE(WaitFor([&] { return page->MarkedSub() == page->FunctionBase(fn) + inElse; }));
  ASSERT_TRUE(WaitFor([&] { return Cell(*page->FuncGrid(), "code", 2) == "1"; }));
  EXPECT_EQ(Cell(*page->MainGrid(), "greeting", 2), U("\"欢迎致电\""));
  QImage img;
  ASSERT_TRUE(WaitFor([&] { return img.load(file); }));
  EXPECT_EQ(img.width(), f.width());
  // The panel takes its share of the window beside the grid.
  EXPECT_GT(f.DebugPanel()->width(), f.width() / 4);
}

INSTANTIATE_TEST_SUITE_P(Languages, DebuggerShot, ::testing::Values(0, 1));

// Trees of a script with blocks and a function.
TEST(DebuggerTrees, StatementTexts) {
  testsupport::TempDir dir;
  testsupport::ScopedCwd cwd(dir.path());
  App();
  PlainCall call;
  auto inst = std::make_shared<TagTelBasic>("none.kxs", 0, &call, 0);
  inst->initResult = 0;
  struct Row {
    const char* text;
    OpKind kind;
    int depth;
    int owner;  // index of the enclosing block, -1 none
  } rows[] = {{"if(x>1)", kOpIf, 0, -1},  {"{", kOpBlockOpen, 0, 0},  {"x = 1;", kOpAssign, 1, -1},
              {"break;", kOpBreak, 1, 0}, {"}", kOpBlockClose, 0, 0}, {"Play(\"a.wav\");", kOpOperation, 0, -1}};
  for (int i = 0; i < 6; ++i) {
    auto* op = new FnOper([] { return 0; });
    op->text = rows[i].text;
    op->kind = rows[i].kind;
    op->depth = rows[i].depth;
    op->index = i;
    op->lineNo = 3 + i;
    if (i > 0) inst->operations.back()->next = op;
    inst->AppendOperation(op);
  }
  for (int i = 0; i < 6; ++i) {
    if (rows[i].owner >= 0)
      inst->operations[static_cast<size_t>(i)]->owner = inst->operations[static_cast<size_t>(rows[i].owner)];
  }
  auto* f = new TagTelBasic("lib.kxs", "Add", inst.get());
  f->definitionText = "function Add(a, b)";
  inst->functions.push_back(f);
  for (int i = 0; i < 2; ++i) {
    auto* op = new FnOper([] { return 0; });
    op->text = i == 0 ? "c = a + b;" : "return(c);";
    op->index = i;
    op->lineNo = 20 + i;
    f->AppendOperation(op);
  }

  std::vector<std::string> main = TagPage::MainTreeLines(*inst);
  std::vector<std::string> want = {"if(x>1)  [0:3 1]",      "{  [1:4 2:0]",    "\tx = 1;  [2:5 3]",
                                   "\tbreak;  [3:6 4:0]",   "}  [4:7 5:0]",    "Play(\"a.wav\");  [5:8 -1]"};
  EXPECT_EQ(main, want);
  std::vector<std::string> funcs = TagPage::FuncTreeLines(*inst);
  std::vector<std::string> wantF = {"function Add(a, b) : (lib.kxs)", "\tc = a + b;  [0:20]", "\treturn(c);  [1:21]"};
  EXPECT_EQ(funcs, wantF);

  // On a page: one node per statement, nested by depth; the function's
  // statements follow its header.
  QTabWidget tabs;
  TagCtrlPages pages(&tabs, nullptr, nullptr, nullptr);
  TagPage* page = pages.OpenPage(0, inst);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->MainTree()->Node(2)->parent(), page->MainTree()->Node(1));
  EXPECT_EQ(page->MainTree()->Node(2)->text(0), "x = 1;  [2:5 3]");
  EXPECT_EQ(page->FunctionBase(f), 1);
  EXPECT_EQ(page->FuncTree()->Ref(2).body, f);
  EXPECT_EQ(page->FuncTree()->Ref(2).index, 1);
  // A header holds no statement: toggling it does nothing.
  page->ToggleBreak(page->FuncTree(), 0);
  page->ToggleBreak(page->FuncTree(), 2);
  EXPECT_TRUE(f->operations[1]->HasBreakpoint());
  EXPECT_FALSE(f->operations[0]->HasBreakpoint());
  // Closing the page clears the function's breakpoints too.
  EXPECT_EQ(pages.CloseCurrent(), 0);
  EXPECT_FALSE(f->operations[1]->HasBreakpoint());
  EXPECT_EQ(pages.CloseCurrent(), -1);
}

TEST(DebuggerGrid, HeaderClicksSortTheVariables) {
  App();
  TagVarGrid::ResetSortFlags();
  TagVarGrid g;
  std::vector<dbgview::Var> vars;
  auto add = [&](const char* n, int origin, int pos) {
    dbgview::Var v;
    v.name = n;
    v.origin = origin;
    v.position = pos;
    vars.push_back(v);
  };
  add("p1", dbgview::Var::kParam, 0);
  add("K", dbgview::Var::kConst, 0);
  add("b", dbgview::Var::kVar, 0);
  add("c", dbgview::Var::kVar, 1);
  add("a", dbgview::Var::kVar, 2);
  g.Fill(vars);
  struct Step {
    int column;
    const char* header0;
    const char* header1;
    std::vector<QString> names;
  } steps[] = {{1, "No.", "Name↓", {"p1", "K", "c", "b", "a"}},
               {1, "No.", "Name↑", {"p1", "K", "a", "b", "c"}},
               {0, "No↓", "Name", {"p1", "K", "a", "c", "b"}},
               {0, "No↑", "Name", {"p1", "K", "b", "c", "a"}},
               {1, "No.", "Name↓", {"p1", "K", "c", "b", "a"}}};
  for (const Step& s : steps) {
    g.SortByHeader(s.column);
    EXPECT_EQ(g.horizontalHeaderItem(0)->text(), U(s.header0));
    EXPECT_EQ(g.horizontalHeaderItem(1)->text(), U(s.header1));
    std::vector<QString> names;
    for (int r = 0; r < g.rowCount(); ++r) names.push_back(g.NameAt(r));
    EXPECT_EQ(names, s.names) << s.header0 << s.header1;
  }
  EXPECT_EQ(g.item(0, 0)->text(), "0p");
  EXPECT_EQ(g.item(1, 0)->text(), "0c");
  // An empty list still shows one (empty) row.
  g.Fill({});
  EXPECT_EQ(g.rowCount(), 1);
  EXPECT_EQ(g.NameAt(0), "");
}

}  // namespace
