// A model's parameters, declared once: each by name, type, default, allowed range and one
// line of help, bound to a field of the model's own Parameters struct. Every way of running
// the model reads them from here: the command line (--set NAME=VALUE, --params), the
// records (a runs column per parameter), and presets, which are named sets of values over
// them (the examples' --size small|large|huge).
//
//   struct Parameters { int width = 40; double density = 0.9; bool wrap = false; };
//   quarnel::modelkit::Model_Parameters<Parameters> Declare() {
//     quarnel::modelkit::Model_Parameters<Parameters> p;
//     p.Integer("width", &Parameters::width, 40, 1, 10000, "cells per row of the grid");
//     p.Floating("density", &Parameters::density, 0.9, 0, 1, "fraction of the cells occupied");
//     p.Flag("wrap", &Parameters::wrap, false, "whether the grid wraps around");
//     p.Preset("large", {{"width", "100"}});
//     return p;
//   }
//
// Names are snake_case ([a-z][a-z0-9_]*). A declaration that breaks a rule (a bad or repeated
// name, a default outside its range, a preset value that does not fit) is a fatal error: it
// is the model's own fault. A value read from a user (Set, Apply_Preset of a user's choice)
// that does not fit is a Model_Option_Error, one line naming the parameter.
//
// Thread safety: declare on one thread; afterwards every operation is const and may be
// called from any thread. Invariant: every declared default lies in its range, and every
// preset names declared parameters with values that fit them.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace quarnel::modelkit {

// A wrong option or parameter value read from a user: what() is one line naming it.
class Model_Option_Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Parameter_Type { integer, floating, flag, text };

// "integer", "floating", "flag" or "text".
std::string to_string(Parameter_Type type);

// A parameter's value as the records keep it: flags "true"/"false", numbers in the shortest
// text that reads back the same.
struct Parameter_Value {
  std::string name;
  Parameter_Type type;
  std::string text;
};

// The type-free part of Model_Parameters: the declared parameters, parsing and listing.
class Parameter_List {
 public:
  struct Entry {
    std::string name;
    Parameter_Type type;
    std::string default_text;
    std::string range_text;  // "1 .. 10000", "0 .. 1", "true or false", "any text"
    std::string help;
    std::function<void(void*, const std::string&)> set;  // parses, checks, stores; throws
    std::function<std::string(const void*)> get;
  };

  // A whole number in [min, max] or a Model_Option_Error naming `name`.
  static __int128 Parse_Whole(const std::string& name, const std::string& text, __int128 min, __int128 max);
  // A finite number in [min, max] or a Model_Option_Error naming `name`.
  static double Parse_Floating(const std::string& name, const std::string& text, double min, double max);
  static bool Parse_Flag(const std::string& name, const std::string& text);
  static std::string Text_Of(__int128 value);
  static std::string Text_Of(double value);

  void Add(Entry entry, void* defaults);
  // `scratch`: a copy of the values, on which each of the preset's values is tried.
  void Add_Preset(const std::string& name, std::vector<std::pair<std::string, std::string>> values,
                  void* scratch);

  // Sets parameter `name` of `values` from `text`: a Model_Option_Error for an unknown name
  // or a value that does not fit.
  void Set(void* values, const std::string& name, const std::string& text) const;
  // `NAME=VALUE` as Set does; a Model_Option_Error when it has no '='.
  void Set_Assignment(void* values, const std::string& assignment) const;
  // Applies preset `name`: a Model_Option_Error naming the presets when there is none of it.
  void Apply_Preset(void* values, const std::string& name) const;
  bool Has_Preset(const std::string& name) const;
  // The parameters that some preset sets, in declaration order: what choosing a preset decides.
  std::vector<std::string> Preset_Parameters() const;
  bool Has(const std::string& name) const { return Find(name) != nullptr; }
  bool Has_Any_Preset() const { return !_presets.empty(); }
  // Marks `name` (a declared parameter) as the length of a run, the parameter that --steps N
  // sets; a fatal error when it is not declared.
  void Set_Length(const std::string& name);
  // The length parameter: the one marked, else `steps` when declared, else "".
  std::string length() const { return !_length.empty() ? _length : Has("steps") ? "steps" : ""; }
  std::vector<Parameter_Value> Values(const void* values) const;
  // The --params text: one line per parameter (name, type, default, range, help), then the
  // presets with their values.
  std::string Listing() const;
  const std::vector<Entry>& entries() const { return _entries; }
  bool empty() const { return _entries.empty(); }

