// The README's troubleshooting table lists every failure line the log can show, and nothing else.
//
// Which lines the log can show is read from the sources under src/, however they are arranged:
// - LogLine and LogAppend write a text formatted as by printf. A function that passes one of its
//   parameters into the text of such a call writes to the log too, that parameter being its
//   text (LogLastError's caption, a step's line), and so on through any number of functions;
//   these are found from the function definitions.
// - A call of one of them gives a text when its text argument is a string literal or a named
//   string constant (or a ?: between such): a %s whose argument is such a string is filled in,
//   any other conversion stays a placeholder. A call that passes on a parameter of its own
//   function gives no text itself where callers give that parameter such strings (their texts
//   count); elsewhere the parameter is a placeholder. A text's first line is what the log shows.
// - The lines that a successful scan and download show (iapflash list, and flash with a switch
//   into the boot program, on the simulated bus) are progress lines; all others failure lines.
// - A call whose text cannot be told that way fails the test: the scan would miss its lines.
// - A run of several devices ends a run stopped at its time limit or by a signal with a line of
//   its own in the device's labelled log; those lines are taken from such runs of the built
//   command, and are failure lines too.
// The table's first column holds failure lines in code spans, <name> standing for a placeholder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Stands for a printf conversion (source) or a <name> (README) inside a line.
constexpr char PLACEHOLDER = '\x01';

struct Source {
  std::string name;
  std::string text;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<Source> SourcesUnder(const fs::path& dir) {
  std::vector<Source> sources;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string extension = entry.path().extension().string();
    if (entry.is_regular_file() && (extension == ".cpp" || extension == ".h")) {
      sources.push_back({entry.path().string(), ReadFile(entry.path())});
    }
  }
  return sources;
}

// The code without its comments; string and character literals stay as they are.
std::string WithoutComments(const std::string& code) {
  std::string out;
  for (std::size_t i = 0; i < code.size();) {
    if (code[i] == '"' || code[i] == '\'') {
      const char quote = code[i];
      std::size_t end = i + 1;
      while (end < code.size() && code[end] != quote) end += code[end] == '\\' ? 2 : 1;
      out.append(code, i, end + 1 - i);
      i = end + 1;
    } else if (code.compare(i, 2, "//") == 0) {
      i = code.find('\n', i);
      if (i == std::string::npos) break;
    } else if (code.compare(i, 2, "/*") == 0) {
      const std::size_t end = code.find("*/", i + 2);
      if (end == std::string::npos) break;
      out += ' ';
      i = end + 2;
    } else {
      out += code[i++];
    }
  }
  return out;
}

std::string Trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") + 1 - first);
}

// The value of adjacent string literals ("a" "b"), escapes decoded; nullopt for anything else.
std::optional<std::string> Literals(const std::string& code) {
  std::string value;
  std::size_t i = 0;
  bool any = false;
  while (true) {
    while (i < code.size() && std::isspace(static_cast<unsigned char>(code[i]))) ++i;
    if (i == code.size()) break;
    if (code[i] != '"') return std::nullopt;
    any = true;
    for (++i; i < code.size() && code[i] != '"'; ++i) {
      if (code[i] != '\\') {
        value += code[i];
        continue;
      }
      const char escaped = code[++i];
      value += escaped == 'n' ? '\n' : escaped == 'r' ? '\r' : escaped == 't' ? '\t' : escaped;
    }
    ++i;
  }
  if (!any) return std::nullopt;
  return value;
}

