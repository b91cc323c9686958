// The bookseal program run as a process in a scratch folder, the way the
// host runs it: exit statuses, the files left behind (above all after a
// failure), and silence on standard output and standard error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "bookseal/KXWORK.h"
#include "bookseal/crypto/RC4.h"
#include "bookseal/encrypt/qmcrpt.h"
#include "bookseal/tests/TestFiles.h"

namespace {

using bookseal::test::bookBytes;
using bookseal::test::readFile;
using bookseal::test::ScratchDir;
using bookseal::test::writeFile;

constexpr char kKeyText[] = "fedcba9876543210fedcba9876543210";

struct RunOptions {
  rlim_t fileSizeLimit = RLIM_INFINITY;  // Makes large writes fail.
  bool unprivileged = false;  // Runs as nobody when the test runs as root.
};

struct RunResult {
  int status = -1000;  // Exit status, or -signal.
  std::string output;  // Standard output and standard error together.
};

// Runs bookseal with args in folder and waits for it.
RunResult runBookseal(const std::string& folder,
                      const std::vector<std::string>& args,
                      const RunOptions& options = {}) {
  std::vector<char*> argv{const_cast<char*>(BOOKSEAL_PROGRAM)};
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    ::dup2(pipeFds[1], 1);
    ::dup2(pipeFds[1], 2);
    if (::chdir(folder.c_str()) != 0) ::_exit(120);
    if (options.fileSizeLimit != RLIM_INFINITY) {
      const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
      ::signal(SIGXFSZ, SIG_IGN);  // Writes past the limit fail with EFBIG.
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(121);
    }
    if (options.unprivileged && ::geteuid() == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(122);
    }
    ::execv(BOOKSEAL_PROGRAM, argv.data());
    ::_exit(123);
  }
  ::close(pipeFds[1]);
  RunResult result;
  char chunk[4096];
  ssize_t got;
  while ((got = ::read(pipeFds[0], chunk, sizeof chunk)) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    result.output.append(chunk, static_cast<size_t>(got));
  }
  ::close(pipeFds[0]);
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  result.status =
      WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -WTERMSIG(wstatus);
  return result;
}

std::string sealedBook(const std::string& plain) {
  std::string header(144, '\0');
  EXPECT_EQ(qmcrpt_bookbin_header(
                kKeyText, reinterpret_cast<uint8_t*>(header.data()), 144),
            144);
  if (plain.empty()) return header;
  std::optional<bookseal::ByteBuffer> body =
      bookseal::ByteBuffer::allocate(plain.size());
  std::memcpy(body->data(), plain.data(), plain.size());
  body = bookseal::RC4EncryptedDataUsingKey(
      std::move(*body),
      {reinterpret_cast<const uint8_t*>(kKeyText), std::strlen(kKeyText)},
      nullptr);
  return header +
         std::string(reinterpret_cast<const char*>(body->data()), body->size());
}

// The plain book behind a sealed file, whatever its key.
std::optional<std::string> unsealed(const std::string& sealed) {
  std::optional<bookseal::ByteBuffer> buffer =
      bookseal::ByteBuffer::allocate(sealed.size());
  if (!sealed.empty())
    std::memcpy(buffer->data(), sealed.data(), sealed.size());
  std::optional<bookseal::ByteBuffer> body =
      KXWORK::unsealedBody(std::move(*buffer));
  if (!body) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(body->data()), body->size());
}

// What a file holds, before or after a run.
enum class Content {
  kFolder,
  kPlain,       // The plain book.
  kOther,       // An unrelated old file.
  kEmpty,       // No bytes.
  kSealed,      // The plain book sealed under kKeyText.
  kSealedAny,   // The plain book sealed under any key.
  kHeaderOnly,  // The empty book sealed under any key: a header alone.
  kBadMagic,    // A sealed book whose magic is damaged.
};

std::string plainBook() { return bookBytes(10007, 42); }

std::string bytesFor(Content content) {
  switch (content) {
    case Content::kPlain:
      return plainBook();
    case Content::kOther:
      return "an old destination";
    case Content::kSealed:
      return sealedBook(plainBook());
    case Content::kHeaderOnly:
      return sealedBook("");
    case Content::kBadMagic: {
      std::string bytes = sealedBook(plainBook());
      bytes[11] = 'X';
      return bytes;
    }
    default:
      return "";
  }
}

