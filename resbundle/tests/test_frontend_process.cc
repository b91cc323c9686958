// The resbundle program as the host runs it: each case starts the real
// binary in a scratch folder and checks its exit status, what it printed
// (nothing) and the files it left behind, including the cancel message on
// standard input while a job runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kFailed = 255;  // -1 as the parent sees it

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// A short stand-in for a file's bytes, so that a failed comparison prints
// something readable rather than megabytes.
std::string digest(const std::string& bytes) {
  return std::to_string(bytes.size()) + " bytes, hash " +
         std::to_string(std::hash<std::string>()(bytes));
}

// Every file and folder below root, by relative path; a file maps to the
// digest of its bytes, a folder to "/".
std::map<std::string, std::string> treeOf(const fs::path& root) {
  std::map<std::string, std::string> tree;
  if (!fs::exists(root)) return tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().lexically_relative(root).string();
    tree[name] = entry.is_directory() ? "/" : digest(readFile(entry.path()));
  }
  return tree;
}

// Fills folder with count files of size bytes each that deflate cannot
// shrink, so that packing them takes a while.
void writeRandomFiles(const fs::path& folder, int count, size_t size) {
  fs::create_directories(folder);
  uint64_t state = 0x9E3779B97F4A7C15u;
  std::string bytes(size, '\0');
  for (int i = 0; i < count; ++i) {
    for (size_t k = 0; k + 8 <= size; k += 8) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      std::memcpy(&bytes[k], &state, 8);
    }
    writeFile(folder / ("blob" + std::to_string(i) + ".bin"), bytes);
  }
}

std::string hostBytes() {
  std::string text;
  for (int i = 0; i < 200; ++i) {
    text += "Host document line " + std::to_string(i) + ".\n";
  }
  return text;
}

// A running resbundle. Its standard output and error go to a file.
class Child {
 public:
  // stdinFd is dup'ed onto the child's standard input; -1 starts the child
  // with standard input closed.
  Child(const std::vector<std::string>& arguments, const fs::path& folder,
        int stdinFd, const fs::path& outputFile) {
    const int output = ::open(outputFile.c_str(),
                              O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    EXPECT_GE(output, 0);
    std::vector<std::string> argv = {RESBUNDLE_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    pid_ = ::fork();
    if (pid_ == 0) execChild(argv, folder, stdinFd, output);
    ::close(output);
    EXPECT_GT(pid_, 0);
  }

  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { wait(); }

  // Whether the child still runs; reaps it when it has ended.
  bool running() {
    if (status_) return false;
    int raw = 0;
    const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
    if (done == 0) return true;
    record(raw);
    return false;
  }

  // The exit status; a death by signal shows as 1000 + signal number.
  int wait() {
    while (!status_) {
      int raw = 0;
      if (::waitpid(pid_, &raw, 0) == pid_) record(raw);
    }
    return *status_;
  }

 private:
  [[noreturn]] static void execChild(const std::vector<std::string>& argv,
                                     const fs::path& folder, int stdinFd,
                                     int output) {
    if (stdinFd >= 0) {
      ::dup2(stdinFd, STDIN_FILENO);
    } else {
      ::close(STDIN_FILENO);
    }
    ::dup2(output, STDOUT_FILENO);
    ::dup2(output, STDERR_FILENO);
    if (::chdir(folder.c_str()) != 0) ::_exit(127);
    std::vector<char*> pointers;
    for (const std::string& argument : argv) {
      pointers.push_back(const_cast<char*>(argument.c_str()));
    }
    pointers.push_back(nullptr);
    ::execv(pointers[0], pointers.data());
    ::_exit(127);
  }

  void record(int raw) {
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000 + WTERMSIG(raw);
  }

  pid_t pid_ = -1;
  std::optional<int> status_;
};

// A pipe whose write end the test keeps; both ends close on exec, the child
// gets the read end through dup2.
class InputPipe {
 public:
  InputPipe() { EXPECT_EQ(::pipe2(fds_, O_CLOEXEC), 0); }
  ~InputPipe() {
    closeReadEnd();
    closeWriteEnd();
  }
  int readEnd() const { return fds_[0]; }
  void closeReadEnd() { closeFd(&fds_[0]); }
  void closeWriteEnd() { closeFd(&fds_[1]); }

  // Writes text in one write, then waits until the child has read it or
  // has ended; true when it was read.
  bool send(const std::string& text, Child* child) {
    if (::write(fds_[1], text.data(), text.size()) != ssize_t(text.size())) {
      return false;
    }
    for (;;) {
      // Checked before the bytes are: a child that took them and ended
      // between the two looks still has them all.
      const bool running = child->running();
      int waiting = 0;
      if (::ioctl(fds_[1], FIONREAD, &waiting) != 0 || waiting == 0) {
        return true;
      }
      if (!running) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

 private:
  static void closeFd(int* fd) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  int fds_[2] = {-1, -1};
};

class FrontendProcess : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A child that ends before the test writes to it must not kill the test.
    ::signal(SIGPIPE, SIG_IGN);
  }

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "resbundle-fe-XXXXXX");
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    scratch_ = pattern;
    output_ = scratch_ / "output.txt";
  }

  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }

  // A fresh folder for one case, beside the output file.
  fs::path caseFolder(const std::string& name) {
    const fs::path folder = scratch_ / "cases" / name;
    fs::create_directories(folder);
    return folder;
  }

  int run(const std::vector<std::string>& arguments, const fs::path& folder,
          int stdinFd) {
    Child child(arguments, folder, stdinFd, output_);
    return child.wait();
  }

  int runWithNullInput(const std::vector<std::string>& arguments,
                       const fs::path& folder) {
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int status = run(arguments, folder, devNull);
    ::close(devNull);
    return status;
  }

  // The front end prints nothing; neither may the core on a sound run.
  void expectNothingPrinted() { EXPECT_EQ(readFile(output_), ""); }

  fs::path scratch_;
  fs::path output_;
};

