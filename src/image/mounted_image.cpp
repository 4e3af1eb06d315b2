#include "image/mounted_image.h"

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "image/image_state.h"
#include "image/vmdk_layout.h"
#include "platform/text.h"

namespace qelda::image {
namespace {

constexpr std::uint64_t kSector = 512;

bool isFlatType(std::u16string_view type) { return type == u"FLAT" || type == u"VMFS"; }
bool isSparseType(std::u16string_view type) { return type == u"SPARSE"; }

bool startsWithSparseMagic(const ImageFiles& files, const std::string& path) {
  const auto file = files.open(path);
  std::array<std::uint8_t, 4> magic{};
  return file && file->readExact(0, magic) && platform::ByteView(magic).le32(0) == vmdk::kSparseMagic;
}

// The files a description names, each opened once, and the tables of each sparse one loaded
// once for the sectors its extent maps. A description may name one file thousands of times (a
// damaged or crafted one names itself over and over): each naming would otherwise open the
// file again and load all its tables again, work that grows with the square of the file.
class ExtentFiles {
 public:
  explicit ExtentFiles(const ImageFiles& files) : files_(files) {}

  std::shared_ptr<const platform::ReadOnlyFile> file(const std::string& path) {
    const auto [it, added] = opened_.try_emplace(path);
    if (added) it->second = files_.openShared(path);
    return it->second;
  }

  // Opens a sparse extent and loads its tables; the extent stays unreadable (no grains) when
  // its header says its grains are not plain sectors.
  // `parentHoldsHoles`: a snapshot's extent, whose unallocated grains are its parent's.
  void mountSparse(MountedExtent& e, const std::string& path, SparseDefaults defaults, std::uint64_t mapSectors,
                   bool parentHoldsHoles) {
    e.sparse = true;
    e.file = file(path);
    if (!e.file) return;
    const auto [it, added] = grains_.try_emplace({path, mapSectors});
    if (added) {
      std::array<std::uint8_t, kSector> sector0{};
      e.file->readAt(0, sector0);
      const SparseExtentHeader header = parseSparseExtentHeader(platform::ByteView(sector0), defaults, mapSectors);
      it->second = SparseGrainMap::load(*e.file, header, parentHoldsHoles);
    }
    e.grains = it->second;
  }

