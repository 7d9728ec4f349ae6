#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/monitor.h"
#include "platform/thread.h"

// The remote monitor server: consoles connect over TCP and, for every 5-byte
// request, get one frame of the grid cells that changed since their last
// frame, with the main window's count text at its end.

// One console.
class TagRemoteConn {
 public:
  TagRemoteConn(int socket, std::string address, int lines);
  // Closes the socket: only when the last holder lets go, so the poll thread
  // never serves a socket number the accept thread already reused.
  ~TagRemoteConn();
  TagRemoteConn(const TagRemoteConn&) = delete;
  TagRemoteConn& operator=(const TagRemoteConn&) = delete;

  int Socket() const { return socket_; }
  const std::string& Address() const { return address_; }
  int Lines() const { return lines_; }
  bool Alive() const { return alive_.load(); }
  void Kill() { alive_.store(false); }

  // 1 a whole request arrived, 0 none (1 to 4 bytes are dropped, counted in
  // *partial), -1 the console is gone.
  int ReadRequest(uint64_t* partial = nullptr);

 private:
  friend class TagRemoteCtrl;
  struct RemoteCell {
    uint8_t changed = 1;
    uint8_t fg = 0;
    uint8_t bg = 15;
  };

  int socket_;
  std::string address_;
  int lines_;
  std::atomic<bool> alive_{true};
  std::vector<RemoteCell> cells_;  // lines x 8, under the server's lock
};

class TagRemoteCtrl : public TagCellSink {
 public:
  // A frame stays below this many bytes; the cells left over wait for the
  // console's next request.
  static constexpr size_t kFrameLimit = 25000;
  // A console that takes no frame bytes for this long is dropped.
  static constexpr int kSendTimeoutMs = 2000;
  static constexpr size_t kStatusMax = 511;
  static constexpr size_t kCellTextMax = 40;

  // maxClients 0 or less: no port and no threads; cell marks and the status
  // text still work. Port 0 takes an ephemeral port (see Port()).
  TagRemoteCtrl(int lines, int port, int maxClients, std::shared_ptr<TagMonitor> monitor);
  ~TagRemoteCtrl() override;
  TagRemoteCtrl(const TagRemoteCtrl&) = delete;
  TagRemoteCtrl& operator=(const TagRemoteCtrl&) = delete;

  void MarkCell(int line, int cell, int fg, int bg) override;
  void SetStatusText(std::string_view text);
  std::string GetStatusText() const;

  bool Serving() const { return serving_; }
  int Port() const { return port_; }
  // Consoles connected; the display tick shows it with RemoteConnCountText
  // (the server's threads never touch the window).
  int ConnCount() const { return connCount_.load(); }
  // Frames sent and partial requests dropped, for the tick and for tests.
  uint64_t FramesSent() const { return framesSent_.load(); }
  uint64_t PartialRequests() const { return partials_.load(); }

  // The next frame for a console: its changed cells in line and cell order
  // (their flags cleared), the end record and the status text.
  std::string BuildFrame(TagRemoteConn& conn);

 private:
  using ConnPtr = std::shared_ptr<TagRemoteConn>;

  void ListenTcpThread();
  void RemoteCtrlThread();
  int AddConn(int socket, const std::string& acceptedAddress);
  void DelConn(const ConnPtr& conn);
  int SendUpdate(TagRemoteConn& conn);

  mutable std::mutex lock_;  // the table and every console's cells
  std::map<int, ConnPtr> table_;
  mutable std::mutex statusLock_;
  std::string status_;
  int lines_;
  int port_;
  int maxClients_;
  std::shared_ptr<TagMonitor> monitor_;
  std::atomic<bool> stop_{false};
  bool serving_ = false;
  int listen_ = -1;
  std::atomic<int> connCount_{0};
  std::atomic<uint64_t> framesSent_{0};
  std::atomic<uint64_t> partials_{0};
  plat::Thread acceptThread_;
  plat::Thread pollThread_;
};

// The connection panel's text.
std::string RemoteConnCountText(int count, int language);
