// Files named where a disk's bytes are expected that are not files of a disk: a FIFO (whose
// open would wait for a writer forever), a folder, a character device, a socket. None opens,
// and nothing waits on them (check_hostile.sh mounts such extents and images end to end).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "platform/read_only_file.h"
#include "support/image_dir.h"

namespace qelda::image {
namespace {

namespace fs = std::filesystem;
using test::ImageDir;

// Runs `step`; should it still be waiting after a long while, every FIFO is opened for
// writing until it returns (which releases an open waiting for a writer), so that a
// regression fails the test instead of hanging it. True when `step` returned by itself.
bool endsWithoutAWriter(const std::vector<std::string>& fifos, const std::function<void()>& step) {
  std::promise<void> done;
  std::future<void> ended = done.get_future();
  std::thread worker([&] {
    step();
    done.set_value();
  });
  const bool byItself = ended.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  while (ended.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
    for (const std::string& f : fifos) {
      const int fd = ::open(f.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) ::close(fd);
    }
  }
  worker.join();
  return byItself;
}

// A Unix socket bound at `path`; closed (the name stays) when the test ends.
class BoundSocket {
 public:
  explicit BoundSocket(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (fd_ >= 0) bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~BoundSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool bound() const { return bound_; }

 private:
  int fd_;
  bool bound_ = false;
};

TEST(ReadOnlyFile, OpensOnlyRegularFilesAndBlockDevicesWithoutWaiting) {
  ImageDir dir;
  const std::string data = dir.putText("data", "bytes of a disk");
  ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
  fs::create_directory(dir.file("folder"));
  fs::create_symlink(data, dir.file("link-to-data"));
  fs::create_symlink(dir.file("pipe"), dir.file("link-to-pipe"));
  BoundSocket socket(dir.file("socket"));
  ASSERT_TRUE(socket.bound());
  struct Case {
    const char* what;
    std::string path;
    bool opens;
  } cases[] = {
      {"a regular file", data, true},
      {"a symlink to a regular file", dir.file("link-to-data"), true},
      {"a FIFO", dir.file("pipe"), false},
      {"a symlink to a FIFO", dir.file("link-to-pipe"), false},
      {"a folder", dir.file("folder"), false},
      {"a character device", "/dev/null", false},
      {"a socket", dir.file("socket"), false},
      {"nothing", dir.file("none"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::optional<platform::ReadOnlyFile> file;
    ASSERT_TRUE(endsWithoutAWriter({dir.file("pipe")}, [&] { file = platform::ReadOnlyFile::open(c.path); }));
    EXPECT_EQ(file.has_value(), c.opens);
    if (file) {
      std::array<std::uint8_t, 5> head{};
      EXPECT_TRUE(file->readExact(0, head));
      EXPECT_EQ(std::string(head.begin(), head.end()), "bytes");
    }
  }
}

}  // namespace
}  // namespace qelda::image
