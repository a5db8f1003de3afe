// Bounds on the HTML the preview hands to its browser. Qt's rich-text import and layout take
// about twice as long for each level of nested tables (each table lays its cells out twice to
// learn their widths), their time grows with the square of the nesting depth of other
// elements, and very deep nesting exhausts the stack; a page is also parsed and laid out whole.
// BoundPage cuts a page past a size, and, in one linear scan of its tags, drops the tags that
// nest past the limits, keeping everything between them. No Qt here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace palvara::gui {

struct PageLimits {
  // The page is cut at the last tag boundary before this many bytes.
  std::size_t maxBytes = std::size_t{1} << 20;
  // Tables nested deeper lose their table, row and cell tags.
  int maxTableDepth = 10;
  // Elements of any kind nested deeper lose their tags.
  int maxDepth = 100;
  // The layout work a page may cost, in characters laid out once: text weighs its bytes and a
  // table cell kCellWeight, both doubled for each table around them. When the page's tables
  // cost more, they are kept to fewer levels (down to none) until it fits.
  std::uint64_t layoutBudget = std::uint64_t{1} << 19;
  static constexpr std::uint64_t kCellWeight = 100;
};

struct BoundedPage {
  std::string html;
  bool cut = false;             // the page was cut at `limits.maxBytes`
  int tableDepth = 0;           // the deepest nesting of tables kept
  std::size_t droppedTags = 0;  // open and close tags left out
};

// `html` (UTF-8) within `limits`. Text, comments, the contents of <style> and <script>, and
// every tag within the limits are kept as they are; a dropped tag that parts blocks or rows
// becomes a line break, one that parts cells a blank, at most one in a row. A cut falls on a
// character boundary outside any tag. Takes time linear in the page's size.
BoundedPage BoundPage(std::string_view html, const PageLimits& limits = {});

}  // namespace palvara::gui
