// Model parameters declared once: values read from text are checked against their type and
// range with one line naming the parameter; presets and assignments apply in order; the
// values come back as the records keep them; a declaration that breaks a rule is fatal.
#include <quarnel/modelkit/Model_Parameters.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quarnel::modelkit {
namespace {

struct Params {
  int width = 0;
  uint64_t agents = 0;
  double density = 0;
  bool wrap = false;
  std::string label;
};

Model_Parameters<Params> Declared() {
  Model_Parameters<Params> p;
  p.Integer("width", &Params::width, 40, -5, 100, "cells per row");
  p.Integer("agents", &Params::agents, 10, 1, UINT64_MAX, "agents");
  p.Floating("density", &Params::density, 0.25, 0, 1, "fraction occupied");
  p.Flag("wrap", &Params::wrap, false, "wraps around");
  p.Text("label", &Params::label, "plain", "a name");
  p.Preset("large", {{"width", "100"}, {"density", "0.5"}});
  return p;
}

std::string Error_Of(const std::vector<std::string>& assignments, const std::string& preset = "") {
  try {
    Declared().Values_For(preset, assignments);
  } catch (const Model_Option_Error& e) {
    return e.what();
  }
  return "";
}

TEST(Model_Parameters_Test, Defaults_Then_Preset_Then_Assignments_In_Order) {
  const Params d = Declared().Defaults();
  EXPECT_EQ(d.width, 40);
  EXPECT_EQ(d.density, 0.25);
  EXPECT_EQ(d.label, "plain");
  const Params p = Declared().Values_For("large", {"width=-5", "agents=18446744073709551615", "wrap=true",
                                                   "label=a=b", "width=7", "density=1e-3"});
  EXPECT_EQ(p.width, 7);  // the last assignment wins
  EXPECT_EQ(p.agents, UINT64_MAX);
  EXPECT_EQ(p.density, 0.001);
  EXPECT_TRUE(p.wrap);
  EXPECT_EQ(p.label, "a=b");
  const std::vector<Parameter_Value> values = Declared().Values(p);
  ASSERT_EQ(values.size(), 5u);
  EXPECT_EQ(values[0].text, "7");
  EXPECT_EQ(values[1].text, "18446744073709551615");
  EXPECT_EQ(values[2].text, "0.001");
  EXPECT_EQ(values[2].type, Parameter_Type::floating);
  EXPECT_EQ(values[3].text, "true");
  EXPECT_EQ(Declared().Values_For("large", {}).density, 0.5);
}

TEST(Model_Parameters_Test, Bad_Values_Are_One_Line_Naming_The_Parameter) {
  EXPECT_EQ(Error_Of({"width=101"}), "parameter width: '101' is outside its range -5 .. 100");
  EXPECT_EQ(Error_Of({"width=-6"}), "parameter width: '-6' is outside its range -5 .. 100");
  EXPECT_EQ(Error_Of({"width=4.5"}), "parameter width: '4.5' is not a whole number");
  EXPECT_EQ(Error_Of({"width="}), "parameter width: '' is not a whole number");
  EXPECT_EQ(Error_Of({"agents=-1"}), "parameter agents: '-1' is outside its range 1 .. 18446744073709551615");
  EXPECT_EQ(Error_Of({"agents=18446744073709551616"}),
            "parameter agents: '18446744073709551616' is not a whole number");
  EXPECT_EQ(Error_Of({"density=1.5"}), "parameter density: '1.5' is outside its range 0 .. 1");
  EXPECT_EQ(Error_Of({"density=inf"}), "parameter density: 'inf' is not a finite number");
  EXPECT_EQ(Error_Of({"density=0.5x"}), "parameter density: '0.5x' is not a finite number");
  EXPECT_EQ(Error_Of({"wrap=yes"}), "parameter wrap: 'yes' is not true or false");
  EXPECT_EQ(Error_Of({"height=3"}), "unknown parameter 'height' (--params lists them)");
  EXPECT_EQ(Error_Of({"=3"}), "option --set: '=3' is not NAME=VALUE");
  EXPECT_EQ(Error_Of({}, "huge"), "no preset 'huge' (presets: large)");
}

TEST(Model_Parameters_Test, Declarations_That_Break_A_Rule_Are_Fatal) {
  // No logging is set up in this test, so the fatal error's text sends the user to no log.
  const std::string prefix = "An exception occurred: ";
  const auto message = [](auto declare) {
    try {
      Model_Parameters<Params> p;
      declare(p);
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_EQ(message([](auto& p) { p.Integer("Width", &Params::width, 1, 0, 2, ""); }),
            prefix + "The parameter name 'Width' is not snake_case ([a-z][a-z0-9_]*)");
  EXPECT_EQ(message([](auto& p) {
              p.Integer("width", &Params::width, 1, 0, 2, "");
              p.Integer("width", &Params::width, 1, 0, 2, "");
            }),
            prefix + "The parameter 'width' is declared twice");
  EXPECT_EQ(message([](auto& p) { p.Floating("density", &Params::density, 2, 0, 1, ""); }),
            prefix + "The default of parameter density: '2' is outside its range 0 .. 1");
  EXPECT_EQ(message([](auto& p) {
              p.Preset("large", {{"depth", "1"}});
            }),
            prefix + "The preset 'large' sets the undeclared parameter 'depth'");
  EXPECT_EQ(message([](auto& p) {
              p.Flag("wrap", &Params::wrap, false, "");
              p.Preset("large", {{"wrap", "2"}});
            }),
            prefix + "The preset 'large' does not fit: parameter wrap: '2' is not true or false");
}

}  // namespace
}  // namespace quarnel::modelkit
