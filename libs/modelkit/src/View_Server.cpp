#include "View_Server.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <tuple>

namespace quarnel::modelkit::view_detail {

using Clock = View_Server::Clock;

struct View_Server::Connection {
  int fd = -1;
  std::string client;  // the peer's address, without its port
  // Guarded by the server's _mutex:
  uint64_t serial = 0;                 // in the order of opening
  Clock::time_point request_deadline;  // for the request's line and headers
  Clock::time_point waiting_since;     // of the request now awaited
  bool answering = false;              // the routes accepted the request being served
  bool answered_before = false;
  bool cut = false;  // shut down by the watchdog or a stop
};

namespace {

// The connection served on this thread, for Answering.
thread_local View_Server::Connection* t_current = nullptr;

// Whether `fd` is ready for `events` before `until`. An error or a hang-up counts as ready:
// the read or write that follows reports it.
bool Ready(int fd, short events, Clock::time_point until) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, int(std::clamp<long long>(left, 0, 1000)));
    if (n > 0 || (n < 0 && errno != EINTR)) return true;
    if (n == 0 && Clock::now() >= until) return false;
  }
}

std::string Numeric_Host(const sockaddr_storage& address, socklen_t length, int* port) {
  char host[NI_MAXHOST] = "", service[NI_MAXSERV] = "0";
  ::getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, service,
                sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
  if (port) *port = std::atoi(service);
  return host;
}

std::string Peer(int fd, int* port = nullptr) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "";
  return Numeric_Host(address, length, port);
}

// A connection's socket as cpp-httplib reads and writes it: reads buffered (the request line
// is read a byte at a time), each wait bounded by the read or write time.
class Connection_Stream final : public httplib::Stream {
 public:
  Connection_Stream(int fd, Clock::duration read_time, Clock::duration write_time)
      : _fd(fd), _read_time(read_time), _write_time(write_time) {}

  bool buffered() const { return _used < _filled; }
  bool is_readable() const override { return buffered() || Ready(_fd, POLLIN, Clock::now() + _read_time); }
  bool is_writable() const override { return Ready(_fd, POLLOUT, Clock::now() + _write_time); }
  ssize_t read(char* ptr, size_t size) override {
    if (!buffered()) {
      if (!is_readable()) return -1;
      ssize_t n;
      do n = ::recv(_fd, _buffer, sizeof _buffer, 0);
      while (n < 0 && errno == EINTR);
      if (n <= 0) return n;
      _used = 0;
      _filled = size_t(n);
    }
    const size_t n = std::min(size, _filled - _used);
    std::memcpy(ptr, _buffer + _used, n);
    _used += n;
    return ssize_t(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    ssize_t n;
    do n = ::send(_fd, ptr, size, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n;
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override { ip = Peer(_fd, &port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ip.clear();
    port = 0;
    if (::getsockname(_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      ip = Numeric_Host(address, length, &port);
  }
  socket_t socket() const override { return _fd; }

 private:
  const int _fd;
  const Clock::duration _read_time, _write_time;
  char _buffer[4096];
  size_t _used = 0, _filled = 0;
};

}  // namespace

View_Server::View_Server() {
  set_keep_alive_max_count(kKeep_Alive_Requests);
  set_keep_alive_timeout(kKeep_Alive_Seconds);
  set_write_timeout(kWrite_Seconds, 0);
  new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
}

View_Server::~View_Server() {
  Stop();
}

void View_Server::Prepare_To_Listen() {
  ::listen(svr_sock_, kBacklog);  // on a listening socket, only the queue's length changes
  _watchdog = std::thread([this] { Watch(); });
}

void View_Server::Cut(Connection& c) {
  if (c.cut) return;
  c.cut = true;
  // The descriptor stays open until its connection leaves _open, so this is its socket.
  ::shutdown(c.fd, SHUT_RDWR);
}

void View_Server::Stop() {
  {
    std::lock_guard lock(_mutex);
    _stopping = true;
    for (Connection* c : _open) Cut(*c);
  }
  _wake.notify_all();
  if (_watchdog.joinable()) _watchdog.join();
  // httplib's stop acts only once its loop runs; a loop that has yet to start then finds its
  // socket shut and ends at its first accept.
  const socket_t listening = svr_sock_;
  if (listening != INVALID_SOCKET) ::shutdown(listening, SHUT_RDWR);
  stop();
}

bool View_Server::Open(Connection& c) {
  std::lock_guard lock(_mutex);
  if (_stopping) return false;
  c.serial = _opened++;
  c.waiting_since = Clock::now();
  c.request_deadline = c.waiting_since + kRequest_Time;
  _open.push_back(&c);
  return true;
}

void View_Server::Close(Connection& c) {
  std::lock_guard lock(_mutex);
  _open.erase(std::find(_open.begin(), _open.end(), &c));
}

void View_Server::Answering() {
  if (t_current == nullptr) return;
  std::lock_guard lock(_mutex);
  t_current->answering = true;
}

bool View_Server::Answered(Connection& c) {
  std::lock_guard lock(_mutex);
  const bool answered = c.answering;
  c.answering = false;
  c.answered_before = c.answered_before || answered;
  c.waiting_since = Clock::now();
  c.request_deadline = c.waiting_since + kRequest_Time;
  return answered && !c.cut && !_stopping;
}

bool View_Server::process_and_close_socket(socket_t sock) {
  Connection c;
  c.fd = sock;
  c.client = Peer(sock);
  if (Open(c)) {
    t_current = &c;
    Connection_Stream stream(
        sock, std::chrono::seconds(read_timeout_sec_) + std::chrono::microseconds(read_timeout_usec_),
        std::chrono::seconds(kWrite_Seconds));
    for (size_t left = keep_alive_max_count_; left > 0; --left) {
      // Between requests a connection waits the keep-alive time at most.
      if (left != keep_alive_max_count_ && !stream.buffered() &&
          !Ready(sock, POLLIN, Clock::now() + std::chrono::seconds(keep_alive_timeout_sec_)))
        break;
      bool closed = false;
      const bool served = process_request(stream, left == 1, closed, {});
      if (!Answered(c) || !served || closed) break;
    }
    t_current = nullptr;
    Close(c);
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return true;
}

void View_Server::Watch() {
  std::unique_lock lock(_mutex);
  while (!_stopping) {
    const Clock::time_point now = Clock::now();
    std::vector<Connection*> slow;
    for (Connection* c : _open) {
      if (c->answering || c->cut) continue;
      if (now >= c->request_deadline)
        Cut(*c);
      else if (now - c->waiting_since >= kSlow_After)
        slow.push_back(c);
    }
    // Per client, the slow connections past kSlow_Per_Client go: never answered first, then oldest.
    std::sort(slow.begin(), slow.end(), [](const Connection* a, const Connection* b) {
      return std::tie(a->client, a->answered_before, a->serial) <
             std::tie(b->client, b->answered_before, b->serial);
    });
    for (size_t i = 0; i < slow.size();) {
      size_t end = i;
      while (end < slow.size() && slow[end]->client == slow[i]->client) ++end;
      for (size_t k = i; k + kSlow_Per_Client < end; ++k) Cut(*slow[k]);
      i = end;
    }
    _wake.wait_for(lock, std::chrono::milliseconds(100));
  }
}

}  // namespace quarnel::modelkit::view_detail
