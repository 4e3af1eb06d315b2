#include "save/parent_cycles.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/text.h"

namespace qelda::save {

void ParentCycleBreaker::note(const FOUND_ITEM& item, std::u16string_view name, FOUND_ITEM* stored) {
  if (!item.isFolder()) return;
  if (name == kLostFoldersName) lostFolders_.push_back(folders_.size());
  folders_.push_back({item.m_nId, item.m_nParentId, stored});
}

std::size_t ParentCycleBreaker::breakCycles(platform::IFoundItemSink& console) {
  // A parent id names the first folder that has it, as the found tree resolves it; a folder
  // that names itself, or an id no folder has, stands at the root.
  std::unordered_map<std::uint32_t, std::size_t> byId;
  byId.reserve(folders_.size());
  for (std::size_t i = 0; i < folders_.size(); ++i) byId.emplace(folders_[i].id, i);
  constexpr std::size_t kRoot = ~std::size_t{0};
  const auto parentOf = [&](std::size_t i) {
    const auto it = byId.find(folders_[i].parent);
    return it == byId.end() || it->second == i ? kRoot : it->second;
  };

  // Each folder's chain is followed once: 1 on the chain being followed, 2 settled.
  std::vector<std::uint8_t> state(folders_.size(), 0);
  std::vector<std::size_t> chain;
  std::vector<std::size_t> entries;  // the first folder of each cycle
  for (std::size_t start = 0; start < folders_.size(); ++start) {
    chain.clear();
    std::size_t at = start;
    while (at != kRoot && state[at] == 0) {
      state[at] = 1;
      chain.push_back(at);
      at = parentOf(at);
    }
    if (at != kRoot && state[at] == 1) {
      // The chain came back to one of its own: the folders from there on are the cycle.
      std::size_t first = at;
      for (std::size_t k = chain.size(); k-- > 0 && chain[k] != at;) first = std::min(first, chain[k]);
      entries.push_back(first);
    }
    for (std::size_t i : chain) state[i] = 2;
  }
  if (entries.empty()) return 0;

  // Ids for the made-up folders that no folder has.
  std::unordered_set<std::uint32_t> used;
  for (const Folder& f : folders_) used.insert(f.id);
  std::uint32_t nextId = 0xFFFFFFFE;
  const auto freeId = [&] {
    while (used.count(nextId)) --nextId;
    used.insert(nextId);
    return nextId--;
  };
  // Under the "Lost folder(s)" at the root when there is one, else a new one there: its
  // parent is the one the first folder at the root names.
  std::uint32_t lostId = 0;
  bool haveLost = false;
  for (std::size_t i : lostFolders_)
    if (parentOf(i) == kRoot) {
      lostId = folders_[i].id;
      haveLost = true;
      break;
    }
  if (!haveLost) {
    std::uint32_t rootParent = 0;
    bool found = false;
    for (std::size_t i = 0; i < folders_.size() && !found; ++i)
      if (parentOf(i) == kRoot && folders_[i].parent != folders_[i].id) {
        rootParent = folders_[i].parent;
        found = true;
      }
    if (!found) rootParent = freeId();  // an id no folder has stands for the root
    FOUND_ITEM lost;
    lost.m_byAttributes = kItemFolder;
    lost.m_nId = lostId = freeId();
    lost.m_nRecordKey = lost.m_nId;
    lost.m_nParentId = rootParent;
    console.AddFoundItem(lost, kLostFoldersName);
    console.UpdateStatusCounts();
  }
  for (std::size_t i : entries) {
    Folder& entry = folders_[i];
    FOUND_ITEM madeUp;
    madeUp.m_byAttributes = kItemFolder;
    madeUp.m_nId = freeId();
    madeUp.m_nRecordKey = madeUp.m_nId;
    madeUp.m_nParentId = lostId;
    console.AddFoundItem(madeUp, std::u16string(kMadeUpFolderName) + u" " +
                                     platform::widenLatin1(std::to_string(entry.parent)));
    console.UpdateStatusCounts();
    if (entry.stored) entry.stored->m_nParentId = madeUp.m_nId;
  }
  return entries.size();
}

}  // namespace qelda::save
