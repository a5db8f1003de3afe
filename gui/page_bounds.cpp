#include "gui/page_bounds.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <unordered_map>
#include <vector>

namespace palvara::gui {
namespace {

bool IsOneOf(std::string_view name, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

bool IsVoid(std::string_view name) {
  return IsOneOf(name, {"area", "base", "basefont", "br", "col", "embed", "frame", "hr", "img",
                        "input", "keygen", "link", "meta", "param", "source", "track", "wbr"});
}

// Elements whose content is not markup: kept whole, whatever their depth.
bool IsRawText(std::string_view name) {
  return IsOneOf(name, {"script", "style", "textarea", "title", "xmp"});
}

bool PartsBlocks(std::string_view name) {
  return IsOneOf(name,
                 {"address", "blockquote", "caption", "center", "dd",    "div", "dl", "dt", "form",
                  "h1",      "h2",         "h3",      "h4",     "h5",    "h6",  "li", "ol", "p",
                  "pre",     "table",      "tbody",   "tfoot",  "thead", "tr",  "ul"});
}

// Opening one of these ends an open paragraph.
bool EndsParagraph(std::string_view name) {
  return name != "li" && name != "dd" && name != "dt" && name != "caption" && PartsBlocks(name);
}

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
         c == '-' || c == '_' || c == '.';
}

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsBlank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n\f") == std::string_view::npos;
}

// One past the '>' that ends the tag opening at `at`, skipping quoted attribute values; the end
// of the page when there is none.
std::size_t TagEnd(std::string_view html, std::size_t at) {
  for (std::size_t i = at + 1; i < html.size(); ++i) {
    if (html[i] == '>') return i + 1;
    if (html[i] != '=') continue;
    std::size_t v = i + 1;
    while (v < html.size() &&
           (html[v] == ' ' || html[v] == '\t' || html[v] == '\n' || html[v] == '\r'))
      ++v;
    if (v < html.size() && (html[v] == '"' || html[v] == '\'')) {
      const std::size_t close = html.find(html[v], v + 1);
      if (close == std::string_view::npos) return html.size();
      i = close;
    }
  }
  return html.size();
}

// Where "</name" begins at or after `from`, in any case; the end of the page when nowhere.
std::size_t RawTextEnd(std::string_view html, std::size_t from, std::string_view name) {
  for (std::size_t at = html.find("</", from); at != std::string_view::npos;
       at = html.find("</", at + 2)) {
    if (at + 2 + name.size() > html.size()) break;
    bool same = true;
    for (std::size_t k = 0; k < name.size() && same; ++k) same = Lower(html[at + 2 + k]) == name[k];
    if (same && (at + 2 + name.size() == html.size() || !IsNameChar(html[at + 2 + name.size()]))) {
      return at;
    }
  }
  return html.size();
}

// The page up to the last tag boundary and character boundary before `limit` bytes.
std::size_t CutPoint(std::string_view html, std::size_t limit) {
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(html[cut]) & 0xC0) == 0x80) --cut;
  const std::size_t lastOpen = html.rfind('<', cut == 0 ? 0 : cut - 1);
  const std::size_t lastClose = html.rfind('>', cut == 0 ? 0 : cut - 1);
  if (lastOpen != std::string_view::npos &&
      (lastClose == std::string_view::npos || lastClose < lastOpen)) {
    cut = lastOpen;
  }
  return cut;
}

// Text bytes and table cells by the number of kept tables around them.
struct LayoutCounts {
  std::vector<std::uint64_t> text, cells;
};

// One pass over a page: copies it, leaving out the tags past the limits, with tables kept to
// `tableLimit` levels.
class Flattener {
 public:
  Flattener(std::string_view html, const PageLimits& limits, int tableLimit, LayoutCounts* counts)
      : html_(html), limits_(limits), tableLimit_(tableLimit), counts_(counts) {}

