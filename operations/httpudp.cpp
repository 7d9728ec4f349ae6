// HTTP and UDP for scripts: one client request ("Http("), a server the
// script drives one request at a time, and UDP datagrams. The sockets are
// the script's to close; each is recorded for the line that opened it, the
// operations of any line may use it, and they touch no other descriptor.
#include <string>
#include <string_view>

#include "engine/argoper.h"
#include "engine/keyword.h"
#include "engine/opfactory.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "operations/argread.h"
#include "platform/scriptfds.h"
#include "platform/socketbase.h"
#include "services/http.h"
#include "services/udp.h"

namespace {

// Longest head text a script receives.
constexpr size_t kHeadOut = 2047;

// A bytes argument: a string's bytes, nothing for any other type.
std::string_view Bytes(const TagVar& v) { return v.IsString() ? v.Bytes() : std::string_view(); }

StopCheck StopOf(const TagTelBasic& root) {
  return [&root] { return root.stopRequested.load() != 0 || root.QuitOrReloadPending(); };
}

class TagHttp : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    HttpResult res;
    int r = HtmlRecv(ArgText(Arg(1)), ArgText(Arg(0)), Bytes(Arg(2)), ArgText(Arg(3)), &res, StopOf(Root()));
    // A constant output keeps its value: the setters leave it alone.
    if (r > 0 && !res.body.empty())
      Arg(4).SetBytes(res.body.data(), res.body.size());
    else
      Arg(4).SetString("");
    Arg(5).SetString(std::string_view(res.head).substr(0, kHeadOut));
    return r;
  }
};

class TagHttpServerOpen : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override { return HttpServerOpen(ArgInt(Arg(0)), Root().lineNo); }
};

class TagHttpServerRecv : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    HttpRequest req;
    int r = HttpServerRecv(ArgInt(Arg(0)), Root().lineNo, &req, StopOf(Root()));
    Arg(1).SetString(std::string_view(req.head).substr(0, kHeadOut));
    if (r > 0 && !req.body.empty())
      Arg(2).SetBytes(req.body.data(), req.body.size());
    else
      Arg(2).SetString("");
    Arg(3).SetString(req.peer);
    return r;
  }
};

class TagHttpServerSend : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    return HttpServerSend(ArgInt(Arg(0)), Root().lineNo, ArgText(Arg(1)), Bytes(Arg(2)), StopOf(Root()));
  }
};

class TagHttpServerClose : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    HttpServerClose(ArgInt(Arg(0)), Root().lineNo);
    return 0;
  }
};

class TagUdpOpen : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    UdpStartup();
    int s = kNoSocket;
    int r = UdpSocketOpen(ArgInt(Arg(0)), Root().lineNo, &s);
    return r == 0 ? s : r;
  }
};

class TagUdpSend : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const TagVar& data = Arg(3);
    if (!data.IsString() || data.TextLen() == 0) return -100;
    if (!Arg(1).IsString()) return -200;
    return UdpSendTo(ArgInt(Arg(0)), Root().lineNo, Arg(1).Text(), ArgInt(Arg(2)), data.Bytes());
  }
};

class TagUdpRecv : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    std::string data, address;
    int port = 0;
    int r = UdpRecvFrom(ArgInt(Arg(0)), Root().lineNo, &data, &address, &port, StopOf(Root()));
    if (r < 0) return r;
    Arg(1).SetString(address);
    Arg(2).SetInt(port);
    Arg(3).SetBytes(data.data(), data.size());
    return r;
  }
};

class TagUdpTest : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    int s = ArgInt(Arg(0));
    return ScriptFdKnown(s, ScriptFdKind::kUdp) ? SocketReadable(s) : -1;
  }
};

class TagUdpClose : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    UdpSocketClose(ArgInt(Arg(0)), Root().lineNo);
    return 0;
  }
};

}  // namespace

const TagOpTable& HttpUdpOperations() {
  static const TagOpTable entries = {
      {KeywordId::Http, MakeLineOper<TagHttp>},
      {KeywordId::HttpServerOpen, MakeLineOper<TagHttpServerOpen>},
      {KeywordId::HttpServerRecv, MakeLineOper<TagHttpServerRecv>},
      {KeywordId::HttpServerSend, MakeLineOper<TagHttpServerSend>},
      {KeywordId::HttpServerClose, MakeLineOper<TagHttpServerClose>},
      {KeywordId::UdpOpen, MakeLineOper<TagUdpOpen>},
      {KeywordId::UdpSend, MakeLineOper<TagUdpSend>},
      {KeywordId::UdpRecv, MakeLineOper<TagUdpRecv>},
      {KeywordId::UdpTest, MakeLineOper<TagUdpTest>},
      {KeywordId::UdpClose, MakeLineOper<TagUdpClose>},
  };
  return entries;
}
