// The live page is the drive report's page with no data of its own and the
// live script that feeds it.
#include <string>
#include <string_view>

#include "refhost/output/ReportWriter.h"
#include "refhost/view/LiveViewServer.h"

std::string_view LiveScript();  // built in from refhost/output/report/live.js

std::string LiveViewPage() { return ReportPage("[]", LiveScript()); }