// Splits at the commas (or the one character given) that are outside brackets and literals.
std::vector<std::string> SplitTopLevel(const std::string& code, char separator) {
  std::vector<std::string> parts(1);
  int depth = 0;
  for (std::size_t i = 0; i < code.size(); ++i) {
    const char c = code[i];
    if (c == '"' || c == '\'') {
      std::size_t end = i + 1;
      while (end < code.size() && code[end] != c) end += code[end] == '\\' ? 2 : 1;
      parts.back().append(code, i, end + 1 - i);
      i = end;
      continue;
    }
    if (c == '(' || c == '[' || c == '{') ++depth;
    if (c == ')' || c == ']' || c == '}') --depth;
    const bool scope =
        c == ':' && ((i + 1 < code.size() && code[i + 1] == ':') || (i > 0 && code[i - 1] == ':'));
    if (depth == 0 && c == separator && !scope) {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

// A parameter of the function around a call, passed on: the char 0x10 + its index.
constexpr char PARAMETER = '\x10';
constexpr std::size_t MAX_PARAMETERS = 16;
// Where the text given to a logging function's parameter goes in what it logs.
constexpr char SLOT = '\x02';

bool IsParameterMark(char c) {
  return c >= PARAMETER && static_cast<std::size_t>(c - PARAMETER) < MAX_PARAMETERS;
}

// The position after the parenthesis that closes the one before at.
std::size_t CloseParenthesis(const std::string& code, std::size_t at) {
  std::size_t close = at;
  for (int depth = 1; close < code.size() && depth > 0; ++close) {
    if (code[close] == '"' || code[close] == '\'') {
      const char quote = code[close];
      for (++close; close < code.size() && code[close] != quote; ++close) {
        if (code[close] == '\\') ++close;
      }
    } else if (code[close] == '(') {
      ++depth;
    } else if (code[close] == ')') {
      --depth;
    }
  }
  return close;
}

// Where the body that begins with the brace at ends.
std::size_t BodyEnd(const std::string& code, std::size_t at) {
  std::size_t i = at;
  for (int depth = 0; i < code.size(); ++i) {
    if (code[i] == '"' || code[i] == '\'') {
      const char quote = code[i];
      for (++i; i < code.size() && code[i] != quote; ++i) {
        if (code[i] == '\\') ++i;
      }
    } else if (code[i] == '{') {
      ++depth;
    } else if (code[i] == '}' && --depth == 0) {
      return i;
    }
  }
  return code.size();
}

// The name a parameter declaration gives ("const char* line = nullptr" gives "line").
std::string ParameterName(const std::string& declaration) {
  const std::string code = Trim(declaration.substr(0, declaration.find('=')));
  std::size_t end = code.size();
  while (end > 0 &&
         (std::isalnum(static_cast<unsigned char>(code[end - 1])) || code[end - 1] == '_')) {
    --end;
  }
  return code.substr(end);
}

struct Call {
  std::string name;
  std::vector<std::string> arguments;
};

struct Function {
  const std::string* code;
  std::string file;
  std::vector<std::string> parameters;
  std::size_t bodyBegin;
  std::size_t bodyEnd;
  // Every call in the body, found once: the scan asks for a function's calls many times over
  // while the set of logging functions grows.
  std::vector<Call> calls;
};

class LogTexts {
 public:
  explicit LogTexts(const std::vector<Source>& sources) {
    for (const Source& source : sources) codes_.push_back(WithoutComments(source.text));
    const std::regex constant(
        R"re(\b([A-Z][A-Z0-9_]*)\s*(\[\s*\])?\s*=\s*("(?:[^"\\]|\\.)*"(?:\s*"(?:[^"\\]|\\.)*")*)\s*;)re");
    for (std::size_t k = 0; k < codes_.size(); ++k) {
      const std::string& code = codes_[k];
      for (std::sregex_iterator m(code.begin(), code.end(), constant), end; m != end; ++m) {
        constants_[(*m)[1]] = *Literals((*m)[3]);
      }
      FindFunctions(code, sources[k].name);
    }
    // Logging functions found so far make their callers that pass a parameter on logging too.
    for (bool grew = true; grew;) {
      grew = false;
      for (const auto& [name, function] : functions_) {
        for (const std::string& text : Texts(function)) {
          for (std::size_t i = 0; i < function.parameters.size() && i < MAX_PARAMETERS; ++i) {
            if (text.find(static_cast<char>(PARAMETER + i)) == std::string::npos) continue;
            std::string slotted;
            for (char c : text) {
              slotted += c == static_cast<char>(PARAMETER + i) ? SLOT
                         : IsParameterMark(c)                  ? PLACEHOLDER
                                                               : c;
            }
            grew |= slots_[name][i].insert(slotted).second;
          }
        }
      }
    }
    // Which text parameters some call gives a string of the sources.
    std::set<std::pair<std::string, std::size_t>> given;
    for (const auto& [name, function] : functions_) {
      for (const Call& call : CallsIn(function)) {
        const auto slots = slots_.find(call.name);
        if (slots == slots_.end()) continue;
        for (const auto& [position, shapes] : slots->second) {
          const auto values = position < call.arguments.size()
                                  ? Strings(call.arguments[position], function)
                                  : std::nullopt;
          if (values && std::none_of(values->begin(), values->end(), [](const std::string& v) {
                return std::any_of(v.begin(), v.end(), IsParameterMark);
              })) {
            given.insert({call.name, position});
          }
        }
      }
    }
    // A text with a parameter of its function in it comes from the callers when they give that
    // parameter strings; otherwise the parameter (a port name, say) stays a placeholder.
    for (const auto& [name, function] : functions_) {
      for (const std::string& text : Texts(function)) {
        std::string line;
        bool fromCallers = false;
        for (char c : text) {
          if (!IsParameterMark(c)) {
            line += c;
            continue;
          }
          fromCallers |= given.count({name, static_cast<std::size_t>(c - PARAMETER)}) > 0;
          line += PLACEHOLDER;
        }
        if (!fromCallers) Add(line);
      }
    }
  }

  const std::set<std::string>& Lines() const { return lines_; }
  // Every line of every text, not only the first (the lines that follow it in the same call).
  const std::set<std::string>& AllLines() const { return allLines_; }
  // The calls whose text the scan cannot tell: a format of the log's functions, or a text given
  // to a function that logs it, that is no literal, named constant, parameter or ?: of those.
  // Each is "file: call".
  std::set<std::string> Unresolved() const {
    std::set<std::string> calls;
    for (const auto& [name, function] : functions_) {
      for (const Call& call : CallsIn(function)) {
        const bool logs = call.name == "LogLine" || call.name == "LogAppend";
        std::vector<std::size_t> texts;
        if (logs) {
          texts.push_back(1);
        } else {
          for (const auto& [position, shapes] : slots_.at(call.name)) texts.push_back(position);
        }
        for (const std::size_t position : texts) {
          // A text parameter left out takes its default: no text. The log's own functions
          // always have their format.
          if (position < call.arguments.size() ? !Strings(call.arguments[position], function)
                                               : logs) {
            calls.insert(function.file + ": " + call.name + "(" + Joined(call.arguments) + ")");
          }
        }
      }
    }
    return calls;
  }
  std::set<std::string> Loggers() const {
    std::set<std::string> names;
    for (const auto& [name, slots] : slots_) names.insert(name);
    return names;
  }

 private:
  static std::string Joined(const std::vector<std::string>& arguments) {
    std::string joined;
    for (const std::string& argument : arguments) {
      joined += (joined.empty() ? "" : ", ") + Trim(argument);
    }
    return joined;
  }

  void FindFunctions(const std::string& code, const std::string& file) {
    static const std::set<std::string> KEYWORDS = {"if",    "for",    "while",  "switch",
                                                   "catch", "return", "sizeof", "defined"};
    static const std::regex name(R"re(\b([A-Za-z_]\w*)\s*\()re");
    static const std::regex between(
        R"re(\s*(const\s*)?(noexcept\s*)?(override\s*)?(\w+\s*\([^()]*\)\s*)?)re");
    for (std::sregex_iterator m(code.begin(), code.end(), name), end; m != end; ++m) {
      if (KEYWORDS.count((*m)[1])) continue;
      const std::size_t open = static_cast<std::size_t>(m->position(0) + m->length(0));
      const std::size_t close = CloseParenthesis(code, open);
      const std::size_t brace = code.find_first_of("{;", close);
      if (brace == std::string::npos || code[brace] != '{' ||
          !std::regex_match(code.substr(close, brace - close), between)) {
        continue;
      }
      Function function{&code, file, {}, brace, BodyEnd(code, brace), {}};
      const std::string list = Trim(code.substr(open, close - 1 - open));
      if (!list.empty()) {
        for (const std::string& parameter : SplitTopLevel(list, ',')) {
          function.parameters.push_back(ParameterName(parameter));
        }
      }
      function.calls = AllCallsIn(function);
      functions_.emplace((*m)[1], std::move(function));
    }
  }

  // Every call in a function's body, with its arguments.
  static std::vector<Call> AllCallsIn(const Function& function) {
    static const std::regex name(R"re(\b([A-Za-z_]\w*)\s*\()re");
    std::vector<Call> calls;
    const std::string& code = *function.code;
    auto begin = code.begin() + static_cast<long>(function.bodyBegin);
    auto finish = code.begin() + static_cast<long>(function.bodyEnd);
    for (std::sregex_iterator m(begin, finish, name), end; m != end; ++m) {
      const std::size_t open =
          function.bodyBegin + static_cast<std::size_t>(m->position(0) + m->length(0));
      const std::size_t close = CloseParenthesis(code, open);
      calls.push_back({(*m)[1], SplitTopLevel(code.substr(open, close - 1 - open), ',')});
    }
    return calls;
  }

  // The calls in a function's body of the functions that log.
  std::vector<Call> CallsIn(const Function& function) const {
    std::vector<Call> calls;
    for (const Call& call : function.calls) {
      if (call.name == "LogLine" || call.name == "LogAppend" || slots_.count(call.name)) {
        calls.push_back(call);
      }
    }
    return calls;
  }

  // What the function's logging calls write; its own parameters show as their marks.
  std::vector<std::string> Texts(const Function& function) const {
    std::vector<std::string> texts;
    for (const Call& call : CallsIn(function)) {
      if (call.name == "LogLine" || call.name == "LogAppend") {
        if (call.arguments.size() < 2) continue;
        const std::vector<std::string> rest(call.arguments.begin() + 2, call.arguments.end());
        for (const std::string& format :
             Strings(call.arguments[1], function).value_or(std::vector<std::string>{})) {
          for (const std::string& text : Fill(format, rest, function)) texts.push_back(text);
        }
      }
      const auto slots = slots_.find(call.name);
      if (slots == slots_.end()) continue;
      for (const auto& [position, shapes] : slots->second) {
        if (position >= call.arguments.size()) continue;
        for (const std::string& value :
             Strings(call.arguments[position], function).value_or(std::vector<std::string>{})) {
          for (const std::string& shape : shapes) {
            std::string text;
            for (char c : shape) text += c == SLOT ? value : std::string(1, c);
            texts.push_back(text);
          }
        }
      }
    }
    return texts;
  }

  // The values a string argument can take: literals, named constants, the function's own
  // parameters (as their marks); nullopt for anything else.
  std::optional<std::vector<std::string>> Strings(const std::string& argument,
                                                  const Function& function) const {
    const std::string code = Trim(argument);
    if (auto literal = Literals(code)) return std::vector<std::string>{*literal};
    if (auto found = constants_.find(code); found != constants_.end()) {
      return std::vector<std::string>{found->second};
    }
    for (std::size_t i = 0; i < function.parameters.size() && i < MAX_PARAMETERS; ++i) {
      if (code == function.parameters[i]) {
        return std::vector<std::string>{std::string(1, static_cast<char>(PARAMETER + i))};
      }
    }
    const std::vector<std::string> condition = SplitTopLevel(code, '?');
    if (condition.size() != 2) return std::nullopt;
    const std::vector<std::string> sides = SplitTopLevel(condition[1], ':');
    if (sides.size() != 2) return std::nullopt;
    auto yes = Strings(sides[0], function);
    auto no = Strings(sides[1], function);
    if (!yes || !no) return std::nullopt;
    yes->insert(yes->end(), no->begin(), no->end());
    return yes;
  }

  // The format's texts, each %s whose argument is a string filled in.
  std::vector<std::string> Fill(const std::string& format,
                                const std::vector<std::string>& arguments,
                                const Function& function) const {
    std::vector<std::string> texts{""};
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
      if (format[i] != '%') {
        for (std::string& text : texts) text += format[i];
        continue;
      }
      if (i + 1 < format.size() && format[i + 1] == '%') {
        for (std::string& text : texts) text += '%';
        ++i;
        continue;
      }
      std::size_t end = i + 1;
      while (end < format.size() &&
             std::string("-+ #0123456789.*hljztL").find(format[end]) != std::string::npos) {
        ++end;
      }
      const bool isString = end < format.size() && format[end] == 's';
      const auto values = isString && next < arguments.size()
                              ? Strings(arguments[next], function)
                              : std::optional<std::vector<std::string>>();
      ++next;
      std::vector<std::string> filled;
      for (const std::string& text : texts) {
        if (!values) filled.push_back(text + PLACEHOLDER);
        for (const std::string& value : values.value_or(std::vector<std::string>{})) {
          filled.push_back(text + value);
        }
      }
      texts = filled;
      i = end;
    }
    return texts;
  }

  // Keeps a text's first line; texts without a word (".", "%s") only pass others on.
  void Add(const std::string& text) {
    const auto hasWord = [](const std::string& line) {
      return std::any_of(line.begin(), line.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) >= 0x80;
      });
    };
    std::string line;
    std::istringstream all(text);
    while (std::getline(all, line)) {
      if (hasWord(line)) allLines_.insert(Trim(line));
    }
    line.clear();
    std::istringstream lines(text);
    while (line.empty() && std::getline(lines, line)) line = Trim(line);
    if (hasWord(line)) lines_.insert(line);
  }

  std::vector<std::string> codes_;
  std::map<std::string, std::string> constants_;
  std::multimap<std::string, Function> functions_;
  // Per logging function found: its text parameters and what each one's text becomes.
  std::map<std::string, std::map<std::size_t, std::set<std::string>>> slots_;
  std::set<std::string> lines_;
  std::set<std::string> allLines_;
};

// A line with its placeholders as a regular expression for whole lines.
std::regex Pattern(const std::string& line) {
  std::string pattern;
  for (char c : line) {
    if (c == PLACEHOLDER) {
      pattern += ".*";
    } else {
      if (std::string(R"(\^$.|?*+()[]{})").find(c) != std::string::npos) pattern += '\\';
      pattern += c;
    }
  }
  return std::regex(pattern);
}

std::string Shown(const std::string& line) {
  std::string shown;
  for (char c : line) shown += c == PLACEHOLDER ? std::string("<…>") : std::string(1, c);
  return shown;
}

// The lines of iapflash's stdout, trimmed, without the progress dots that run into a line.
std::vector<std::string> OutputOf(const std::string& arguments) {
  const std::string command = std::string(IAPFLASH_COMMAND) + " " + arguments + " 2>/dev/null";
  std::vector<std::string> lines;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return lines;
  std::string text;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, n);
  const int status = ::pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    line = Trim(line);
    lines.push_back(Trim(line.substr(std::min(line.find_first_not_of('.'), line.size()))));
  }
  return lines;
}

