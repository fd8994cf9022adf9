// The live view's HTTP server (View.h): cpp-httplib's, serving each connection itself so that
// clients without the token can neither hold the view's threads nor delay a stop.
//
// What it guarantees, whatever the clients do:
//  1. a request's line and headers arrive within kRequest_Time of a server thread taking the
//     connection (or of the answer before it), or the connection is closed;
//  2. a request that the routes did not mark as answered (Answering: no token, a malformed
//     request) is its connection's last;
//  3. no client address keeps more than kSlow_Per_Client connections that have waited longer
//     than kSlow_After for their request: the watchdog closes the oldest of the others. A
//     page's own requests come in milliseconds and are never the ones closed;
//  4. Stop closes the listening socket and every open connection at once, so it returns
//     without waiting for any client (a handler under way finishes; handlers never block).
// Thread safety: Prepare_To_Listen and Stop on one thread (the View's owner); Answering on the
// thread that serves the request, from a route; the rest is the server's own threads.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quarnel::modelkit::view_detail {

class View_Server : public httplib::Server {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kRequest_Time = std::chrono::seconds(5);
  static constexpr Clock::duration kSlow_After = std::chrono::seconds(1);
  static constexpr size_t kSlow_Per_Client = 8;
  static constexpr size_t kThreads = 16;
  static constexpr int kKeep_Alive_Seconds = 2;
  static constexpr size_t kKeep_Alive_Requests = 5;
  static constexpr int kWrite_Seconds = 5;
  static constexpr int kBacklog = 128;

  View_Server();
  ~View_Server() override;

  // After the bind, before listen_after_bind: a deeper queue of connections not yet accepted
  // than the library's 5 (a page opens several at once, slow clients or not), and the thread
  // that closes late and surplus connections (1 and 3 above).
  void Prepare_To_Listen();
  // The request being served on this thread has the token: its connection may serve more
  // requests, and its reads are no longer under the request deadline until it is answered.
  void Answering();
  // See 4 above; then stops the listening loop (httplib's stop). Idempotent.
  void Stop();

  struct Connection;  // one being served, on the stack of the thread that serves it

 private:
  bool process_and_close_socket(socket_t sock) override;
  bool Open(Connection& c);
  void Close(Connection& c);
  // The request on `c` has been answered; whether it was one the routes marked as answering.
  bool Answered(Connection& c);
  void Watch();
  static void Cut(Connection& c);  // REQUIRES: _mutex held

  std::mutex _mutex;
  std::condition_variable _wake;
  bool _stopping = false;          // guarded by _mutex
  uint64_t _opened = 0;            // guarded by _mutex
  std::vector<Connection*> _open;  // guarded by _mutex
  std::thread _watchdog;
};

}  // namespace quarnel::modelkit::view_detail
