// The host's view of the line manager.
#include "core/linemanager.h"
#include "engine/kxcall.h"
#include "engine/telbasic.h"
#include "runtime/runtime.h"
#include "runtime/teldrive.h"

namespace {

class TagTelDriveManager : public TagLineManager {
 public:
  TagTelDriveManager(const std::string& cfg, TagRunCfg* record, TagTelDriveHooks hooks) {
    StartLineRuntime();
    drive_ = std::make_unique<TagTelDrive>(cfg, record, std::move(hooks));
    if (drive_->status.load() == 0) pTelDrive = drive_.get();
  }
  ~TagTelDriveManager() override {
    TagTelDrive* mine = drive_.get();
    pTelDrive.compare_exchange_strong(mine, nullptr);
    drive_.reset();
    StopLineRuntime();
  }

  int Status() const override { return drive_->status.load(); }
  int LineCount() const override { return drive_->telCount; }
  std::string LineName(int line) const override {
    if (line < 0 || line >= drive_->telCount) return {};
    return drive_->lines[line]->name;
  }
  bool LineScript(int line, std::string* scriptFile, int* initRet) const override {
    auto inst = drive_->Instance(line);
    if (!inst) return false;
    if (scriptFile) *scriptFile = drive_->lines[line]->scriptFile;
    if (initRet) *initRet = inst->initResult;
    return true;
  }
  int IsBlock(int line) const override { return drive_->IsBlock(line); }
  bool GetLineTime(int line, long* elapsed, time_t* connectTime) const override {
    int e = 0, at = 0;
    if (!drive_->GetLineTime(line, &e, &at)) return false;
    if (elapsed) *elapsed = e;
    if (connectTime) *connectTime = at;
    return true;
  }
  int CountByType(int* ex, int* in, int* vir, int* ip) const override { return drive_->CountByType(ex, in, vir, ip); }
  int CountConnected(int* ex, int* in, int* vir, int* ip) const override {
    return drive_->CountConnected(ex, in, vir, ip);
  }
  int CountIdle(int* ex, int* ip) const override { return drive_->CountIdle(ex, ip); }
  int CountReloadPending() const override { return drive_->CountReloadPending(); }
  int RunStart(const std::string& cfgFile) override { return drive_->RunStart(cfgFile); }
  bool IsScrambled(int line) const override {
    auto inst = drive_->Instance(line);
    return inst && inst->wasScrambled != 0;
  }
  std::shared_ptr<TagTelBasic> LineInstance(int line) const override { return drive_->Instance(line); }
  void CancelStart() override { drive_->CancelStart(); }
  bool LinesLoaded() const override { return drive_->LinesLoaded(); }
  std::string CardSerial() const override { return drive_->pPhyCard ? drive_->pPhyCard->SerialText() : std::string(); }
  void StartReloadThread() override { drive_->StartReloadThread(); }
  void RequestHangup(int line) override {
    // Never drive the call object from the GUI thread: the line's own thread
    // hangs up at its next poll or statement.
    if (line < 0 || line >= drive_->telCount) return;
    if (TagKxCall* call = drive_->lines[line]->call) call->RequestHangup();
  }

 private:
  std::unique_ptr<TagTelDrive> drive_;
};

}  // namespace

std::unique_ptr<TagLineManager> MakeTelDriveManager(const std::string& cfgFile, TagRunCfg* record,
                                                    TagTelDriveHooks hooks) {
  return std::make_unique<TagTelDriveManager>(cfgFile, record, std::move(hooks));
}