// The labelled lines of a run of several devices, each without its "[k PORT] " label and its
// progress dots; with a signal, that is sent once the first line is out.
std::vector<std::string> DeviceLinesOf(const std::string& arguments, int signal = 0) {
  const std::string command = std::string("exec ") + IAPFLASH_COMMAND + " " + arguments;
  int out[2];
  if (::pipe(out) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    ::execl("/bin/sh", "sh", "-c", (command + " 2>/dev/null").c_str(), nullptr);
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text;
  char chunk[4096];
  for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;) {
    const bool first = text.find('\n') == std::string::npos;
    text.append(chunk, static_cast<std::size_t>(n));
    if (signal && first && text.find('\n') != std::string::npos) ::kill(child, signal);
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == (signal ? 128 + signal : 1)) << command;
  std::vector<std::string> lines;
  const std::regex label(R"(^\[[0-9]+ [^\]]+\] (.*)$)");
  std::istringstream in(text);
  std::smatch m;
  for (std::string line; std::getline(in, line);) {
    if (!std::regex_match(line, m, label)) continue;
    line = Trim(m[1]);
    lines.push_back(Trim(line.substr(std::min(line.find_first_not_of('.'), line.size()))));
  }
  return lines;
}

// The code spans in the first column of the table under "## Troubleshooting".
std::set<std::string> TableLines(const std::string& readme) {
  std::set<std::string> lines;
  std::istringstream in(readme);
  bool inSection = false;
  const std::regex span("`([^`]+)`");
  const std::regex name("<[^<>]*>");
  for (std::string row; std::getline(in, row);) {
    if (row.rfind("## ", 0) == 0) inSection = row == "## Troubleshooting";
    if (!inSection || row.rfind("|", 0) != 0) continue;
    const std::string cell = row.substr(1, row.find('|', 1) - 1);
    for (std::sregex_iterator m(cell.begin(), cell.end(), span), end; m != end; ++m) {
      lines.insert(Trim(std::regex_replace((*m)[1].str(), name, std::string(1, PLACEHOLDER))));
    }
  }
  return lines;
}

