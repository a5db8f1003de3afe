// The preview's page bounds: pages within them pass unchanged whatever their sloppy markup,
// nesting past them loses tags but no text, the layout budget keeps fewer table levels, and a
// cut lands outside tags and characters at every length.
#include "gui/page_bounds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "common/text.h"

namespace palvara::gui {
namespace {

std::string nested(int depth, const std::string& open, const std::string& close) {
  std::string html = "<html><body>";
  for (int i = 0; i < depth; ++i) html += open + "level " + std::to_string(i) + ";";
  html += "innermost";
  for (int i = 0; i < depth; ++i) html += close;
  return html + "</body></html>";
}

// The text of `html` (everything outside tags), blanks left out.
std::string textOf(const std::string& html) {
  std::string text;
  bool inTag = false;
  for (char c : html) {
    if (c == '<') inTag = true;
    if (!inTag && c != ' ') text += c;
    if (c == '>') inTag = false;
  }
  return text;
}

// The deepest nesting of `name` elements, counting open and close tags.
int deepest(const std::string& html, const std::string& name) {
  int depth = 0, most = 0;
  for (std::size_t at = html.find('<'); at != std::string::npos; at = html.find('<', at + 1)) {
    if (html.compare(at + 1, name.size(), name) == 0) most = std::max(most, ++depth);
    if (html.compare(at + 1, name.size() + 1, "/" + name) == 0) --depth;
  }
  return most;
}

TEST(PageBounds, PagesWithinTheLimitsPassUnchanged) {
  // Unclosed paragraphs, items, cells and rows end at the next of their kind, as a browser
  // reads them: hundreds of them nest no deeper than one.
  std::string html =
      "<html><head><style>td > p { margin: 0 } /* <table><table> */</style>"
      "<script>var s = \"<div><div></div>\";</script></head><body>\n"
      "<!-- <table><table><table> --><?xml version=\"1.0\"?><!DOCTYPE x>";
  for (int i = 0; i < 300; ++i) html += "<p>paragraph " + std::to_string(i) + "\n";
  html += "<ul>";
  for (int i = 0; i < 300; ++i) html += "<li>item <b>" + std::to_string(i) + "</b>";
  html += "</ul><dl><dt>term<dd>definition<dt>term<dd>definition</dl>";
  html += "<table title=\"a > b\" data-x='<table>'><tr><td>one<td>two<tr><td>";
  for (int i = 0; i < 9; ++i) html += "<table><tr><th>head<td>cell " + std::to_string(i);
  for (int i = 0; i < 9; ++i) html += "</table>";
  html += "</table><select><option>a<option>b</select>";
  html += "</div></span> stray closes a < b <br/><img src=\"x.png\"><hr></body></html>";
  const BoundedPage page = BoundPage(html);
  EXPECT_EQ(page.html, html);
  EXPECT_EQ(page.droppedTags, 0u);
  EXPECT_FALSE(page.cut);
  EXPECT_EQ(page.tableDepth, 10);
}

TEST(PageBounds, DeepNestingLosesTagsButNoText) {
  const PageLimits limits;
  for (const int depth : {10, 11, 40, 2000}) {
    const std::string tables = nested(depth, "<table border=1><tr><td>", "</td></tr></table>");
    const BoundedPage page = BoundPage(tables);
    EXPECT_EQ(textOf(page.html), textOf(tables)) << depth;
    EXPECT_LE(page.tableDepth, limits.maxTableDepth) << depth;
    EXPECT_EQ(deepest(page.html, "table"), page.tableDepth) << depth;
    // Each kept table is closed, each dropped one loses its close too.
    const auto count = [&page](const std::string& s) {
      std::size_t n = 0;
      for (std::size_t at = page.html.find(s); at != std::string::npos;
           at = page.html.find(s, at + 1))
        ++n;
      return n;
    };
    EXPECT_EQ(count("<table"), static_cast<std::size_t>(page.tableDepth)) << depth;
    EXPECT_EQ(count("</table>"), count("<table")) << depth;
    EXPECT_EQ(count("</td>"), count("<td")) << depth;
    EXPECT_EQ(page.droppedTags, static_cast<std::size_t>(6 * (depth - page.tableDepth))) << depth;
    // The dropped rows still part their text.
    if (depth > page.tableDepth) {
      EXPECT_NE(page.html.find("<br>level " + std::to_string(depth - 1)), std::string::npos);
    }
  }
  EXPECT_EQ(BoundPage(nested(10, "<table><tr><td>", "</td></tr></table>")).droppedTags, 0u);
  for (const auto& [open, close] :
       {std::pair{"<div>", "</div>"}, std::pair{"<blockquote>", "</blockquote>"},
        std::pair{"<ul><li>", "</li></ul>"}, std::pair{"<span>", "</span>"}}) {
    const std::string html = nested(2000, open, close);
    const BoundedPage page = BoundPage(html);
    EXPECT_EQ(textOf(page.html), textOf(html)) << open;
    const std::string name = std::string(open).substr(1, std::string(open).find_first_of(">") - 1);
    // Two elements (html, body) stand around them.
    EXPECT_LE(deepest(page.html, name), limits.maxDepth - 2) << open;
    EXPECT_GT(deepest(page.html, name), limits.maxDepth / 2 - 2) << open;
  }
}

TEST(PageBounds, TheLayoutBudgetKeepsFewerTableLevels) {
  // Four tables deep, with `cells` cells in the innermost: a thousand cost 1000 * 100 * 2^4,
  // past the budget, so the innermost table goes; ten fit.
  const auto page = [](int cells) {
    std::string inner = "<table><tr>";
    for (int i = 0; i < cells; ++i) inner += "<td>c" + std::to_string(i) + "</td>";
    inner += "</tr></table>";
    std::string html = nested(3, "<table><tr><td>", "</td></tr></table>");
    return html.insert(html.find("innermost"), inner);
  };
  const BoundedPage few = BoundPage(page(10));
  EXPECT_EQ(few.tableDepth, 4);
  EXPECT_EQ(few.droppedTags, 0u);
  const std::string many = page(1000);
  const BoundedPage flattened = BoundPage(many);
  EXPECT_EQ(flattened.tableDepth, 3);
  EXPECT_EQ(textOf(flattened.html), textOf(many));
  EXPECT_NE(flattened.html.find("c998 c999"), std::string::npos);  // cells parted by a blank
  // A smaller budget takes more levels; none at all when even one costs too much.
  PageLimits tight;
  tight.layoutBudget = 1000;
  EXPECT_EQ(BoundPage(many, tight).tableDepth, 0);
  EXPECT_EQ(textOf(BoundPage(many, tight).html), textOf(many));
}

TEST(PageBounds, ACutFallsOutsideTagsAndCharacters) {
  const std::string html =
      "<p title=\"x\">Café 東京 🙂</p><table><tr><td class=a>naïve</td></tr></table><br>end";
  for (std::size_t limit = 0; limit < html.size(); ++limit) {
    PageLimits limits;
    limits.maxBytes = limit;
    const BoundedPage page = BoundPage(html, limits);
    ASSERT_TRUE(page.cut) << limit;
    EXPECT_LE(page.html.size(), limit) << limit;
    EXPECT_TRUE(html.starts_with(page.html)) << limit;
    EXPECT_TRUE(IsCleanUtf8(page.html)) << limit;
    const std::size_t open = page.html.rfind('<'), close = page.html.rfind('>');
    EXPECT_TRUE(open == std::string::npos || (close != std::string::npos && close > open)) << limit;
  }
  PageLimits whole;
  whole.maxBytes = html.size();
  EXPECT_FALSE(BoundPage(html, whole).cut);
  EXPECT_EQ(BoundPage(html, whole).html, html);
}

}  // namespace
}  // namespace palvara::gui
