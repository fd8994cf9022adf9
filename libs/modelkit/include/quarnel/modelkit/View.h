// A live view of a model run in the browser, served by the running program (`PROGRAM --view`).
//
// A model program gets one through Run_Model_Program: with --view, Model_Options::view points
// to the program's View and the run function passes it on to its kernel run; without --view
// it is null and nothing of this file runs (no thread, no socket).
//
// What a model does for its view, all on the controlling thread:
//  - in its iteration hook, once the iteration's state is final, it calls
//      view->Between_Iterations(steps_done, last_step, [&](quarnel::modelkit::Portrayal& out) { ... });
//    the function fills `out` (the space's extent, kinds of object, one Add per object) only
//    when the page wants a new picture; the call then holds the run while the page has it
//    paused or slowed down, and asks the run to stop (World::Request_Stop) when the page
//    restarts it with new parameters;
//  - every row its records write (Open_Records wires it) goes to view->Record(step, columns,
//    row), which copies it into a bounded ring of rows for the page's plots.
// The view only reads: the series a run records is the same with and without it.
//
// Large models: a picture keeps at most kMax_Drawn objects; one with more keeps every k-th
// object added (k the smallest stride that fits), kinds drawn first (cells) thinned like the
// rest, and the page says how many of how many it shows.
//
// Clients: a request without the token is refused (403) and its connection closed. A request's
// line and headers must arrive within 5 s; one client address keeps at most 8 connections
// that have waited over a second for their request (the oldest others are closed), so slow
// clients cannot hold the server's 16 threads. Stopping the view closes every connection at
// once and waits for no client.
//
// Thread safety: Between_Iterations, Record, Run_Starts, Run_Ended, Wait_For_Restart and
// Restart_Sets on the controlling thread; the HTTP threads read the last picture and the ring
// under the view's mutex and never touch the model. Start before the run, the destructor
// after it; the destructor stops the server and joins its threads.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <quarnel/Measures.h>
#include <quarnel/modelkit/Model_Parameters.h>

namespace quarnel::modelkit {

// How one kind of object is drawn and inspected.
enum class Shape : uint8_t { square, circle };

// What the model draws of one picture: filled by the model's portrayal function; the view
// clears it before each call. Coordinates are in model units, y downwards from the top;
// an object's size is its width in model units.
class Portrayal {
 public:
  // The extent of the space: [0, width) x [0, height). A portrayal that never calls it has no
  // space, and the page shows its plots in its place.
  void Space(double width, double height) {
    _width = width;
    _height = height;
  }
  // A kind of object, its name (for the inspector) and the names of its fields; returns its
  // number for Add. At most 255 kinds.
  int Kind(const std::string& name, Shape shape, std::vector<std::string> fields);
  // One object of `kind` at (x, y), colour 0xRRGGBB, `size` model units wide, `id` for the
  // inspector, and its fields' values in the order the kind named them (missing ones are 0).
  void Add(int kind, double x, double y, uint32_t rgb, double size, uint64_t id,
           std::initializer_list<double> fields = {});

  struct Kind_Info {
    std::string name;
    Shape shape;
    std::vector<std::string> fields;
  };
  struct Object {
    float x, y, size;
    uint32_t rgb;  // 0xRRGGBB
    uint8_t kind;
    uint64_t id;
  };
  bool has_space() const { return _width > 0 && _height > 0; }
  double width() const { return _width; }
  double height() const { return _height; }
  const std::vector<Kind_Info>& kinds() const { return _kinds; }
  const std::vector<Object>& objects() const { return _objects; }
  // Object i's fields: field_values()[field_offset(i) ...], as many as its kind names.
  const std::vector<double>& field_values() const { return _fields; }
  size_t field_offset(size_t object) const { return _offsets[object]; }
  // Objects added, before thinning.
  uint64_t added() const { return _added; }

  // Empties the picture; `stride` k keeps every k-th object added (the view sets it).
  void Clear(uint64_t stride);

 private:
  double _width = 0, _height = 0;
  std::vector<Kind_Info> _kinds;
  std::vector<Object> _objects;
  std::vector<size_t> _offsets;
  std::vector<double> _fields;
  uint64_t _added = 0;
  uint64_t _stride = 1;
};

struct View_Settings {
  std::string address = "127.0.0.1";  // the address the server binds
  int port = 8080;                    // 0: any free port
};

// Why View::Start failed: one line ("cannot listen on 127.0.0.1:8080: Address already in use").
class View_Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class View {
 public:
  // The most objects a picture keeps (see above).
  static constexpr uint64_t kMax_Drawn = 100000;
  // The rows of the series the server keeps; older rows leave the ring first.
  static constexpr size_t kSeries_Rows = 20000;
  // The most of the controlling thread's time that pictures take while the page plays the run.
  static constexpr double kPicture_Share = 0.02;
  // The slowest speed the page can set, in steps per second (a step an hour); a slower one
  // is taken as this.
  static constexpr double kSlowest_Speed = 1.0 / 3600;

  // A view of model `name`, whose parameters the page's form shows. `check` returns why the
  // NAME=VALUE assignments of a restart cannot run ("" when they can); the HTTP threads call
  // it, so it must be safe to call from any thread.
  View(std::string name, const Parameter_List& parameters,
       std::function<std::string(const std::vector<std::string>&)> check);
  ~View();
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  // Binds and starts serving; a View_Error when the address or port cannot be had. Returns
  // the page's URL, token included.
  std::string Start(const View_Settings& settings);
  int port() const;

  // A run starts with these parameter values (as the records keep them): the series restarts
  // empty; play, pause and speed stay as the page left them (the first run starts paused).
  void Run_Starts(const std::vector<Parameter_Value>& values);
  // See the file comment. `steps_done`: the steps finished, shown as the iteration; at
  // `last_step` the run is not held (nothing is left to step). A null `portray`: the model
  // has no space, its plots are its view.
  void Between_Iterations(uint64_t steps_done, uint64_t last_step,
                          const std::function<void(Portrayal&)>& portray);
  // A row of the series: `step` and the recorded columns' values.
  void Record(uint64_t step, const std::vector<std::string>& columns, const std::vector<Measure_Value>& row);
  // The run has ended (last step, stop or failure; `error` non-empty: its message).
  void Run_Ended(const std::string& error = {});
  // After a run: waits until the page asks for a restart (true, with Restart_Sets() the
  // NAME=VALUE assignments asked) or a stop signal comes (false).
  bool Wait_For_Restart();
  // Whether the page asked the run that turns to restart.
  bool restart_asked() const;
  std::vector<std::string> Restart_Sets() const;

  struct State;  // shared with the HTTP threads

 private:
  std::unique_ptr<State> _state;
};

// Whether every address that `address` names (a numeric address or a host name) is a loopback
// one (127.0.0.0/8, ::1): a view bound there is reached from this machine only.
bool Loopback_Address(const std::string& address);

namespace view_detail {
// The page: one HTML document with its script and style.
extern const char* const kPage;
// The little-endian binary picture the page draws (the format is described in View.cpp).
std::string Encode_Picture(const Portrayal& picture, uint64_t steps_done, uint64_t run);
// `text` as a JSON string, quotes included.
std::string Json_String(const std::string& text);
}  // namespace view_detail

}  // namespace quarnel::modelkit
