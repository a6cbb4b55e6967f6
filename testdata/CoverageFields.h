// Coverage field catalogue: the vocabulary with which the host and its
// libraries name individual measurements per network. Part of the interface
// shared with the host; the plug-in declares the tables and releases them
// when the library unloads, but none of its own operations fills or reads
// them.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

// Field numbers, one byte each, ordinals by position from 0.
enum TGSMCoverFieldNo : uint8_t {
  /*   0 */ gcfnARFCN, gcfnBSIC, gcfnRxLevFull, gcfnRxLevSub, gcfnRxQualFull,
  /*   5 */ gcfnRxQualSub, gcfnFERFull, gcfnFERSub, gcfnBCCHLev, gcfnMaxRxLev,
  /*  10 */ gcfnBCCHCI, gcfnTCHCI, gcfnTA, gcfnTxPower, gcfnC1,
  /*  15 */ gcfnC2, gcfnDTX, gcfnRxLevN1, gcfnRxLevN2, gcfnRxLevN3,
  /*  20 */ gcfnRxLevN4, gcfnRxLevN5, gcfnRxLevN6, gcfnARFCNN1, gcfnARFCNN2,
  /*  25 */ gcfnARFCNN3, gcfnARFCNN4, gcfnARFCNN5, gcfnARFCNN6, gcfnBSICN1,
  /*  30 */ gcfnBSICN2, gcfnBSICN3, gcfnBSICN4, gcfnBSICN5, gcfnBSICN6,
  /*  35 */ gcfnC1N1, gcfnC1N2, gcfnC1N3, gcfnC1N4, gcfnC1N5,
  /*  40 */ gcfnC1N6, gcfnC2N1, gcfnC2N2, gcfnC2N3, gcfnC2N4,
  /*  45 */ gcfnC2N5, gcfnC2N6, gcfnMCC, gcfnMNC, gcfnLAC,
  /*  50 */ gcfnRAC, gcfnCellID, gcfnT3212, gcfnTCHState, gcfnHSN,
  /*  55 */ gcfnMAIO, gcfnTimeSlot, gcfnChannelMode, gcfnDSCCounter, gcfnCurrRLT,
  /*  60 */ gcfnMaxRLT, gcfnEDGESupport, gcfnVoiceCodec, gcfnBand, gcfnServiceState,
  /*  65 */ gcfnPPPRx_Rate, gcfnPPPTx_Rate, gcfnIPRx_Rate, gcfnIPTx_Rate, gcfnTCPRx_Rate,
  /*  70 */ gcfnTCPTx_Rate, gcfnUDPRx_Rate, gcfnUDPTx_Rate, gcfnICMPRx_Rate, gcfnICMPTx_Rate,
  /*  75 */ gcfnTCPReTransmit, gcfnRLCThrUl, gcfnRLCThrDl, gcfnRLCRtxUl, gcfnRLCRtxDl,
  /*  80 */ gcfnLLCThrUl, gcfnLLCThrDl, gcfnLLCRtxUl, gcfnLLCRtxDl, gcfnCSDl,
  /*  85 */ gcfnCSUl, gcfnTSNumDl, gcfnTSNumUl, gcfnTSDL, gcfnTSUL,
  /*  90 */ gcfnBLER, gcfnGMMState, gcfnTBFStateDL, gcfnTBFStateUL, gcfnTFIDL,
  /*  95 */ gcfnTFIUL, gcfnSignVar, gcfnRxQual, gcfnMSPower, gcfnCValue,
  /* 100 */ gcfnLLCWinDL, gcfnLLCWinUL, gcfnReBlockRateUp, gcfnGPRSState, gcfnMACMode,
  /* 105 */ gcfnMCSUl, gcfnMCSDl, gcfnGMSKCVBEP, gcfn8PSKCVBEP, gcfnGMSKMeanBEP,
  /* 110 */ gcfn8PSKMeanBEP, gcfnEGPRSWinDL, gcfnEGPRSWinUL, gcfnTsDirection1, gcfnTsDirection2,
  /* 115 */ gcfnTsDirection3, gcfnTsDirection4, gcfnTsDirection5, gcfnTsDirection6, gcfnTsIndex1,
  /* 120 */ gcfnTsIndex2, gcfnTsIndex3, gcfnTsIndex4, gcfnTsIndex5, gcfnTsIndex6,
  /* 125 */ gcfnTsCSMCS1, gcfnTsCSMCS2, gcfnTsCSMCS3, gcfnTsCSMCS4, gcfnTsCSMCS5,
  /* 130 */ gcfnTsCSMCS6, gcfnPESQScore, gcfnPESQLQ, gcfnPESQMos, gcfnVideoMos,
  /* 135 */ gcfnPingDelay, gcfnFTPDownload, gcfnFTPUpload, gcfnHTTPDownload, gcfnHTTPUpload,
  /* 140 */ gcfnEMailPop3, gcfnEMailSmtp, gcfnTFTPDownload, gcfnTFTPUpload, gcfnWap,
  /* 145 */ gcfnSMS, gcfnMMSUL, gcfnMMSDL, gcfnWapDL, gcfnVideo,
};

