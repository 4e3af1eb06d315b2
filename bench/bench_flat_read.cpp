// Reads a multi-GiB flat VMDK through the sector-read entry point in 1 MiB calls and, in
// the same run, the same file with plain pread; prints both rates and their ratio.
//
//   bench_flat_read [FOLDER] [GiB]    (default: build/bench, 2 GiB)
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/mount.h"
#include "app/qelda_app.h"
#include "image/virtual_disk.h"

namespace {

constexpr std::uint32_t kChunk = 1u << 20;

class QuietNotifier final : public qelda::platform::IUserNotifier {
 public:
  void Show(std::u16string_view, std::uint32_t, std::uint32_t) override {}
};

// Deterministic, incompressible-looking data, written once and kept for later runs.
bool makeImage(const std::string& path, std::uint64_t bytes) {
  if (std::filesystem::exists(path) && std::filesystem::file_size(path) == bytes) return true;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::vector<std::uint64_t> block(kChunk / 8);
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  for (std::uint64_t done = 0; done < bytes; done += kChunk) {
    for (auto& w : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      w = x;
    }
    if (std::fwrite(block.data(), 1, kChunk, f) != kChunk) {
      std::fclose(f);
      return false;
    }
  }
  return std::fclose(f) == 0;
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string folder = argc > 1 ? argv[1] : "build/bench";
  const std::uint64_t gib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2;
  const std::uint64_t bytes = gib << 30;
  std::filesystem::create_directories(folder);
  const std::string data = folder + "/flat-bench-flat.vmdk";
  const std::string descriptor = folder + "/flat-bench.vmdk";
  if (!makeImage(data, bytes)) {
    std::perror("writing the bench image");
    return 1;
  }
  std::ofstream(descriptor) << "# Disk DescriptorFile\nversion=1\ncreateType=\"monolithicFlat\"\n"
                            << "RW " << bytes / 512 << " FLAT \"flat-bench-flat.vmdk\" 0\n";

  qelda::app::CQELDAApp app;
  QuietNotifier notifier;
  if (qelda::app::CDataRecovery(app, notifier).OnBnClickedMountVirtualDisk(qelda::app::kImageVmdk, descriptor) !=
      qelda::app::MountOutcome::Mounted) {
    std::fputs("mount failed\n", stderr);
    return 1;
  }
  // Page-aligned, the best case for plain pread; both readers use the same buffer.
  std::unique_ptr<std::uint8_t, decltype(&std::free)> aligned(
      static_cast<std::uint8_t*>(std::aligned_alloc(4096, kChunk)), &std::free);
  std::span<std::uint8_t> buffer(aligned.get(), kChunk);
  const int fd = ::open(data.c_str(), O_RDONLY);
  std::uint64_t sink = 0;

  auto timePread = [&] {
    const auto t = std::chrono::steady_clock::now();
    for (std::uint64_t off = 0; off < bytes; off += kChunk) {
      if (::pread(fd, buffer.data(), kChunk, off_t(off)) != ssize_t(kChunk)) std::abort();
      sink += buffer[0];
    }
    return seconds(t);
  };
  auto timeReader = [&] {
    const auto t = std::chrono::steady_clock::now();
    for (std::uint64_t sector = 0; sector < bytes / 512; sector += kChunk / 512) {
      if (!qelda::image::ReadSourceSectors(app, buffer.data(), sector, kChunk)) std::abort();
      sink += buffer[0];
    }
    return seconds(t);
  };

  timePread();  // warm the page cache so both read the same cached bytes
  double bestPread = 1e9, bestReader = 1e9;
  for (int round = 0; round < 3; ++round) {
    bestPread = std::min(bestPread, timePread());
    bestReader = std::min(bestReader, timeReader());
  }
  ::close(fd);
  const double mb = double(bytes) / 1e6;
  std::printf("flat image: %llu MiB, 1 MiB per call, best of 3 (page cache warm)\n",
              static_cast<unsigned long long>(bytes >> 20));
  std::printf("pread:             %8.0f MB/s\n", mb / bestPread);
  std::printf("ReadSourceSectors: %8.0f MB/s\n", mb / bestReader);
  std::printf("ratio: %.2f  (checksum %llu)\n", bestPread / bestReader, static_cast<unsigned long long>(sink));
  return 0;
}