TEST(TroubleshootingScan, FindsTheTextsACallCanLog) {
  const LogTexts texts(std::vector<Source>{{"a.cpp", R"(
    constexpr char CAPTION[] = "  读取 ";
    inline constexpr const char* NOT_LOGGED = "never shown";
    int LogLine(Sink& sink, const char* format, ...);
    void Run(Station& s, bool ok, const char* port) {
      LogLine(s.log, "  plain line");                  // a comment "not a text"
      LogLine(s.log, "    %s打开失败", port);
      LogLine(s.log, ok ? "  END结束" : "  END失败");
      LogLine(s.log, "  [%08X]%s(%X).", 1, code == A::B ? "编程" : "检验", 2);
      LogLine(s.log, "%s.", CAPTION);
      LogAppend(s.log, ".");
      Has(NOT_LOGGED, 10);
      /* LogLine(s.log, "commented out"); */
    })"}});
  const std::string p(1, PLACEHOLDER);
  EXPECT_THAT(texts.Lines(),
              ::testing::UnorderedElementsAre("plain line", p + "打开失败", "END结束", "END失败",
                                              "[" + p + "]编程(" + p + ").",
                                              "[" + p + "]检验(" + p + ").", "读取 ."));
}

// Texts given to functions that pass them on to the log, however many steps away, in the shape
// the log writes them; the passing on itself is no text.
TEST(TroubleshootingScan, FollowsTextsThroughTheFunctionsThatPassThemOn) {
  const LogTexts texts(std::vector<Source>{{"log.cpp", R"(
    void LogLastError(Sink& sink, const char* caption, SystemError code) {
      LogLine(sink, "%s:Last Err(%x)%s", caption, static_cast<unsigned>(code), Text(code).c_str());
    })"},
                                           {"deep/run.cpp", R"(
    class Steps {
     public:
      void Fail(int step, const char* line = nullptr) {
        if (line) LogLine(log_, "%s", line);
        LogLine(log_, "  下载失败");
      }
      void FailCommand(int step, const Result& result, const char* line) {
        Fail(step + result.code, line);
      }
    };
    bool Run(Steps& steps, Sink& sink) {
      LogLastError(sink, "打开串口:", 5);
      steps.FailCommand(3, result, "  出错.\r\n  more");
      steps.Fail(1);
      Describe(2, "not logged");
      return false;
    })"}});
  const std::string p(1, PLACEHOLDER);
  EXPECT_THAT(texts.Loggers(),
              ::testing::UnorderedElementsAre("LogLastError", "Fail", "FailCommand"));
  EXPECT_THAT(texts.Lines(), ::testing::UnorderedElementsAre("打开串口::Last Err(" + p + ")" + p,
                                                             "下载失败", "出错."));
}

// A text the scan cannot tell is named, so that no line of the log goes unseen.
TEST(TroubleshootingScan, NamesTheCallsWhoseTextItCannotTell) {
  const LogTexts texts(std::vector<Source>{{"a.cpp", R"(
    void Fail(Sink& sink, const char* line = nullptr) {
      if (line) LogLine(sink, "%s", line);
    }
    void Run(Sink& sink, const std::string& text, bool ok) {
      LogLine(sink, text.c_str());
      LogLine(sink, Describe(3));
      LogLine(sink, ok ? "  fine" : Describe(4));
      LogLine(sink, "  %s", Describe(5));
      LogAppend(sink, ".");
      Fail(sink, Describe(2));
      Fail(sink, "  told");
      Fail(sink);
    })"}});
  EXPECT_THAT(texts.Unresolved(),
              ::testing::UnorderedElementsAre("a.cpp: LogLine(sink, text.c_str())",
                                              "a.cpp: LogLine(sink, Describe(3))",
                                              "a.cpp: LogLine(sink, ok ? \"  fine\" : Describe(4))",
                                              "a.cpp: Fail(sink, Describe(2))"));
}

TEST(Troubleshooting, TheReadmeTableListsEveryFailureLineAndNothingElse) {
  const LogTexts texts(SourcesUnder(fs::path(SOURCE_DIR) / "src"));
  for (const std::string& call : texts.Unresolved()) {
    ADD_FAILURE() << "a text the scan cannot tell (a literal, a named string constant, a "
                     "parameter or ?: of those): "
                  << call;
  }
  std::vector<std::string> success = OutputOf("list --simulate");
  const std::vector<std::string> download =
      OutputOf(std::string("flash ") + SOURCE_DIR + "/samples/demo_app.hex --simulate --device 0");
  ASSERT_FALSE(download.empty());
  ASSERT_EQ(download.back(), "****固件下载成功.");
  success.insert(success.end(), download.begin(), download.end());

  std::set<std::string> failures;
  std::set<std::string> progress;
  for (const std::string& line : texts.Lines()) {
    const std::regex pattern = Pattern(line);
    const bool shown = std::any_of(success.begin(), success.end(), [&](const std::string& s) {
      return std::regex_match(s, pattern);
    });
    (shown ? progress : failures).insert(line);
  }
  // The scan finds the lines on both sides; otherwise the comparison below proves nothing.
  EXPECT_THAT(progress, ::testing::IsSupersetOf({"1.读取下载文件内容>>", "****固件下载成功."}));
  EXPECT_THAT(failures, ::testing::IsSupersetOf({"****固件下载失败!", "无效的HEX文件."}));

  // Lines of stopped runs that no text of the scan makes: the stop lines.
  std::set<std::string> stops;
  const std::string stopped = std::string("flash ") + SOURCE_DIR +
                              "/samples/demo_app.bin --simulate=never-returns --port COM5 "
                              "--port COM9";
  for (const auto& lines :
       {DeviceLinesOf(stopped + " --timeout 0.5"), DeviceLinesOf(stopped, SIGINT)}) {
    for (const std::string& line : lines) {
      const bool scanned = std::any_of(
          texts.AllLines().begin(), texts.AllLines().end(),
          [&](const std::string& text) { return std::regex_match(line, Pattern(text)); });
      if (!line.empty() && !scanned) stops.insert(line);
    }
  }
  EXPECT_THAT(stops, ::testing::IsSupersetOf({"iapflash: the run was stopped at its time limit of "
                                              "0.5 s",
                                              "iapflash: the run was interrupted by SIGINT"}));

  const std::set<std::string> table = TableLines(ReadFile(fs::path(SOURCE_DIR) / "README.md"));
  const auto inTable = [&](const std::string& stop) {
    return std::any_of(table.begin(), table.end(), [&](const std::string& line) {
      return std::regex_match(stop, Pattern(line));
    });
  };
  for (const std::string& line : failures) {
    EXPECT_TRUE(table.count(line))
        << "a failure line missing in the README's table: `" << Shown(line) << "`";
  }
  for (const std::string& stop : stops) {
    EXPECT_TRUE(inTable(stop)) << "a stopped run's line missing in the README's table: `" << stop
                               << "`";
  }
  for (const std::string& line : table) {
    const bool stop = std::any_of(stops.begin(), stops.end(), [&](const std::string& s) {
      return std::regex_match(s, Pattern(line));
    });
    EXPECT_TRUE(failures.count(line) || stop)
        << "the README's table lists `" << Shown(line) << "`, which is "
        << (progress.count(line) ? "a progress line" : "no line the log can show");
  }
}

}  // namespace
