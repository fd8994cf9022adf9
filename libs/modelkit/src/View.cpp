#include <quarnel/modelkit/View.h>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include <quarnel/World.h>

#include "View_Server.h"

namespace quarnel::modelkit {

using Clock = std::chrono::steady_clock;

int Portrayal::Kind(const std::string& name, Shape shape, std::vector<std::string> fields) {
  if (_kinds.size() >= 255) throw std::length_error("a portrayal has at most 255 kinds of object");
  _kinds.push_back({name, shape, std::move(fields)});
  return int(_kinds.size() - 1);
}

void Portrayal::Add(int kind, double x, double y, uint32_t rgb, double size, uint64_t id,
                    std::initializer_list<double> fields) {
  if (kind < 0 || size_t(kind) >= _kinds.size()) throw std::out_of_range("Portrayal::Add: no such kind");
  const uint64_t n = _added++;
  if (n % _stride != 0) return;
  _objects.push_back({float(x), float(y), float(size), rgb & 0xFFFFFFu, uint8_t(kind), id});
  _offsets.push_back(_fields.size());
  const size_t count = _kinds[size_t(kind)].fields.size();
  size_t i = 0;
  for (double f : fields) {
    if (i++ == count) break;
    _fields.push_back(f);
  }
  for (; i < count; ++i) _fields.push_back(0.0);
}

void Portrayal::Clear(uint64_t stride) {
  _width = _height = 0;
  _kinds.clear();
  _objects.clear();
  _offsets.clear();
  _fields.clear();
  _added = 0;
  _stride = std::max<uint64_t>(stride, 1);
}

namespace view_detail {

std::string Json_String(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20 || c == 0x7f) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
      out += buffer;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

namespace {

std::string Json_Number(double x) {
  if (!(x == x) || x == INFINITY || x == -INFINITY) return "null";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.17g", x);
  return buffer;
}

void Put_U32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += char((v >> (8 * i)) & 0xFF);
}

}  // namespace

// The picture: "QVW1", a u32 length L, L bytes of JSON (run, steps, space, counts, kinds),
// padded with spaces to a multiple of 4, then per object four little-endian 32-bit words:
// x, y and size as floats and colour | kind << 24.
std::string Encode_Picture(const Portrayal& picture, uint64_t steps_done, uint64_t run) {
  std::string head = "{\"run\":" + std::to_string(run) + ",\"steps\":" + std::to_string(steps_done) +
                     ",\"space\":" + (picture.has_space() ? "true" : "false") +
                     ",\"width\":" + Json_Number(picture.width()) +
                     ",\"height\":" + Json_Number(picture.height()) +
                     ",\"added\":" + std::to_string(picture.added()) +
                     ",\"count\":" + std::to_string(picture.objects().size()) + ",\"kinds\":[";
  for (size_t k = 0; k < picture.kinds().size(); ++k) {
    const auto& kind = picture.kinds()[k];
    head += (k ? ",{\"name\":" : "{\"name\":") + Json_String(kind.name) + ",\"shape\":\"" +
            (kind.shape == Shape::circle ? "circle" : "square") + "\"}";
  }
  head += "]}";
  while (head.size() % 4 != 0) head += ' ';
  std::string out = "QVW1";
  Put_U32(out, uint32_t(head.size()));
  out += head;
  const size_t at = out.size();
  out.resize(at + picture.objects().size() * 16);
  char* p = out.data() + at;
  for (const Portrayal::Object& o : picture.objects()) {
    uint32_t words[4];
    std::memcpy(&words[0], &o.x, 4);
    std::memcpy(&words[1], &o.y, 4);
    std::memcpy(&words[2], &o.size, 4);
    words[3] = o.rgb | (uint32_t(o.kind) << 24);
    for (uint32_t w : words) {  // little-endian whatever the host
      for (int i = 0; i < 4; ++i) *p++ = char((w >> (8 * i)) & 0xFF);
    }
  }
  return out;
}

}  // namespace view_detail

namespace {

// 128 random bits, hexadecimal: the page's key.
std::string New_Token() {
  unsigned char bytes[16];
  bool read = false;
  if (std::FILE* f = std::fopen("/dev/urandom", "rb")) {
    read = std::fread(bytes, 1, sizeof bytes, f) == sizeof bytes;
    std::fclose(f);
  }
  if (!read) {
    std::random_device device;
    for (unsigned char& b : bytes) b = (unsigned char)(device() & 0xFF);
  }
  static const char* const digits = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token += digits[b >> 4];
    token += digits[b & 15];
  }
  return token;
}

