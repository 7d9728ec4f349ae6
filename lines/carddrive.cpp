#include "lines/carddrive.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "lines/cardisup.h"
#include "lines/carduser.h"
#include "platform/msgbox.h"
#include "platform/path.h"
#include "platform/text.h"

namespace {

// Switch values: 1 on, 0 off, -1 anything else (leaves the switch alone).
int SwitchValue(const std::string& v) {
  if (v == "YES" || v == "TRUE" || v == "1") return 1;
  if (v == "NO" || v == "FALSE" || v == "0") return 0;
  return -1;
}

}  // namespace

int ReadCardIni(const std::string& path, bool* conf, bool* fax) {
  FILE* f = plat::OpenFile(path, "r");
  if (!f) return -1;
  int count = 0;
  char buf[80];  // lines are read 79 characters at a time
  while (std::fgets(buf, sizeof buf, f)) {
    std::string line;
    for (const char* p = buf; *p && *p != '\n' && *p != '\r'; ++p) {
      if (*p == ' ' || *p == '\t') continue;
      line.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(*p))));
    }
    size_t eq = line.find('=');
    if (line.empty() || eq == std::string::npos) continue;
    ++count;
    std::string key = line.substr(0, eq);
    int v = SwitchValue(line.substr(eq + 1));
    if (v < 0) continue;
    if (key == "CONF" && conf) *conf = v == 1;
    if (key == "FAX" && fax) *fax = v == 1;
  }
  std::fclose(f);
  return count;
}

TagCardDigitDrive::TagCardDigitDrive(const std::string& simIni) {
  ReadCardIni("Card.ini", &confOn, &faxOn);
  Log("TagCardDigitDrive ...");
  digitalCount = 0;
  telCount = 0;
  card_ = std::make_unique<plat::SimCard>(simIni);

  int r = card_->Start("", "prompt.ini");
  if (r != 0) {
    char text[128];
    std::snprintf(text, sizeof text, GBK("初始化数字卡不成功, 返回值: %d!").c_str(), r);
    plat::MessageBox(GBK("Tarnwick系统"), text, plat::kBoxIconError);
    status = -1;
    return;
  }

  serialText = std::to_string(card_->SerialNumber(0));
  LogF("Card serial: %s", serialText.c_str());

  card_->InitDigitalChannels();
  digitalCount = card_->DigitalChannelCount();
  telCount = digitalCount;
  LogF("_totalDigitLines = %d", digitalCount);
  if (digitalCount <= 0) {
    // The virtual lines are numbered after the card's: never a negative count.
    digitalCount = 0;
    telCount = 0;
    status = -1;
    return;
  }

  analogCount = card_->AnalogPortCount();
  if (analogCount < 0) analogCount = 0;
  LogF("InLinesCount = %d", analogCount);
  card_->SetAnalogLevels(100, 100);
  portTypes.assign(static_cast<size_t>(analogCount), -2);
  for (int p = 0; p < analogCount; ++p) {
    switch (card_->AnalogPortType(p)) {
      case 0:
        card_->PortOffHook(p);
        portTypes[static_cast<size_t>(p)] = 1;
        break;
      case 1:
        card_->PortOnHook(p);
        portTypes[static_cast<size_t>(p)] = 0;
        break;
      case 2:
        portTypes[static_cast<size_t>(p)] = -1;
        break;
      default:
        portTypes[static_cast<size_t>(p)] = -2;
        break;
    }
  }
  telCount += analogCount;
  for (int p = 0; p < analogCount; ++p) card_->EnablePort(p);

  if (faxOn) {
    InitFax();
    faxCount = static_cast<int>(faxPool.size());
  } else {
    faxCount = 0;
  }
  LogF("_faxNum=%d", faxCount);

  if (confOn) {
    InitConf();
    LogF("_totalConfId=%d", confGroupCount);
  } else {
    confGroupCount = 0;
  }

  int fsk = card_->FskStart(1);
  if (fsk < 0)
    LogF("CardFsk_InitForFsk() Err: %d", fsk);
  else
    Log("CardFsk_InitForFsk() OK.");

  status = 0;
  Log("TagCardDigitDrive OK.");
}

TagCardDigitDrive::~TagCardDigitDrive() {
  card_->FskClose();
  card_->FaxClose();
  CloseConf();
  card_->Stop();
  Log("TagCardDigitDrive Closed.");
  faxPool.clear();
  calls_.clear();
}

