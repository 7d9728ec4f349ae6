// TCP for scripts: connect, listen and accept, send, receive, test, close,
// and the 2- and 4-byte network-order texts of byte-oriented protocols.
// Every socket a script opens is recorded for its line; the operations of
// any line touch only recorded sockets, so a stale or forged handle reaches
// nothing else, while a connection can be handed to another line.
#include <fcntl.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "core/log.h"
#include "engine/argoper.h"
#include "engine/keyword.h"
#include "engine/lineservices.h"
#include "engine/opfactory.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "operations/argread.h"
#include "platform/scriptfds.h"
#include "platform/socketbase.h"

namespace {

// Most bytes a read into an empty buffer variable takes.
constexpr int kScratchRead = 5119;
// How long a write waits for room before it reports what it sent.
constexpr int kWriteWaitMs = 10000;

bool LineStopping(const TagTelBasic& root) {
  return root.stopRequested.load() || root.QuitOrReloadPending();
}

TagSocketSlot& SlotOf(TagTelBasic& root) {
  TagSocketSlot& slot = root.Services().Get<TagSocketSlot>();
  slot.ownerLine = root.lineNo;
  return slot;
}

void Adopt(TagTelBasic& root, int s) {
  ScriptFdAdd(s, root.lineNo, ScriptFdKind::kTcp);
  SlotOf(root).sockets.insert(s);
}

bool Known(int s) { return ScriptFdKnown(s, ScriptFdKind::kTcp); }

class TagTcpOpen : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    TagVar& handle = Arg(3);
    handle.SetInt(-2);
    int s = kNoSocket;
    int r = Root().TcpConnectWait(&s, ArgText(Arg(0)), ArgInt(Arg(1)), ArgInt(Arg(2)));
    if (r != 0) {
      Log("TagTcpOpen: Err");
      return r;
    }
    Adopt(Root(), s);
    // A literal given as the handle stays what it was.
    handle.SetInt(s);
    LogF("TagTcpOpen: hd=0x%x).", s);
    return s;
  }
};

class TagTcpServer : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    int backlog = ArgInt(Arg(1));
    if (backlog <= 0) backlog = 1;
    int s = kNoSocket;
    if (InitTcp(ArgInt(Arg(0)), &s, backlog) != 0) {
      Arg(2).SetInt(-1);
      return -1;
    }
    Adopt(Root(), s);
    Arg(2).SetInt(s);
    return s;
  }
};

class TagTcpAccept : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    int listener = ArgStored(Arg(0));
    if (!Known(listener) || !IsListeningSocket(listener) || SocketReadable(listener) <= 0) {
      Arg(1).SetInt(-1);
      return -1;
    }
    RawLog("TcpAccept: IsRemoteAns()>0.");
    std::string address;
    int s = AcceptClient(listener, &address);
    if (s < 0) {
      Arg(1).SetInt(-1);
      return -1;
    }
    Adopt(Root(), s);
    Arg(1).SetInt(s);
    Arg(2).SetString(address);
    return s;
  }
};

class TagTcpTest : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    int s = ArgStored(Arg(0));
    int r = Known(s) ? SocketReadable(s) : -1;
    Arg(1).SetInt(r);
    if (r < 0) LogF("TcpTest(hd=0x%x): %d", s, r);
    return r;
  }
};

class TagTcpWrite : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const TagVar& data = Arg(1);
    if (!data.IsString()) return -100;
    const int64_t len = static_cast<int64_t>(data.TextLen());
    int64_t count = ArgInt(Arg(2));
    if (count > len + 1) return -100;
    if (count <= 0) count = len;
    int s = ArgStored(Arg(0));
    LogF("TcpWrite(hd=0x%x, len=%d)...", s, static_cast<int>(count));
    int sent = -1;
    if (Known(s)) {
      // The text buffer always holds its NUL, so length + 1 bytes are there.
      TagTelBasic& root = Root();
      size_t n = SendAllUntil(s, data.Text(), static_cast<size_t>(count), kWriteWaitMs,
                              [&root] { return LineStopping(root); });
      sent = n > 0 || count == 0 ? static_cast<int>(n) : -1;
    }
    LogF("TcpWrite(): %d", sent);
    Arg(3).SetInt(sent);
    return sent;
  }
};

