// Type ids of the raw scan and the length finder each one selects. Every id that no finder
// claims (types a user adds to the catalogue) is sized by the forward search.
#pragma once

#include <cstdint>

namespace qelda::carve {

inline constexpr std::uint16_t kTypeJpeg = 14;
inline constexpr std::uint16_t kTypeTiffIntel = 15;
inline constexpr std::uint16_t kTypeTiffMotorola = 16;
inline constexpr std::uint16_t kTypeBmp = 17;
inline constexpr std::uint16_t kTypeGif = 18;
inline constexpr std::uint16_t kTypePng = 19;
inline constexpr std::uint16_t kTypeRar = 48;
inline constexpr std::uint16_t kTypeZip = 52;
inline constexpr std::uint16_t kTypeAu = 57;
inline constexpr std::uint16_t kTypeDoc = 113;
inline constexpr std::uint16_t kTypeXls = 114;
inline constexpr std::uint16_t kTypePpt = 115;
inline constexpr std::uint16_t kTypeDocx = 128;
inline constexpr std::uint16_t kTypeXlsx = 132;
inline constexpr std::uint16_t kTypePptx = 135;
inline constexpr std::uint16_t kTypePub = 136;
inline constexpr std::uint16_t kTypeVsd = 137;
inline constexpr std::uint16_t kTypeHtmlDoctypeUpper = 139;
inline constexpr std::uint16_t kTypeHtmlDoctypeLower = 140;
inline constexpr std::uint16_t kTypeHtmlLower = 141;
inline constexpr std::uint16_t kTypeHtmlUpper = 143;
inline constexpr std::uint16_t kTypeAvi = 165;
inline constexpr std::uint16_t kTypeMsg = 176;
inline constexpr std::uint16_t kTypeDot = 177;

enum class RawFinder : std::uint8_t { ForwardSearch, Jpeg, Tiff, Bmp, Gif, Png, Rar, Zip, Au, Office, Html, Avi };

constexpr RawFinder finderForType(std::uint16_t typeId) {
  switch (typeId) {
    case kTypeJpeg: return RawFinder::Jpeg;
    case kTypeTiffIntel:
    case kTypeTiffMotorola: return RawFinder::Tiff;
    case kTypeBmp: return RawFinder::Bmp;
    case kTypeGif: return RawFinder::Gif;
    case kTypePng: return RawFinder::Png;
    case kTypeRar: return RawFinder::Rar;
    case kTypeZip: return RawFinder::Zip;
    case kTypeAu: return RawFinder::Au;
    case kTypeDoc:
    case kTypeXls:
    case kTypePpt:
    case kTypeDocx:
    case kTypeXlsx:
    case kTypePptx:
    case kTypePub:
    case kTypeVsd:
    case kTypeMsg:
    case kTypeDot: return RawFinder::Office;
    case kTypeHtmlDoctypeUpper:
    case kTypeHtmlDoctypeLower:
    case kTypeHtmlLower:
    case kTypeHtmlUpper: return RawFinder::Html;  // 142 is not an HTML id
    case kTypeAvi: return RawFinder::Avi;
    default: return RawFinder::ForwardSearch;
  }
}

}  // namespace qelda::carve
