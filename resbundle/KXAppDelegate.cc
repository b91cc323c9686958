#include "resbundle/KXAppDelegate.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <thread>
#include <utility>

#include "dispatch/MainQueue.h"
#include "dispatch/ReadinessSource.h"
#include "dispatch/Semaphore.h"
#include "resbundle/KXIPCMessage.h"
#include "resbundle/KXPack/PackFiles.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPackSwitch = "-p";
constexpr std::string_view kUnpackSwitch = "-u";
constexpr std::string_view kFolderSwitch = "-f";

// One read takes what is waiting, within these bounds: a message is short,
// and a pipe holds 64 KiB unless its writer enlarged it.
constexpr size_t kMinReadSize = 64 * 1024;
constexpr size_t kMaxReadSize = 1024 * 1024;

std::vector<std::string>& processArguments() {
  static std::vector<std::string> arguments;
  return arguments;
}

// The value that follows the first occurrence of name; unset when name does
// not occur or is the last argument. Argument 0 is the program name.
struct SwitchLookup {
  bool found = false;
  std::optional<std::string> value;
};
SwitchLookup findSwitch(const std::vector<std::string>& arguments,
                        std::string_view name) {
  for (size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] != name) continue;
    SwitchLookup lookup;
    lookup.found = true;
    if (i + 1 < arguments.size()) lookup.value = arguments[i + 1];
    return lookup;
  }
  return {};
}

bool isSetAndNonEmpty(const std::optional<std::string>& value) {
  return value.has_value() && !value->empty();
}

// Whether something (file, folder, or whatever a symbolic link leads to)
// exists at path.
bool existsAt(const std::string& path) {
  std::error_code error;
  return fs::exists(path, error);
}

// The path without its last component, ignoring trailing slashes: "a/b" ->
// "a", "/b" -> "/", "b" -> "".
std::string folderOf(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return "";
  std::string_view folder = path.substr(0, slash);
  while (!folder.empty() && folder.back() == '/') folder.remove_suffix(1);
  return folder.empty() ? "/" : std::string(folder);
}

// Whether inner is outer itself or lies somewhere below it, after both are
// resolved. False whenever either cannot be resolved.
bool isSameOrInside(const std::string& inner, const std::string& outer) {
  std::error_code error;
  const fs::path innerPath = fs::canonical(inner, error);
  if (error) return false;
  const fs::path outerPath = fs::canonical(outer, error);
  if (error) return false;
  const auto [outerEnd, innerEnd] = std::mismatch(
      outerPath.begin(), outerPath.end(), innerPath.begin(), innerPath.end());
  return outerEnd == outerPath.end();
}

// path made absolute against the working folder. The pack core creates the
// folder of its destination with a helper that refuses a bare folder name,
// so a relative "dir/host.bin" would fail there although "dir" exists; the
// absolute form names the same file and passes. Left as it is when the
// working folder cannot be found.
std::string absolutePath(const std::string& path) {
  if (path.empty()) return path;
  std::error_code error;
  fs::path absolute = fs::absolute(path, error);
  return error ? path : absolute.string();
}

ssize_t readRetryingInterrupts(int fd, char* buffer, size_t size) {
  ssize_t count;
  do {
    count = ::read(fd, buffer, size);
  } while (count < 0 && errno == EINTR);
  return count;
}