class TagTcpRead : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    TagVar& buffer = Arg(1);
    if (buffer.IsConst()) return -100;
    int size = buffer.IsString() && buffer.TextLen() > 0 ? static_cast<int>(buffer.TextLen()) : kScratchRead;
    int s = ArgStored(Arg(0));
    LogF("TcpRead(hd=0x%x, size=%d)...", s, size);
    std::string got(static_cast<size_t>(size), '\0');
    long n = -1;
    int err = 0;
    if (Known(s)) {
      // A blocking socket waits for data (in slices, so a stop ends it); one
      // made by "TcpOpen(" answers at once.
      int flags = fcntl(s, F_GETFL, 0);
      bool blocking = flags >= 0 && (flags & O_NONBLOCK) == 0;
      TagTelBasic& root = Root();
      n = RecvWait(s, got.data(), got.size(), blocking ? INT32_MAX : 0, [&root] { return LineStopping(root); });
      err = n < 0 ? errno : 0;
      if (n < -1) n = -1;
    }
    if (n <= 0) {
      LogF("WSAGetLastError(): %d", err);
    } else {
      buffer.SetBytes(got.data(), static_cast<size_t>(n));
    }
    LogF("TcpRead(): %d", static_cast<int>(n));
    Arg(2).SetInt(static_cast<int>(n));
    return static_cast<int>(n);
  }
};

class TagTcpClose : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    LogF("TcpClose(0x%x)", ArgInt(Arg(0)));
    int s = ArgStored(Arg(0));
    // A socket of another line stays in that line's set; its close-all then
    // finds the number no longer recorded for it and leaves it alone.
    if (ScriptFdCloseKnown(s, ScriptFdKind::kTcp)) SlotOf(Root()).sockets.erase(s);
    Arg(0).SetInt(-1);
    return 0;
  }
};

class TagTcpCloseAll : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    SlotOf(Root()).Close();
    return 0;
  }
};

class TagIntToNetstr : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const uint32_t v = static_cast<uint32_t>(ArgInt(Arg(0)));
    const int size = ArgInt(Arg(1));
    if (size != 2 && size != 4) return -1;
    char b[4];
    for (int i = 0; i < size; ++i) b[i] = static_cast<char>((v >> (8 * (size - 1 - i))) & 0xff);
    Arg(2).SetBytes(b, static_cast<size_t>(size));
    return 0;
  }
};

class TagNetstrToInt : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const TagVar& src = Arg(0);
    if (!src.IsString()) return -1;
    const int size = ArgInt(Arg(2));
    if (size != 2 && size != 4) return -2;
    const int64_t offset = ArgInt(Arg(1));
    // In 64 bits: an offset near INT_MAX must not wrap past the check. The
    // terminating NUL counts as a readable byte.
    if (offset < 0 || offset + size > static_cast<int64_t>(src.TextLen()) + 1) return -3;
    const auto* p = reinterpret_cast<const unsigned char*>(src.Text()) + offset;
    uint32_t v = 0;
    for (int i = 0; i < size; ++i) v = (v << 8) | p[i];
    int32_t out = size == 2 ? static_cast<int16_t>(v) : static_cast<int32_t>(v);
    Arg(3).SetInt(out);
    return 0;
  }
};

}  // namespace

const TagOpTable& TcpOperations() {
  static const TagOpTable entries = {
      {KeywordId::TcpOpen, MakeLineOper<TagTcpOpen>},
      {KeywordId::TcpServer, MakeLineOper<TagTcpServer>},
      {KeywordId::TcpAccept, MakeLineOper<TagTcpAccept>},
      {KeywordId::TcpTest, MakeLineOper<TagTcpTest>},
      {KeywordId::TcpWrite, MakeLineOper<TagTcpWrite>},
      {KeywordId::TcpRead, MakeLineOper<TagTcpRead>},
      {KeywordId::TcpClose, MakeLineOper<TagTcpClose>},
      {KeywordId::TcpCloseAll, MakeLineOper<TagTcpCloseAll>},
      {KeywordId::IntToNetstr, MakeLineOper<TagIntToNetstr>},
      {KeywordId::NetstrToInt, MakeLineOper<TagNetstrToInt>},
  };
  return entries;
}
