#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "fs/ata_layout.h"
#include "fs/drive_identity.h"

namespace qelda::fs {
namespace {

using platform::ByteView;
using platform::ParseError;

// An IDENTIFY sector laid out as a drive sends it: little-endian words, texts with the first
// character of each pair in the high byte, padded with spaces.
struct IdentifySector {
  std::array<std::uint8_t, 512> b{};
  void word(std::size_t index, std::uint16_t v) {
    b[2 * index] = std::uint8_t(v);
    b[2 * index + 1] = std::uint8_t(v >> 8);
  }
  void text(std::size_t firstWord, std::size_t words, std::string s) {
    s.resize(2 * words, ' ');
    for (std::size_t k = 0; k < words; ++k) {
      b[2 * (firstWord + k)] = std::uint8_t(s[2 * k + 1]);
      b[2 * (firstWord + k) + 1] = std::uint8_t(s[2 * k]);
    }
  }
  // Integrity word: signature A5h, then the byte that makes the sector sum to zero.
  void seal() {
    b[510] = ata::kIntegritySignature;
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < 511; ++i) sum = std::uint8_t(sum + b[i]);
    b[511] = std::uint8_t(-sum);
  }
};

IdentifySector sampleDrive() {
  IdentifySector s;
  s.word(0, 0x0040);  // fixed ATA device
  s.word(1, 16383);
  s.word(3, 16);
  s.word(6, 63);
  s.text(ata::kWordSerial, ata::kSerialWords, "     WD-WCAPW1234567");
  s.text(ata::kWordFirmware, ata::kFirmwareWords, "01.01A01");
  s.text(ata::kWordModel, ata::kModelWords, "WDC WD5000AAKS-00V1A0");
  s.word(60, 0xFFFF);  // 0x0FFFFFFF: a drive past 128 GiB
  s.word(61, 0x0FFF);
  s.word(82, 0x746B);  // SMART supported
  s.word(85, 0x7469);  // SMART enabled
  s.seal();
  return s;
}

TEST(IdentifySector, ReadsTextsGeometryCountAndSmartState) {
  const IdentifySector s = sampleDrive();
  const auto d = parseIdentifySector(ByteView(s.b), false);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->model, "WDC");  // two words: the first is kept
  EXPECT_EQ(d->serial, "WD-WCAPW1234567");  // leading spaces: the last word is kept
  EXPECT_EQ(d->firmware, "01.01A01");
  EXPECT_EQ(d->cylinders, 16383);
  EXPECT_EQ(d->heads, 16);
  EXPECT_EQ(d->sectorsPerTrack, 63);
  EXPECT_EQ(d->totalSectors, 0x0FFFFFFFu);  // low word first
  EXPECT_TRUE(d->smartSupported);
  EXPECT_TRUE(d->smartEnabled);
}

TEST(IdentifySector, RefusesWhatIsNoIdentity) {
  struct Case {
    const char* what;
    std::function<void(IdentifySector&)> damage;
    ParseError expected;
  };
  const std::vector<Case> cases = {
      {"checksum byte off by one", [](IdentifySector& s) { ++s.b[511]; }, ParseError::OutOfRange},
      {"a model byte changed after sealing", [](IdentifySector& s) { s.b[2 * ata::kWordModel] ^= 0x20; },
       ParseError::OutOfRange},
      {"ATA answer marked as a packet device", [](IdentifySector& s) { s.word(0, 0x8580), s.seal(); },
       ParseError::NotThisFormat},
      {"all zero", [](IdentifySector& s) { s.b.fill(0); }, ParseError::NotThisFormat},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    IdentifySector s = sampleDrive();
    c.damage(s);
    const auto d = parseIdentifySector(ByteView(s.b), false);
    ASSERT_FALSE(d);
    EXPECT_EQ(d.error(), c.expected);
  }
  const IdentifySector s = sampleDrive();
  EXPECT_EQ(parseIdentifySector(ByteView(s.b.data(), 511), false).error(), ParseError::Truncated);
}