// Compares without stopping at the first difference, so the time taken tells nothing.
bool Same_Token(const std::string& given, const std::string& token) {
  if (given.size() != token.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < token.size(); ++i) diff |= (unsigned char)(given[i] ^ token[i]);
  return diff == 0;
}

}  // namespace

struct View::State {
  State(std::string n, const Parameter_List& p, std::function<std::string(const std::vector<std::string>&)> c)
      : name(std::move(n)), parameters(p), check(std::move(c)), token(New_Token()) {}

  const std::string name;
  const Parameter_List& parameters;
  const std::function<std::string(const std::vector<std::string>&)> check;
  const std::string token;
  view_detail::View_Server server;
  std::thread thread;
  int port = 0;

  std::mutex mutex;
  std::condition_variable control_changed;  // the controlling thread waits on it
  // The page's controls.
  bool playing = false;
  double speed = 0;         // steps per second while playing; 0: as fast as the run goes
  uint64_t step_asked = 0;  // steps the page asked for while paused
  bool restart = false;
  std::vector<std::string> restart_sets;
  // The run.
  uint64_t run = 0;
  bool running = false;
  std::string error;
  std::vector<Parameter_Value> values;
  std::vector<std::string> columns;
  uint64_t steps_done = 0;
  double steps_per_second = 0;
  Clock::time_point rate_mark = Clock::now();
  uint64_t rate_mark_steps = 0;
  Clock::time_point last_release = Clock::now();
  // The ring of series rows; row i of the run has sequence number first_row + i.
  std::deque<std::vector<Measure_Value>> rows;
  std::deque<uint64_t> row_steps;
  uint64_t first_row = 0;
  // The last picture, encoded, and what it was made from (for the inspector).
  std::shared_ptr<const std::string> picture;
  Portrayal shown;
  uint64_t shown_run = 0;
  // Set by a page that fetched a picture: the next iteration makes a new one.
  std::atomic<bool> picture_wanted{true};
  Portrayal scratch;               // controlling thread only
  Clock::time_point next_picture;  // controlling thread only
  uint64_t picture_number = 0;     // of the picture in `picture`
  uint64_t stride = 1;

  std::string State_Json();
  std::string Parameters_Json();
  std::string Series_Json(uint64_t run_asked, uint64_t after);
  std::string Inspect_Json(double x, double y);
  void Routes();
};

std::string View::State::State_Json() {
  std::lock_guard lock(mutex);
  std::string s =
      "{\"name\":" + view_detail::Json_String(name) + ",\"run\":" + std::to_string(run) +
      ",\"running\":" + (running ? "true" : "false") + ",\"error\":" + view_detail::Json_String(error) +
      ",\"steps\":" + std::to_string(steps_done) +
      ",\"steps_per_second\":" + view_detail::Json_Number(steps_per_second) +
      ",\"playing\":" + (playing ? "true" : "false") + ",\"speed\":" + view_detail::Json_Number(speed) +
      ",\"restarting\":" + (restart ? "true" : "false") + ",\"columns\":[";
  for (size_t i = 0; i < columns.size(); ++i) s += (i ? "," : "") + view_detail::Json_String(columns[i]);
  s += "],\"values\":{";
  for (size_t i = 0; i < values.size(); ++i)
    s += (i ? "," : "") + view_detail::Json_String(values[i].name) + ":" +
         view_detail::Json_String(values[i].text);
  return s + "}}";
}

std::string View::State::Parameters_Json() {
  std::string s = "[";
  bool first = true;
  for (const Parameter_List::Entry& e : parameters.entries()) {
    s += std::string(first ? "" : ",") + "{\"name\":" + view_detail::Json_String(e.name) +
         ",\"type\":" + view_detail::Json_String(to_string(e.type)) +
         ",\"range\":" + view_detail::Json_String(e.range_text) +
         ",\"help\":" + view_detail::Json_String(e.help) + "}";
    first = false;
  }
  return s + "]";
}

std::string View::State::Series_Json(uint64_t run_asked, uint64_t after) {
  std::lock_guard lock(mutex);
  // A page of another run, or one that fell behind the ring, starts from the ring's first row.
  uint64_t from = run_asked == run ? std::max(after, first_row) : first_row;
  const uint64_t end = first_row + rows.size();
  from = std::min(from, end);
  std::string s = "{\"run\":" + std::to_string(run) + ",\"next\":" + std::to_string(end) + ",\"rows\":[";
  for (uint64_t i = from; i < end; ++i) {
    const auto& row = rows[size_t(i - first_row)];
    s += (i == from ? "[" : ",[") + std::to_string(row_steps[size_t(i - first_row)]);
    for (const Measure_Value& v : row) {
      s += ',';
      if (v.kind == Measure_Value::Kind::integer)
        s += std::to_string(v.integer);
      else if (v.kind == Measure_Value::Kind::real)
        s += view_detail::Json_Number(v.real);
      else
        s += "null";
    }
    s += ']';
  }
  return s + "]}";
}

