#include "services/dllbridge.h"

#include <dlfcn.h>

#include <cstring>
#include <exception>
#include <vector>

#include "core/log.h"
#include "engine/tagvar.h"
#include "platform/faultguard.h"
#include "platform/path.h"

namespace {

// Functions get this much room for text at least, so a function that
// writes a result into a short or empty string stays inside its buffer.
constexpr int32_t kMinCapacity = 1024;

std::string LoadName(const std::string& file) {
  std::string name = plat::ResolvePath(file);
  // The loader looked in the working folder first; dlopen would not.
  if (name.find('/') == std::string::npos && plat::FileExists(name)) name = "./" + name;
  return name;
}

}  // namespace

TagDllName::TagDllName(const std::string& file) : file_(file) {
  module_ = ::dlopen(LoadName(file).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module_) {
    const char* why = ::dlerror();
    LogF("DllLoad '%s': %s", file.c_str(), why ? why : "");
  }
}

TagDllName::~TagDllName() {
  TagDllFunc* f = head_.load(std::memory_order_acquire);
  while (f) {
    TagDllFunc* next = f->next.load(std::memory_order_acquire);
    delete f;
    f = next;
  }
  if (module_) ::dlclose(module_);
}

const TagDllFunc* TagDllName::FindFunc(const std::string& name) const {
  for (const TagDllFunc* f = head_.load(std::memory_order_acquire); f; f = f->next.load(std::memory_order_acquire))
    if (f->name == name) return f;
  return nullptr;
}

int TagDllName::AddFunc(const std::string& name, int count) {
  std::lock_guard<std::mutex> g(lock_);
  // An entry without an address is not there: the name is tried (and its
  // absence logged) again.
  const TagDllFunc* known = FindFunc(name);
  if (known && known->entry) return count_.load();
  auto* f = new TagDllFunc;
  f->name = name;
  f->argCount = count;
  if (module_) {
    void* sym = ::dlsym(module_, name.c_str());
    if (!sym) sym = ::dlsym(module_, ("_" + name + "@8").c_str());
    f->entry = reinterpret_cast<TagDllFn>(sym);
  }
  if (!f->entry) LogAlwaysF("'%s' Not found for DLL.", name.c_str());
  // Published whole: a reader that sees the link sees the entry's fields.
  if (tail_)
    tail_->next.store(f, std::memory_order_release);
  else
    head_.store(f, std::memory_order_release);
  tail_ = f;
  return count_.fetch_add(1, std::memory_order_acq_rel) + 1;
}

TagGlobalDlls& TagGlobalDlls::Instance() {
  static TagGlobalDlls dlls;
  return dlls;
}

std::shared_ptr<TagDllName> TagGlobalDlls::Acquire(const std::string& file) {
  std::lock_guard<std::mutex> g(lock_);
  Entry& e = dlls_[file];
  if (!e.dll) e.dll = std::make_shared<TagDllName>(file);
  ++e.refs;
  return e.dll;
}

void TagGlobalDlls::Release(const std::string& file) {
  std::shared_ptr<TagDllName> last;
  {
    std::lock_guard<std::mutex> g(lock_);
    auto it = dlls_.find(file);
    if (it == dlls_.end()) return;
    if (--it->second.refs > 0) return;
    last = std::move(it->second.dll);
    dlls_.erase(it);
  }
  // Unloaded outside the lock once the caller's slot lets go too.
}

void TagGlobalDlls::Clear() {
  std::map<std::string, Entry> gone;
  {
    std::lock_guard<std::mutex> g(lock_);
    gone.swap(dlls_);
  }
}

size_t TagGlobalDlls::Count() {
  std::lock_guard<std::mutex> g(lock_);
  return dlls_.size();
}

int TagGlobalDlls::RefCount(const std::string& file) {
  std::lock_guard<std::mutex> g(lock_);
  auto it = dlls_.find(file);
  return it == dlls_.end() ? 0 : it->second.refs;
}

int TagKxDll::Load(const std::string& file) {
  for (int i = 0; i < kSlots; ++i)
    if (slots[i] && slots[i]->File() == file) return i;
  for (int i = 0; i < kSlots; ++i) {
    if (slots[i]) continue;
    std::shared_ptr<TagDllName> dll = TagGlobalDlls::Instance().Acquire(file);
    if (dll->Loaded()) {
      slots[i] = std::move(dll);
      return i;
    }
    dll.reset();
    TagGlobalDlls::Instance().Release(file);
    return -1;
  }
  return -2;
}