 private:
  const ImageFiles& files_;
  std::map<std::string, std::shared_ptr<const platform::ReadOnlyFile>> opened_;
  std::map<std::pair<std::string, std::uint64_t>, std::shared_ptr<const SparseGrainMap>> grains_;
};

// Grains whose data the file does not hold: a damaged grain-table entry, or a file cut short.
// Their reads fail already; the user is told which they are.
void noteGrainsPastEnd(MountedImage& image) {
  for (const MountedExtent& e : image.extents) {
    if (!e.grains || e.grains->grainsPastEndCount() == 0) continue;
    UnreadableBlockNotes notes("VMDK grain", e.grains->grainSectors(), e.firstSector, e.firstSector + e.sectors);
    for (const SparseGrainMap::GrainPastEnd& g : e.grains->grainsPastEnd())
      notes.add(g.index, g.cut ? kDataCutAtEnd : kEntryPastEnd);
    notes.addUnlisted(e.grains->grainsPastEndCount() - e.grains->grainsPastEnd().size());
    notes.appendTo(image.notes);
  }
}

std::u16string quotedName(const std::u16string& name) { return name.empty() ? name : u"\"" + name + u"\""; }

std::u16string extentNote(std::size_t number, const DISK_DESCRIPTOR_EXTENT& d, const std::string& what) {
  return u"VMDK extent " + platform::widenLatin1(std::to_string(number)) + u" (" + d.m_szFileName + u"): " +
         platform::widenLatin1(what);
}

// Sizes beyond any real disk are a damaged description: false, with a note, when extent
// `number` would take the disk from `first` sectors past the longest disk.
bool extentFitsDisk(std::size_t number, const DISK_DESCRIPTOR_EXTENT& d, std::uint64_t first, MountedImage& image) {
  if (d.m_nSectors <= kMaxDiskSectors - first) return true;
  image.notes.push_back(extentNote(number, d, "its size of " + std::to_string(d.m_nSectors) + " sectors takes the disk past " +
                                                  std::to_string(kMaxDiskSectors) +
                                                  " sectors, more than any disk holds: the disk is read only up to it"));
  return false;
}

void buildVmdkExtents(ImageState& app, MountedImage& image) {
  const std::u16string& type = app.m_strCreateType;
  const bool monolithicSparse = type == u"monolithicSparse";
  const bool splitSparse = type == u"twoGbMaxExtentSparse";
  if (type != u"monolithicFlat" && type != u"twoGbMaxExtentFlat" && !monolithicSparse && !splitSparse) {
    // Not read, but described with the length its extents give, as far as a disk can go.
    std::uint64_t first = 0;
    for (std::size_t number = 0; number < app.m_arrExtents.size(); ++number) {
      if (!extentFitsDisk(number + 1, app.m_arrExtents[number], first, image)) break;
      first += app.m_arrExtents[number].m_nSectors;
    }
    return;
  }
  const SparseDefaults defaults = monolithicSparse ? SparseDefaults::Monolithic : SparseDefaults::Split;

  // A snapshot's unallocated grains are its parent's data, which is not read: they are
  // unreadable, never zeros that count as read.
  const bool snapshot = app.vmdkParent.has_value();
  if (snapshot) noteParentNotRead(image, "a VMDK snapshot", quotedName(*app.vmdkParent), false);

  const bool pickedIsExtent = pickedFileIsTheExtent(app);
  ExtentFiles files(app.imageFiles);
  std::uint64_t first = 0;
  std::size_t number = 0;
  for (const DISK_DESCRIPTOR_EXTENT& d : app.m_arrExtents) {
    ++number;
    // Without its size no sector after the extent has a place: the disk ends there.
    if (!d.sizeNotNumber.empty()) {
      image.notes.push_back(extentNote(number, d, "its size \"" + d.sizeNotNumber +
                                                      "\" is not a number of sectors: the disk is read only up to it"));
      break;
    }
    if (!extentFitsDisk(number, d, first, image)) break;
    MountedExtent e;
    e.firstSector = first;
    e.sectors = d.m_nSectors;
    const std::string path = pickedIsExtent ? app.m_strImagePath : extentPath(app.m_strImagePath, d.fileNameBytes);
    if (isFlatType(d.m_szType)) {
      if (d.offsetNotNumber.empty()) {
        e.file = files.file(path);
        e.fileOffset = d.flatStartSector <= UINT64_MAX / kSector ? d.flatStartSector * kSector : UINT64_MAX;
      } else {
        // Where its data starts is not known: reading it from anywhere would hand out other bytes.
        const std::string where = e.sectors ? " (sectors " + std::to_string(first) + "-" +
                                                  std::to_string(first + e.sectors - 1) + ")" : std::string();
        image.notes.push_back(extentNote(number, d, "its start offset \"" + d.offsetNotNumber +
                                                        "\" is not a number: its sectors" + where + " cannot be read"));
      }
    } else if (isSparseType(d.m_szType)) {
      files.mountSparse(e, path, defaults, e.sectors, snapshot);
    }
    first += e.sectors;
    image.extents.push_back(std::move(e));
  }
  image.layout = ImageLayout::VmdkExtents;
  image.diskSectors = first;

  // A split sparse image whose layout was guessed from its first file alone: that file is
  // read as holding the whole disk, at the unsplit sector numbers.
  if (splitSparse && app.m_bSplitSparseAsSingle && !image.extents.empty() && image.extents[0].sparse) {
    MountedExtent whole;
    whole.sectors = first;
    files.mountSparse(whole, extentPath(app.m_strImagePath, app.m_arrExtents[0].fileNameBytes), defaults, first,
                      snapshot);
    image.extents.assign(1, std::move(whole));
  }
  noteGrainsPastEnd(image);
}

}  // namespace

UnreadableBlockNotes::UnreadableBlockNotes(std::string what, std::uint64_t blockSectors, std::uint64_t firstSector,
                                           std::uint64_t diskSectors)
    : what_(std::move(what)), blockSectors_(blockSectors), firstSector_(firstSector), diskSectors_(diskSectors) {}

void UnreadableBlockNotes::add(std::uint64_t block, std::string_view why) {
  if (lines_.size() >= kListed) {
    ++unlisted_;
    return;
  }
  // Every block index comes from a map bounded so that these products stay below 2^63.
  const std::uint64_t first = firstSector_ + block * blockSectors_;
  const std::uint64_t end = std::min(first + blockSectors_, std::max(diskSectors_, first + 1));
  lines_.push_back(platform::widenLatin1(what_ + " " + std::to_string(block) + " (sectors " + std::to_string(first) +
                                         "-" + std::to_string(end - 1) + "): " + std::string(why)));
}

void UnreadableBlockNotes::appendTo(std::vector<std::u16string>& notes) const {
  notes.insert(notes.end(), lines_.begin(), lines_.end());
  if (unlisted_)
    notes.push_back(platform::widenLatin1("and " + std::to_string(unlisted_) + " more of the " + what_ +
                                          "s cannot be read for the same reasons"));
}

void noteParentNotRead(MountedImage& image, std::string_view what, std::u16string_view parent, bool nothingHeld) {
  std::u16string note = platform::widenLatin1(what) + u": its parent disk ";
  if (!parent.empty()) note += std::u16string(parent) + u" ";
  note += nothingHeld ? u"is not read, and without it no sector can be read: the whole disk reads as zeros"
                      : u"is not read, and without it what the image does not hold itself cannot be read: it "
                        u"reads as zeros";
  image.notes.push_back(note + u", counted as unreadable");
}

void noteDiskCutToMap(MountedImage& image, std::string_view claimedBy, std::uint64_t claimedBytes,
                      std::uint64_t mapSectors) {
  if (image.diskSectors <= mapSectors) return;
  image.diskSectors = mapSectors;
  image.notes.push_back(platform::widenLatin1(std::string(claimedBy) + " claims a disk of " +
                                              std::to_string(claimedBytes) + " bytes, but its block map addresses " +
                                              std::to_string(mapSectors * kSector) +
                                              " bytes: the disk is read as that long"));
}

std::string extentPath(const std::string& imagePath, const std::string& name) {
  if (name.starts_with('/')) return name;
  return imageFolder(imagePath) + "/" + name;
}

bool pickedFileIsTheExtent(const ImageState& app) {
  return app.m_strCreateType == u"monolithicSparse" && app.m_arrExtents.size() == 1 &&
         isSparseType(app.m_arrExtents[0].m_szType) && startsWithSparseMagic(app.imageFiles, app.m_strImagePath);
}

std::string imageFolder(const std::string& imagePath) {
  const auto slash = imagePath.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return imagePath.substr(0, slash);
}

MappedRun MountedImage::map(std::uint64_t sector, std::uint64_t maxSectors) const {
  if (sector >= diskSectors) return failedRun(maxSectors);
  maxSectors = std::min(maxSectors, diskSectors - sector);
  switch (layout) {
    case ImageLayout::FlatFile:
      if (sector >= flatSectors) return failedRun(maxSectors);
      return {image.get(), sector * kSector, std::min(maxSectors, flatSectors - sector), image != nullptr};
    case ImageLayout::VmdkExtents:
      return mapExtents(sector, maxSectors);
    case ImageLayout::Vdi:
      return vdi.map(image.get(), sector, maxSectors);
    case ImageLayout::Vhd:
      return vhd ? vhd->map(image.get(), sector, maxSectors) : failedRun(maxSectors);
    default:
      return failedRun(maxSectors);
  }
}

MappedRun MountedImage::mapExtents(std::uint64_t sector, std::uint64_t maxSectors) const {
  // The extent holding `sector`: the last one that starts at or before it.
  auto it = std::upper_bound(extents.begin(), extents.end(), sector,
                             [](std::uint64_t s, const MountedExtent& e) { return s < e.firstSector; });
  if (it == extents.begin()) return failedRun(maxSectors);
  const MountedExtent& e = *--it;
  const std::uint64_t inExtent = sector - e.firstSector;
  if (inExtent >= e.sectors) {  // only past the last extent, since extents are contiguous
    if (imageCorrupt) imageCorrupt->store(1, std::memory_order_relaxed);
    return failedRun(maxSectors);
  }
  const std::uint64_t run = std::min(maxSectors, e.sectors - inExtent);
  if (e.sparse) return e.grains ? e.grains->map(e.file.get(), inExtent, run) : failedRun(run);
  const std::uint64_t rel = inExtent * kSector;  // inExtent < kMaxDiskSectors: no overflow
  if (!e.file || e.fileOffset > UINT64_MAX - rel) return failedRun(run);
  return {e.file.get(), e.fileOffset + rel, run, true};
}

std::shared_ptr<const MountedImage> buildMountedImage(ImageState& app) {
  auto image = std::make_shared<MountedImage>();
  image->imageCorrupt = &app.m_bImageCorrupt;
  switch (app.m_nImageType) {
    case kImageVmdk:
      if (app.m_bVmdkDescriptor) {
        buildVmdkExtents(app, *image);
        return image;
      }
      image->image = app.imageFiles.openShared(app.m_strImagePath);
      if (!image->image) return image;
      image->layout = ImageLayout::FlatFile;
      image->diskSectors = std::min(image->image->size() / kSector, kMaxDiskSectors);
      image->flatSectors = image->diskSectors;
      return image;
    case kImageVdi:
      image->image = app.imageFiles.openShared(app.m_strImagePath);
      if (image->image) buildVdiImage(app, *image);
      return image;
    case kImageVhd:
      image->image = app.imageFiles.openShared(app.m_strImagePath);
      if (image->image) buildVhdImage(app, *image);
      return image;
    default:
      return image;
  }
}

}  // namespace qelda::image
