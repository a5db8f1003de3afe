// palvara-preview-bench [MAX-DEPTH]: the item preview's time by how deeply a mail's HTML nests,
// on the offscreen platform. For tables nested 1..MAX-DEPTH levels (default 30), and for a few
// deeper nestings of tables, lists, quotes and divisions, it prints the time from the message
// to the preview's first picture (previewOf, which bounds the page, then the browser) and to
// the page laid out whole; for the shallow table nestings it also prints the whole layout of the
// page as it is, unbounded, which doubles with each level. Then a page past the size bound.
#include <QApplication>
#include <QElapsedTimer>
#include <QTextDocument>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "gui/page_bounds.h"
#include "gui/preview.h"

using namespace palvara;
using namespace palvara::gui;

namespace {

std::string nested(int depth, const std::string& open, const std::string& close) {
  std::string html = "<html><body>";
  for (int i = 0; i < depth; ++i) html += open + "level " + std::to_string(i) + " ";
  html += "innermost text";
  for (int i = 0; i < depth; ++i) html += close;
  return html + "</body></html>";
}

Bytes bytesOf(const std::string& s) {
  const auto* p = reinterpret_cast<const std::byte*>(s.data());
  return Bytes(p, p + s.size());
}

// The whole layout of `html` at the browser's width, in ms.
qint64 wholeLayout(const QString& html) {
  QElapsedTimer clock;
  clock.start();
  QTextDocument document;
  document.setHtml(html);
  document.setTextWidth(600);
  (void)document.size();
  return clock.elapsed();
}

struct Timing {
  qint64 firstPicture = 0, whole = 0;
  int tablesKept = 0;
  std::size_t droppedTags = 0;
};

Timing preview(PreviewBrowser& browser, const std::string& html) {
  SourceMessage message;
  message.record.Mail().html = bytesOf(html);
  Timing t;
  QElapsedTimer clock;
  clock.start();
  const PreviewContent content = previewOf(message);
  browser.showItem(content);
  (void)browser.grab();
  t.firstPicture = clock.elapsed();
  t.whole = wholeLayout(content.html);
  const BoundedPage page = BoundPage(html);
  t.tablesKept = page.tableDepth;
  t.droppedTags = page.droppedTags;
  return t;
}

void print(const char* what, int depth, const Timing& t, qint64 unbounded) {
  std::printf(
      "%-12s %5d levels: kept %2d tables, %5zu tags dropped; first picture %5lld ms, "
      "whole layout %5lld ms",
      what, depth, t.tablesKept, t.droppedTags, static_cast<long long>(t.firstPicture),
      static_cast<long long>(t.whole));
  if (unbounded >= 0) std::printf("; unbounded layout %6lld ms", static_cast<long long>(unbounded));
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int maxDepth = argc > 1 ? std::atoi(argv[1]) : 30;
  PreviewBrowser browser;
  browser.resize(640, 480);
  browser.show();
  const std::string tableOpen = "<table border=1><tr><td>", tableClose = "</td></tr></table>";
  // Unbounded layouts stop once one takes longer than this.
  constexpr qint64 kUnboundedUpTo = 2000;
  qint64 unbounded = 0;
  for (int depth = 1; depth <= maxDepth; ++depth) {
    const std::string html = nested(depth, tableOpen, tableClose);
    unbounded = unbounded >= 0 && unbounded < kUnboundedUpTo
                    ? wholeLayout(QString::fromStdString(html))
                    : -1;
    print("tables", depth, preview(browser, html), unbounded);
  }
  for (int depth : {40, 100, 2000}) {
    print("tables", depth, preview(browser, nested(depth, tableOpen, tableClose)), -1);
  }
  for (int depth : {100, 2000, 10000}) {
    print("lists", depth, preview(browser, nested(depth, "<ul><li>", "</li></ul>")), -1);
    print("blockquotes", depth, preview(browser, nested(depth, "<blockquote>", "</blockquote>")),
          -1);
    print("divs", depth, preview(browser, nested(depth, "<div>", "</div>")), -1);
  }
  // A page of many paragraphs, past the size bound.
  std::string big = "<html><body>";
  while (big.size() < 5u << 20)
    big += "<p>lorem ipsum dolor sit amet, consectetur adipiscing</p>\n";
  const Timing t = preview(browser, big);
  std::printf("a page of %zu bytes: first picture %lld ms, whole layout %lld ms\n", big.size(),
              static_cast<long long>(t.firstPicture), static_cast<long long>(t.whole));
  return 0;
}
