// pack and info through the real binary: build output in, update files that the download
// loads into the device byte for byte, and the loader's verdict on good and refused files.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../image/hex_text.h"
#include "fixtures.h"
#include "program_run.h"

extern char** environ;

namespace iapflash::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> FolderEntries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Intel HEX as a build writes it: an extended linear address record, data records of
// perRecord bytes from address, lineEnd after each, an end record. Runs of image bytes that are
// 0xFF from gapFrom to gapTo are left out (a gap in the build).
std::string BuildHex(const std::vector<uint8_t>& image, uint32_t address, uint32_t perRecord,
                     const std::string& lineEnd, uint32_t gapFrom = 0, uint32_t gapTo = 0) {
  std::string text = HexRecord(
      4, 0, {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16)}, lineEnd);
  for (uint32_t offset = 0; offset < image.size(); offset += perRecord) {
    if (offset >= gapFrom && offset < gapTo) continue;
    const auto end = std::min<std::size_t>(image.size(), offset + perRecord);
    text += HexRecord(0, static_cast<uint16_t>(address + offset),
                      std::vector<uint8_t>(image.begin() + offset, image.begin() + end), lineEnd);
  }
  return text + HexRecord(1, 0, {}, lineEnd);
}

struct Build {
  const char* name;
  const char* file;
  std::string content;
  std::vector<std::string> extra;  // further pack arguments
  std::vector<uint8_t> image;      // what the device must hold
};

TEST(PackAndInfo, PackedBuildsDownloadIntoTheDeviceByteForByte) {
  const std::vector<uint8_t> image = EveryValueImage(3000);
  std::vector<uint8_t> gapped = image;
  std::fill(gapped.begin() + 1024, gapped.begin() + 1536, 0xFF);
  std::vector<uint8_t> based(32, 0xFF);  // --base 32 bytes below the first record
  based.insert(based.end(), image.begin(), image.end());
  const std::vector<Build> builds = {
      {"LfSixteenAtFlashBase", "app.hex", BuildHex(image, 0x08004000, 16, "\n"), {}, image},
      {"CrLfThirtyTwoWithGap",
       "app.hex",
       BuildHex(gapped, 0x08004000, 32, "\r\n", 1024, 1536),
       {},
       gapped},
      {"IhxNamedByItsText",
       "app.ihx",
       BuildHex(image, 0x08004020, 16, "\n"),
       {"--base", "0x08004000"},
       based},
      {"RawBinary", "app.bin", std::string(image.begin(), image.end()), {}, image},
  };
  for (const Build& build : builds) {
    for (const char* outName : {"update.bin", "update.hex"}) {
      SCOPED_TRACE(std::string(build.name) + " -> " + outName);
      TempFolder folder;
      const fs::path in = folder.Path(build.file);
      const fs::path out = folder.Path(outName);
      WriteText(in, build.content);
      std::vector<std::string> args = {"pack", in.string(), "-o", out.string()};
      args.insert(args.end(), build.extra.begin(), build.extra.end());
      const ProgramResult pack = RunIapflash(args);
      ASSERT_EQ(pack.status, 0) << pack.err;
      EXPECT_THAT(pack.err, IsEmpty());
      EXPECT_THAT(pack.out, StartsWith(out.string() + ": "));
      EXPECT_EQ(ReadText(in), build.content) << "the input is left as it was";
      EXPECT_THAT(FolderEntries(folder.Path("")),
                  ::testing::UnorderedElementsAre(build.file, outName));

      uint32_t sum = 0;
      for (const uint8_t b : build.image) sum += b;
      const ProgramResult info = RunIapflash({"info", out.string()});
      EXPECT_EQ(info.status, 0) << info.out;
      EXPECT_THAT(Lines(info.out),
                  Contains("image length: " + std::to_string(build.image.size()) + " bytes"));
      char checksum[64];
      std::snprintf(checksum, sizeof checksum, "checksum: 0x%08X (%u)", sum, sum);
      EXPECT_THAT(Lines(info.out), Contains(std::string(checksum)));

      ServedDevice served;
      const ProgramResult flash =
          RunIapflash({"flash", out.string(), "--port", served.Path(), "--iap"});
      ASSERT_EQ(flash.status, 0) << flash.out;
      const auto memory = served.device->Memory();
      ASSERT_GE(memory.size(), build.image.size());
      EXPECT_TRUE(std::equal(build.image.begin(), build.image.end(), memory.begin()));
      ASSERT_TRUE(served.device->LastStart().has_value());
      EXPECT_EQ(served.device->LastStart()->dataLength, build.image.size());
    }
  }
}