// Whether a read of fd would return at once (data, end of input or error).
bool isReadableNow(int fd) {
  pollfd poller{.fd = fd, .events = POLLIN, .revents = 0};
  int ready;
  do {
    ready = ::poll(&poller, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

}  // namespace

// Reads standard input in chunks and hands each to a handler on the main
// queue. A descriptor epoll can watch (pipe, socket, terminal) is read on
// the main queue when it has bytes; any other (a regular file, /dev/null)
// is read by a thread of its own, which waits for each chunk to be handled
// before it reads the next. At end of input, or on a read error, reading
// stops for good. Created once and never destroyed: the process ends while
// it still listens.
class KXAppDelegate::ControlChannel {
 public:
  using ChunkHandler = std::function<void(std::string_view chunk)>;

  explicit ControlChannel(ChunkHandler handler)
      : handler_(std::move(handler)) {}

  ControlChannel(const ControlChannel&) = delete;
  ControlChannel& operator=(const ControlChannel&) = delete;

  ~ControlChannel() {
    if (source_) source_->cancel();
  }

  // Starts listening on fd, which must stay open for the process's life.
  void start(int fd) {
    source_ = dispatch::ReadinessSource::create(fd, dispatch::SourceKind::kRead,
                                                dispatch::mainQueue());
    if (!source_) {
      // Detached: it ends by itself at end of input, or with the process,
      // and nothing ever waits for it.
      std::thread([this, fd] { readOnOwnThread(fd); }).detach();
      return;
    }
    source_->setEventHandler(
        [this, fd](size_t waiting) { readWaitingBytes(fd, waiting); });
    // The descriptor belongs to the process, not to the channel: nothing to
    // close when watching ends.
    source_->setCancelHandler([] {});
    source_->resume();
  }

 private:
  // On the main queue, when fd has bytes or has ended.
  void readWaitingBytes(int fd, size_t waiting) {
    // Standard input is usually blocking; never let a stale event stall the
    // main thread, which must stay free for the job's completion.
    if (!isReadableNow(fd)) return;
    std::string chunk(std::clamp(waiting, kMinReadSize, kMaxReadSize), '\0');
    const ssize_t count =
        readRetryingInterrupts(fd, chunk.data(), chunk.size());
    if (count < 0 && errno == EAGAIN) return;
    if (count <= 0) {
      // End of input: stop watching, so that a descriptor that stays
      // readable at its end does not keep the main thread busy.
      source_->cancel();
      return;
    }
    chunk.resize(size_t(count));
    handler_(chunk);
  }

  // On the reader thread, for descriptors that cannot be watched.
  void readOnOwnThread(int fd) {
    std::string buffer(kMinReadSize, '\0');
    for (;;) {
      const ssize_t count =
          readRetryingInterrupts(fd, buffer.data(), buffer.size());
      if (count <= 0) return;
      dispatch::mainQueue()->async(
          [this, chunk = buffer.substr(0, size_t(count))] {
            handler_(chunk);
            handled_.signal();
          });
      handled_.wait();
    }
  }

  ChunkHandler handler_;
  std::shared_ptr<dispatch::ReadinessSource> source_;
  dispatch::Semaphore handled_{0};
};

KXAppDelegate::KXAppDelegate() = default;

// The shared instance is never destroyed; this serves the instances tests
// make, which never start a channel.
KXAppDelegate::~KXAppDelegate() = default;

void KXAppDelegate::setProcessArguments(int argc, const char* const* argv) {
  processArguments().assign(argv, argv + argc);
}

KXAppDelegate& KXAppDelegate::defaultAppDelegate() {
  // Deliberately leaked: the process ends while the channel may still be
  // reading, so nothing may tear the delegate down first.
  static KXAppDelegate* const instance = [] {
    auto* delegate = new KXAppDelegate();
    delegate->init();
    return delegate;
  }();
  return *instance;
}

void KXAppDelegate::init() {
  setUpArguments(processArguments());
  channel_ = std::make_unique<ControlChannel>(
      [this](std::string_view chunk) { commandSentData(chunk); });
  channel_->start(STDIN_FILENO);
}

void KXAppDelegate::setUpArguments(const std::vector<std::string>& arguments) {
  std::optional<std::string>* folder = nullptr;
  if (const SwitchLookup pack = findSwitch(arguments, kPackSwitch);
      pack.found) {
    isPack = true;
    mStrPackDstFilePath = pack.value;
    folder = &mStrPackResourceFolder;
  } else if (const SwitchLookup unpack = findSwitch(arguments, kUnpackSwitch);
             unpack.found) {
    isUnpack = true;
    mStrUnpackSrcFilePath = unpack.value;
    folder = &mStrUnpackDstFolder;
  } else {
    return;
  }
  if (SwitchLookup lookup = findSwitch(arguments, kFolderSwitch);
      lookup.value) {
    *folder = std::move(lookup.value);
  }
}

bool KXAppDelegate::isPreparedPack() {
  if (!isPack || !isSetAndNonEmpty(mStrPackDstFilePath)) return false;
  const std::string folder = folderOf(*mStrPackDstFilePath);
  if (folder.empty()) return false;
  if (!existsAt(folder)) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) return false;
  }
  if (!existsAt(*mStrPackDstFilePath)) return false;
  if (!isSetAndNonEmpty(mStrPackResourceFolder)) return false;
  return existsAt(*mStrPackResourceFolder);
}

bool KXAppDelegate::isPreparedUnpack() {
  if (!isUnpack || !isSetAndNonEmpty(mStrUnpackSrcFilePath) ||
      !existsAt(*mStrUnpackSrcFilePath)) {
    return false;
  }
  if (!isSetAndNonEmpty(mStrUnpackDstFolder)) return false;
  const std::string& folder = *mStrUnpackDstFolder;
  // Emptying a folder that holds the pack would destroy the input before a
  // single file is restored.
  if (isSameOrInside(*mStrUnpackSrcFilePath, folder)) return false;
  std::error_code error;
  if (existsAt(folder)) fs::remove_all(folder, error);
  error.clear();
  fs::create_directories(folder, error);
  // create_directories reports no error when the path already exists, but
  // only a folder can receive the files.
  return !error && fs::is_directory(folder, error);
}

bool KXAppDelegate::pack() {
  mIsCancelled = false;
  const std::string file = absolutePath(mStrPackDstFilePath.value_or(""));
  const std::string folder = absolutePath(mStrPackResourceFolder.value_or(""));
  const bool done = startPack(file.c_str(), folder.c_str());
  return done && !mIsCancelled;
}

bool KXAppDelegate::unpack() {
  mIsCancelled = false;
  const std::string file = absolutePath(mStrUnpackSrcFilePath.value_or(""));
  const std::string folder = absolutePath(mStrUnpackDstFolder.value_or(""));
  const bool done = startUnpack(file.c_str(), folder.c_str());
  return done && !mIsCancelled;
}

void KXAppDelegate::setIsCanncelled(bool flag) {
  mIsCancelled = flag;
  ::setIsCanncelled(flag);
}

void KXAppDelegate::commandSentData(std::string_view chunk) {
  const auto message = KXIPCMessage::ipcMessageFromChunk(chunk);
  if (message && message->mMsgID == KXIPCMessage::kMsgIDExit) {
    setIsCanncelled(true);
  }
}
