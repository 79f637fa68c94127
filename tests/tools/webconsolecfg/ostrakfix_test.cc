// The steps of ostrakfix through a fake platform, and the bytes of
// "webconsole.cfg" for a table of installation roots. The expected file is
// built here from the table of the file's twelve pieces, independently of
// the writer. The Windows program itself runs under wine in
// ostrakfix_wine_test.py.
#include "tools/webconsolecfg/ostrakfix.h"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace ostrak::webconsolecfg {
namespace {

// The file for `root`: the twelve pieces in order, the paths being the root
// followed directly by their suffixes.
std::string ExpectedFile(const std::string& root) {
  const std::string key_server = root + "\\bin\\ostrakd.exe";
  const std::string replication = root + "\\bin\\ostrakrepd.exe";
  const std::string monitor = root + "\\Web\\cgi-bin\\ostrakmon.exe";
  const std::string default_config = root + "\\etc\\ostrakd.cfg";
  return "ostrakmon\t\t\t" + monitor + "\n" +                                     // 1
         "ostrakd\t\t" + key_server + "\n" +                                      // 2
         "#\n# QOX Certificate Server Web-based Configuration Wizard configuration file.\n" +  // 3
         "#\n# Valid values:\n" +                                                 // 4
         "#\n#   base_install <path>\n"                                           // 5
         "#           - Fully qualified path to the product install directory.\n" +
         "#\n#   keyserver <file>\n"                                              // 6
         "#           - Fully qualified filename of the keyserver executable.\n" +
         "#\n#   repd <file>\n"                                                   // 7
         "#           - Fully qualified filename of the replication engine's executable.\n" +
         "#\n#   default_config_file <file>\n"                                    // 8
         "#           - Fully qualified filename of the configuration file the\n"
         "#             Web wizard uses by default.\n#\n\n" +
         "base_install\t\t" + root + "\n" +                                       // 9
         "keyserver" + std::string(11, ' ') + key_server + "\n" +                // 10
         "repd" + std::string(17, ' ') + replication + "\n" +                    // 11
         "default_config_file\t" + default_config + "\n";                         // 12
}

const char* const kBannerOut = "QOX Keyserver 1.0\n";

// Where a write to the configuration file fails.
enum class WriteFault {
  kNone,
  kBufferedWrite,    // the stream buffers: the failure comes with the close
  kUnbufferedWrite,  // every write goes out at once: a formatted write fails
  kClose,            // all bytes go out, the close itself fails
};

// The platform of the tests: the registry value comes from the fields, the
// file is a stream over `file` that can be made to fail, and the output
// streams are recorded.
class FakePlatform final : public OstrakfixPlatform {
 public:
  RootRead read_result = RootRead::kRead;
  RootType value_type = RootType::kString;
  std::string value = std::string("C:\\qox") + '\0';  // as a string value is stored
  bool create_fails = false;
  WriteFault fault = WriteFault::kNone;
  size_t fail_after = 100;  // bytes accepted before a write fault

  int registry_reads = 0;
  std::vector<std::string> created;
  std::string file;
  bool closed = false;
  std::string out;
  std::vector<std::string> errors;  // each report: text, then the error number's message

  RootRead ReadRoot(char* buffer, size_t* length, RootType* type) override {
    ++registry_reads;
    if (read_result != RootRead::kRead) return read_result;
    // The rest of the buffer holds bytes the value must not run into.
    std::memset(buffer, 'X', kRootBufferSize);
    std::memcpy(buffer, value.data(), value.size());
    *length = value.size();
    *type = value_type;
    return RootRead::kRead;
  }

  FILE* CreateConfigFile(const char* path) override {
    created.emplace_back(path);
    if (create_fails) return nullptr;
    cookie_io_functions_t io = {};
    io.write = &FakePlatform::Write;
    io.close = &FakePlatform::Close;
    FILE* stream = fopencookie(this, "w", io);
    if (stream != nullptr && fault == WriteFault::kUnbufferedWrite) {
      std::setvbuf(stream, nullptr, _IONBF, 0);
    }
    return stream;
  }