int TagCardDigitDrive::GetLineName(int index, std::string& name) {
  name.clear();
  if (index < 0 || index >= telCount) return -1;
  char buf[32];
  if (index < digitalCount) {
    std::snprintf(buf, sizeof buf, "E1:%02d", index);
  } else {
    size_t port = static_cast<size_t>(index - digitalCount);
    int type = port < portTypes.size() ? portTypes[port] : -2;
    const char* form = type == 1 ? "A_IN:%d" : (type == 0 ? "A_EX:%d" : "A_UN:%d");
    std::snprintf(buf, sizeof buf, form, index);
  }
  name = buf;
  return 0;
}

TagCardBaseCall* TagCardDigitDrive::Call(int index) {
  if (index < 0) return nullptr;
  if (static_cast<size_t>(index) >= calls_.size()) calls_.resize(static_cast<size_t>(index) + 1, nullptr);
  return calls_[static_cast<size_t>(index)];
}

void TagCardDigitDrive::SetCall(int index, TagCardBaseCall* call) {
  if (index < 0) return;
  Call(index);
  calls_[static_cast<size_t>(index)] = call;
}

void TagCardDigitDrive::FreeLine(TagTelLine* line) {
  if (line && line->call) {
    for (auto& c : calls_)
      if (c == line->call) c = nullptr;
    if (auto* d = dynamic_cast<TagCardDigitCall*>(line->call)) card_->SetChannelWakeup(d->channel, nullptr);
  }
  TagKxCard::FreeLine(line);
}

int TagCardDigitDrive::InitConf() {
  confGroupCount = 0;
  plat::CardLock g(*card_);
  int r = card_->ConfStartOld();
  if (r < 0) {
    newConfInterface = 1;
    r = card_->ConfStartNew();
    if (r < 0) LogF("CardConf_InitConfCardNew() : %d", r);
    uint8_t info[64] = {};
    card_->ConfInfoNew(info, sizeof info);
    confGroupCount = info[4] | (info[5] << 8);
    card_->ConfSetup(1, 0);
    if (r < 0) confGroupCount = 0;
    confInUse.assign(static_cast<size_t>(confGroupCount), 0);
    lastConfGroup = 0;
    return r;
  }
  newConfInterface = 0;
  uint8_t block[64] = {};
  card_->ConfResourcesOld(block, sizeof block);
  confGroupCount = block[4] | (block[5] << 8);
  confInUse.assign(static_cast<size_t>(confGroupCount), 0);
  lastConfGroup = 0;
  return confGroupCount;
}

void TagCardDigitDrive::CloseConf() {
  if (confGroupCount <= 0) return;
  if (newConfInterface)
    card_->ConfCloseNew();
  else
    card_->ConfCloseOld();
}

int TagCardDigitDrive::InitFax() {
  plat::CardLock g(*card_);
  int r = card_->FaxStart(2048);
  faxPool.clear();
  if (r == 0) {
    int n = card_->FaxChannelCount();
    if (n > 0) faxPool.assign(static_cast<size_t>(n), 0);
  }
  return r;
}

// ---------------------------------------------------------------- ISUP drive

TagCardIsupDrive::TagCardIsupDrive(const std::string& simIni) : TagCardDigitDrive(simIni) {
  Log("TagCardIsupDrive ...");
  OpenSignalling();
  Log("TagCardIsupDrive End.");
}

TagCardIsupDrive::~TagCardIsupDrive() { CloseSignalling(); }

int TagCardIsupDrive::OpenSignalling() {
  int r = card_->IsupStart();
  LogF("CardIsup_InitSystem(): %d", r);
  return r;
}

void TagCardIsupDrive::CloseSignalling() {
  card_->IsupClose();
  Log("TagCardIsupDrive Closed.");
}

TagTelLine* TagCardIsupDrive::MakeLine(int index, int lineNumber) {
  if (index < 0 || index >= telCount) return nullptr;
  auto* line = new TagTelLine(lineNumber, this);
  GetLineName(index, line->name);
  TagCardBaseCall* call;
  if (index < digitalCount) {
    auto* digital = new TagCardIsupCall(index, this);
    // The far end wakes the line when it changes the channel.
    card_->SetChannelWakeup(index, &digital->wakeup);
    call = digital;
  } else
    call = new TagCardUserCall(index, index - digitalCount, this);
  SetCall(index, call);
  line->call = call;
  std::snprintf(call->name, sizeof call->name, "%s", line->name.c_str());
  return line;
}