TEST(IdentifySector, AnswersThatParseWithLessInThem) {
  struct Case {
    const char* what;
    std::function<void(IdentifySector&)> change;
    bool packet, geometry, smart;
  };
  const std::vector<Case> cases = {
      {"a packet device: no geometry", [](IdentifySector& s) { s.word(0, 0x8580), s.seal(); }, true, false, true},
      {"an older drive: no integrity word, no checksum asked", [](IdentifySector& s) { s.word(255, 0x1234); }, false,
       true, true},
      {"SMART words of zeros", [](IdentifySector& s) { s.word(82, 0), s.word(85, 0), s.seal(); }, false, true, false},
      {"SMART words of ones", [](IdentifySector& s) { s.word(82, 0xFFFF), s.word(85, 0xFFFF), s.seal(); }, false, true,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    IdentifySector s = sampleDrive();
    c.change(s);
    const auto d = parseIdentifySector(ByteView(s.b), c.packet);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->model, "WDC");
    EXPECT_EQ(d->firmware, "01.01A01");
    EXPECT_EQ(d->cylinders + d->heads + d->sectorsPerTrack != 0, c.geometry);
    EXPECT_EQ(d->smartSupported, c.smart);
    EXPECT_EQ(d->smartEnabled, c.smart);
  }
}

TEST(IdentityText, FirstWordLastWordAndWidth) {
  struct Case {
    std::string in;
    std::size_t max;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"ST3500418AS         ", 40, "ST3500418AS"},
      {"WDC WD5000AAKS-00V1A0   ", 40, "WDC"},
      {"        5VMDJ4XE", 20, "5VMDJ4XE"},
      {"   two words here   ", 20, "here"},
      {"                    ", 20, ""},
      {"", 20, ""},
      {std::string("AB\0CD", 5), 20, "AB"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ", 8, "ABCDEFGH"},
      {"   ABCDEFGHIJKL", 8, "ABCDEFGH"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(trimIdentityText(c.in, c.max), c.out);
  }
}

TEST(IdentityText, SwapWordBytesLeavesAnOddLastByte) {
  std::array<std::uint8_t, 5> t = {'B', 'A', 'D', 'C', 'E'};
  SwapWordBytes(t.size(), t.data());
  EXPECT_EQ(std::string(t.begin(), t.end()), "ABCDE");
}

// SMART data and threshold sectors with the check byte that makes each sum to zero.
struct SmartSectors {
  std::array<std::uint8_t, 512> data{};
  std::array<std::uint8_t, 512> thresholds{};
  void add(std::size_t slot, std::uint8_t id, std::uint8_t value, std::uint8_t worst, std::uint8_t threshold,
           std::uint8_t raw0 = 0) {
    const std::size_t e = ata::kSmartFirstEntry + slot * ata::kSmartEntryBytes;
    data[e] = id;
    data[e + 1] = 0x0F;  // flags
    data[e + 3] = value;
    data[e + 4] = worst;
    data[e + 5] = raw0;
    thresholds[e] = id;
    thresholds[e + 1] = threshold;
  }
  static void seal(std::array<std::uint8_t, 512>& s) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < 511; ++i) sum = std::uint8_t(sum + s[i]);
    s[511] = std::uint8_t(-sum);
  }
  void seal() {
    data[0] = 0x10;  // revision
    seal(data);
    seal(thresholds);
  }
};