  bool CloseConfigFile(FILE* stream) override { return std::fclose(stream) == 0; }

  void Print(const char* text) override { out += text; }

  void ReportError(const char* text) override {
    errors.push_back(std::string(text) + ": " + std::strerror(errno));
  }

 private:
  static ssize_t Write(void* cookie, const char* data, size_t size) {
    auto* self = static_cast<FakePlatform*>(cookie);
    if (self->fault == WriteFault::kBufferedWrite || self->fault == WriteFault::kUnbufferedWrite) {
      const size_t room = self->file.size() < self->fail_after ? self->fail_after - self->file.size() : 0;
      if (room == 0) return 0;  // an error for the stream
      size = std::min(size, room);
    }
    self->file.append(data, size);
    return static_cast<ssize_t>(size);
  }

  static int Close(void* cookie) {
    auto* self = static_cast<FakePlatform*>(cookie);
    self->closed = true;
    return self->fault == WriteFault::kClose ? -1 : 0;
  }
};

int RunTool(FakePlatform& platform, std::vector<const char*> args = {}) {
  std::vector<const char*> argv = {"ostrakfix"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunOstrakfix(static_cast<int>(argv.size()), argv.data(), platform);
}

std::string Path(const std::string& root) { return root + "\\web\\cgi-bin\\webconsole.cfg"; }

TEST(Ostrakfix, WritesTheFileForATableOfRoots) {
  struct Case {
    const char* what;
    std::string value;  // the value's bytes as the registry hands them back
    RootType type;
    std::string root;   // the root the file names
  };
  const std::string longest = "C:\\" + std::string(kLongestRoot - 3, 'r');
  const Case cases[] = {
      {"a plain root", std::string("C:\\qox") + '\0', RootType::kString, "C:\\qox"},
      {"empty: paths from the drive's root", std::string(1, '\0'), RootType::kString, ""},
      {"nothing stored at all", "", RootType::kString, ""},
      {"a trailing backslash gives two in a row", std::string("C:\\qox\\") + '\0',
       RootType::kString, "C:\\qox\\"},
      // Stored without its zero: it ends where the value ends, not in the
      // bytes after it.
      {"a value without its zero", "D:\\Program Files\\QOX", RootType::kString,
       "D:\\Program Files\\QOX"},
      {"text ends at the first zero", std::string("C:\\a\0C:\\b\0", 10), RootType::kString, "C:\\a"},
      {"an expandable value is taken as stored", std::string("%SystemDrive%\\qox") + '\0',
       RootType::kExpandString, "%SystemDrive%\\qox"},
      {"the longest root, the configuration path 255 characters", longest + '\0',
       RootType::kString, longest},
  };
  ASSERT_EQ(longest.size(), 228u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakePlatform platform;
    platform.value = c.value;
    platform.value_type = c.type;
    EXPECT_EQ(RunTool(platform), 0);
    EXPECT_EQ(platform.out, std::string(kBannerOut) + "Done.\n");
    EXPECT_TRUE(platform.errors.empty());
    ASSERT_EQ(platform.created, std::vector<std::string>{Path(c.root)});
    EXPECT_TRUE(platform.closed);
    EXPECT_EQ(platform.file, ExpectedFile(c.root));
  }
  EXPECT_EQ(Path(longest).size(), 255u);
}

TEST(Ostrakfix, RefusesARootTooLongForThePathsBeforeCreatingTheFile) {
  const std::string message =
      std::string("\nUnable to use the ROOTDIR of the Registry Key:: ") + std::strerror(ENAMETOOLONG);
  struct Case {
    const char* what;
    std::string value;
  };
  const Case cases[] = {
      {"229 characters", "C:\\" + std::string(226, 'r') + '\0'},
      {"229 characters without a zero", "C:\\" + std::string(226, 'r')},
      {"300 bytes filling the buffer without a zero", std::string(kRootBufferSize, 'r')},
      {"299 characters and the zero", std::string(kRootBufferSize - 1, 'r') + '\0'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakePlatform platform;
    platform.value = c.value;
    EXPECT_EQ(RunTool(platform), 0);
    EXPECT_EQ(platform.out, kBannerOut);
    EXPECT_EQ(platform.errors, std::vector<std::string>{message});
    EXPECT_TRUE(platform.created.empty());
  }
}

TEST(Ostrakfix, AnyArgumentIsRefusedWithoutTouchingTheRegistry) {
  const std::vector<std::vector<const char*>> command_lines = {{""}, {"-h"}, {"C:\\qox", "x"}};
  for (const auto& args : command_lines) {
    SCOPED_TRACE(args.size());
    FakePlatform platform;
    EXPECT_EQ(RunTool(platform, args), 0);
    EXPECT_EQ(platform.out, std::string(kBannerOut) + "Invalid parameters..\n");
    EXPECT_EQ(platform.registry_reads, 0);
    EXPECT_TRUE(platform.created.empty());
    EXPECT_TRUE(platform.errors.empty());
  }
}

TEST(Ostrakfix, RegistryFailuresGiveTheirMessages) {
  struct Case {
    const char* what;
    RootRead read;
    RootType type;
    const char* message;
  };
  const Case cases[] = {
      {"missing key", RootRead::kKeyNotOpened, RootType::kString,
       "\nUnable to open the Registry Key:"},
      {"missing value", RootRead::kValueNotRead, RootType::kString,
       "\nUnable to query the Registry Key:"},
      {"a value of another type", RootRead::kRead, RootType::kOther,
       "\nUnable to query the Registry Key:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakePlatform platform;
    platform.read_result = c.read;
    platform.value_type = c.type;
    // The registry leaves the error number as it was; the report shows it.
    errno = EINTR;
    EXPECT_EQ(RunTool(platform), 0);
    EXPECT_EQ(platform.out, kBannerOut);
    EXPECT_EQ(platform.errors,
              std::vector<std::string>{std::string(c.message) + ": " + std::strerror(EINTR)});
    EXPECT_TRUE(platform.created.empty());
  }
}

TEST(Ostrakfix, AFileThatCannotBeCreatedIsNamedWithoutALineFeed) {
  FakePlatform platform;
  platform.value = std::string("C:\\qox\\") + '\0';
  platform.create_fails = true;
  EXPECT_EQ(RunTool(platform), 0);
  EXPECT_EQ(platform.out, std::string(kBannerOut) +
                              "\nError in opening the webconsole.cfg at C:\\qox\\\\web\\cgi-bin\\webconsole.cfg");
  EXPECT_TRUE(platform.errors.empty());
}

TEST(Ostrakfix, AFailedWriteOrCloseIsReportedInsteadOfDone) {
  const std::string expected = ExpectedFile("C:\\qox");
  struct Case {
    const char* what;
    WriteFault fault;
    std::string file;  // what reached the file
  };
  const Case cases[] = {
      {"buffered: fails as the close writes", WriteFault::kBufferedWrite, expected.substr(0, 100)},
      {"unbuffered: a formatted write fails", WriteFault::kUnbufferedWrite, expected.substr(0, 100)},
      {"the close fails", WriteFault::kClose, expected},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakePlatform platform;
    platform.fault = c.fault;
    EXPECT_EQ(RunTool(platform), 0);
    EXPECT_EQ(platform.out, std::string(kBannerOut) +
                                "\nError in writing the webconsole.cfg at C:\\qox\\web\\cgi-bin\\webconsole.cfg");
    EXPECT_TRUE(platform.closed);
    EXPECT_EQ(platform.file, c.file);
    EXPECT_TRUE(platform.errors.empty());
  }
}

}  // namespace
}  // namespace ostrak::webconsolecfg
