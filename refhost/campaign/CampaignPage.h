// The campaign page's template; "/*CAMPAIGN_DATA*/null" stands where the
// data goes.
#pragma once

#include <string>

std::string CampaignPageTemplate();