// The object of the last picture under (x, y): the nearest one whose square of its size
// holds the point, else the nearest within 2% of the space's larger side.
std::string View::State::Inspect_Json(double x, double y) {
  std::lock_guard lock(mutex);
  const auto& objects = shown.objects();
  size_t best = objects.size();
  double best_d2 = INFINITY;
  const double reach = 0.02 * std::max(shown.width(), shown.height());
  for (size_t i = 0; i < objects.size(); ++i) {
    const double dx = objects[i].x - x, dy = objects[i].y - y;
    const double half = std::max<double>(objects[i].size / 2, reach);
    if (std::abs(dx) > half || std::abs(dy) > half) continue;
    // A smaller object over a bigger one (an animal on its cell) wins at the same distance.
    const double d2 = dx * dx + dy * dy + 1e-9 * objects[i].size;
    if (d2 <= best_d2) {
      best_d2 = d2;
      best = i;
    }
  }
  if (best == objects.size()) return "{\"found\":false}";
  const Portrayal::Object& o = objects[best];
  const auto& kind = shown.kinds()[o.kind];
  std::string s = "{\"found\":true,\"kind\":" + view_detail::Json_String(kind.name) +
                  ",\"id\":" + std::to_string(o.id) + ",\"x\":" + view_detail::Json_Number(o.x) +
                  ",\"y\":" + view_detail::Json_Number(o.y) + ",\"fields\":[";
  for (size_t f = 0; f < kind.fields.size(); ++f) {
    s += (f ? ",[" : "[") + view_detail::Json_String(kind.fields[f]) + "," +
         view_detail::Json_Number(shown.field_values()[shown.field_offset(best) + f]) + "]";
  }
  return s + "]}";
}