enum TCDMACoverFieldNo : uint8_t {
  /*   0 */ ccfnRxAGC, ccfnTxAGC, ccfnTxPower, ccfnTxGainAdj, ccfnFBER,
  /*   5 */ ccfnFFER, ccfnMeasFER, ccfnFingerLock, ccfnActiveNum, ccfnRefPN,
  /*  10 */ ccfnMaxEcIoPN, ccfnTotalEcIo, ccfnMaxEcIo, ccfnRefEcIo, ccfnTotalEc,
  /*  15 */ ccfnMaxEc, ccfnRefEc, ccfnFrequency, ccfnAdd, ccfnServiceState,
  /*  20 */ ccfnHandOffState, ccfnP_REV_IN_USE, ccfnATModeState, ccfnFER_fch, ccfnFER_sch0,
  /*  25 */ ccfnFER_sch1, ccfnFER_dcch, ccfnspt_fch, ccfnspt_sch0, ccfnspt_sch1,
  /*  30 */ ccfnspt_dcch, ccfnr_fch_pwr, ccfnr_sch0_pwr, ccfnr_sch1_pwr, ccfnr_dcch_pwr,
  /*  35 */ ccfnRlpRx_Rate, ccfnRlpTx_Rate, ccfnRlpErr_Rate, ccfnRlpRTX_Rate, ccfnPhysRx_Rate,
  /*  40 */ ccfnPhysTx_Rate, ccfnPPPRx_Rate, ccfnPPPTx_Rate, ccfnIPRx_Rate, ccfnIPTx_Rate,
  /*  45 */ ccfnTCPRx_Rate, ccfnTCPTx_Rate, ccfnUDPRx_Rate, ccfnUDPTx_Rate, ccfnICMPRx_Rate,
  /*  50 */ ccfnICMPTx_Rate, ccfnTCPReTransmit, ccfnEV_RxAGC0, ccfnEV_RxAGC1, ccfnEV_TxAGC,
  /*  55 */ ccfnTxPilotPower, ccfnTxOpenLoopPower, ccfnTxClosedLoopAdjust, ccfnTotalC_I, ccfnTotalSINR,
  /*  60 */ ccfnDRC_Index, ccfnDRC_Value, ccfnDRC_Cover, ccfnActiveCount, ccfnEV_Frequency,
  /*  65 */ ccfnBand, ccfnServingSectorPN, ccfnUATI, ccfnEV_RxRLPThroughput, ccfnEV_RxRLPThrInstant,
  /*  70 */ ccfnEV_TxRLPThroughput, ccfnEV_TxRLPThrInstant, ccfnEV_Duplicate_Rate, ccfnEV_RLPErrorRate, ccfnEV_RLPRtxRate,
  /*  75 */ ccfnEV_RxPacketThroughput, ccfnEV_RxPktThrInstant, ccfnEV_RxPktThrServed, ccfnEV_TxPacketThroughput, ccfnEV_RxPER,
  /*  80 */ ccfnEV_TxPER, ccfnSessionState, ccfnATState, ccfnALMPState, ccfnInitState,
  /*  85 */ ccfnIdleState, ccfnOverheadState, ccfnConnectedState, ccfnRouteUpdateState, ccfnHDRHybridModeState,
  /*  90 */ ccfnEVVersion, ccfnDedicateUserCount, ccfnMACIndex, ccfnRxSuPacketThroughput, ccfnEV_RxPktThrInstantSU,
  /*  95 */ ccfnEV_RxPktThrServedSU, ccfnRxMuPacketThroughput, ccfnEV_RxPktThrInstantMU, ccfnEV_RxPktThrServedMU, ccfnRxSuPER,
  /* 100 */ ccfnRxMuPER, ccfnTxMode, ccfnDRC2Pilot, ccfnRRI2Pilot, ccfnDSC2Pilot,
  /* 105 */ ccfnData2Pilot, ccfnAux2Pilot, ccfnMaxT2P, ccfnDSC, ccfnTxPacketSize,
  /* 110 */ ccfnPESQScore, ccfnPESQLQ, ccfnPESQMos, ccfnVideoMos, ccfnPingDelay,
  /* 115 */ ccfnFTPDownload, ccfnFTPUpload, ccfnHTTPDownload, ccfnHTTPUpload, ccfnEMailPop3,
  /* 120 */ ccfnEMailSmtp, ccfnTFTPDownload, ccfnTFTPUpload, ccfnWap, ccfnSMS,
  /* 125 */ ccfnMMSUL, ccfnMMSDL, ccfnWapDL, ccfnVideo,
};

