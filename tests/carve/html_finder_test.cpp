// The HTML finder's end: the closing tag and the line end that is really there, so that a
// page comes back byte for byte whatever follows it in its last sector.
#include <gtest/gtest.h>

#include <string>

#include "carve/carve_test_support.h"

namespace qelda::carve::test {
namespace {

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(HtmlFinder, APageEndsAfterItsClosingTagAndItsOwnLineEnd) {
  const std::string head = "<!DOCTYPE html>\n<html><head><title>A page</title></head>\n<body>\n";
  const std::string body = head + std::string(700, 'x') + "\n</body>\n";
  const struct {
    const char* what;
    std::string page;
    std::string after;  // bytes the page does not own, before the follower
  } pages[] = {
      {"CR LF", "<HTML>\r\n<BODY>text</BODY>\r\n</HTML>\r\n", ""},
      {"LF", body + "</html>\n", ""},
      {"no line end", body + "</html>", ""},
      {"a blank line after the tag", body + "</html>\n", "\n"},  // one line end is the tag's
  };
  // Random bytes that do not begin with a line end, so that none of them is the page's.
  Bytes noise = randomBytes(3000, 7);
  noise[0] = 'Q';
  const struct {
    const char* what;
    Bytes bytes;
  } followers[] = {
      {"zeros", Bytes(3000, 0)},
      {"random bytes", noise},
      {"another page", bytesOf("<html>\r\n<body>next</body>\r\n</html>\r\n")},
      {"a JPEG", Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0}},
  };
  for (const auto& p : pages) {
    for (const auto& f : followers) {
      SCOPED_TRACE(std::string(p.what) + ", followed by " + f.what);
      Bytes file = bytesOf(p.page + p.after);
      file.insert(file.end(), f.bytes.begin(), f.bytes.end());
      const auto r = runFinder(GetHtmlFileSize, plantedSource({{3, file}}, 16), 3);
      ASSERT_TRUE(r);
      EXPECT_EQ(r->size, p.page.size());
    }
  }
}

// A closing tag at the very end of what can be read: the size stays inside the source.
TEST(HtmlFinder, ATagAtTheSourceEndGivesNoBytesPastIt) {
  for (const std::string tail : {"</html>", "</html>\n", "</html>\r\n"}) {
    SCOPED_TRACE(tail);
    std::string page = "<html><body>";
    page += std::string(1024 - page.size() - tail.size(), 'y') + tail;
    const auto r = runFinder(GetHtmlFileSize, MemorySource(bytesOf(page)));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size, 1024u);
  }
}

}  // namespace
}  // namespace qelda::carve::test