 private:
  const Entry* Find(const std::string& name) const;
  std::vector<Entry> _entries;
  std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> _presets;
  std::string _length;
};

template <class P>
class Model_Parameters {
 public:
  Model_Parameters() = default;

  // An integral field (not bool) with values in [min, max].
  template <std::integral T>
  requires(!std::same_as<T, bool>) Model_Parameters& Integer(const std::string& name, T P::*field,
                                                             std::type_identity_t<T> default_value,
                                                             std::type_identity_t<T> min,
                                                             std::type_identity_t<T> max,
                                                             const std::string& help) {
    Parameter_List::Entry e{
        name,
        Parameter_Type::integer,
        Parameter_List::Text_Of(__int128(default_value)),
        Parameter_List::Text_Of(__int128(min)) + " .. " + Parameter_List::Text_Of(__int128(max)),
        help,
        nullptr,
        nullptr};
    e.set = [name, field, min, max](void* p, const std::string& text) {
      static_cast<P*>(p)->*field = T(Parameter_List::Parse_Whole(name, text, min, max));
    };
    e.get = [field](const void* p) {
      return Parameter_List::Text_Of(__int128(static_cast<const P*>(p)->*field));
    };
    _list.Add(std::move(e), &_defaults);
    return *this;
  }

  // A floating-point field with finite values in [min, max].
  Model_Parameters& Floating(const std::string& name, double P::*field, double default_value, double min,
                             double max, const std::string& help) {
    Parameter_List::Entry e{name,
                            Parameter_Type::floating,
                            Parameter_List::Text_Of(default_value),
                            Parameter_List::Text_Of(min) + " .. " + Parameter_List::Text_Of(max),
                            help,
                            nullptr,
                            nullptr};
    e.set = [name, field, min, max](void* p, const std::string& text) {
      static_cast<P*>(p)->*field = Parameter_List::Parse_Floating(name, text, min, max);
    };
    e.get = [field](const void* p) { return Parameter_List::Text_Of(static_cast<const P*>(p)->*field); };
    _list.Add(std::move(e), &_defaults);
    return *this;
  }

  Model_Parameters& Flag(const std::string& name, bool P::*field, bool default_value,
                         const std::string& help) {
    Parameter_List::Entry e{
        name,   Parameter_Type::flag, default_value ? "true" : "false", "true or false", help, nullptr,
        nullptr};
    e.set = [name, field](void* p, const std::string& text) {
      static_cast<P*>(p)->*field = Parameter_List::Parse_Flag(name, text);
    };
    e.get = [field](const void* p) {
      return std::string(static_cast<const P*>(p)->*field ? "true" : "false");
    };
    _list.Add(std::move(e), &_defaults);
    return *this;
  }

  Model_Parameters& Text(const std::string& name, std::string P::*field, const std::string& default_value,
                         const std::string& help) {
    Parameter_List::Entry e{name, Parameter_Type::text, default_value, "any text", help, nullptr, nullptr};
    e.set = [field](void* p, const std::string& text) { static_cast<P*>(p)->*field = text; };
    e.get = [field](const void* p) { return static_cast<const P*>(p)->*field; };
    _list.Add(std::move(e), &_defaults);
    return *this;
  }

  // A named set of values over declared parameters (applied over the defaults).
  Model_Parameters& Preset(const std::string& name, std::vector<std::pair<std::string, std::string>> values) {
    P scratch = _defaults;
    _list.Add_Preset(name, std::move(values), &scratch);
    return *this;
  }

  // The declared parameter that is a run's length when it is not `steps` (--steps N sets it).
  Model_Parameters& Length(const std::string& name) {
    _list.Set_Length(name);
    return *this;
  }

  // Every declared field at its default (the others as P{} has them).
  P Defaults() const { return _defaults; }
  // The defaults with preset `preset` applied, then each NAME=VALUE of `assignments`.
  P Values_For(const std::string& preset, const std::vector<std::string>& assignments) const {
    P p = _defaults;
    if (!preset.empty()) _list.Apply_Preset(&p, preset);
    for (const std::string& a : assignments) _list.Set_Assignment(&p, a);
    return p;
  }
  void Set(P& p, const std::string& name, const std::string& text) const { _list.Set(&p, name, text); }
  std::vector<Parameter_Value> Values(const P& p) const { return _list.Values(&p); }
  std::string Listing() const { return _list.Listing(); }
  const Parameter_List& list() const { return _list; }

 private:
  P _defaults{};
  Parameter_List _list;
};

}  // namespace quarnel::modelkit
