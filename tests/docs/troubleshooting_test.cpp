// The README's troubleshooting table lists every failure line the log can show, and nothing else.
//
// Which lines the log can show is read from the sources under src/, whatever their folders:
// - The log is written by the functions named Log... whose first parameter is the operator panel
//   or the station holding it (LogLine, LogAppend, LogLastError and helpers such as
//   LogStepFailed); they are found by their definitions.
// - In a call of one of them, the first argument that is a string literal or a named string
//   constant (or a ?: between such) is the text; a %s in it whose argument is such a string too
//   is filled in; any other conversion stays a placeholder. LogLastError's text is its caption
//   followed by ":Last Err(<code>)<system text>". A text's first line is the line it shows.
// - The lines that a scan and a download that succeed show (iapflash list and flash on the
//   simulated bus) are progress lines. Every other line is a failure line.
// The table's first column holds failure lines in code spans, <name> standing for a placeholder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

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

// The log's primitives: they format what their callers give them.
const std::set<std::string> PRIMITIVES = {"LogLine", "LogAppend", "LogLastError"};

// Whether the parameter list that ends at is followed by a body, with nothing but an attribute
// macro between: a definition, not a call.
bool IsDefinition(const std::string& code, std::size_t at) {
  const std::size_t brace = code.find_first_of("{;", at);
  if (brace == std::string::npos || code[brace] != '{') return false;
  static const std::regex between(R"re(\s*(\w+\s*\([^()]*\)\s*)?)re");
  return std::regex_match(code.substr(at, brace - at), between);
}

