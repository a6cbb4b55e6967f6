#include "testdata/CoverageFields.h"

// The tables are constant-initialised (empty vectors need no code at load)
// and destroyed at unload in the reverse of the order they are defined here.
// That reverse order is the release order the host expects: CoverageParams,
// CoverageParamSets (each set with its arrays), ExtraCoverFields5 down to
// ExtraCoverFields1, CDMACoverFields, GSMCoverFields. Keep the definitions
// in this order and in this one file.
TGSMCoverFieldNos GSMCoverFields;
TCDMACoverFieldNos CDMACoverFields;
TPHSCoverFieldNos ExtraCoverFields1;
TPHSCoverFieldNos ExtraCoverFields2;
TPHSCoverFieldNos ExtraCoverFields3;
TPHSCoverFieldNos ExtraCoverFields4;
TPHSCoverFieldNos ExtraCoverFields5;
std::array<TCoverageParamSet, CoverageParamSetCount> CoverageParamSets;
std::array<TCoverageParamArray, CoverageParamCount> CoverageParams;

static_assert(sizeof(TGSMCoverFieldNo) == 1 && sizeof(TCDMACoverFieldNo) == 1 &&
              sizeof(TPHSCoverFieldNo) == 1);
static_assert(GSMCoverFieldCount == 150 && CDMACoverFieldCount == 129 && PHSCoverFieldCount == 5);
static_assert(sizeof(TCoverageParam) == 8);