void View::State::Routes() {
  using httplib::Request;
  using httplib::Response;
  server.set_pre_routing_handler([this](const Request& req, Response& res) {
    if (!Same_Token(req.get_param_value("token"), token)) {
      res.status = 403;
      res.set_header("Connection", "close");  // the server closes a refused request's connection
      res.set_content("refused: this page needs the token of the URL the program printed\n", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    server.Answering();
    res.set_header("Cache-Control", "no-store");
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
    res.status = 500;
    res.set_content("the view failed to answer\n", "text/plain");
  });
  server.Get("/", [](const Request&, Response& res) {
    res.set_content(view_detail::kPage, "text/html; charset=utf-8");
  });
  server.Get("/state",
             [this](const Request&, Response& res) { res.set_content(State_Json(), "application/json"); });
  server.Get("/parameters", [this](const Request&, Response& res) {
    res.set_content(Parameters_Json(), "application/json");
  });
  auto number = [](const Request& req, const char* key, double fallback) {
    const std::string text = req.get_param_value(key);
    if (text.empty()) return fallback;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !(v == v)) throw std::invalid_argument(key);
    return v;
  };
  server.Get("/series", [this, number](const Request& req, Response& res) {
    try {
      const double run_asked = number(req, "run", 0), after = number(req, "after", 0);
      if (run_asked < 0 || after < 0) throw std::invalid_argument("negative");
      res.set_content(Series_Json(uint64_t(run_asked), uint64_t(std::min(after, 1e18))), "application/json");
    } catch (const std::invalid_argument&) {
      res.status = 400;
      res.set_content("run and after are whole numbers\n", "text/plain");
    }
  });
  // have=N: the page holds picture N already; 204 until a newer one is made.
  server.Get("/frame", [this](const Request& req, Response& res) {
    std::shared_ptr<const std::string> picture;
    uint64_t number;
    {
      std::lock_guard lock(mutex);
      picture = this->picture;
      number = picture_number;
    }
    picture_wanted.store(true, std::memory_order_relaxed);
    res.set_header("X-Picture", std::to_string(number));
    if (!picture || req.get_param_value("have") == std::to_string(number)) {
      res.status = 204;
      return;
    }
    // The buffer stays alive while the response is written, however the next picture comes.
    res.set_content_provider(picture->size(), "application/octet-stream",
                             [picture](size_t offset, size_t length, httplib::DataSink& sink) {
                               sink.write(picture->data() + offset,
                                          std::min(length, picture->size() - offset));
                               return true;
                             });
  });
  server.Get("/inspect", [this, number](const Request& req, Response& res) {
    try {
      res.set_content(Inspect_Json(number(req, "x", NAN), number(req, "y", NAN)), "application/json");
    } catch (const std::invalid_argument&) {
      res.status = 400;
      res.set_content("x and y are numbers\n", "text/plain");
    }
  });
  server.Post("/control", [this, number](const Request& req, Response& res) {
    const std::string action = req.get_param_value("action");
    double new_speed = 0;
    try {
      new_speed = number(req, "speed", -1);
    } catch (const std::invalid_argument&) {
      new_speed = -2;
    }
    if ((action != "play" && action != "pause" && action != "step" && action != "speed") || new_speed == -2 ||
        (action == "speed" && new_speed < 0)) {
      res.status = 400;
      res.set_content("action is play, pause, step or speed (with speed=steps per second, 0: full)\n",
                      "text/plain");
      return;
    }
    {
      std::lock_guard lock(mutex);
      if (new_speed >= 0) speed = new_speed > 0 ? std::max(new_speed, kSlowest_Speed) : 0;
      if (action == "play") playing = true;
      if (action == "pause") playing = false;
      if (action == "step") {
        playing = false;
        ++step_asked;
      }
    }
    control_changed.notify_all();
    res.set_content(State_Json(), "application/json");
  });
  server.Post("/restart", [this](const Request& req, Response& res) {
    std::vector<std::string> sets;
    for (const auto& [key, value] : req.params) {
      if (key == "token") continue;
      if (!parameters.Has(key)) {
        res.status = 400;
        res.set_content("no parameter '" + key + "'\n", "text/plain");
        return;
      }
      sets.push_back(key + "=" + value);
    }
    if (const std::string problem = check ? check(sets) : ""; !problem.empty()) {
      res.status = 400;
      res.set_content(problem + "\n", "text/plain");
      return;
    }
    {
      std::lock_guard lock(mutex);
      restart = true;
      restart_sets = std::move(sets);
    }
    control_changed.notify_all();
    res.set_content(State_Json(), "application/json");
  });
}

View::View(std::string name, const Parameter_List& parameters,
           std::function<std::string(const std::vector<std::string>&)> check)
    : _state(std::make_unique<State>(std::move(name), parameters, std::move(check))) {}

View::~View() {
  if (_state->thread.joinable()) {
    _state->server.Stop();
    _state->thread.join();
  }
}

std::string View::Start(const View_Settings& settings) {
  State& s = *_state;
  // A page closed while its answer is written must not end the program.
  std::signal(SIGPIPE, SIG_IGN);
  s.server.set_payload_max_length(64 * 1024);
  s.server.set_read_timeout(5, 0);
  s.Routes();
  errno = 0;
  int port = settings.port;
  bool bound;
  if (port == 0) {
    port = s.server.bind_to_any_port(settings.address);
    bound = port > 0;
  } else {
    bound = s.server.bind_to_port(settings.address, port);
  }
  if (!bound) {
    const int error = errno;
    throw View_Error("cannot serve the view on " + settings.address + ":" + std::to_string(settings.port) +
                     ": " + (error != 0 ? std::strerror(error) : "the address cannot be bound"));
  }
  s.port = port;
  s.server.Prepare_To_Listen();
  s.thread = std::thread([&s] { s.server.listen_after_bind(); });
  const bool v6 = settings.address.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + settings.address + "]" : settings.address) + ":" + std::to_string(port) +
         "/?token=" + s.token;
}

bool Loopback_Address(const std::string& address) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0) return false;
  bool loopback = found != nullptr;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      const uint32_t ip = ntohl(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr);
      loopback = loopback && (ip >> 24) == 127;
    } else if (a->ai_family == AF_INET6) {
      const in6_addr& ip = reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr;
      const bool mapped = IN6_IS_ADDR_V4MAPPED(&ip) && ip.s6_addr[12] == 127;
      loopback = loopback && (IN6_IS_ADDR_LOOPBACK(&ip) || mapped);
    } else {
      loopback = false;
    }
  }
  ::freeaddrinfo(found);
  return loopback;
}

int View::port() const {
  return _state->port;
}

