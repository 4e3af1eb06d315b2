// The exFAT engine's work files: tables with one entry per cluster (a copy of the FAT, the
// cluster map) that can outgrow memory on large volumes, so they live in files of a folder
// of the engine's own and are mapped for lookups. The folder goes when the engine is freed.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qelda::exfat {

// The names of the engine's work files inside its folder.
inline constexpr const char* kFatWorkFile = "exFat.dat";
inline constexpr const char* kClusterMapWorkFile = "ClusterMap.dat";

class WorkFile;

// Tables of at most this many bytes are held in memory instead of a work file: a small
// volume's FAT copy and cluster map cost no folder, no file and no disk space.
inline constexpr std::uint64_t kWorkInMemoryBytes = std::uint64_t(1) << 20;

// The folder of one engine's work files: made on first use as a fresh folder under the
// root (by default $XDG_CACHE_HOME/qelda, else ~/.cache/qelda), removed with what it holds
// by remove() or when the object goes. A program ended by a signal that would otherwise
// leave it behind (SIGQUIT, SIGABRT, SIGXCPU, SIGXFSZ, and SIGINT, SIGTERM and SIGHUP where
// nothing else handles them: the command turns those into a stop) removes it first.
class WorkFolder {
 public:
  explicit WorkFolder(std::string root = {}) : root_(std::move(root)) {}
  ~WorkFolder() { remove(); }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;

  // Where the folder is made from now on; empty: the default root.
  void setRoot(std::string root);
  // The path of `name` inside the folder, making the folder first; empty when it cannot
  // be made.
  std::string pathOf(std::string_view name);
  // The folder made, or empty.
  const std::string& path() const { return dir_; }
  // Makes `file` of `bytes` as the work file `name`, or in memory when it is no larger
  // than the limit set here (kWorkInMemoryBytes unless set); false when it cannot be made.
  bool make(WorkFile& file, std::string_view name, std::uint64_t bytes);
  void setInMemoryUpTo(std::uint64_t bytes) { inMemoryUpTo_ = bytes; }
  void remove();

  static std::string defaultRoot();

 private:
  std::string root_;
  std::string dir_;
  std::uint64_t inMemoryUpTo_ = kWorkInMemoryBytes;
  int slot_ = -1;  // its place among the folders a fatal signal removes; -1: none
};

// A work file of a fixed size mapped into memory: created (replacing what was there) with
// its space reserved, so that a full disk fails the creation instead of a later write.
// Writes to a writable mapping reach the file.
class WorkFile {
 public:
  WorkFile() = default;
  ~WorkFile() { close(); }
  WorkFile(const WorkFile&) = delete;
  WorkFile& operator=(const WorkFile&) = delete;

  // False (and closed) when the file cannot be made, sized or mapped.
  bool create(const std::string& path, std::uint64_t bytes);
  // The same table held in memory only, zero-filled; its path is empty.
  bool createInMemory(std::uint64_t bytes);
  // The mapping becomes read-only.
  void seal();
  void close();
  bool isOpen() const { return open_; }
  const std::string& path() const { return path_; }

  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }
  // Empty once sealed.
  std::span<std::uint8_t> writable() { return sealed_ ? std::span<std::uint8_t>{} : std::span<std::uint8_t>{data_, size_}; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  bool open_ = false;
  bool sealed_ = false;
  std::string path_;
};

}  // namespace qelda::exfat