  std::string run(std::size_t* droppedTags, int* deepestTable) {
    out_.reserve(html_.size() + 64);
    std::size_t pos = 0;
    while (pos < html_.size()) {
      const std::size_t lt = html_.find('<', pos);
      if (lt == std::string_view::npos) {
        text(html_.substr(pos));
        break;
      }
      text(html_.substr(pos, lt - pos));
      pos = markup(lt);
    }
    *droppedTags = dropped_;
    *deepestTable = deepestTable_;
    return std::move(out_);
  }

 private:
  struct Open {
    std::string name;
    bool kept;
  };

  void text(std::string_view piece) {
    if (piece.empty()) return;
    out_.append(piece);
    if (counts_ != nullptr) counts_->text[static_cast<std::size_t>(keptTables_)] += piece.size();
    if (!IsBlank(piece)) separator_ = Separator::kNone;
  }

  // Handles what begins at `lt` ('<'); returns where the scan goes on.
  std::size_t markup(std::size_t lt) {
    const std::string_view rest = html_.substr(lt);
    if (rest.starts_with("<!--")) {
      const std::size_t end = html_.find("-->", lt + 4);
      return copy(lt, end == std::string_view::npos ? html_.size() : end + 3);
    }
    const bool closing = rest.size() > 2 && rest[1] == '/' && IsLetter(rest[2]);
    if (rest.size() > 1 && (rest[1] == '!' || rest[1] == '?')) {
      const std::size_t end = html_.find('>', lt);
      return copy(lt, end == std::string_view::npos ? html_.size() : end + 1);
    }
    if (!closing && (rest.size() < 2 || !IsLetter(rest[1]))) {
      text("<");
      return lt + 1;
    }
    std::string name;
    for (std::size_t i = closing ? 2 : 1; i < rest.size() && IsNameChar(rest[i]); ++i) {
      name += Lower(rest[i]);
    }
    const std::size_t end = TagEnd(html_, lt);
    if (closing) {
      close(name, lt, end);
      return end;
    }
    if (IsVoid(name)) return copy(lt, end);
    if (IsRawText(name)) {
      const std::size_t closeAt = RawTextEnd(html_, end, name);
      return copy(lt, closeAt == html_.size() ? closeAt : TagEnd(html_, closeAt));
    }
    open(name, lt, end);
    return end;
  }

  std::size_t copy(std::size_t from, std::size_t to) {
    out_.append(html_.substr(from, to - from));
    return to;
  }

  void open(const std::string& name, std::size_t lt, std::size_t end) {
    closeImplied(name);
    const bool table = name == "table";
    const bool cell = name == "td" || name == "th";
    const bool rowPart = IsOneOf(name, {"tr", "tbody", "thead", "tfoot", "caption", "colgroup"});
    bool kept = keptDepth_ < limits_.maxDepth;
    if (table) {
      kept = kept && keptTables_ < tableLimit_;
      tablesKept_.push_back(kept);
    } else if (cell || rowPart) {
      kept = kept && (tablesKept_.empty() || tablesKept_.back());
    }
    stack_.push_back({name, kept});
    ++openCount_[name];
    if (!kept) {
      drop(name);
      return;
    }
    ++keptDepth_;
    if (table) deepestTable_ = std::max(deepestTable_, ++keptTables_);
    if (cell && counts_ != nullptr) ++counts_->cells[static_cast<std::size_t>(keptTables_)];
    copy(lt, end);
  }

  void close(const std::string& name, std::size_t lt, std::size_t end) {
    const auto count = openCount_.find(name);
    if (count == openCount_.end() || count->second == 0) {
      copy(lt, end);  // nothing to close: the browser ignores it as well
      return;
    }
    for (;;) {
      const Open top = pop();
      if (top.name != name) continue;
      if (top.kept) {
        copy(lt, end);
      } else {
        drop(name);
      }
      return;
    }
  }

  Open pop() {
    Open top = std::move(stack_.back());
    stack_.pop_back();
    --openCount_[top.name];
    if (top.name == "table") tablesKept_.pop_back();
    if (top.kept) {
      --keptDepth_;
      if (top.name == "table") --keptTables_;
    }
    return top;
  }

