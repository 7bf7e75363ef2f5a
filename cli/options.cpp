// Parsing the command line without questions.
#include "cli/options.hpp"

#include <charconv>
#include <cmath>
#include <set>

#include "formats/fields.hpp"

namespace kelv::cli {

namespace {

std::string quoted(std::string_view s) {
  return "\"" + std::string(s) + "\"";
}

int32_t integerValue(std::string_view option, std::string_view text, int32_t least) {
  int32_t v = 0;
  const char* end = text.data() + text.size();
  const auto r = std::from_chars(text.data(), end, v);
  if (r.ec != std::errc() || r.ptr != end || text.empty())
    throw UsageError(std::string(option) + " needs a whole number, not " + quoted(text));
  if (v < least)
    throw UsageError(std::string(option) + " must be at least " + std::to_string(least) + ", not " +
                     std::string(text));
  return v;
}

double realValue(std::string_view option, std::string_view text) {
  double v = 0.0;
  std::string_view t = text;
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  const char* end = t.data() + t.size();
  const auto r = std::from_chars(t.data(), end, v, std::chars_format::general);
  if (t.empty() || t.front() == '+' || r.ec != std::errc() || r.ptr != end || !std::isfinite(v))
    throw UsageError(std::string(option) + " needs a number, not " + quoted(text));
  return v;
}

}  // namespace

BatchOptions parseBatchOptions(const std::vector<std::string_view>& args) {
  BatchOptions o;
  std::set<std::string> seen;
  bool optionsEnd = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
      if (arg.empty()) throw UsageError("an empty input file name");
      o.inputs.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnd = true;
      continue;
    }
    // --name=value or --name value.
    std::string name(arg);
    std::optional<std::string_view> inlineValue;
    if (const std::size_t eq = arg.find('=');
        eq != std::string_view::npos && arg.substr(0, 2) == "--") {
      name = std::string(arg.substr(0, eq));
      inlineValue = arg.substr(eq + 1);
    }
    static const std::set<std::string> kFlags = {"--diff", "--channels", "--null", "--quiet"};
    static const std::set<std::string> kValued = {
        "--window",      "--shift", "--order",  "--start",   "--step",
        "--time-column", "--list",  "--output", "--threads", "--time-unit"};
    if (name == "--help" || name == "--version")
      throw UsageError(quoted(name) + " must be the only argument");
    const bool flag = kFlags.count(name) > 0;
    if (!flag && kValued.count(name) == 0) throw UsageError("unknown option " + quoted(name));
    if (!seen.insert(name).second) throw UsageError(name + " is given twice");
    if (flag) {
      if (inlineValue) throw UsageError(name + " takes no value");
      if (name == "--diff") o.diff = true;
      if (name == "--channels") o.channels = true;
      if (name == "--null") o.nullLevel = true;
      if (name == "--quiet") o.quiet = true;
      continue;
    }
    std::string_view value;
    if (inlineValue) {
      value = *inlineValue;
    } else {
      if (i + 1 == args.size()) throw UsageError(name + " needs a value");
      value = args[++i];
    }
    if (name == "--window") o.window = integerValue(name, value, 2);
    if (name == "--shift") o.shift = integerValue(name, value, 1);
    if (name == "--order") o.order = integerValue(name, value, 1);
    if (name == "--threads") o.threads = integerValue(name, value, 1);
    if (name == "--start") o.start = realValue(name, value);
    if (name == "--step") o.step = realValue(name, value);
    if (name == "--time-column" || name == "--list" || name == "--output" ||
        name == "--time-unit") {
      if (value.empty()) throw UsageError(name + " needs a value, not an empty one");
      if (name == "--time-column") o.timeColumn = value;
      if (name == "--list") o.list = std::string(value);
      if (name == "--output") o.output = value;
      if (name == "--time-unit") o.timeUnit = value;
    }
  }
  for (const char* required : {"--window", "--shift", "--order"})
    if (seen.count(required) == 0) throw UsageError("missing " + std::string(required));
  if (o.list && !o.inputs.empty())
    throw UsageError("--list and input files exclude each other (input " + quoted(o.inputs[0]) +
                     ")");
  if (!o.timeColumn.empty() && o.inputs.empty())
    throw UsageError("--time-column needs input files (the series of a list have no columns)");
  return o;
}

std::string settingsText(int32_t window, int32_t shift, int32_t order, bool diff, double start,
                         double step) {
  std::string text = "--window " + std::to_string(window) + " --shift " + std::to_string(shift) +
                     " --order " + std::to_string(order);
  if (diff) text += " --diff";
  return text + " --start " + shortestDouble(start) + " --step " + shortestDouble(step);
}

}  // namespace kelv::cli