void create(const ScratchDir& dir, const std::string& name, Content content) {
  if (content == Content::kFolder) {
    ASSERT_EQ(::mkdir((dir / name).c_str(), 0755), 0) << name;
    return;
  }
  ASSERT_TRUE(writeFile(dir / name, bytesFor(content))) << name;
}

void expectContent(const ScratchDir& dir, const std::string& name,
                   Content content) {
  SCOPED_TRACE(name);
  if (content == Content::kFolder) return;  // Listed, hence present.
  const std::string bytes = readFile(dir / name).value_or("<unreadable>");
  switch (content) {
    case Content::kSealedAny:
      EXPECT_EQ(bytes.size(), 144 + plainBook().size());
      EXPECT_TRUE(unsealed(bytes) == plainBook());
      return;
    case Content::kHeaderOnly:
      EXPECT_EQ(bytes.size(), 144u);
      EXPECT_EQ(bytes.substr(0, 12), "9PAGEVUBINMC");
      return;
    default:
      EXPECT_TRUE(bytes == bytesFor(content)) << "content differs";
  }
}

using Files = std::map<std::string, Content>;

TEST(BooksealProgram, CommandLinesTable) {
  using C = Content;
  const struct {
    const char* name;
    Files before;
    std::vector<std::string> args;
    int status;
    Files after;  // Everything in the folder afterwards.
  } kCases[] = {
      {"no arguments", {{"book", C::kPlain}}, {}, 1, {{"book", C::kPlain}}},
      {"mode and one path",
       {{"book", C::kPlain}, {"out", C::kOther}},
       {"-e", "book"},
       1,
       {{"book", C::kPlain}, {"out", C::kOther}}},
      {"unknown mode",
       {{"book", C::kPlain}, {"out", C::kOther}},
       {"-x", "book", "out"},
       255,
       {{"book", C::kPlain}, {"out", C::kOther}}},
      {"seal",
       {{"book", C::kPlain}},
       {"-e", "book", "out"},
       0,
       {{"book", C::kPlain}, {"out", C::kSealedAny}}},
      {"seal, mode in capitals, extra arguments",
       {{"book", C::kPlain}, {"out", C::kOther}},
       {"-E", "book", "out", "ignored"},
       0,
       {{"book", C::kPlain}, {"out", C::kSealedAny}}},
      {"unseal, mode in capitals",
       {{"sealed", C::kSealed}},
       {"-D", "sealed", "out"},
       0,
       {{"sealed", C::kSealed}, {"out", C::kPlain}}},
      {"missing source keeps the destination",
       {{"out", C::kOther}},
       {"-e", "missing", "out"},
       2,
       {{"out", C::kOther}}},
      {"empty source path",
       {{"out", C::kOther}},
       {"-d", "", "out"},
       2,
       {{"out", C::kOther}}},
      {"empty destination path",
       {{"book", C::kPlain}},
       {"-e", "book", ""},
       3,
       {{"book", C::kPlain}}},
      {"destination folder cannot be made",
       {{"book", C::kPlain}, {"file", C::kOther}},
       {"-e", "book", "file/sub/out"},
       3,
       {{"book", C::kPlain}, {"file", C::kOther}}},
      {"destination's folder is a file",
       {{"book", C::kPlain}, {"file", C::kOther}},
       {"-e", "book", "file/out"},
       255,
       {{"book", C::kPlain}, {"file", C::kOther}}},
      {"destination in new nested folders",
       {{"book", C::kPlain}},
       {"-e", "book", "a/b/c/out"},
       0,
       {{"book", C::kPlain},
        {"a", C::kFolder},
        {"a/b", C::kFolder},
        {"a/b/c", C::kFolder},
        {"a/b/c/out", C::kSealedAny}}},
      {"seal empty book",
       {{"empty", C::kEmpty}},
       {"-e", "empty", "out"},
       0,
       {{"empty", C::kEmpty}, {"out", C::kHeaderOnly}}},
      {"seal a folder",
       {{"folder", C::kFolder}},
       {"-e", "folder", "out"},
       0,
       {{"folder", C::kFolder}, {"out", C::kHeaderOnly}}},
      {"unseal header alone removes the destination",
       {{"sealed", C::kHeaderOnly}, {"out", C::kOther}},
       {"-d", "sealed", "out"},
       255,
       {{"sealed", C::kHeaderOnly}}},
      {"unseal wrong magic removes the destination",
       {{"sealed", C::kBadMagic}, {"out", C::kOther}},
       {"-d", "sealed", "out"},
       255,
       {{"sealed", C::kBadMagic}}},
      {"unseal a plain file",
       {{"book", C::kPlain}},
       {"-d", "book", "out"},
       255,
       {{"book", C::kPlain}}},
      {"unseal a folder",
       {{"folder", C::kFolder}},
       {"-d", "folder", "out"},
       255,
       {{"folder", C::kFolder}}},
      {"seal in place",
       {{"book", C::kPlain}},
       {"-e", "book", "book"},
       0,
       {{"book", C::kSealedAny}}},
      {"unseal in place",
       {{"book", C::kSealed}},
       {"-d", "book", "./book"},
       0,
       {{"book", C::kPlain}}},
      {"destination folder holding the source stays",
       {{"shelf", C::kFolder}, {"shelf/book", C::kPlain}},
       {"-e", "shelf/book", "shelf"},
       255,
       {{"shelf", C::kFolder}, {"shelf/book", C::kPlain}}},
      {"old destination folder is replaced",
       {{"book", C::kPlain}, {"out", C::kFolder}, {"out/x", C::kOther}},
       {"-e", "book", "out"},
       0,
       {{"book", C::kPlain}, {"out", C::kSealedAny}}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    for (const auto& [name, content] : c.before) create(dir, name, content);
    const RunResult run = runBookseal(dir.path(), c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.output, "");
    std::set<std::string> expected;
    for (const auto& [name, content] : c.after) expected.insert(name);
    EXPECT_EQ(dir.listing(), expected);
    for (const auto& [name, content] : c.after) {
      expectContent(dir, name, content);
    }
  }
}

TEST(BooksealProgram, EachSealingTakesAFreshKey) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(writeFile(dir / "book", plainBook()));
  ASSERT_EQ(runBookseal(dir.path(), {"-e", "book", "one"}).status, 0);
  ASSERT_EQ(runBookseal(dir.path(), {"-e", "book", "two"}).status, 0);
  const std::string one = readFile(dir / "one").value_or("");
  const std::string two = readFile(dir / "two").value_or("");
  EXPECT_NE(one.substr(0, 144), two.substr(0, 144));
  EXPECT_NE(one.substr(144), two.substr(144));
  EXPECT_TRUE(unsealed(one) == plainBook());
  EXPECT_TRUE(unsealed(two) == plainBook());
}