void TagKxDll::Free(int slot) {
  if (slot < 0 || slot >= kSlots || !slots[slot]) return;
  const std::string file = slots[slot]->File();
  slots[slot].reset();
  TagGlobalDlls::Instance().Release(file);
}

void TagKxDll::FreeAll() {
  for (int i = 0; i < kSlots; ++i) Free(i);
}

int TagKxDll::AddFunc(int slot, const std::string& name, int count) {
  if (slot < 0 || slot >= kSlots || !slots[slot]) return -1;
  slots[slot]->AddFunc(name, count);
  return slot;
}

const TagDllFunc* TagKxDll::FindFunc(const std::string& name) const {
  for (const auto& dll : slots) {
    if (!dll) continue;
    const TagDllFunc* f = dll->FindFunc(name);
    if (f && f->entry) return f;
  }
  return nullptr;
}

int CallDllFunction(const TagDllFunc& fn, const std::vector<TagVar*>& args) {
  const size_t n = args.size();
  std::vector<TagDllArg> records(n);
  std::vector<std::vector<char>> texts(n);
  for (size_t i = 0; i < n; ++i) {
    const TagVar& v = *args[i];
    const std::string_view bytes = v.IsString() ? v.Bytes() : std::string_view(v.Text());
    const size_t want = std::max<size_t>(kMinCapacity, bytes.size() + 1);
    const int32_t capacity = want > size_t(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(want);
    texts[i].assign(static_cast<size_t>(capacity), '\0');
    std::memcpy(texts[i].data(), bytes.data(), std::min(bytes.size(), size_t(capacity) - 1));
    records[i].type = v.Type();
    records[i].text = texts[i].data();
    records[i].integer = v.IntValue();
    records[i].capacity = capacity;
    records[i].number = v.DblValue();
  }
  struct Call {
    TagDllFn entry;
    int32_t count;
    TagDllArg* records;
    int32_t result;
  } call{fn.entry, static_cast<int32_t>(n), records.data(), 0};
  int fault = 0;
  try {
    // A fault inside the function ends only this call: the line goes on.
    fault = plat::RunFaultGuarded(
        [](void* p) {
          auto* c = static_cast<Call*>(p);
          c->result = c->entry(c->count, c->records);
        },
        &call);
  } catch (const std::exception& e) {
    LogAlwaysF("DllRun Err: %s(): %s", fn.name.c_str(), e.what());
    return -100;
  } catch (...) {
    LogAlwaysF("DllRun Err: %s()", fn.name.c_str());
    return -100;
  }
  if (fault != 0) {
    LogAlwaysF("DllRun Err: %s(): %s", fn.name.c_str(), plat::FaultName(fault));
    return -100;
  }
  const int result = call.result;
  for (size_t i = 0; i < n; ++i) {
    TagVar& v = *args[i];
    if (v.IsConst()) continue;
    const TagDllArg& r = records[i];
    // Maps and functions are handles: never made from what a function left.
    if (v.IsMap() || v.IsFunction()) continue;
    switch (r.type) {
      case TagVar::kNull:
        v.SetNull();
        break;
      case TagVar::kString: {
        // The buffer's own record, not the one the function may have
        // changed, says how far it goes.
        const size_t cap = texts[i].size();
        const void* end = std::memchr(texts[i].data(), '\0', cap);
        if (!end) {
          LogAlwaysF("DllRun Err: %s(): text of argument %zu not terminated", fn.name.c_str(), i + 1);
          break;
        }
        v.SetBytes(texts[i].data(), static_cast<size_t>(static_cast<const char*>(end) - texts[i].data()));
        break;
      }
      case TagVar::kInt:
        v.SetInt(r.integer);
        break;
      case TagVar::kDouble:
        v.SetDouble(r.number);
        break;
      default:
        LogAlwaysF("DllRun Err: %s(): argument %zu left with type %d", fn.name.c_str(), i + 1, r.type);
        break;
    }
  }
  return result;
}
