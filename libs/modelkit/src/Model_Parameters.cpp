#include <quarnel/modelkit/Model_Parameters.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <sstream>

#include <quarnel/Fatal_Error.h>
#include <quarnel/modelkit/Program_Process.h>

namespace quarnel::modelkit {
namespace {

bool Snake_Case(const std::string& name) {
  if (name.empty() || name.front() < 'a' || name.front() > 'z') return false;
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

[[noreturn]] void Refuse(const std::string& name, const std::string& text, const std::string& why) {
  throw Model_Option_Error("parameter " + Printable(name) + ": '" + Printable(text) + "' " + why);
}

}  // namespace

std::string to_string(Parameter_Type type) {
  switch (type) {
    case Parameter_Type::integer:
      return "integer";
    case Parameter_Type::floating:
      return "floating";
    case Parameter_Type::flag:
      return "flag";
    case Parameter_Type::text:
      return "text";
  }
  return "unknown";
}

__int128 Parameter_List::Parse_Whole(const std::string& name, const std::string& text, __int128 min,
                                     __int128 max) {
  const char* first = text.data();
  const char* last = first + text.size();
  __int128 value = 0;
  bool read = false;
  if (!text.empty() && text.front() == '-') {
    int64_t v = 0;
    const auto [end, error] = std::from_chars(first, last, v);
    read = error == std::errc() && end == last;
    value = v;
  } else if (!text.empty() && text.front() >= '0' && text.front() <= '9') {
    uint64_t v = 0;
    const auto [end, error] = std::from_chars(first, last, v);
    read = error == std::errc() && end == last;
    value = v;
  }
  if (!read) Refuse(name, text, "is not a whole number");
  if (value < min || value > max)
    Refuse(name, text, "is outside its range " + Text_Of(min) + " .. " + Text_Of(max));
  return value;
}

double Parameter_List::Parse_Floating(const std::string& name, const std::string& text, double min,
                                      double max) {
  const char* first = text.data();
  const char* last = first + text.size();
  double value = 0;
  const auto [end, error] = std::from_chars(first, last, value);
  if (text.empty() || error != std::errc() || end != last || !std::isfinite(value)) {
    Refuse(name, text, "is not a finite number");
  }
  if (value < min || value > max)
    Refuse(name, text, "is outside its range " + Text_Of(min) + " .. " + Text_Of(max));
  return value;
}

bool Parameter_List::Parse_Flag(const std::string& name, const std::string& text) {
  if (text == "true" || text == "1") return true;
  if (text == "false" || text == "0") return false;
  Refuse(name, text, "is not true or false");
}

std::string Parameter_List::Text_Of(__int128 value) {
  if (value < 0) return "-" + Text_Of(-value);
  std::string digits;
  do {
    digits.insert(digits.begin(), char('0' + int(value % 10)));
    value /= 10;
  } while (value != 0);
  return digits;
}

std::string Parameter_List::Text_Of(double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

void Parameter_List::Set_Length(const std::string& name) {
  if (!Has(name)) QUARNEL_FATAL("The length parameter '" << name << "' is not declared");
  _length = name;
}

void Parameter_List::Add(Entry entry, void* defaults) {
  if (!Snake_Case(entry.name)) {
    QUARNEL_FATAL("The parameter name '" << entry.name << "' is not snake_case ([a-z][a-z0-9_]*)");
  }
  if (Find(entry.name) != nullptr) QUARNEL_FATAL("The parameter '" << entry.name << "' is declared twice");
  try {
    entry.set(defaults, entry.default_text);
  } catch (const Model_Option_Error& e) {
    QUARNEL_FATAL("The default of " << e.what());
  }
  _entries.push_back(std::move(entry));
}

void Parameter_List::Add_Preset(const std::string& name,
                                std::vector<std::pair<std::string, std::string>> values, void* scratch) {
  if (name.empty() || Has_Preset(name))
    QUARNEL_FATAL("The preset '" << name << "' is unnamed or declared twice");
  for (const auto& [parameter, text] : values) {
    if (Find(parameter) == nullptr) {
      QUARNEL_FATAL("The preset '" << name << "' sets the undeclared parameter '" << parameter << "'");
    }
    try {
      Set(scratch, parameter, text);
    } catch (const Model_Option_Error& e) {
      QUARNEL_FATAL("The preset '" << name << "' does not fit: " << e.what());
    }
  }
  _presets.emplace_back(name, std::move(values));
}

const Parameter_List::Entry* Parameter_List::Find(const std::string& name) const {
  for (const Entry& e : _entries) {
    if (e.name == name) return &e;
  }
  return nullptr;
}

void Parameter_List::Set(void* values, const std::string& name, const std::string& text) const {
  const Entry* entry = Find(name);
  if (entry == nullptr)
    throw Model_Option_Error("unknown parameter '" + Printable(name) + "' (--params lists them)");
  entry->set(values, text);
}

void Parameter_List::Set_Assignment(void* values, const std::string& assignment) const {
  const size_t equals = assignment.find('=');
  if (equals == std::string::npos || equals == 0) {
    throw Model_Option_Error("option --set: '" + Printable(assignment) + "' is not NAME=VALUE");
  }
  Set(values, assignment.substr(0, equals), assignment.substr(equals + 1));
}

std::vector<std::string> Parameter_List::Preset_Parameters() const {
  std::vector<std::string> names;
  for (const Entry& e : _entries) {
    for (const auto& preset : _presets) {
      const auto& values = preset.second;
      if (std::any_of(values.begin(), values.end(), [&](const auto& v) { return v.first == e.name; })) {
        names.push_back(e.name);
        break;
      }
    }
  }
  return names;
}

bool Parameter_List::Has_Preset(const std::string& name) const {
  for (const auto& preset : _presets) {
    if (preset.first == name) return true;
  }
  return false;
}

void Parameter_List::Apply_Preset(void* values, const std::string& name) const {
  for (const auto& [preset, assignments] : _presets) {
    if (preset != name) continue;
    for (const auto& [parameter, text] : assignments) Set(values, parameter, text);
    return;
  }
  std::string names;
  for (const auto& preset : _presets) names += (names.empty() ? "" : ", ") + preset.first;
  throw Model_Option_Error("no preset '" + Printable(name) +
                           "' (presets: " + (names.empty() ? "none" : names) + ")");
}

std::vector<Parameter_Value> Parameter_List::Values(const void* values) const {
  std::vector<Parameter_Value> result;
  for (const Entry& e : _entries) result.push_back({e.name, e.type, e.get(values)});
  return result;
}

std::string Parameter_List::Listing() const {
  size_t width = 4;
  for (const Entry& e : _entries) width = std::max(width, e.name.size());
  std::ostringstream out;
  auto pad = [](const std::string& s, size_t n) {
    return s + std::string(n > s.size() ? n - s.size() : 0, ' ');
  };
  out << pad("name", width) << "  " << pad("type", 8) << "  " << pad("default", 10) << "  "
      << pad("range", 16) << "  help\n";
  for (const Entry& e : _entries) {
    out << pad(e.name, width) << "  " << pad(to_string(e.type), 8) << "  " << pad(e.default_text, 10) << "  "
        << pad(e.range_text, 16) << "  " << e.help << "\n";
  }
  for (const auto& [preset, assignments] : _presets) {
    out << "preset " << preset << ":";
    for (const auto& [parameter, text] : assignments) out << " " << parameter << "=" << text;
    out << "\n";
  }
  return out.str();
}

}  // namespace quarnel::modelkit