TEST(BooksealProgram, FailedWriteLeavesNothingBehind) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string big = bookBytes(1 << 20, 7);
  ASSERT_TRUE(writeFile(dir / "book", big));
  ASSERT_TRUE(writeFile(dir / "sealed", sealedBook(big)));
  ASSERT_TRUE(writeFile(dir / "out", "old"));
  RunOptions limited;
  limited.fileSizeLimit = 64 << 10;
  for (const char* mode : {"-e", "-d"}) {
    SCOPED_TRACE(mode);
    const RunResult run = runBookseal(
        dir.path(), {mode, mode[1] == 'e' ? "book" : "sealed", "out"}, limited);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(dir.listing(), (std::set<std::string>{"book", "sealed"}));
  }
  EXPECT_TRUE(readFile(dir / "book") == big);
}

TEST(BooksealProgram, UnreadableBookIsNotSealedAsEmpty) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  // The unprivileged child must be able to enter and write the folder.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  ASSERT_TRUE(writeFile(dir / "book", plainBook()));
  ASSERT_EQ(::chmod((dir / "book").c_str(), 0), 0);
  RunOptions unprivileged;
  unprivileged.unprivileged = true;
  const RunResult run =
      runBookseal(dir.path(), {"-e", "book", "out"}, unprivileged);
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(dir.listing(), std::set<std::string>{"book"});
}

TEST(BooksealProgram, Refuses2GiBSealedFile) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(writeFile(dir / "huge", sealedBook("")));
  ASSERT_EQ(::truncate((dir / "huge").c_str(), off_t{1} << 31), 0);
  EXPECT_EQ(runBookseal(dir.path(), {"-d", "huge", "out"}).status, 255);
  EXPECT_EQ(dir.listing(), std::set<std::string>{"huge"});
}

}  // namespace