TEST_F(FrontendProcess, SwitchCombinations) {
  const std::string host = hostBytes();
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    int status;
    bool hostGrows;                      // dir/host.bin got a pack
    std::vector<std::string> folders;    // must be folders afterwards
    std::vector<std::string> missing;    // must not exist afterwards
    std::vector<std::string> unchanged;  // folders whose trees stay as made;
                                         // "." for the whole case folder
  } kCases[] = {
      {"no arguments", {}, 0, false, {}, {}, {"."}},
      {"folder alone", {"-f", "book"}, 0, false, {}, {}, {"."}},
      {"bare file name",
       {"-p", "host.bin", "-f", "book"},
       0,
       false,
       {},
       {},
       {"dir"}},
      {"missing folder is created",
       {"-p", "new/deeper/host.bin", "-f", "book"},
       0,
       false,
       {"new/deeper"},
       {"new/deeper/host.bin"},
       {}},
      {"destination file missing",
       {"-p", "dir/none.bin", "-f", "book"},
       0,
       false,
       {},
       {"dir/none.bin"},
       {}},
      {"folder switch last",
       {"-p", "dir/host.bin", "-f"},
       0,
       false,
       {},
       {},
       {}},
      {"no folder switch", {"-p", "dir/host.bin"}, 0, false, {}, {}, {}},
      {"resource folder missing",
       {"-p", "dir/host.bin", "-f", "nothere"},
       0,
       false,
       {},
       {"nothere"},
       {}},
      {"pack", {"-p", "dir/host.bin", "-f", "book"}, 0, true, {}, {}, {"book"}},
      {"switches in any order",
       {"-f", "book", "-p", "dir/host.bin"},
       0,
       true,
       {},
       {},
       {"book"}},
      {"pack and unpack: only packing",
       {"-u", "dir/host.bin", "-p", "dir/host.bin", "-f", "book"},
       0,
       true,
       {},
       {},
       {"book"}},
      {"unpack source missing",
       {"-u", "none.bin", "-f", "out"},
       0,
       false,
       {},
       {"out"},
       {}},
      {"unpack folder switch last",
       {"-u", "dir/host.bin", "-f"},
       0,
       false,
       {},
       {},
       {}},
      {"unpack without a pack empties the folder",
       {"-u", "dir/host.bin", "-f", "full"},
       kFailed,
       false,
       {"full"},
       {"full/a.txt", "full/sub"},
       {"dir"}},
      {"unpack into the folder holding the pack",
       {"-u", "full/sub/inside.bin", "-f", "full"},
       0,
       false,
       {},
       {},
       {"full"}},
      {"unpack onto the pack itself",
       {"-u", "dir/host.bin", "-f", "dir/host.bin"},
       0,
       false,
       {},
       {},
       {"dir"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = caseFolder(c.name);
    writeFile(folder / "host.bin", host);
    writeFile(folder / "dir/host.bin", host);
    writeFile(folder / "full/a.txt", "old");
    writeFile(folder / "full/sub/inside.bin", host);
    fs::copy(SAMPLE_BOOK, folder / "book", fs::copy_options::recursive);
    const auto before = treeOf(folder);

    EXPECT_EQ(runWithNullInput(c.arguments, folder), c.status);

    expectNothingPrinted();
    EXPECT_EQ(digest(readFile(folder / "host.bin")), digest(host));
    const std::string packed = readFile(folder / "dir/host.bin");
    if (c.hostGrows) {
      EXPECT_GT(packed.size(), host.size());
      EXPECT_EQ(digest(packed.substr(0, host.size())), digest(host));
    } else {
      EXPECT_EQ(digest(packed), digest(host));
    }
    for (const std::string& name : c.folders) {
      EXPECT_TRUE(fs::is_directory(folder / name)) << name;
    }
    for (const std::string& name : c.missing) {
      EXPECT_FALSE(fs::exists(folder / name)) << name;
    }
    for (const std::string& name : c.unchanged) {
      SCOPED_TRACE(name);
      const auto outside = [&](const auto& item) {
        return name != "." && !item.first.starts_with(name + "/");
      };
      auto expected = before;
      std::erase_if(expected, outside);
      auto after = treeOf(folder);
      std::erase_if(after, outside);
      EXPECT_EQ(after, expected);
    }
  }
}

TEST_F(FrontendProcess, PackThenUnpackGivesTheSameTree) {
  const fs::path folder = caseFolder("round trip");
  const std::string host = hostBytes();
  writeFile(folder / "host.bin", host);
  // Left over from an earlier run: unpacking must start from nothing.
  writeFile(folder / "out/stale.txt", "stale");
  writeFile(folder / "out/stale/deeper.txt", "stale");

  ASSERT_EQ(
      runWithNullInput(
          {"-p", (folder / "host.bin").string(), "-f", SAMPLE_BOOK}, folder),
      0);
  EXPECT_EQ(readFile(folder / "host.bin").substr(0, host.size()), host);
  ASSERT_EQ(runWithNullInput(
                {"-u", (folder / "host.bin").string(), "-f", "out"}, folder),
            0);

  expectNothingPrinted();
  const auto restored = treeOf(folder / "out");
  EXPECT_FALSE(restored.empty());
  EXPECT_EQ(restored, treeOf(SAMPLE_BOOK));
}

// The control channel: messages reach the tool only while a job runs, so
// these cases pack folders big enough to keep it busy.
class FrontendChannel : public FrontendProcess {
 protected:
  // 160 MiB: cancelled runs stop long before the end.
  fs::path large() {
    const fs::path folder = scratch_ / "large";
    if (!fs::exists(folder)) writeRandomFiles(folder, 20, 8 << 20);
    return folder;
  }
  // 16 MiB: packed completely, yet for long enough to read a few messages.
  fs::path medium() {
    const fs::path folder = scratch_ / "medium";
    if (!fs::exists(folder)) writeRandomFiles(folder, 2, 8 << 20);
    return folder;
  }
};

TEST_F(FrontendChannel, CancelMessageStopsThePackAndKeepsTheDestination) {
  const std::string host = hostBytes();
  const struct {
    const char* name;
    std::string message;
    bool fromFile;  // standard input is a regular file, not a pipe
  } kCases[] = {
      {"numeric id", R"(ipcmsg:{"msgID":2})", false},
      {"string id", R"(ipcmsg:{"msgID":"2","msgDesc":"exit"})", false},
      {"as the tool writes it", "ipcmsg:{\"msgDesc\":\"exit\",\"msgID\":2}\n",
       false},
      {"from a file", R"(ipcmsg:{"msgID":2})", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = caseFolder(c.name);
    writeFile(folder / "host.bin", host);
    const std::vector<std::string> arguments = {
        "-p", (folder / "host.bin").string(), "-f", large().string()};
    int status;
    if (c.fromFile) {
      writeFile(folder / "input.txt", c.message);
      const int input =
          ::open((folder / "input.txt").c_str(), O_RDONLY | O_CLOEXEC);
      status = run(arguments, folder, input);
      ::close(input);
    } else {
      InputPipe input;
      Child child(arguments, folder, input.readEnd(), output_);
      input.closeReadEnd();
      EXPECT_TRUE(input.send(c.message, &child));
      status = child.wait();
    }
    EXPECT_EQ(status, kFailed);
    EXPECT_EQ(digest(readFile(folder / "host.bin")), digest(host));
    EXPECT_EQ(treeOf(folder).size(), c.fromFile ? 2u : 1u);
  }
  expectNothingPrinted();
}

TEST_F(FrontendChannel, OtherInputLetsThePackComplete) {
  const fs::path folder = caseFolder("ignored");
  const std::string host = hostBytes();
  writeFile(folder / "host.bin", host);
  const std::string kIgnored[] = {
      R"(IPCMSG:{"msgID":2})",
      R"(ipcmsg:{"msgDesc":"exit"})",
      R"(ipcmsg:{"msgID":1})",
      R"(ipcmsg:{"msgID":3,"msgText":"x","msgData":"eA=="})",
      R"(ipcmsg:{"msgID":null})",
      R"(ipcmsg:[2])",
      R"(ipcmsg:{"msgID":2}ipcmsg:{"msgID":2})",
      "ipcmsg:{\"msgID\":2,\"msgText\":\"\xFF\"}",
      "exit\n",
  };
  InputPipe input;
  Child child({"-p", (folder / "host.bin").string(), "-f", medium().string()},
              folder, input.readEnd(), output_);
  input.closeReadEnd();
  int delivered = 0;
  for (const std::string& message : kIgnored) {
    delivered += input.send(message, &child) ? 1 : 0;
  }
  input.closeWriteEnd();
  EXPECT_EQ(child.wait(), 0);
  // Only messages read while the job ran show anything.
  EXPECT_EQ(delivered, int(std::size(kIgnored)));

  ASSERT_EQ(runWithNullInput(
                {"-u", (folder / "host.bin").string(), "-f", "out"}, folder),
            0);
  EXPECT_EQ(treeOf(folder / "out"), treeOf(medium()));
  expectNothingPrinted();
}

TEST_F(FrontendChannel, EndedOrMissingInputLetsTheJobComplete) {
  const std::string host = hostBytes();
  enum class Input { kEndedPipe, kDevNull, kClosed };
  const struct {
    const char* name;
    Input input;
  } kCases[] = {
      {"input ends at once", Input::kEndedPipe},
      {"input is /dev/null", Input::kDevNull},
      {"no standard input", Input::kClosed},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = caseFolder(c.name);
    writeFile(folder / "host.bin", host);
    const std::vector<std::string> arguments = {
        "-p", (folder / "host.bin").string(), "-f", SAMPLE_BOOK};
    int status = -1;
    switch (c.input) {
      case Input::kEndedPipe: {
        InputPipe input;
        input.closeWriteEnd();
        status = run(arguments, folder, input.readEnd());
        break;
      }
      case Input::kDevNull:
        status = runWithNullInput(arguments, folder);
        break;
      case Input::kClosed:
        status = run(arguments, folder, -1);
        break;
    }
    EXPECT_EQ(status, 0);
    ASSERT_EQ(runWithNullInput(
                  {"-u", (folder / "host.bin").string(), "-f", "out"}, folder),
              0);
    EXPECT_EQ(treeOf(folder / "out"), treeOf(SAMPLE_BOOK));
  }
  expectNothingPrinted();
}

}  // namespace