TEST(PackAndInfo, InfoGivesTheLoadersVerdictAndWhereHexTextStops) {
  TempFolder folder;
  const std::string header = [] {
    std::string h(512, '\0');
    h.replace(0, 15, "IAP_UPDATA_FILE");
    return h;
  }();
  const std::string strictRecord = HexRecord(0, 0, {1, 2, 3, 4});
  struct Case {
    const char* name;
    std::string content;
    int status;
    std::vector<std::string> lines;  // in order, after "file:" and "kind:"
  };
  const std::vector<Case> cases = {
      {"good.bin",
       header + "12345678",
       0,
       {"image length: 8 bytes", "checksum: 0x000001A4 (420)", "verdict: accepted"}},
      {"good.hex",
       header + strictRecord + HEX_END,
       0,
       {"loader: HEX格式转换成BIN格式.", "image length: 4 bytes", "checksum: 0x0000000A (10)",
        "verdict: accepted"}},
      {"lf.hex",
       header + HexRecord(0, 0, {1, 2, 3, 4}, "\n") + ":00000001FF\n",
       1,
       {"loader: HEX格式转换成BIN格式.", "loader: 无效的HEX文件.",
        "stops at: line 2, column 2 of the HEX text (file offset 533): a record must begin here "
        "with ':' (each record ends in exactly two characters, CR LF)",
        "verdict: refused"}},
      {"flash-address.hex",
       header + HexData(0x4000, {1}) + HEX_END,
       1,
       {"loader: HEX格式转换成BIN格式.", "loader: 无效的HEX文件.",
        "stops at: line 1, column 4 of the HEX text (file offset 515): the data ends beyond the "
        "length of the text: addresses are image offsets, no base is subtracted",
        "verdict: refused"}},
      {"short.bin",
       header + "1234567",
       1,
       {"loader: 无效下载文件L " + folder.Path("short.bin").string(), "verdict: refused"}},
      {"tag.bin",
       "IAP_UPDATA_FILEX" + header.substr(16) + "12345678",
       1,
       {"loader: 无效下载文件F.", "verdict: refused"}},
      {"large.bin",
       header + std::string(102401, 'x'),
       1,
       {"loader: 下载文件不能超过102400字节", "verdict: refused"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = folder.Path(c.name);
    WriteText(path, c.content);
    const ProgramResult info = RunIapflash({"info", path.string()});
    EXPECT_EQ(info.status, c.status) << info.out;
    EXPECT_THAT(info.err, IsEmpty());
    std::vector<std::string> lines = Lines(info.out);
    ASSERT_GE(lines.size(), 2u) << info.out;
    EXPECT_EQ(lines[0], "file: " + path.string());
    EXPECT_EQ(lines[1], std::string(c.name).find(".hex") != std::string::npos
                            ? "kind: HEX (the path contains .hex)"
                            : "kind: BIN (the path does not contain .hex)");
    lines.erase(lines.begin(), lines.begin() + 2);
    EXPECT_EQ(lines, c.lines);
  }
  const fs::path missing = folder.Path("missing.bin");
  const ProgramResult absent = RunIapflash({"info", missing.string()});
  EXPECT_EQ(absent.status, 1);
  EXPECT_THAT(Lines(absent.out), Contains("loader: 无法打开下载文件" + missing.string()));
  EXPECT_FALSE(fs::exists(missing));
}

TEST(PackAndInfo, RefusalsLeaveTheInputTheOutputAndTheFolderAsTheyWere) {
  TempFolder folder;
  const fs::path in = folder.Path("app.hex");
  const std::string build = BuildHex(EveryValueImage(100), 0x08004000, 16, "\n");
  WriteText(in, build);
  fs::create_directories(folder.Path("sub"));
  fs::create_hard_link(in, folder.Path("hard.hex"));
  fs::create_symlink(in, folder.Path("soft.hex"));

  // The input under other spellings is never the output.
  for (const fs::path& same : {folder.Path("./app.hex"), folder.Path("sub/../app.hex"),
                               folder.Path("hard.hex"), folder.Path("soft.hex")}) {
    const ProgramResult run = RunIapflash({"pack", in.string(), "-o", same.string()});
    EXPECT_EQ(run.status, 1) << same;
    EXPECT_THAT(run.err, HasSubstr("pack never overwrites its input")) << same;
    EXPECT_THAT(run.out, IsEmpty());
    EXPECT_EQ(ReadText(in), build) << same;
  }

  // Bad input: the message names the line and column, an existing output stays as it was.
  const fs::path out = folder.Path("update.bin");
  WriteText(out, "previous");
  std::string broken = build;
  broken[broken.find('\n') + 5] = 'x';  // line 2, column 5
  const fs::path bad = folder.Path("broken.hex");
  WriteText(bad, broken);
  const ProgramResult malformed = RunIapflash({"pack", bad.string(), "-o", out.string()});
  EXPECT_EQ(malformed.status, 1);
  EXPECT_EQ(malformed.err, "iapflash: " + bad.string() + ":2:5: not a hexadecimal digit\n");
  EXPECT_EQ(ReadText(out), "previous");

  const ProgramResult below =
      RunIapflash({"pack", in.string(), "-o", out.string(), "--base", "0x08004001"});
  EXPECT_EQ(below.status, 1);
  EXPECT_THAT(below.err, HasSubstr(":2:4: data at address 0x08004000 lies below the base"));
  EXPECT_EQ(ReadText(out), "previous");

  // Nothing but a file is ever replaced: a pipe stays a pipe, a folder a folder.
  ASSERT_EQ(mkfifo(folder.Path("pipe.bin").c_str(), 0644), 0);
  for (const char* name : {"pipe.bin", "sub"}) {
    const ProgramResult other =
        RunIapflash({"pack", in.string(), "-o", folder.Path(name).string()});
    EXPECT_EQ(other.status, 1) << name;
    EXPECT_EQ(other.err,
              "iapflash: " + folder.Path(name).string() +
                  ": this is no file (a folder, a device or a pipe); pack writes files\n");
  }
  EXPECT_TRUE(fs::is_fifo(folder.Path("pipe.bin")));
  fs::remove(folder.Path("pipe.bin"));

  const ProgramResult noFolder =
      RunIapflash({"pack", in.string(), "-o", folder.Path("none/update.bin").string()});
  EXPECT_EQ(noFolder.status, 1);
  EXPECT_THAT(noFolder.err, HasSubstr("cannot write it"));

  EXPECT_EQ(FolderEntries(folder.Path("")),
            (std::vector<std::string>{"app.hex", "broken.hex", "hard.hex", "soft.hex", "sub",
                                      "update.bin"}))
      << "no temporary file is left behind";

  // A successful pack replaces the old output.
  ASSERT_EQ(RunIapflash({"pack", in.string(), "-o", out.string()}).status, 0);
  EXPECT_EQ(ReadText(out).size(), 512u + 100u);

  // A path beyond 259 bytes is one a download opens here (the limit is the system's): written
  // without a warning.
  const fs::path longOut = folder.Path(std::string(250, 'u') + ".bin");
  const ProgramResult longPath = RunIapflash({"pack", in.string(), "-o", longOut.string()});
  EXPECT_EQ(longPath.status, 0);
  EXPECT_THAT(longPath.err, Not(HasSubstr("warning")));
  EXPECT_TRUE(fs::exists(longOut));
}

TEST(PackAndInfo, UsageErrorsExitWithTwo) {
  TempFolder folder;
  const std::string in = folder.Path("app.hex").string();
  const std::vector<std::vector<std::string>> cases = {
      {"pack"},
      {"pack", in},
      {"pack", in, "-o"},
      {"pack", in, "-o", "x.bin", "--base", "0x1FFFFFFFF"},
      {"pack", in, "-o", "x.bin", "--base", "flash"},
      {"info"},
      {"info", in, "extra"},
  };
  for (const auto& args : cases) {
    const ProgramResult run = RunIapflash(args);
    EXPECT_EQ(run.status, 2) << args.size();
    EXPECT_THAT(run.out, IsEmpty());
    EXPECT_THAT(run.err, Not(IsEmpty()));
  }
  EXPECT_FALSE(fs::exists(folder.Path("x.bin")));
}

// The working folder for as long as it lives, given back after.
TEST(PackAndInfo, OutputKindFollowsTheFilesOwnNameAndAFolderNamedHexIsWarnedOf) {
  const std::vector<uint8_t> image = EveryValueImage(600);
  const std::string binPayload(image.begin(), image.end());
  struct Case {
    const char* out;  // under the test's folder, or relative to the working folder below
    bool hexPayload;
    const char* warnedPath;  // the path the warning names; empty: no warning
  };
  const Case cases[] = {
      {"fw.hexfiles/app.bin", false, "fw.hexfiles/app.bin"},
      {"fw.HEX/app.update", false, "fw.HEX/app.update"},
      {"bins/app.hex", true, ""},
      {"bins/app.bin", false, ""},
      {"fw.hexfiles/app.Hex", true, ""},
      {"work.hex/app.bin", false, "work.hex/app.bin"},  // relative, from inside work.hex
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    TempFolder folder;
    const fs::path in = folder.Path("app.hex");
    WriteText(in, BuildHex(image, 0x08004000, 16, "\n"));
    const fs::path target = folder.Path(c.out);
    fs::create_directories(target.parent_path());
    std::string outArgument = target.string();
    std::string warned = c.warnedPath[0] ? folder.Path(c.warnedPath).string() : "";
    std::optional<WorkingFolder> working;
    if (std::string(c.out).starts_with("work.hex/")) {
      // Given as a bare name: only the full path shows the folder.
      working.emplace(target.parent_path());
      outArgument = target.filename().string();
      warned = fs::current_path().string() + "/" + outArgument;
    }
    const ProgramResult pack = RunIapflash({"pack", in.string(), "-o", outArgument});
    ASSERT_EQ(pack.status, 0) << pack.err;
    const std::string written = ReadText(target);
    ASSERT_GT(written.size(), 512u);
    const std::string payload = written.substr(512);
    if (c.hexPayload) {
      EXPECT_THAT(payload, StartsWith(":"));
      EXPECT_THAT(pack.out, HasSubstr(": HEX update file"));
    } else {
      EXPECT_EQ(payload, binPayload) << "the image itself, not HEX text";
      EXPECT_THAT(pack.out, HasSubstr(": BIN update file"));
    }
    if (warned.empty()) {
      EXPECT_THAT(pack.err, IsEmpty());
    } else {
      EXPECT_EQ(pack.err, "iapflash: warning: " + outArgument +
                              ": written as BIN, as its name says, but a download reads the path " +
                              warned +
                              " as Intel HEX (it contains .hex) and refuses the file; move it to "
                              "a folder without .hex in its path before downloading it\n");
    }
  }
}

TEST(PackAndInfo, ReadOnlyOutputIsReplacedOnlyWithForce) {
  TempFolder folder;
  const fs::path in = folder.Path("app.hex");
  WriteText(in, BuildHex(EveryValueImage(100), 0x08004000, 16, "\n"));
  const fs::path out = folder.Path("update.bin");
  struct Case {
    const char* name;
    fs::perms perms;
  };
  // The superuser may write every one of them; the user's mark is what counts.
  const Case cases[] = {
      {"NobodyMayWrite", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read},
      {"ReadAndRunOnly", fs::perms::owner_read | fs::perms::owner_exec},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteText(out, "previous");
    fs::permissions(out, c.perms);
    const ProgramResult refused = RunIapflash({"pack", in.string(), "-o", out.string()});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "iapflash: " + out.string() +
                               ": the file is read-only; pack replaces it only with --force\n");
    EXPECT_THAT(refused.out, IsEmpty());
    EXPECT_EQ(ReadText(out), "previous");

    const ProgramResult forced = RunIapflash({"pack", in.string(), "-o", out.string(), "--force"});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(ReadText(out).size(), 512u + 100u);
    EXPECT_EQ(FolderEntries(folder.Path("")), (std::vector<std::string>{"app.hex", "update.bin"}));
    fs::remove(out);
  }
  // A file the user may write needs no --force.
  WriteText(out, "previous");
  fs::permissions(out, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(RunIapflash({"pack", in.string(), "-o", out.string()}).status, 0);
}

// pack under strace, whose every write and fsync waits delay first: a signal sent once the
// temporary file exists arrives in the middle of the write, and another delayed call follows it
// before the rename.
class SlowPack {
 public:
  SlowPack(const fs::path& in, const fs::path& out, const fs::path& errFile) {
    // --seccomp-bpf: only the delayed calls stop the program (a sanitizer's start makes many).
    std::vector<std::string> all = {
        "strace",        "-f",   "--seccomp-bpf",     "-qq", "-o",
        "/dev/null",     "-e",   "trace=write,fsync", "-e",  "inject=write,fsync:delay_enter=150ms",
        IAPFLASH_BINARY, "pack", in.string(),         "-o",  out.string()};
    std::vector<char*> argv;
    for (auto& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    // LeakSanitizer cannot stop the world under a tracer: the sanitizer builds run without it.
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
      if (!std::string_view(*e).starts_with("ASAN_OPTIONS=")) environment.emplace_back(*e);
    }
    const char* asan = std::getenv("ASAN_OPTIONS");
    environment.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0");
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int failed = posix_spawnp(&pid_, "strace", &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) pid_ = -1;
  }
  ~SlowPack() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
  }
  SlowPack(const SlowPack&) = delete;
  SlowPack& operator=(const SlowPack&) = delete;

  bool Started() const { return pid_ > 0; }
  // The exit status of strace, which is the traced program's.
  int Wait() {
    int raw = 0;
    while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    return WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
  }

 private:
  pid_t pid_ = -1;
};

// The pid in the name of pack's temporary file (.iapflash-PID-N.tmp) once it exists in folder,
// or 0 after timeoutMs.
pid_t WriterOfTemporaryFile(const fs::path& folder, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    for (const auto& entry : fs::directory_iterator(folder)) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with(".iapflash-")) return std::stoi(name.substr(10));
    }
    usleep(2000);
  }
  return 0;
}