TEST(SmartAttributes, ListsUsedEntriesInOrderWithNamesStatusesAndTemperature) {
  SmartSectors s;
  s.add(0, 1, 200, 200, 51);
  s.add(2, 194, 110, 95, 0, 36);  // slot 1 unused: skipped
  s.add(3, 5, 100, 100, 100);     // value equals threshold
  s.add(4, 195, 60, 40, 70);      // threshold above value
  s.add(5, 13, 100, 100, 0);
  s.add(29, 194, 111, 95, 0, 41);  // the last slot, a second temperature entry
  s.seal();
  EXPECT_TRUE(smartSectorChecksumOk(ByteView(s.data)));
  DRIVE_IDENTITY identity;
  const SMART_ATTRIBUTE* head = ParseSmartAttributes(ByteView(s.data), ByteView(s.thresholds), identity);
  ASSERT_EQ(head, identity.m_pAttributes);
  struct Expected {
    std::uint8_t id;
    std::u16string name;
    std::uint32_t value, worst, threshold;
    std::uint8_t status;
  };
  const std::vector<Expected> expected = {
      {1, u"Raw Read Error Rate", 200, 200, 51, kSmartAboveThreshold},
      {194, u"Temperature", 110, 95, 0, kSmartAboveThreshold},
      {5, u"Reallocated Sector Count", 100, 100, 100, kSmartAtThreshold},
      {195, u"(Unknown Attribute)", 60, 40, 70, kSmartBelowThreshold},
      {13, u"(Unknown Attribute)", 100, 100, 0, kSmartAboveThreshold},
      {194, u"Temperature", 111, 95, 0, kSmartAboveThreshold},
  };
  std::size_t i = 0;
  for (const SMART_ATTRIBUTE* a = head; a; a = a->m_pNext, ++i) {
    ASSERT_LT(i, expected.size());
    SCOPED_TRACE(i);
    EXPECT_EQ(a->m_byId, expected[i].id);
    EXPECT_EQ(a->m_szName, expected[i].name);
    EXPECT_EQ(a->m_nValue, expected[i].value);
    EXPECT_EQ(a->m_nWorst, expected[i].worst);
    EXPECT_EQ(a->m_nThreshold, expected[i].threshold);
    EXPECT_EQ(a->m_byStatus, expected[i].status);
  }
  EXPECT_EQ(i, expected.size());
  EXPECT_EQ(identity.m_byAttributeCount, expected.size());
  EXPECT_EQ(identity.m_byAttributeStatus, kSmartBelowThreshold);
  EXPECT_EQ(identity.m_nTemperature, 36u);      // the first entry 194
  EXPECT_EQ(identity.m_wListTemperature, 41u);  // the last one listed
}

TEST(SmartAttributes, WorstStatusIsTheHighestSeen) {
  SmartSectors s;
  s.add(0, 9, 90, 90, 0);
  s.add(1, 12, 0, 0, 0);  // value 0 with no threshold: at threshold
  s.seal();
  DRIVE_IDENTITY identity;
  ParseSmartAttributes(ByteView(s.data), ByteView(s.thresholds), identity);
  EXPECT_EQ(identity.m_byAttributeStatus, kSmartAtThreshold);
  EXPECT_EQ(identity.m_nTemperature, 0u);  // no attribute 194
}

TEST(SmartAttributes, ChecksumCatchesAChangedByte) {
  SmartSectors s;
  s.add(0, 9, 90, 90, 0);
  s.seal();
  ASSERT_TRUE(smartSectorChecksumOk(ByteView(s.data)));
  s.data[ata::kSmartFirstEntry + 3] ^= 0x01;
  EXPECT_FALSE(smartSectorChecksumOk(ByteView(s.data)));
  EXPECT_FALSE(smartSectorChecksumOk(ByteView(s.thresholds.data(), 100)));
}

TEST(SmartAttributes, NamesByIdRange) {
  struct Case {
    std::uint8_t id;
    std::u16string name;
  };
  const std::vector<Case> cases = {
      {0, u"(Unknown Attribute)"},         {1, u"Raw Read Error Rate"},
      {12, u"Power Cycle Count"},          {13, u"(Unknown Attribute)"},
      {190, u"(Unknown Attribute)"},       {191, u"Gsence Error Rate"},
      {192, u"Power Off React Count"},     {201, u"Detected TA Count"},
      {204, u"Raw Read Error Rate"},       {206, u"(Unknown Attribute)"},
      {209, u"Offline Seek Performance"},  {210, u"(Unknown Attribute)"},
      {255, u"(Unknown Attribute)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.id));
    EXPECT_EQ(smartAttributeName(c.id), c.name);
  }
}

}  // namespace
}  // namespace qelda::fs