// Where the body that begins after at ends.
std::size_t BodyEnd(const std::string& code, std::size_t at) {
  std::size_t i = code.find('{', at);
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

class LogTexts {
 public:
  explicit LogTexts(const std::vector<Source>& sources) {
    std::vector<std::string> codes;
    for (const Source& source : sources) codes.push_back(WithoutComments(source.text));
    const std::regex constant(
        R"re(\b([A-Z][A-Z0-9_]*)\s*(\[\s*\])?\s*=\s*("(?:[^"\\]|\\.)*"(?:\s*"(?:[^"\\]|\\.)*")*)\s*;)re");
    const std::regex logger(
        R"re(\b(Log[A-Za-z0-9_]*)\s*\(\s*(const\s+)?([A-Za-z_]+::)*(OperatorPanel|Station)\s*&)re");
    for (const std::string& code : codes) {
      for (std::sregex_iterator m(code.begin(), code.end(), constant), end; m != end; ++m) {
        constants_[(*m)[1]] = *Literals((*m)[3]);
      }
      for (std::sregex_iterator m(code.begin(), code.end(), logger), end; m != end; ++m) {
        loggers_.insert((*m)[1]);
      }
    }
    for (const std::string& code : codes) Scan(code);
  }

  const std::set<std::string>& Lines() const { return lines_; }
  const std::set<std::string>& Loggers() const { return loggers_; }

 private:
  // The values a string argument can take; nullopt when it is no string of the sources.
  std::optional<std::vector<std::string>> Strings(const std::string& argument) const {
    const std::string code = Trim(argument);
    if (auto literal = Literals(code)) return std::vector<std::string>{*literal};
    if (auto found = constants_.find(code); found != constants_.end()) {
      return std::vector<std::string>{found->second};
    }
    const std::vector<std::string> condition = SplitTopLevel(code, '?');
    if (condition.size() != 2) return std::nullopt;
    const std::vector<std::string> sides = SplitTopLevel(condition[1], ':');
    if (sides.size() != 2) return std::nullopt;
    auto yes = Strings(sides[0]);
    auto no = Strings(sides[1]);
    if (!yes || !no) return std::nullopt;
    yes->insert(yes->end(), no->begin(), no->end());
    return yes;
  }

  // The format's texts, each %s whose argument is a string filled in.
  std::vector<std::string> Fill(const std::string& format,
                                const std::vector<std::string>& arguments) const {
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
                              ? Strings(arguments[next])
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

  void Scan(const std::string& code) {
    const std::regex call(R"re(\b(Log[A-Za-z0-9_]*)\s*\()re");
    std::size_t primitiveEnd = 0;  // the end of the log primitive whose body the scan is in
    for (std::sregex_iterator m(code.begin(), code.end(), call), end; m != end; ++m) {
      const std::string name = (*m)[1];
      if (!loggers_.count(name) || static_cast<std::size_t>(m->position(0)) < primitiveEnd) {
        continue;
      }
      // The arguments, up to the parenthesis that closes the call.
      const std::size_t open = static_cast<std::size_t>(m->position(0) + m->length(0));
      std::size_t close = open;
      for (int depth = 1; close < code.size() && depth > 0; ++close) {
        if (code[close] == '"') {
          for (++close; close < code.size() && code[close] != '"'; ++close) {
            if (code[close] == '\\') ++close;
          }
        } else if (code[close] == '(') {
          ++depth;
        } else if (code[close] == ')') {
          --depth;
        }
      }
      const std::vector<std::string> arguments =
          SplitTopLevel(code.substr(open, close - 1 - open), ',');
      if (PRIMITIVES.count(name) && IsDefinition(code, close)) {
        primitiveEnd = BodyEnd(code, close);
        continue;
      }
      for (std::size_t f = 0; f < arguments.size(); ++f) {
        const auto formats = Strings(arguments[f]);
        if (!formats) continue;
        const std::vector<std::string> rest(arguments.begin() + static_cast<long>(f) + 1,
                                            arguments.end());
        for (const std::string& format : *formats) {
          const std::string shown = name == "LogLastError"
                                        ? format + ":Last Err(" + PLACEHOLDER + ")" + PLACEHOLDER
                                        : format;
          for (const std::string& text : Fill(shown, rest)) Add(text);
        }
        break;
      }
    }
  }

  // Keeps a text's first line; texts without a word (".", "%s") only pass others on.
  void Add(const std::string& text) {
    std::string line;
    std::istringstream lines(text);
    while (line.empty() && std::getline(lines, line)) line = Trim(line);
    const bool hasWord = std::any_of(line.begin(), line.end(), [](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) >= 0x80;
    });
    if (hasWord) lines_.insert(line);
  }

  std::map<std::string, std::string> constants_;
  std::set<std::string> loggers_;
  std::set<std::string> lines_;
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
    void LogTwice(Station& station, const char* line) { LogLine(station.panel, "%s", line); }
    int LogLine(OperatorPanel& panel, const char* format, ...);
    void Run(Station& s, bool ok, const char* port) {
      LogLine(s.panel, "  plain line");                  // a comment "not a text"
      LogLine(s.panel, "    %s打开失败", port);
      LogLine(s.panel, ok ? "  END结束" : "  END失败");
      LogLine(s.panel, "  [%08X]%s(%X).", 1, code == A::B ? "编程" : "检验", 2);
      LogTwice(s, "  first\r\n    second");
      LogLastError(s.panel, CAPTION, 5);
      LogAppend(s.panel, ".");
      LogHas(NOT_LOGGED, 10);
      /* LogLine(s.panel, "commented out"); */
    })"}});
  const std::string p(1, PLACEHOLDER);
  EXPECT_THAT(texts.Loggers(), ::testing::UnorderedElementsAre("LogTwice", "LogLine"));
  EXPECT_THAT(texts.Lines(),
              ::testing::UnorderedElementsAre("plain line", p + "打开失败", "END结束", "END失败",
                                              "[" + p + "]编程(" + p + ").",
                                              "[" + p + "]检验(" + p + ").", "first"));
}

TEST(TroubleshootingScan, LogLastErrorAddsTheSystemError) {
  const LogTexts texts(std::vector<Source>{{"a.cpp", R"(
    void LogLastError(OperatorPanel& panel, const char* caption, SystemError code);
    void F(OperatorPanel& panel) { LogLastError(panel, "打开串口:", error); })"}});
  EXPECT_THAT(texts.Lines(), ::testing::ElementsAre(std::string("打开串口::Last Err(") +
                                                    PLACEHOLDER + ")" + PLACEHOLDER));
}

TEST(Troubleshooting, TheReadmeTableListsEveryFailureLineAndNothingElse) {
  const LogTexts texts(SourcesUnder(fs::path(SOURCE_DIR) / "src"));
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

  const std::set<std::string> table = TableLines(ReadFile(fs::path(SOURCE_DIR) / "README.md"));
  for (const std::string& line : failures) {
    EXPECT_TRUE(table.count(line))
        << "a failure line missing in the README's table: `" << Shown(line) << "`";
  }
  for (const std::string& line : table) {
    EXPECT_TRUE(failures.count(line))
        << "the README's table lists `" << Shown(line) << "`, which is "
        << (progress.count(line) ? "a progress line" : "no line the log can show");
  }
}

}  // namespace
