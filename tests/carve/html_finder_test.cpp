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

// Tags are looked for only where a '<' stands, and never past a sector's end without
// stopping there: a closing tag straddling a sector boundary after a run of '<', one inside a
// title that spans two sectors, and a page with no closing tag, sized to where the last tag
// could still start.
TEST(HtmlFinder, TagsAreFoundWhereverTheyFallAndAnOpenPageRunsToTheSourceEnd) {
  const auto padTo = [](std::string page, std::size_t at) { return page + std::string(at - page.size(), 'x'); };
  const std::string start = "<html><body>";
  const struct {
    const char* what;
    std::string page;
    std::size_t size;  // what the finder gives
  } cases[] = {
      {"a closing tag across the first sector's end", padTo(start, 505) + "<<<<<<</html>\n", 519},
      {"a closing tag inside a title across a sector's end",
       padTo(start, 500) + "<title>a < b </html> c</title>" + padTo("", 100) + "</HTML>", 637},
      {"no closing tag", padTo(start + "<p><b>", 1536), 1530},
      {"no closing tag, a '<' in each of the last bytes", padTo(start, 1530) + "<<<<<<", 1530},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto r = runFinder(GetHtmlFileSize, MemorySource(bytesOf(c.page)));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size, c.size);
  }
}

}  // namespace
}  // namespace qelda::carve::test