enum TPHSCoverFieldNo : uint8_t {
  pcfnPower, pcfnPESQScore, pcfnPESQLQ, pcfnPESQMos, pcfnVideoMos,
};

constexpr int GSMCoverFieldCount = gcfnVideo + 1;    // 150
constexpr int CDMACoverFieldCount = ccfnVideo + 1;   // 129
constexpr int PHSCoverFieldCount = pcfnVideoMos + 1;  // 5

// Growable arrays owning their elements.
using TGSMCoverFieldNos = std::vector<TGSMCoverFieldNo>;
using TCDMACoverFieldNos = std::vector<TCDMACoverFieldNo>;
using TPHSCoverFieldNos = std::vector<TPHSCoverFieldNo>;

// One coverage parameter: eight opaque bytes owning nothing; the host's
// libraries give them their meaning.
struct TCoverageParam {
  uint8_t Bytes[8];
};
using TCoverageParamArray = std::vector<TCoverageParam>;
using TCoverageParamSet = std::vector<TCoverageParamArray>;

constexpr int CoverageParamSetCount = 5;
constexpr int CoverageParamCount = 68;

// Module-level tables, all empty when the library is loaded. They are
// released when the library unloads, in this order: CoverageParams,
// CoverageParamSets, ExtraCoverFields5 down to ExtraCoverFields1,
// CDMACoverFields, GSMCoverFields. They are defined in the record unit
// (DataAccessAPIUnit.cpp), which the plug-in always links.
extern TGSMCoverFieldNos GSMCoverFields;
extern TCDMACoverFieldNos CDMACoverFields;
extern TPHSCoverFieldNos ExtraCoverFields1;
extern TPHSCoverFieldNos ExtraCoverFields2;
extern TPHSCoverFieldNos ExtraCoverFields3;
extern TPHSCoverFieldNos ExtraCoverFields4;
extern TPHSCoverFieldNos ExtraCoverFields5;
extern std::array<TCoverageParamSet, CoverageParamSetCount> CoverageParamSets;
extern std::array<TCoverageParamArray, CoverageParamCount> CoverageParams;

// Names of the pilot sets, indices 0..5.
inline constexpr std::array<std::string_view, 6> PilotSetNames{
    "Active", "Candidate", "Neighbor", "Remaining", "Pre-Candidate", "Not-Reference"};