  // What opening `name` ends, as the browser reads it: a paragraph before a block, the
  // previous item, cell or row of the same list or table.
  void closeImplied(const std::string& name) {
    if (EndsParagraph(name) && !stack_.empty() && stack_.back().name == "p") {
      pop();
      return;
    }
    if (name == "li") return closeWithin({"li"}, {"ul", "ol"});
    if (name == "dt" || name == "dd") return closeWithin({"dt", "dd"}, {"dl"});
    if (name == "td" || name == "th") return closeWithin({"td", "th"}, {"tr", "table"});
    if (name == "tr") return closeWithin({"tr"}, {"table"});
    if (name == "tbody" || name == "thead" || name == "tfoot") {
      return closeWithin({"tbody", "thead", "tfoot"}, {"table"});
    }
    if (name == "option") return closeWithin({"option"}, {"select"});
  }

  // Closes the nearest open element named in `targets` unless one named in `stops` is nearer.
  // Only the nearest elements are searched, so that a run of unclosed ones costs no more
  // than a fixed number of steps per tag.
  void closeWithin(std::initializer_list<std::string_view> targets,
                   std::initializer_list<std::string_view> stops) {
    constexpr std::size_t kSearch = 32;
    for (std::size_t k = 0; k < std::min(kSearch, stack_.size()); ++k) {
      const std::string& n = stack_[stack_.size() - 1 - k].name;
      if (IsOneOf(n, stops)) return;
      if (IsOneOf(n, targets)) {
        for (std::size_t i = 0; i <= k; ++i) pop();
        return;
      }
    }
  }

  void drop(std::string_view name) {
    ++dropped_;
    if (PartsBlocks(name)) {
      if (separator_ != Separator::kLine) out_ += "<br>";
      separator_ = Separator::kLine;
    } else if ((name == "td" || name == "th") && separator_ == Separator::kNone) {
      out_ += ' ';
      separator_ = Separator::kBlank;
    }
  }

  enum class Separator { kNone, kBlank, kLine };

  std::string_view html_;
  const PageLimits& limits_;
  int tableLimit_;
  LayoutCounts* counts_;
  std::string out_;
  std::vector<Open> stack_;
  std::unordered_map<std::string, std::size_t> openCount_;
  std::vector<bool> tablesKept_;  // of every open table, kept or not
  int keptDepth_ = 0;
  int keptTables_ = 0;
  int deepestTable_ = 0;
  std::size_t dropped_ = 0;
  Separator separator_ = Separator::kNone;
};

// The layout work of the page with tables kept to `tableLimit` levels.
double LayoutCost(const LayoutCounts& counts, int tableLimit) {
  double cost = 0;
  for (std::size_t d = 0; d < counts.text.size(); ++d) {
    const int level = static_cast<int>(d);
    cost += std::ldexp(static_cast<double>(counts.text[d]), std::min(level, tableLimit));
    if (level <= tableLimit) {
      cost += std::ldexp(static_cast<double>(counts.cells[d] * PageLimits::kCellWeight), level);
    }
  }
  return cost;
}

}  // namespace

BoundedPage BoundPage(std::string_view html, const PageLimits& limits) {
  BoundedPage page;
  if (html.size() > limits.maxBytes) {
    html = html.substr(0, CutPoint(html, limits.maxBytes));
    page.cut = true;
  }
  const int maxTables = std::clamp(limits.maxTableDepth, 0, 64);
  LayoutCounts counts;
  counts.text.assign(static_cast<std::size_t>(maxTables) + 1, 0);
  counts.cells.assign(static_cast<std::size_t>(maxTables) + 1, 0);
  page.html = Flattener(html, limits, maxTables, &counts).run(&page.droppedTags, &page.tableDepth);
  int tableLimit = page.tableDepth;
  const auto budget = static_cast<double>(limits.layoutBudget);
  while (tableLimit > 0 && LayoutCost(counts, tableLimit) > budget) --tableLimit;
  if (tableLimit < page.tableDepth) {
    page.html =
        Flattener(html, limits, tableLimit, nullptr).run(&page.droppedTags, &page.tableDepth);
  }
  return page;
}

}  // namespace palvara::gui
