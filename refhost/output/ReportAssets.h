// The report page's template and the third-party files it inlines, built
// into the program from refhost/output/report. Static data, never freed.
#pragma once

#include <string_view>

std::string_view ReportTemplateText();
std::string_view UplotScript();
std::string_view UplotStyle();
std::string_view UplotLicence();
