// The live page is the drive report's page: its template, its libraries,
// no data of its own, and the live script that feeds it.
#include <string>
#include <string_view>

#include "refhost/output/ReportAssets.h"
#include "refhost/view/LiveViewServer.h"

std::string_view LiveScript();  // built in from refhost/output/report/live.js

namespace {

bool Replace(std::string& page, std::string_view marker, std::string_view with) {
  const size_t at = page.find(marker);
  if (at == std::string::npos) return false;
  page.replace(at, marker.size(), with);
  return true;
}

}  // namespace

std::string LiveViewPage() {
  std::string page(ReportTemplateText());
  Replace(page, "/*@UPLOT_CSS@*/", UplotStyle());
  Replace(page, "/*@UPLOT_LICENSE@*/", UplotLicence());
  Replace(page, "/*@UPLOT_JS@*/", UplotScript());
  Replace(page, "/*@DATA@*/", "[]");
  if (!Replace(page, "/*@LIVE_JS@*/", LiveScript()))
    Replace(page, "</body>", "<script>\n" + std::string(LiveScript()) + "\n</script>\n</body>");
  return page;
}