void View::Run_Starts(const std::vector<Parameter_Value>& values) {
  State& s = *_state;
  std::lock_guard lock(s.mutex);
  ++s.run;
  s.running = true;
  s.error.clear();
  s.values = values;
  s.columns.clear();
  s.rows.clear();
  s.row_steps.clear();
  s.first_row = 0;
  s.steps_done = 0;
  s.steps_per_second = 0;
  s.rate_mark = s.last_release = Clock::now();
  s.rate_mark_steps = 0;
  s.restart = false;
  s.restart_sets.clear();
  s.step_asked = 0;
  s.picture_wanted.store(true);
}

void View::Between_Iterations(uint64_t steps_done, uint64_t last_step,
                              const std::function<void(Portrayal&)>& portray) {
  State& s = *_state;
  bool will_hold;
  {
    std::lock_guard lock(s.mutex);
    s.steps_done = steps_done;
    const Clock::time_point now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - s.rate_mark).count();
    if (seconds >= 0.5) {
      s.steps_per_second = double(steps_done - s.rate_mark_steps) / seconds;
      s.rate_mark = now;
      s.rate_mark_steps = steps_done;
    }
    will_hold = !s.restart && steps_done < last_step &&
                ((!s.playing && s.step_asked == 0) || (s.playing && s.speed > 0));
  }
  // A run about to wait shows the state it waits in. A running one makes the picture a page
  // asked for once the time since the last picture is at least kPicture_Share^-1 times what
  // that picture took, so pictures take at most about that share of the controlling thread.
  const Clock::time_point start = Clock::now();
  if (will_hold || (start >= s.next_picture && s.picture_wanted.exchange(false, std::memory_order_relaxed))) {
    s.scratch.Clear(s.stride);
    if (portray) portray(s.scratch);
    // The next picture thins so that it keeps at most kMax_Drawn objects.
    s.stride = std::max<uint64_t>(1, (s.scratch.added() + kMax_Drawn - 1) / kMax_Drawn);
    if (s.scratch.objects().size() > kMax_Drawn) {  // this one had more than the last: again
      s.scratch.Clear(s.stride);
      if (portray) portray(s.scratch);
    }
    auto picture =
        std::make_shared<const std::string>(view_detail::Encode_Picture(s.scratch, steps_done, s.run));
    const Clock::time_point end = Clock::now();
    s.next_picture = end + (end - start) * std::lround(1 / kPicture_Share);
    std::lock_guard lock(s.mutex);
    std::swap(s.shown, s.scratch);
    s.picture = std::move(picture);
    ++s.picture_number;
  }
  std::unique_lock lock(s.mutex);
  for (;;) {
    if (steps_done >= last_step) break;  // nothing left to hold: the run ends here
    if (s.restart) {
      World::Request_Stop();
      return;
    }
    if (World::stop_requested()) return;  // a stop signal: the run ends at this boundary
    if (s.playing) {
      if (s.speed <= 0) break;
      const auto due = s.last_release + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(1.0 / s.speed));
      if (Clock::now() >= due) break;
      s.control_changed.wait_until(lock, std::min(due, Clock::now() + std::chrono::milliseconds(100)));
      continue;
    }
    if (s.step_asked > 0) {
      --s.step_asked;
      break;
    }
    s.control_changed.wait_for(lock, std::chrono::milliseconds(100));
  }
  s.last_release = Clock::now();
}

void View::Record(uint64_t step, const std::vector<std::string>& columns,
                  const std::vector<Measure_Value>& row) {
  State& s = *_state;
  std::lock_guard lock(s.mutex);
  if (s.columns.empty()) s.columns = columns;
  if (s.rows.size() == kSeries_Rows) {
    s.rows.pop_front();
    s.row_steps.pop_front();
    ++s.first_row;
  }
  s.rows.push_back(row);
  s.row_steps.push_back(step);
}

void View::Run_Ended(const std::string& error) {
  State& s = *_state;
  {
    std::lock_guard lock(s.mutex);
    s.running = false;
    s.error = error;
  }
  s.picture_wanted.store(true);
}

bool View::Wait_For_Restart() {
  State& s = *_state;
  std::unique_lock lock(s.mutex);
  while (!s.restart) {
    if (World::stop_requested()) return false;
    s.control_changed.wait_for(lock, std::chrono::milliseconds(100));
  }
  return true;
}

bool View::restart_asked() const {
  std::lock_guard lock(_state->mutex);
  return _state->restart;
}

std::vector<std::string> View::Restart_Sets() const {
  std::lock_guard lock(_state->mutex);
  return _state->restart_sets;
}

}  // namespace quarnel::modelkit