TEST(PackAndInfo, SignalDuringTheWriteLeavesOutAsItWasAndNoTemporaryFile) {
  const std::vector<uint8_t> image = EveryValueImage(102400);
  struct Case {
    int signal;
    const char* name;
  };
  const Case cases[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
  struct Run {
    TempFolder folder;
    TempFolder logs;
    std::unique_ptr<SlowPack> pack;
  };
  std::vector<std::unique_ptr<Run>> runs;
  // All started at once, each signalled once its temporary file shows (every write of it
  // waits, so it shows for long), then all awaited.
  for (std::size_t k = 0; k < std::size(cases); ++k) {
    auto run = std::make_unique<Run>();
    WriteText(run->folder.Path("app.bin"), std::string(image.begin(), image.end()));
    WriteText(run->folder.Path("update.bin"), "previous");
    run->pack = std::make_unique<SlowPack>(run->folder.Path("app.bin"),
                                           run->folder.Path("update.bin"), run->logs.Path("err"));
    ASSERT_TRUE(run->pack->Started()) << "strace is needed: ./dev installs it";
    runs.push_back(std::move(run));
  }
  std::vector<bool> signalled(runs.size(), false);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::count(signalled.begin(), signalled.end(), false) > 0 &&
         std::chrono::steady_clock::now() < end) {
    for (std::size_t k = 0; k < runs.size(); ++k) {
      if (signalled[k]) continue;
      const pid_t writer = WriterOfTemporaryFile(runs[k]->folder.Path(""), 1);
      if (writer > 0) {
        ASSERT_EQ(kill(writer, cases[k].signal), 0);
        signalled[k] = true;
      }
    }
  }
  for (std::size_t k = 0; k < runs.size(); ++k) {
    ASSERT_TRUE(signalled[k]) << cases[k].name << ": " << ReadText(runs[k]->logs.Path("err"));
  }
  for (std::size_t k = 0; k < runs.size(); ++k) {
    SCOPED_TRACE(cases[k].name);
    Run& run = *runs[k];
    EXPECT_EQ(run.pack->Wait(), 128 + cases[k].signal);
    EXPECT_EQ(FolderEntries(run.folder.Path("")),
              (std::vector<std::string>{"app.bin", "update.bin"}))
        << "no temporary file is left behind";
    EXPECT_EQ(ReadText(run.folder.Path("update.bin")), "previous");
    EXPECT_EQ(ReadText(run.logs.Path("err")),
              "iapflash: " + run.folder.Path("update.bin").string() + ": pack interrupted by " +
                  cases[k].name + "; the file is as it was\n");
  }
}

}  // namespace
}  // namespace iapflash::testing
